// Choosing the machine from the window: the Open Machine list (details filled in while it is
// shown), what a browsed folder is, and leaving a machine that holds unsaved edits.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QThread>
#include <QTreeWidget>
#include <fstream>

#include "app/controls.h"
#include "app/openmachine.h"
#include "app/script.h"
#include "app_support.h"
#include "registry/machines/discovery.h"
#include "registry/text.h"
#include "tools/hive_builder.h"

using namespace qvtest;
namespace reg = qv::reg;
namespace ctl = qv::ctl;

namespace {

void put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

constexpr const char* kUserReg = "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21\n\n";

// A prefix whose system.reg names its Windows as Wine writes it (version key well inside).
void makePrefix(const fs::path& p, const std::string& product, bool dosdevices = true) {
    std::string sys = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
    for (int i = 0; i < 2000; ++i)
        sys += "[Software\\\\Classes\\\\.e" + std::to_string(i) + "] 1700000000\n@=\"x\"\n\n";
    if (!product.empty())
        sys += "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1700000000\n\"CurrentVersion\"=\"6.3\"\n"
               "\"ProductName\"=\"" + product + "\"\n\n";
    put(p / "system.reg", sys);
    put(p / "user.reg", kUserReg);
    if (dosdevices) fs::create_directories(p / "dosdevices");
}

class OpenMachine : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        qv::tk::setInteractive(false);
    }
    void TearDown() override {
        qv::tk::setInteractive(true);
        WindowTest::TearDown();
    }
    QString value(const QString& name) { return ctl::valueOf(ctl::findControl(form(), name)); }
    void set(const QString& name, const QString& v) { ctl::setControl(form(), ctl::findControl(form(), name), v); }
};

}  // namespace

TEST_F(OpenMachine, TheListOpensAtOnceAndFillsInVersionAndServerState) {
    const fs::path home = dir_.path() / "home";
    makePrefix(home / ".wine", "Microsoft Windows 10");
    makePrefix(home / ".PlayOnLinux/wineprefix/Office", "");
    reg::DiscoveryOptions o;
    o.home = home;
    o.ownFolder = machine().folder();
    o.readDetails = false;
    std::vector<reg::MachineEntry> found = reg::discoverMachines(o);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_TRUE(found[1].windowsVersion.empty());  // not read yet: the dialog does that

    qv::OpenMachineDialog dlg(found, home / ".wine");
    QTreeWidget* list = dlg.lstMachines;
    ASSERT_EQ(list->topLevelItemCount(), 3);
    ASSERT_TRUE(waitUntil([&] { return dlg.detailsShown(); }));
    struct Row { const char* name; const char* windows; const char* server; bool bold; };
    const Row rows[] = {{"Own machine", "Microsoft Windows 98 (4.10.1998)", "", false},
                        {".wine", "Microsoft Windows 10 (6.3)", "stopped", true},
                        {"Office", "unknown", "stopped", false}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const QTreeWidgetItem* item = list->topLevelItem(i);
        EXPECT_EQ(item->text(0), rows[i].name);
        EXPECT_EQ(item->text(2), rows[i].windows);
        EXPECT_EQ(item->text(3), rows[i].server);
        EXPECT_EQ(item->font(0).bold(), rows[i].bold);  // the machine the window edits now
    }
    EXPECT_EQ(list->currentItem(), list->topLevelItem(1));
}

