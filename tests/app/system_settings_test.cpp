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

// On a Wine prefix (as on Windows NT) the names are read from the NT key first, so that changing
// one of them never erases the other, and written to both keys.
TEST(SystemPagesOnAWinePrefix, OwnerAndOrganisationAreReadFromNTFirstAndNeverErased) {
    struct Case {
        const char* what;
        const char* ntOwner;     // nothing: not in the NT key
        bool ownerIn9x;          // the seed's "User" left in the 9x key
        const char* shown;
        const char* setOwner;    // nothing: only the company is changed
        const char* ntOwnerAfter;
    } cases[] = {
        {"both keys, names changed", "wine", true, "wine", "Ada", "Ada"},
        {"only NT holds the owner", "wine", false, "wine", nullptr, "wine"},
        {"no owner anywhere", nullptr, false, "", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MessageBoxes boxes;
        TempDir tmp;
        const fs::path prefix = makeWinePrefix(tmp.path() / "prefix", [&](reg::Machine& seed) {
            if (c.ntOwner) putRaw(seed, HKLM, kNTVersionKey, "RegisteredOwner", sz(c.ntOwner));
            reg::HKey k;
            if (!c.ownerIn9x && seed.openKey(HKLM, kVersionKey, &k) == 0) seed.deleteValue(k, "RegisteredOwner");
        });
        auto m = reg::Machine::openWinePrefix(prefix);
        {
            qv::frmMain form(*m);
            const auto set = [&](const char* name, const char* v) {
                qv::ctl::setControl(form, qv::ctl::findControl(form, name), v);
            };
            EXPECT_EQ(qv::ctl::valueOf(qv::ctl::findControl(form, "txtRegisteredName")), c.shown);
            if (c.setOwner) set("txtRegisteredName", c.setOwner);
            set("txtRegisteredCompany", "Engines %1 & %2");
            form.cmdApply_Click();
            EXPECT_EQ(form.commitFailures(), 0);
        }
        const auto at = [&](const char* key, const char* value) {
            return storedOnDisk(prefix, HKLM, key, value, reg::Machine::Kind::WinePrefix);
        };
        EXPECT_EQ(at(kNTVersionKey, "RegisteredOwner"), c.ntOwnerAfter ? std::optional<Stored>(sz(c.ntOwnerAfter)) : std::nullopt);
        for (const char* key : {kVersionKey, kNTVersionKey})
            EXPECT_EQ(at(key, "RegisteredOrganization"), sz("Engines %1 & %2", reg::REG_EXPAND_SZ)) << key;
        EXPECT_TRUE(boxes.asked.empty());
    }
}
