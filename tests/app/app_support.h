// Shared by the window's tests: a QApplication made once for the whole run, a fresh own machine
// per test, and a message-box hook that answers and records.
#pragma once

#include <functional>

#include <gtest/gtest.h>

#include <QPoint>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/frmmain.h"
#include "app/toolkit.h"
#include "registry/cregistry.h"
#include "registry/machines/machine.h"

namespace qvtest {

namespace fs = std::filesystem;

// A temporary folder removed at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Answers every message box with `answer` (or its default button when answer is 0) and keeps
// what was asked.
class MessageBoxes {
public:
    explicit MessageBoxes(int answer = 0);
    ~MessageBoxes();
    std::vector<qv::tk::MessageBoxRequest> asked;
    int answer;
};

// Scripting mode run in this process (a usage error gives status 2 and its message), and the same
// over the own machine in folder.
struct ScriptRun {
    int status;
    std::string out, err;
};
ScriptRun runScript(const QStringList& args);
ScriptRun runScriptOn(const fs::path& folder, QStringList args);

// A Wine prefix made from the seed registry (drive C: in drive_c), after `seed` has edited it.
fs::path makeWinePrefix(const fs::path& dir, const std::function<void(qv::reg::Machine&)>& seed = {});

// A file's bytes ("" when it cannot be read).
std::string fileBytes(const fs::path& p);

// Runs the event loop until done() holds or the time is up; returns done().
bool waitUntil(const std::function<bool()>& done, int milliseconds = 3000);

// Mouse and key input delivered as the window system would.
void mouseClick(QWidget* w, QPoint pos, Qt::MouseButton button = Qt::LeftButton);
void keyClick(QWidget* w, int key, Qt::KeyboardModifiers mods = Qt::NoModifier);

// A test with its own machine folder and, on demand, the window over it.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    qv::frmMain& form();
    qv::reg::Machine& machine() { return *machine_; }
    // Reads a value through a machine opened afresh from the files on disk.
    qv::reg::RegVariant readFromDisk(int32_t root, const std::string& key, const std::string& value);
    // Writes a value into the open machine (not yet committed).
    void write(int32_t root, const std::string& key, const std::string& value, int32_t type,
               const qv::reg::RegVariant& data);

    TempDir dir_;
    std::unique_ptr<qv::reg::Machine> machine_;
    std::unique_ptr<qv::frmMain> form_;
    MessageBoxes boxes_{0};
};

}  // namespace qvtest
