// The window follows its machine's files: a change another program makes is shown at once when
// nothing is edited, and offered (edits kept, Apply replays them onto the new files) when
// something is; the window's own Apply is no news to it.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QStatusBar>
#include <QThread>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/controls.h"
#include "app/machinebar.h"
#include "registry/fake_wineserver.h"
#include "app_support.h"
#include "registry/text.h"

using namespace qvtest;
namespace reg = qv::reg;
namespace ctl = qv::ctl;

namespace {

constexpr const char* kVersionKey = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kDesktopKey = "Control Panel\\Desktop";

std::string sz(const std::u16string& s) { return reg::utf16ToBytes(s + u'\0'); }

// Another program writing the machine's files.
enum class Writer {
    SecondMachine,  // another Quorvel commit: new files renamed into place
    Editor,         // a text editor: the same files rewritten where they are
};

class DiskChanges : public WindowTest, public ::testing::WithParamInterface<Writer> {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
        qv::tk::setInteractive(false);
    }
    void TearDown() override {
        qv::tk::setInteractive(true);
        ::unsetenv("XDG_STATE_HOME");
        WindowTest::TearDown();
    }
    QString value(const QString& name) { return ctl::valueOf(ctl::findControl(form(), name)); }
    void set(const QString& name, const QString& v) { ctl::setControl(form(), ctl::findControl(form(), name), v); }

    // The other program sets the registered owner (system.reg) and the menu delay (user.reg).
    void writeElsewhere(const std::u16string& owner, const std::u16string& delay) {
        const fs::path folder = machine().folder();
        fs::path target = folder;
        if (GetParam() == Writer::Editor) {
            target = dir_.path() / "scratch";
            fs::remove_all(target);
            fs::create_directories(target);
            fs::copy_file(folder / "system.reg", target / "system.reg");
            fs::copy_file(folder / "user.reg", target / "user.reg");
        }
        auto other = reg::Machine::openOwn(target);
        reg::HKey k;
        ASSERT_EQ(other->createKey(reg::HKEY_LOCAL_MACHINE, kVersionKey, &k), 0);
        ASSERT_EQ(other->setValue(k, "RegisteredOwner", reg::REG_SZ, sz(owner)), 0);
        other->closeKey(k);
        ASSERT_EQ(other->createKey(reg::HKEY_CURRENT_USER, kDesktopKey, &k), 0);
        ASSERT_EQ(other->setValue(k, "MenuShowDelay", reg::REG_SZ, sz(delay)), 0);
        other->closeKey(k);
        other->commit();
        if (GetParam() == Writer::Editor)
            for (const char* name : {"system.reg", "user.reg"}) {
                const std::string bytes = fileBytes(target / name);
                std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
                out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            }
    }
    std::string onDisk(int32_t root, const std::string& key, const std::string& name) {
        auto fresh = reg::Machine::openOwn(machine().folder());
        reg::HKey k;
        if (fresh->openKey(root, key, &k) != 0) return "<no key>";
        uint32_t type = 0;
        std::string data;
        const int32_t rc = fresh->queryValue(k, name, &type, &data);
        fresh->closeKey(k);
        return rc == 0 ? reg::utf16ToUtf8(reg::bytesToUtf16(data)).c_str() : "<none>";
    }
};

}  // namespace

TEST_P(DiskChanges, WithoutEditsTheWindowReloadsAndSaysSo) {
    form().show();
    ASSERT_NE(value("txtRegisteredName"), "Grace");
    writeElsewhere(u"Grace", u"123");
    ASSERT_TRUE(waitUntil([&] { return value("txtRegisteredName") == "Grace"; }))
        << value("txtRegisteredName").toStdString();
    EXPECT_EQ(value("sldMenuShowDelay"), "123");
    EXPECT_TRUE(form().statusBar()->currentMessage().startsWith("Reloaded"));
    EXPECT_FALSE(form().changedBar()->isVisible());
    EXPECT_TRUE(form().changedPages().empty());
    EXPECT_FALSE(machine().hasChanges());

    // A second change is followed too: the watch survives the files being replaced.
    writeElsewhere(u"Hopper", u"321");
    EXPECT_TRUE(waitUntil([&] { return value("txtRegisteredName") == "Hopper"; }));
    EXPECT_EQ(value("sldMenuShowDelay"), "321");
}

// The first load trusts files read a moment before, unless they changed in that moment.
TEST_P(DiskChanges, AChangeBetweenOpeningAndTheFirstLoadIsShown) {
    writeElsewhere(u"Grace", u"123");
    EXPECT_FALSE(machine().filesAsRead());
    EXPECT_EQ(value("txtRegisteredName"), "Grace");
    EXPECT_EQ(value("sldMenuShowDelay"), "123");
    EXPECT_TRUE(machine().filesAsRead());
}

