// The General, Start Menu and System pages end to end: the program run in scripting mode over a
// machine folder, then the registry files read back for exact types and bytes.
#include <QFileInfo>
#include <QProcess>
#include <sstream>

#include "app/controls.h"
#include "app/script.h"
#include "app_support.h"
#include "pages/system/general_settings.h"
#include "pages/system/start_menu.h"
#include "pages/system/system_settings.h"
#include "system_support.h"

using namespace qvtest;
namespace reg = qv::reg;
using namespace qv::pages;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

// The built program when there is one; otherwise the same scripting entry point in this process.
Outcome quorvel(const QStringList& args) {
    const QString exe = QStringLiteral(QV_BINARY_DIR "/app/quorvel");
    Outcome r;
    if (QFileInfo(exe).isExecutable()) {
        QProcess p;
        p.start(exe, args);
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            r.err = "timed out";
            return r;
        }
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput().toStdString();
        r.err = p.readAllStandardError().toStdString();
        return r;
    }
    std::ostringstream out, err;
    try {
        r.status = qv::cli::runScript(qv::cli::parse(args), out, err);
    } catch (const qv::ctl::UsageError& e) {
        r.status = 2;
        err << e.what();
    }
    r.out = out.str();
    r.err = err.str();
    return r;
}

class Scripted : public ::testing::Test {
protected:
    fs::path folder() const { return dir_.path() / "m"; }
    void SetUp() override { reg::Machine::openOwn(folder()); }
    Outcome run(QStringList args) {
        args.prepend(QString::fromStdString(folder().string()));
        args.prepend(QStringLiteral("--machine"));
        return quorvel(args);
    }
    void put(int32_t root, const char* key, const char* value, const Stored& s) {
        auto m = reg::Machine::openOwn(folder());
        putRaw(*m, root, key, value, s);
        m->commit();
    }
    std::optional<Stored> stored(int32_t root, const std::string& key, const char* value) {
        return storedOnDisk(folder(), root, key, value);
    }
    // NAME=VALUE lines of --list.
    std::string listed(const Outcome& r, const std::string& name) {
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name + "=", 0) == 0)
                return line.substr(name.size() + 1);
        return "<absent>";
    }
    TempDir dir_;
};

}  // namespace

TEST_F(Scripted, GeneralPagesWriteTheirExactForms) {
    // The seed keeps the drive types as four bytes, as Windows 98 does.
    ASSERT_EQ(stored(reg::HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoDriveTypeAutoRun"), binary({0x95, 0, 0, 0}));
    // An Apply that changed nothing leaves that form alone.
    Outcome r = run({"--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoDriveTypeAutoRun"), binary({0x95, 0, 0, 0}));

    put(reg::HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoDriveTypeAutoRun", dword(0x91));
    r = run({"--set", "chkAutoPlay(5)=0", "--set", "chkAnimateWindows=0", "--set", "chkClickHeretoBegin=0",
             "--set", "chkAutoplayAudio=0", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoDriveTypeAutoRun"), binary({0xB1}));
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kWindowMetricsKey, "MinAnimate"), sz("0"));
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoStartBanner"), dword(1));
    EXPECT_EQ(stored(reg::HKEY_LOCAL_MACHINE, kAudioCDShellKey, ""), sz(""));

    r = run({"--set", "chkClickHeretoBegin=1", "--set", "chkAnimateWindows=1", "--apply", "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoStartBanner"), std::nullopt);
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kWindowMetricsKey, "MinAnimate"), sz("1"));
    EXPECT_EQ(listed(r, "chkAutoPlay(5)"), "0");  // its bit is set: no autorun on CD-ROMs
    EXPECT_EQ(listed(r, "chkAutoplayAudio"), "0");
}

TEST_F(Scripted, MenuDelayIsWrittenAsTheDecimalTextOfTheSlider) {
    const struct {
        Stored stored;
        const char* slider;
    } cases[] = {{sz("400ms"), "400"}, {sz("fast"), "0"}, {dword(400), "400"}, {sz("70000"), "0"}};
    for (const auto& c : cases) {
        put(reg::HKEY_CURRENT_USER, kDesktopKey, "MenuShowDelay", c.stored);
        const Outcome r = run({"--list", "--apply"});
        ASSERT_EQ(r.status, 0) << r.err;
        // "70000" leaves the slider where a fresh window has it; the page was not changed, so
        // the stored form stays.
        EXPECT_EQ(listed(r, "sldMenuShowDelay"), c.slider) << c.stored;
        EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kDesktopKey, "MenuShowDelay"), c.stored) << c.stored;
    }
    Outcome r = run({"--set", "sldMenuShowDelay=65535"});
    EXPECT_EQ(r.status, 2);
    r = run({"--set", "sldMenuShowDelay=65534", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kDesktopKey, "MenuShowDelay"), sz("65534"));
}

