// the "Shortcut to" prefix (page 11), Save Settings (page 13) and bitmaps shown as
// their own icons (page 14).
#include "explorer_support.h"
#include "pages/explorer/shortcut_visual.h"

using namespace qvtest;
using namespace qvtest::explorer;
using reg::HKEY_CLASSES_ROOT;
using reg::HKEY_CURRENT_USER;

namespace {

const char* kExplorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
const char* kPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const char* kIcon = "Paint.Picture\\DefaultIcon";  // the seed's bitmap class
const char* kSeedIcon = "C:\\PROGRA~1\\ACCESS~1\\MSPAINT.EXE,1";

class ExplorerShortcutVisual : public ExplorerTest {
protected:
    tk::CheckBox* prefix() { return chk("chkShowShortcutToOnNewShortcuts"); }
    tk::CheckBox* saveSettings() { return chk("chkSaveSettingsOnExit"); }
    tk::CheckBox* bitmaps() { return chk("chkBitmapsinExplorer"); }
    std::optional<Stored> link() { return stored(HKEY_CURRENT_USER, kExplorer, "link"); }
    std::optional<Stored> noSave() { return stored(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings"); }
    std::optional<Stored> icon() { return stored(HKEY_CLASSES_ROOT, kIcon, ""); }
    std::optional<Stored> backup() { return stored(HKEY_CLASSES_ROOT, kIcon, "qvbackup"); }
};

}  // namespace

TEST_F(ExplorerShortcutVisual, ThreePagesEachWithOneCheckBox) {
    qv::frmMain& f = form();
    struct Expect {
        const char* name;
        int page;
        const char* caption;
        int width;
    };
    const Expect expected[] = {
        {"chkShowShortcutToOnNewShortcuts", 11, "Show \"Shortcut To\" on new shortcuts.", 3495},
        {"chkSaveSettingsOnExit", 13, "Save settings on exit.", 3975},
        {"chkBitmapsinExplorer", 14, "Show bitmaps as thumbnails.", 3735},
    };
    for (const Expect& e : expected) {
        const qv::ctl::Control c = qv::ctl::findControl(f, e.name);
        EXPECT_EQ(c.page, e.page);
        auto* box = qobject_cast<tk::CheckBox*>(c.object.data());
        ASSERT_NE(box, nullptr) << e.name;
        EXPECT_EQ(box->parentWidget(), f.fraOption(e.page));
        EXPECT_EQ(box->text(), e.caption);
        EXPECT_EQ(box->geometry(), twips(840, 2040, e.width, 255)) << e.name;
        EXPECT_FALSE(box->isTristate());  // two states
    }
}

// ---- Prefix -----------------------------------------------------------------------------------

TEST_F(ExplorerShortcutVisual, PrefixAbsentLoadsCheckedAndSavingCheckedDeletesNothing) {
    unset(HKEY_CURRENT_USER, kExplorer, "link");
    form();
    EXPECT_EQ(prefix()->Value(), 1);
    apply();
    EXPECT_EQ(link(), std::nullopt);
    EXPECT_TRUE(boxes_.asked.empty());  // nothing reported
}

TEST_F(ExplorerShortcutVisual, PrefixAnyDataUnchecksAndUncheckedWritesFourZeroBytes) {
    form();  // the seed's "link" holds 1e 00 00 00
    EXPECT_EQ(prefix()->Value(), 0);
    apply();
    EXPECT_EQ(link(), binary({0, 0, 0, 0}));
    reload();
    EXPECT_EQ(prefix()->Value(), 0);  // the program's own zero bytes are data too

    put(HKEY_CURRENT_USER, kExplorer, "link", binary({}));  // no data
    reload();
    EXPECT_EQ(prefix()->Value(), 1);
    put(HKEY_CURRENT_USER, kExplorer, "link", dword(0));
    reload();
    EXPECT_EQ(prefix()->Value(), 0);
    put(HKEY_CURRENT_USER, kExplorer, "link", sz(""));
    reload();
    EXPECT_EQ(prefix()->Value(), 1);

    show(11);
    prefix()->setValue(0);
    apply();
    EXPECT_EQ(link(), binary({0, 0, 0, 0}));
    click(prefix());
    EXPECT_EQ(prefix()->Value(), 1);
    apply();
    EXPECT_EQ(link(), std::nullopt);
}

// ---- Save Settings ----------------------------------------------------------------------------

TEST_F(ExplorerShortcutVisual, SaveSettingsShowsThePolicy) {
    put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", dword(1));
    form();
    EXPECT_EQ(saveSettings()->Value(), 0);
    put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", dword(0));
    reload();
    EXPECT_EQ(saveSettings()->Value(), 1);
    unset(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings");
    reload();
    EXPECT_EQ(saveSettings()->Value(), 1);
    put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", sz("1"));
    reload();
    EXPECT_EQ(saveSettings()->Value(), 0);
    put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", dword(2));
    reload();
    EXPECT_EQ(saveSettings()->Value(), 1);
    // The policy editor of Windows 95 writes binary data: 01 00 00 00 is 1.
    put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", binary({1, 0, 0, 0}));
    reload();
    EXPECT_EQ(saveSettings()->Value(), 0);
    put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", binary({0, 0, 0, 0}));
    reload();
    EXPECT_EQ(saveSettings()->Value(), 1);
}

TEST_F(ExplorerShortcutVisual, SaveSettingsIsWrittenBackCheckedDeletesUncheckedWritesDwordOne) {
    form();
    EXPECT_EQ(saveSettings()->Value(), 1);
    show(13);
    click(saveSettings());
    EXPECT_EQ(saveSettings()->Value(), 0);
    apply();
    EXPECT_EQ(noSave(), dword(1));
    EXPECT_EQ(form().fraOption(13)->Caption(), "Save Settings");
    reload();
    EXPECT_EQ(saveSettings()->Value(), 0);

    click(saveSettings());
    apply();
    EXPECT_EQ(noSave(), std::nullopt);

    // A binary 1 is kept as what it means: the next Apply stores it as REG_DWORD 1.
    put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", binary({1, 0, 0, 0}));
    reload();
    apply();
    EXPECT_EQ(noSave(), dword(1));
}

TEST_F(ExplorerShortcutVisual, PolicyReading) {
    using qv::explorer::LinkPrefixShown;
    using qv::explorer::SettingsSavedOnExit;
    EXPECT_TRUE(LinkPrefixShown(reg::RegVariant{}));
    EXPECT_FALSE(LinkPrefixShown(int32_t{0}));
    EXPECT_FALSE(LinkPrefixShown(std::vector<uint8_t>{0}));
    EXPECT_TRUE(SettingsSavedOnExit(reg::RegVariant{}));
    EXPECT_FALSE(SettingsSavedOnExit(int16_t{1}));
    EXPECT_FALSE(SettingsSavedOnExit(std::string(" 1 ")));
    EXPECT_TRUE(SettingsSavedOnExit(std::string("yes")));
    EXPECT_FALSE(SettingsSavedOnExit(std::vector<uint8_t>{1}));
    EXPECT_TRUE(SettingsSavedOnExit(std::vector<uint8_t>{1, 0, 0, 0, 1}));
    EXPECT_TRUE(SettingsSavedOnExit(std::vector<uint8_t>{}));
}

// ---- Show Bitmaps -----------------------------------------------------------------------------

TEST_F(ExplorerShortcutVisual, BitmapsCheckedKeepsTheFirstIconInTheBackupAcrossSaves) {
    form();
    EXPECT_EQ(bitmaps()->Value(), 0);
    show(14);
    click(bitmaps());
    apply();
    EXPECT_EQ(icon(), sz("%1"));
    EXPECT_EQ(backup(), sz(kSeedIcon));
    apply();  // saved twice: the backup is still the icon from before, not "%1"
    EXPECT_EQ(backup(), sz(kSeedIcon));
    reload();
    EXPECT_EQ(bitmaps()->Value(), 1);

    click(bitmaps());
    apply();
    EXPECT_EQ(icon(), sz(kSeedIcon));
    EXPECT_EQ(backup(), sz(kSeedIcon));  // the backup stays
    EXPECT_EQ(form().fraOption(14)->Caption(), "Show Bitmaps as Icons");
}

TEST_F(ExplorerShortcutVisual, BitmapsUncheckedWithoutABackupLeavesTheIcon) {
    putString(HKEY_CLASSES_ROOT, kIcon, "", "%1");  // another program's doing
    form();
    EXPECT_EQ(bitmaps()->Value(), 1);
    bitmaps()->setValue(0);
    apply();
    EXPECT_EQ(icon(), sz("%1"));
    EXPECT_EQ(backup(), std::nullopt);

    putString(HKEY_CLASSES_ROOT, kIcon, "", "other.dll,3");
    putString(HKEY_CLASSES_ROOT, kIcon, "qvbackup", "");  // an empty backup restores nothing
    reload();
    apply();
    EXPECT_EQ(icon(), sz("other.dll,3"));
}

TEST_F(ExplorerShortcutVisual, BitmapsFollowTheClassThatDotBmpNames) {
    putString(HKEY_CLASSES_ROOT, ".bmp", "", "MyBitmap");
    putString(HKEY_CLASSES_ROOT, "MyBitmap\\DefaultIcon", "", "%1");
    form();
    EXPECT_EQ(bitmaps()->Value(), 1);
    putString(HKEY_CLASSES_ROOT, "MyBitmap\\DefaultIcon", "", "%1 ");  // exactly "%1" only
    reload();
    EXPECT_EQ(bitmaps()->Value(), 0);
    bitmaps()->setValue(1);
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "MyBitmap\\DefaultIcon", ""), sz("%1"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "MyBitmap\\DefaultIcon", "qvbackup"), sz("%1 "));
    EXPECT_EQ(icon(), sz(kSeedIcon));  // the other class is not touched
}

// No class name: the icon key would be "\DefaultIcon", a key at the root of HKEY_CLASSES_ROOT.
TEST_F(ExplorerShortcutVisual, BitmapsWithoutAClassNameLoadClearAndWriteNothing) {
    putString(HKEY_CLASSES_ROOT, "DefaultIcon", "", "%1");  // a trap at the root
    unset(HKEY_CLASSES_ROOT, ".bmp", "");
    form();
    EXPECT_EQ(bitmaps()->Value(), 0);
    bitmaps()->setValue(1);
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "DefaultIcon", ""), sz("%1"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "DefaultIcon", "qvbackup"), std::nullopt);

    removeKey(HKEY_CLASSES_ROOT, "DefaultIcon");
    removeKey(HKEY_CLASSES_ROOT, ".bmp");
    reload();
    bitmaps()->setValue(1);
    apply();
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, "DefaultIcon"));
    EXPECT_EQ(icon(), sz(kSeedIcon));
    // The rest of the pass still ran: the Save Settings box was written back after it.
    EXPECT_EQ(noSave(), std::nullopt);
    saveSettings()->setValue(0);
    apply();
    EXPECT_EQ(noSave(), dword(1));
}

