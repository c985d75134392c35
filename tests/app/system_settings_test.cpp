// The System pages in the window: Beep on Errors, the numeric-tail byte, registration (also on a
// Wine prefix), and what the loads make of odd stored values.
#include "app_support.h"
#include "pages/system/system_settings.h"
#include "system_support.h"

using namespace qvtest;
namespace reg = qv::reg;
using namespace qv::pages;

namespace {

constexpr int32_t HKCU = reg::HKEY_CURRENT_USER;
constexpr int32_t HKLM = reg::HKEY_LOCAL_MACHINE;
using SystemPages = PageTest;

}  // namespace

TEST_F(SystemPages, BeepOnErrorsIsShownCheckedAndCannotBeChanged) {
    auto* box = control<qv::tk::CheckBox>(form(), "chkBeepOnErrors");
    EXPECT_EQ(box->text().replace('\n', ' '), "Beep on errors (unsupported in this version of Windows)");
    EXPECT_EQ(box->Value(), 1);
    EXPECT_FALSE(box->isEnabled());
    EXPECT_THROW(set("chkBeepOnErrors", "0"), qv::ctl::UsageError);
    apply();
    reload();
    EXPECT_EQ(box->Value(), 1);
}

TEST_F(SystemPages, TildeIsCheckedOnlyByAFirstByteOfZero) {
    for (const Stored& other : {binary({1}), dword(0), sz("0"), Stored{reg::REG_BINARY, {}}}) {
        put(HKLM, kFileSystemKey, "NameNumericTail", binary({0, 1}));
        reload();
        ASSERT_EQ(value("chkDisableTilde"), "1");
        put(HKLM, kFileSystemKey, "NameNumericTail", other);
        reload();
        EXPECT_EQ(value("chkDisableTilde"), "0") << other;
    }
}

TEST_F(SystemPages, TimeoutsThatASliderCannotShowLeaveItAndTheOtherStillLoads) {
    put(HKCU, kTaskManagerKey, "WaitToKillAppTimeout", sz("20000"));
    for (const char* odd : {"120000", "-5", "soon", "400ms"}) {
        reload();
        ASSERT_EQ(value("sldWaitToKill"), "20000");
        put(HKCU, kTaskManagerKey, "WaitToKillAppTimeout", sz(odd));
        put(HKCU, kTaskManagerKey, "HungAppTimeout", sz("7000"));
        reload();
        EXPECT_EQ(value("sldWaitToKill"), "20000") << odd;
        EXPECT_EQ(value("sldHungApp"), "7000") << odd;
        put(HKCU, kTaskManagerKey, "WaitToKillAppTimeout", sz("20000"));
        put(HKCU, kTaskManagerKey, "HungAppTimeout", sz("1"));
    }
}

TEST_F(SystemPages, ResetToDefaultsMovesBothSlidersOnly) {
    put(HKCU, kTaskManagerKey, "HungAppTimeout", sz("4000"));
    reload();
    click("Command1");
    EXPECT_EQ(value("sldWaitToKill"), "20000");
    EXPECT_EQ(value("sldHungApp"), "20000");
    EXPECT_FALSE(machine().hasChanges());
    form().cmdCancel_Click();
    EXPECT_EQ(onDisk(HKCU, kTaskManagerKey, "HungAppTimeout"), sz("4000"));
}

TEST_F(SystemPages, SavesSetTheirOwnTypeWhateverEarlierStepsLeft) {
    // Loads of other types and the banner's REG_DWORD write, just before the time-outs, leave
    // their ValueType in the pass's one accessor.
    put(HKLM, kVersionKey, "RegisteredOwner", dword(7));
    put(HKLM, kSetupKey, "SourcePath", binary({0x41}));
    put(HKCU, kTaskManagerKey, "HungAppTimeout", dword(9000));
    put(HKCU, "Control Panel\\Desktop\\WindowMetrics", "MinAnimate", dword(1));
    put(HKLM, "Software\\Classes\\AudioCD\\shell", "", dword(0));
    set("chkClickHeretoBegin", "0");
    set("chkAutoplayAudio", "1");
    // Texts left alone keep their stored form; edited ones are text whatever the reads left.
    set("txtRegisteredName", "8");
    set("txtCabFilePath", "42");
    apply();
    EXPECT_EQ(onDisk(HKLM, kVersionKey, "RegisteredOwner"), sz("8"));
    EXPECT_EQ(onDisk(HKLM, kSetupKey, "SourcePath"), sz("42"));
    EXPECT_EQ(onDisk(HKCU, kTaskManagerKey, "HungAppTimeout"), sz("9000"));
    EXPECT_EQ(onDisk(HKCU, "Control Panel\\Desktop\\WindowMetrics", "MinAnimate"), sz("1"));
    EXPECT_EQ(onDisk(HKLM, "Software\\Classes\\AudioCD\\shell", ""), sz("play"));
    // An own machine is a Windows 98 one: the NT place stays untouched.
    EXPECT_EQ(onDisk(HKLM, kNTVersionKey, "RegisteredOwner"), std::nullopt);
}

TEST(SystemPagesOnAWinePrefix, OwnerAndOrganisationAlsoGoWhereNTShowsThem) {
    MessageBoxes boxes;
    TempDir tmp;
    const fs::path prefix = tmp.path() / "prefix";
    {
        auto seed = reg::Machine::openOwn(tmp.path() / "seed");
        putRaw(*seed, HKLM, kNTVersionKey, "RegisteredOwner", sz("wine"));
        seed->commit();
        fs::create_directories(prefix / "dosdevices");
        fs::create_directories(prefix / "drive_c" / "windows" / "system32");
        fs::create_directory_symlink("../drive_c", prefix / "dosdevices" / "c:");
        for (const char* file : {"system.reg", "user.reg"})
            fs::copy_file(tmp.path() / "seed" / file, prefix / file);
    }
    auto m = reg::Machine::openWinePrefix(prefix);
    {
        qv::frmMain form(*m);
        const auto set = [&](const char* name, const char* v) {
            qv::ctl::setControl(form, qv::ctl::findControl(form, name), v);
        };
        EXPECT_EQ(qv::ctl::valueOf(qv::ctl::findControl(form, "txtRegisteredName")), "User");  // the 9x place
        set("txtRegisteredName", "Ada");
        set("txtRegisteredCompany", "Engines %1 & %2");
        form.cmdApply_Click();
        EXPECT_EQ(form.commitFailures(), 0);
    }
    for (const char* key : {kVersionKey, kNTVersionKey}) {
        const auto at = [&](const char* value) {
            return storedOnDisk(prefix, HKLM, key, value, reg::Machine::Kind::WinePrefix);
        };
        EXPECT_EQ(at("RegisteredOwner"), sz("Ada")) << key;
        EXPECT_EQ(at("RegisteredOrganization"), sz("Engines %1 & %2", reg::REG_EXPAND_SZ)) << key;
    }
    EXPECT_TRUE(boxes.asked.empty());
}