TEST_F(OpenMachine, ABrowsedFolderIsAPrefixAnOwnMachineOrRefusedWithAReason) {
    const fs::path root = dir_.path();
    makePrefix(root / "prefix", "", true);
    makePrefix(root / "own", "", false);
    fs::create_directories(root / "empty");
    qvtest::hive::Builder().write(root / "drive/WINDOWS/system32/CONFIG/software");
    put(root / "file", "x");
    struct Case { const char* folder; std::optional<reg::Machine::Kind> kind; const char* why; };
    const Case cases[] = {{"prefix", reg::Machine::Kind::WinePrefix, ""},
                          {"own", reg::Machine::Kind::Own, ""},
                          {"drive", reg::Machine::Kind::Windows, ""},
                          {"empty", std::nullopt, "holds no machine"},
                          {"file", std::nullopt, "is not a folder"},
                          {"missing", std::nullopt, "is not a folder"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        QString why;
        const auto choice = qv::classifyFolder(root / c.folder, &why);
        ASSERT_EQ(choice.has_value(), c.kind.has_value());
        if (choice) {
            EXPECT_EQ(choice->kind, *c.kind);
        }
        EXPECT_TRUE(why.contains(c.why)) << why.toStdString();
    }
}

TEST_F(OpenMachine, LeavingWithUnsavedEditsAsksSaveDiscardOrCancel) {
    const fs::path other = dir_.path() / "other";
    makePrefix(other, "Microsoft Windows 10");
    const qv::MachineChoice choice{reg::Machine::Kind::WinePrefix, other};
    const QString owner = "Somebody Else";
    struct Case { int answer; bool switched; bool saved; };
    const Case cases[] = {{qv::tk::vbCancel, false, false}, {qv::tk::vbNo, true, false}, {qv::tk::vbYes, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        form_.reset();
        boxes_.asked.clear();
        boxes_.answer = c.answer;
        set("txtRegisteredName", owner);
        EXPECT_EQ(form().switchMachine(choice), c.switched);
        ASSERT_EQ(boxes_.asked.size(), 1u);  // asked once, not again by the unload
        EXPECT_TRUE(boxes_.asked[0].text.contains("other")) << boxes_.asked[0].text.toStdString();
        EXPECT_EQ(form().isUnloaded(), c.switched);
        std::unique_ptr<reg::Machine> next = form().takeNextMachine();
        EXPECT_EQ(next != nullptr, c.switched);
        if (next) {
            EXPECT_EQ(next->folder(), other);
        }
        const auto stored = readFromDisk(reg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion",
                                         "RegisteredOwner");
        EXPECT_EQ(stored == reg::RegVariant(owner.toStdString()), c.saved);
        if (!c.switched) {
            EXPECT_EQ(value("txtRegisteredName"), owner);  // Cancel keeps the edit
        }
    }
}

// Which machine a start opens: a named one, else $WINEPREFIX, else the last one; the very first
// start (nothing opened before) is told so, for the window to offer the prefixes it finds.
TEST(StartMachine, WinePrefixThenTheLastMachineThenTheFirstStart) {
    using K = qv::cli::MachineToOpen::Kind;
    struct Case {
        const char* what;
        bool winePrefixSet, openedBefore;
        K kind;
        bool firstStart;
    } cases[] = {
        {"very first start", false, false, K::Own, true},
        {"$WINEPREFIX set", true, false, K::WinePrefix, false},
        {"$WINEPREFIX wins over the last machine", true, true, K::WinePrefix, false},
        {"a later start", false, true, K::Own, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir.path() / "data").c_str(), 1);
        const fs::path prefix = makeWinePrefix(dir.path() / "prefix");
        const fs::path last = dir.path() / "last";
        if (c.winePrefixSet) ::setenv("WINEPREFIX", prefix.c_str(), 1);
        else ::unsetenv("WINEPREFIX");
        if (c.openedBefore) {
            qv::reg::Machine::openOwn(last);
            ASSERT_TRUE(qv::reg::RecentMachines().touch(last, qv::reg::Machine::Kind::Own, 1000, nullptr));
        }
        const qv::cli::MachineToOpen m = qv::cli::chooseMachine(qv::cli::Options{});
        EXPECT_EQ(m.kind, c.kind);
        EXPECT_EQ(m.firstStart, c.firstStart);
        if (c.winePrefixSet) {
            EXPECT_EQ(m.path, prefix);
        } else if (c.openedBefore) {
            EXPECT_EQ(m.path, last);
        }
    }
    ::unsetenv("WINEPREFIX");
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("XDG_DATA_HOME");
}