TEST_F(ExplorerShortcutVisual, ScriptTurnsTheThreeBoxes) {
    ScriptResult r = runQuorvel(folder(), {"--set", "chkShowShortcutToOnNewShortcuts=1", "--set",
                                           "chkBitmapsinExplorer=1", "--set", "chkSaveSettingsOnExit=0", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(link(), std::nullopt);
    EXPECT_EQ(icon(), sz("%1"));
    EXPECT_EQ(backup(), sz(kSeedIcon));
    EXPECT_EQ(noSave(), dword(1));
    r = runQuorvel(folder(), {"--list"});
    EXPECT_NE(r.out.find("chkShowShortcutToOnNewShortcuts=1\n"), std::string::npos);
    EXPECT_NE(r.out.find("chkBitmapsinExplorer=1\n"), std::string::npos);
    EXPECT_NE(r.out.find("chkSaveSettingsOnExit=0\n"), std::string::npos);
    r = runQuorvel(folder(), {"--set", "chkShowShortcutToOnNewShortcuts=0", "--set", "chkBitmapsinExplorer=0",
                              "--set", "chkSaveSettingsOnExit=1", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(link(), binary({0, 0, 0, 0}));
    EXPECT_EQ(icon(), sz(kSeedIcon));
    EXPECT_EQ(noSave(), std::nullopt);
}