TEST_F(Scripted, ResetMenuOrderActsWithoutApplyWithAndWithoutTheKey) {
    const std::string order = kMenuOrderKey;
    ASSERT_TRUE(keyOnDisk(folder(), reg::HKEY_CURRENT_USER, order + "\\Start Menu\\&Programs"));
    // With --diff it only shows what it would delete.
    const Outcome shown = run({"--click", "cmdResetMenuOrder", "--diff"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("[-HKEY_CURRENT_USER\\" + order + "]"), std::string::npos) << shown.out;
    EXPECT_TRUE(keyOnDisk(folder(), reg::HKEY_CURRENT_USER, order));
    for (int round = 0; round < 2; ++round) {
        const Outcome r = run({"--click", "cmdResetMenuOrder"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string(kMenuOrderAskText) + "\n" + kMenuOrderResetText + "\n") << round;
        EXPECT_FALSE(keyOnDisk(folder(), reg::HKEY_CURRENT_USER, order));
        EXPECT_TRUE(keyOnDisk(folder(), reg::HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"));
    }
    // The reset kept its way back.
    const Outcome undone = run({"--undo"});
    ASSERT_EQ(undone.status, 0) << undone.err;
    EXPECT_TRUE(keyOnDisk(folder(), reg::HKEY_CURRENT_USER, order + "\\Start Menu\\&Programs"));
}

TEST_F(Scripted, SystemPagesWriteTextsTimeoutsAndTheTildeByte) {
    put(reg::HKEY_CURRENT_USER, kTaskManagerKey, "HungAppTimeout", dword(400));
    put(reg::HKEY_CURRENT_USER, kTaskManagerKey, "WaitToKillAppTimeout", sz("120000"));
    Outcome r = run({"--list", "--set", "txtRegisteredCompany=50% and 10% off", "--set", "txtRegisteredName=",
                 "--set", "chkDisableTilde=1", "--set", "txtCabFilePath=%windir%\\OPTIONS", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listed(r, "sldWaitToKill"), "20000");  // unreadable: Windows' default stands
    EXPECT_EQ(listed(r, "sldHungApp"), "400");
    EXPECT_EQ(listed(r, "chkBeepOnErrors"), "1");
    EXPECT_EQ(stored(reg::HKEY_LOCAL_MACHINE, kVersionKey, "RegisteredOrganization"),
              sz("50% and 10% off", reg::REG_EXPAND_SZ));
    EXPECT_EQ(stored(reg::HKEY_LOCAL_MACHINE, kVersionKey, "RegisteredOwner"), sz(""));
    EXPECT_EQ(stored(reg::HKEY_LOCAL_MACHINE, kSetupKey, "SourcePath"), sz("%windir%\\OPTIONS", reg::REG_EXPAND_SZ));
    EXPECT_EQ(stored(reg::HKEY_LOCAL_MACHINE, kFileSystemKey, "NameNumericTail"), binary({0}));
    // The Task Manager page was not changed: its values keep their stored forms.
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kTaskManagerKey, "HungAppTimeout"), dword(400));
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kTaskManagerKey, "WaitToKillAppTimeout"), sz("120000"));

    r = run({"--click", "Command1", "--set", "chkDisableTilde=0", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kTaskManagerKey, "HungAppTimeout"), sz("20000"));
    EXPECT_EQ(stored(reg::HKEY_CURRENT_USER, kTaskManagerKey, "WaitToKillAppTimeout"), sz("20000"));
    EXPECT_EQ(stored(reg::HKEY_LOCAL_MACHINE, kFileSystemKey, "NameNumericTail"), std::nullopt);
}

TEST_F(Scripted, WhatNeedsTheWindowOrIsFixedIsRefused) {
    Outcome r = run({"--click", "cmdCabFilePathBrowse"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("folder browser"), std::string::npos) << r.err;
    r = run({"--set", "chkBeepOnErrors=0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("disabled"), std::string::npos) << r.err;
    r = run({"--set", "sldWaitToKill=100001"});
    EXPECT_EQ(r.status, 2);
}
