#include <QApplication>
#include <iostream>

#include "app/controls.h"
#include "app/script.h"
#include "app/toolkit.h"

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    qv::cli::Options options;
    try {
        options = qv::cli::parse(args);
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

    // Qt sees no arguments of ours.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    qv::tk::setupApplication(app);
    return options.scripting() ? qv::cli::runScript(options, std::cout, std::cerr)
                               : qv::cli::runWindow(options);
}
