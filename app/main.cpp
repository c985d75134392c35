#include <QApplication>
#include <future>
#include <iostream>
#include <vector>

#include "app/controls.h"
#include "app/script.h"
#include "app/toolkit.h"
#include "registry/machines/machine.h"

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    // Qt's own options (-style, -platform, -reverse, --display...) go to Qt; ours are read from
    // what is left, before any display is needed, so that --help and usage errors need none.
    const qv::tk::SplitArguments split = qv::tk::splitQtArguments(args);
    qv::cli::Options options;
    try {
        options = qv::cli::parse(split.own);
    } catch (const qv::ctl::UsageError& e) {
        std::cerr << "quorvel: " << e.what() << " (quorvel --help lists the options)\n";
        return 2;
    }
    if (options.help) {
        std::cout << qv::cli::usage().toStdString();
        return 0;
    }
    if (options.version) {
        std::cout << qv::cli::versionText().toStdString();
        return 0;
    }
    if (options.listMachines)
        return qv::cli::listMachines(options, std::cout);
    // A script needs no screen: the window is drawn offscreen, also for --grab.
    if (options.scripting()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Standard error carries the script's own messages; Qt's chatter about the offscreen
        // platform would only blur them.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                std::cerr << msg.toStdString() << '\n';
        });
    }

    // The window's machine is read while the toolkit starts: both take milliseconds, and the
    // opening touches nothing but the machine's files (the choice, which reads the environment,
    // is made here first). An installed Windows waits: libhivex reads the environment as it opens;
    // so does the very first start, which may ask which machine to open.
    std::future<std::unique_ptr<qv::reg::Machine>> opening;
    if (!options.scripting()) {
        try {
            const qv::cli::MachineToOpen chosen = qv::cli::chooseMachine(options);
            if (chosen.kind != qv::cli::MachineToOpen::Kind::Windows && !chosen.firstStart)
                opening = std::async(std::launch::async, [chosen] { return qv::cli::openChosen(chosen); });
        } catch (const std::exception&) {
            // The window opens it as it starts and tells what went wrong.
        }
    }

    // QApplication keeps pointers into argv for its whole life.
    std::vector<QByteArray> qtWords{QByteArray(argv[0])};
    for (const QString& a : split.qt)
        qtWords.push_back(a.toLocal8Bit());
    std::vector<char*> qtArgv;
    for (QByteArray& w : qtWords)
        qtArgv.push_back(w.data());
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtWords.size());
    QApplication app(qtArgc, qtArgv.data());
    qv::tk::setupApplication(app);
    return options.scripting() ? qv::cli::runScript(options, std::cout, std::cerr)
                               : qv::cli::runWindow(options, std::move(opening));
}