TEST_P(DiskChanges, WithEditsTheBarKeepsThemAndApplyLandsBoth) {
    form().show();
    set("sldMenuShowDelay", "77");  // an unsaved edit on the menu speed page
    writeElsewhere(u"Grace", u"123");
    ASSERT_TRUE(waitUntil([&] { return form().changedBar()->isVisible(); }));
    EXPECT_EQ(value("sldMenuShowDelay"), "77");
    EXPECT_NE(value("txtRegisteredName"), "Grace");  // not reloaded behind the user's back

    // Reload brings in the pages not edited and keeps the edit, still to be applied.
    auto* reload = form().changedBar()->findChild<QPushButton*>("cmdReloadFromDisk");
    ASSERT_NE(reload, nullptr);
    reload->click();
    EXPECT_FALSE(form().changedBar()->isVisible());
    EXPECT_EQ(value("txtRegisteredName"), "Grace");
    EXPECT_EQ(value("sldMenuShowDelay"), "77");
    EXPECT_FALSE(form().changedPages().empty());

    // Apply writes the edit onto the other program's files: its values stay.
    ASSERT_TRUE(form().SaveSettings());
    EXPECT_EQ(onDisk(reg::HKEY_CURRENT_USER, kDesktopKey, "MenuShowDelay"), "77");
    EXPECT_EQ(onDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "RegisteredOwner"), "Grace");
}

TEST_P(DiskChanges, EditsAppliedWithoutReloadReplayOntoTheNewFiles) {
    form().show();
    set("sldMenuShowDelay", "88");
    writeElsewhere(u"Lovelace", u"123");
    ASSERT_TRUE(waitUntil([&] { return form().changedBar()->isVisible(); }));
    ASSERT_TRUE(form().SaveSettings());
    EXPECT_EQ(onDisk(reg::HKEY_CURRENT_USER, kDesktopKey, "MenuShowDelay"), "88");
    EXPECT_EQ(onDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "RegisteredOwner"), "Lovelace");
}

INSTANTIATE_TEST_SUITE_P(Writers, DiskChanges, ::testing::Values(Writer::SecondMachine, Writer::Editor),
                         [](const auto& info) {
                             return info.param == Writer::SecondMachine ? std::string("SecondMachine")
                                                                        : std::string("Editor");
                         });

TEST_F(WindowTest, OwnApplyIsNoNewsToTheWatcher) {
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
    qv::tk::setInteractive(false);
    form().show();
    ctl::setControl(form(), ctl::findControl(form(), "sldMenuShowDelay"), "55");
    ASSERT_TRUE(form().SaveSettings());
    // Long enough for the watcher's delayed look; it must find nothing new.
    waitUntil([] { return false; });
    EXPECT_FALSE(form().changedBar()->isVisible());
    EXPECT_FALSE(form().statusBar()->currentMessage().startsWith("Reloaded"));
    qv::tk::setInteractive(true);
    ::unsetenv("XDG_STATE_HOME");
}

TEST_F(WindowTest, NoRunningBarOnAnOwnMachine) {
    form().show();
    EXPECT_FALSE(form().runningBar()->isVisible());
}

// The running-prefix bar goes when the prefix's server stops, even when the server saved nothing.
TEST(RunningBar, GoesWhenTheServerStops) {
    TempDir dir;
    const fs::path prefix = makeWinePrefix(dir.path() / "prefix");
    auto server = std::make_unique<FakeWineserver>(prefix, "qv-bar-" + std::to_string(::getpid()));
    auto m = qv::reg::Machine::openWinePrefix(prefix);
    qv::frmMain form(*m);
    form.show();
    ASSERT_TRUE(form.runningBar()->isVisible());
    server.reset();
    EXPECT_TRUE(waitUntil([&] { return !form.runningBar()->isVisible(); }, 60000));
}

// A successful Apply and Undo say so in the status bar.
TEST_F(WindowTest, ApplyAndUndoAreToldInTheStatusBar) {
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
    qv::tk::setInteractive(false);
    ctl::setControl(form(), ctl::findControl(form(), "sldMenuShowDelay"), "55");
    form().cmdApply_Click();
    EXPECT_TRUE(form().statusBar()->currentMessage().startsWith("Applied to ")) << form().statusBar()->currentMessage().toStdString();
    ASSERT_TRUE(form().undoLastApply());
    EXPECT_TRUE(form().statusBar()->currentMessage().contains("was undone")) << form().statusBar()->currentMessage().toStdString();
    qv::tk::setInteractive(true);
    ::unsetenv("XDG_STATE_HOME");
}
