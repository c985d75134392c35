#include "app_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <fstream>
#include <sstream>

#include "app/controls.h"
#include "app/script.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <random>

namespace qvtest {

ScriptRun runScript(const QStringList& args) {
    std::ostringstream out, err;
    int status = 2;
    try {
        status = qv::cli::runScript(qv::cli::parse(args), out, err);
    } catch (const qv::ctl::UsageError& e) {
        err << e.what();
    }
    return {status, out.str(), err.str()};
}

ScriptRun runScriptOn(const fs::path& folder, QStringList args) {
    args.prepend(QString::fromStdString(folder.string()));
    args.prepend(QStringLiteral("--machine"));
    return runScript(args);
}

namespace {

// The QApplication lives for the whole run; it is made here, not at static initialisation.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        qv::tk::setupApplication(*app_);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

void mouseClick(QWidget* w, QPoint pos, Qt::MouseButton button) {
    const QPointF local(pos);
    const QPointF global(w->mapToGlobal(pos));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, button, button, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, button, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

void keyClick(QWidget* w, int key, Qt::KeyboardModifiers mods) {
    // A key sent by code is offered to the shortcuts first, as a typed one is.
    QKeyEvent press(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods);
    QApplication::sendEvent(w, &release);
}

TempDir::TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("quorvel-app-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

MessageBoxes::MessageBoxes(int a) : answer(a) {
    qv::tk::setMessageBoxHook([this](const qv::tk::MessageBoxRequest& req) {
        asked.push_back(req);
        return answer ? answer : req.defaultResult;
    });
}

MessageBoxes::~MessageBoxes() { qv::tk::setMessageBoxHook({}); }

void WindowTest::SetUp() { machine_ = qv::reg::Machine::openOwn(dir_.path() / "machine"); }

void WindowTest::TearDown() {
    form_.reset();
    machine_.reset();
}

qv::frmMain& WindowTest::form() {
    if (!form_)
        form_ = std::make_unique<qv::frmMain>(*machine_);
    return *form_;
}

qv::reg::RegVariant WindowTest::readFromDisk(int32_t root, const std::string& key,
                                             const std::string& value) {
    auto fresh = qv::reg::Machine::openOwn(dir_.path() / "machine");
    qv::reg::cRegistry reg(*fresh);
    reg.setClassKey(root);
    reg.setSectionKey(key);
    reg.setValueKey(value);
    return reg.Value();
}

void WindowTest::write(int32_t root, const std::string& key, const std::string& value, int32_t type,
                       const qv::reg::RegVariant& data) {
    qv::reg::cRegistry reg(*machine_);
    reg.setClassKey(root);
    reg.setSectionKey(key);
    reg.setValueKey(value);
    reg.setValueType(type);
    reg.setValue(data);
}

}  // namespace qvtest

namespace qvtest {

fs::path makeWinePrefix(const fs::path& dir, const std::function<void(qv::reg::Machine&)>& seed) {
    const fs::path own = dir.string() + ".seed";
    {
        auto m = qv::reg::Machine::openOwn(own);
        if (seed) seed(*m);
        m->commit();
    }
    fs::create_directories(dir / "dosdevices");
    fs::create_directories(dir / "drive_c" / "windows" / "system32");
    fs::create_directory_symlink("../drive_c", dir / "dosdevices" / "c:");
    for (const char* file : {"system.reg", "user.reg"})
        fs::copy_file(own / file, dir / file);
    fs::remove_all(own);
    return dir;
}

std::string fileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return done();
}

}  // namespace qvtest
