// The General pages in the window: what each load makes of stored values, and what each save
// writes, whatever the steps before it left in the accessor.
#include "app/controls.h"
#include "app_support.h"
#include "pages/system/general_settings.h"
#include "system_support.h"

using namespace qvtest;
namespace reg = qv::reg;
using qv::pages::kAudioCDShellKey;
using qv::pages::kExplorerPoliciesKey;
using qv::pages::kWindowMetricsKey;

namespace {

constexpr int32_t HKCU = reg::HKEY_CURRENT_USER;

class GeneralPages : public PageTest {
protected:
    // Which of the seven drive-type boxes are checked, as a mask.
    int boxes() {
        int mask = 0;
        for (int i = 0; i < 7; ++i)
            mask |= value(QStringLiteral("chkAutoPlay(%1)").arg(i)).toInt() << i;
        return mask;
    }
};

}  // namespace

TEST(DriveTypeMask, TakesTheFirstByteOfBinaryDataAndTheLowByteOfADword) {
    using qv::pages::DriveTypeMask;
    EXPECT_EQ(DriveTypeMask(std::vector<uint8_t>{0x95, 0, 0, 0}), 0x95);
    EXPECT_EQ(DriveTypeMask(std::vector<uint8_t>{}), 0);
    EXPECT_EQ(DriveTypeMask(int32_t{0x3FF}), 0xFF);
    EXPECT_EQ(DriveTypeMask(int32_t{-1}), 0xFF);
    EXPECT_EQ(DriveTypeMask(std::string("149")), 0);
    EXPECT_EQ(DriveTypeMask(reg::RegVariant{}), 0);
}

TEST_F(GeneralPages, DriveTypesFollowTheStoredMaskAndSaveOneByteWithTheTopBitSet) {
    // A set bit switches autorun off: the boxes tick the types whose bits are clear.
    put(HKCU, kExplorerPoliciesKey, "NoDriveTypeAutoRun", binary({0x95, 0, 0, 0}));
    EXPECT_EQ(boxes(), 0x6A);  // all but Unkown Drives, Removable, Remote
    EXPECT_EQ(control<qv::tk::CheckBox>(form(), "chkAutoPlay(0)")->text(), "Unkown Drives");
    // A bit cleared elsewhere ticks its box on reload.
    put(HKCU, kExplorerPoliciesKey, "NoDriveTypeAutoRun", binary({0x11}));
    reload();
    EXPECT_EQ(boxes(), 0x6E);
    // An NT-style DWORD keeps its drive types rather than reading as "autorun everywhere".
    put(HKCU, kExplorerPoliciesKey, "NoDriveTypeAutoRun", dword(0xFF));
    reload();
    EXPECT_EQ(boxes(), 0x00);
    apply();
    EXPECT_EQ(onDisk(HKCU, kExplorerPoliciesKey, "NoDriveTypeAutoRun"), binary({0xFF}));
    for (int i = 0; i < 7; ++i)
        set(QStringLiteral("chkAutoPlay(%1)").arg(i), "1");
    apply();
    EXPECT_EQ(onDisk(HKCU, kExplorerPoliciesKey, "NoDriveTypeAutoRun"), binary({0x80}));
}

TEST_F(GeneralPages, StartBannerTakesOnlyValuesACheckBoxCanShow) {
    remove(HKCU, kExplorerPoliciesKey, "NoStartBanner");
    EXPECT_EQ(value("chkClickHeretoBegin"), "1");  // no value: the banner shows
    set("chkClickHeretoBegin", "0");
    for (const Stored& odd : {binary({1, 0, 0, 0}), dword(5), sz("yes")}) {
        put(HKCU, kExplorerPoliciesKey, "NoStartBanner", odd);
        reload();
        EXPECT_EQ(value("chkClickHeretoBegin"), "0") << odd;
    }
    put(HKCU, kExplorerPoliciesKey, "NoStartBanner", sz("0"));
    reload();
    EXPECT_EQ(value("chkClickHeretoBegin"), "1");
    // Greyed is not ticked: the banner stays hidden.
    remove(HKCU, kExplorerPoliciesKey, "NoStartBanner");
    set("chkClickHeretoBegin", "2");
    apply();
    EXPECT_EQ(onDisk(HKCU, kExplorerPoliciesKey, "NoStartBanner"), dword(1));
}

TEST_F(GeneralPages, AudioCDIsThePlayVerbInAnyCaseAndAnEmptyTextWhenOff) {
    put(reg::HKEY_LOCAL_MACHINE, kAudioCDShellKey, "", sz("Play"));
    EXPECT_EQ(value("chkAutoplayAudio"), "1");
    set("chkAutoplayAudio", "0");
    apply();
    EXPECT_EQ(onDisk(reg::HKEY_LOCAL_MACHINE, kAudioCDShellKey, ""), sz(""));
    // Without the key: unchecked on load, created by the save.
    reg::cRegistry r(machine());
    r.setClassKey(reg::HKEY_LOCAL_MACHINE);
    r.setSectionKey("Software\\Classes\\AudioCD");
    ASSERT_TRUE(r.DeleteKey());
    machine().commit();
    set("chkAutoplayAudio", "1");
    reload();
    EXPECT_EQ(value("chkAutoplayAudio"), "0");
    set("chkAutoplayAudio", "1");
    apply();
    EXPECT_EQ(onDisk(reg::HKEY_LOCAL_MACHINE, kAudioCDShellKey, ""), sz("play"));
}

TEST_F(GeneralPages, WindowAnimationReadsTheLeadingNumberAndLeavesTheBoxForOtherNumbers) {
    put(HKCU, kWindowMetricsKey, "MinAnimate", sz("1 (on)"));
    EXPECT_EQ(value("chkAnimateWindows"), "1");
    for (const char* odd : {"7", "70000"}) {  // no state, no 16-bit number
        put(HKCU, kWindowMetricsKey, "MinAnimate", sz(odd));
        reload();
        EXPECT_EQ(value("chkAnimateWindows"), "1") << odd;
    }
    remove(HKCU, kWindowMetricsKey, "MinAnimate");
    reload();
    EXPECT_EQ(value("chkAnimateWindows"), "0");
    apply();
    EXPECT_EQ(onDisk(HKCU, kWindowMetricsKey, "MinAnimate"), sz("0"));
}
