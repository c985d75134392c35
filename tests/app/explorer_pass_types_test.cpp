// The accessor's ValueType carries over from step to step of a pass (the page contract).
// These tests run whole passes, every page of the window included, over a registry
// whose values have unusual types, so that whatever the reads before a write left in ValueType
// is there when the Explorer pages write; each value must still land with exactly the type and
// bytes its Part names.
#include "explorer_support.h"

using namespace qvtest;
using namespace qvtest::explorer;
using reg::HKEY_CLASSES_ROOT;
using reg::HKEY_CURRENT_USER;
using reg::HKEY_LOCAL_MACHINE;

namespace {

const char* kPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const char* kExplorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
const char* kIcon = "Paint.Picture\\DefaultIcon";

class ExplorerPassTypes : public ExplorerTest {
protected:
    // Every value the Explorer pages read, stored with a type other than the one they write.
    void oddlyTypedRegistry() {
        put(HKEY_CURRENT_USER, kPolicies, "NoDrives", dword(0x00000009));               // A:, D:
        put(HKEY_CLASSES_ROOT, "Folder\\shell\\rootexplore\\command", "", binary({1, 2}));
        put(HKEY_CLASSES_ROOT, "Directory\\shell\\MS-DOS Prompt\\command", "", sz("c:\\4dos.com /k cd %1",
                                                                                       reg::REG_EXPAND_SZ));
        put(HKEY_CLASSES_ROOT, "*\\shell\\quorvel", "", dword(7));
        put(HKEY_CLASSES_ROOT, "*\\shell\\quorvel\\command", "", binary({0x41, 0x42}));
        put(HKEY_CURRENT_USER, kExplorer, "link", dword(5));
        put(HKEY_CLASSES_ROOT, kIcon, "", dword(3));
        put(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings", binary({1, 0, 0, 0}));
        put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Unknown\\shell\\openas", "", dword(12));
        put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Unknown\\shell\\openas\\command", "", binary({0x7A}));
        put(HKEY_CLASSES_ROOT, "Folder\\Shell", "", dword(1));
    }
};

}  // namespace

TEST_F(ExplorerPassTypes, EveryExplorerValueIsWrittenWithItsPartsTypeWhateverTheReadsLeft) {
    oddlyTypedRegistry();
    form();
    // What the load made of them.
    EXPECT_EQ(qv::ctl::valueOf(qv::ctl::findControl(form(), "lstDrives")), "A:,D:");
    EXPECT_TRUE(opt("optExploreFromHere(0)")->Value());
    EXPECT_EQ(txt("txtCustomCommandInterpreter")->Text(), "c:\\4dos.com");
    EXPECT_EQ(txt("txtAddToAllFilesTitle")->Text(), "7");
    EXPECT_EQ(txt("txtAddToAllFilesCommand")->Text(), "41 42");
    EXPECT_EQ(chk("chkShowShortcutToOnNewShortcuts")->Value(), 0);
    EXPECT_EQ(chk("chkBitmapsinExplorer")->Value(), 0);
    EXPECT_EQ(chk("chkSaveSettingsOnExit")->Value(), 0);
    EXPECT_EQ(txt("txtUnassociatedFilesCaption")->Text(), "12");
    EXPECT_EQ(txt("txtUnassociatedFilesCommand")->Text(), "7A");
    EXPECT_EQ(chk("chkExploreAsDefault")->Value(), 0);

    chk("chkBitmapsinExplorer")->setValue(1);  // the backup copies a numeric icon as text
    // Texts left alone keep their stored form; edited ones are text whatever the reads left.
    txt("txtCustomCommandInterpreter")->setText("c:\\4dos2.com");
    txt("txtAddToAllFilesTitle")->setText("8");
    txt("txtAddToAllFilesCommand")->setText("43 44");
    txt("txtUnassociatedFilesCaption")->setText("13");
    txt("txtUnassociatedFilesCommand")->setText("7B");
    apply();

    EXPECT_EQ(stored(HKEY_CURRENT_USER, kPolicies, "NoDrives"), binary({0x09, 0, 0, 0}));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\shell\\rootexplore\\command", ""),
              sz("explorer.exe /e,/root,/idlist,%I"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\shell\\rootexplore", ""), sz("Explore From Here"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Directory\\shell\\MS-DOS Prompt\\command", ""),
              sz("c:\\4dos2.com /k cd %1"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Directory\\shell\\MS-DOS Prompt", ""), sz("MS-DOS Prompt"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "*\\shell\\quorvel", ""), sz("8"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "*\\shell\\quorvel\\command", ""), sz("43 44"));
    EXPECT_EQ(stored(HKEY_CURRENT_USER, kExplorer, "link"), binary({0, 0, 0, 0}));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kIcon, "qvbackup"), sz("3"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kIcon, ""), sz("%1"));
    EXPECT_EQ(stored(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings"), dword(1));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Unknown\\shell\\openas", ""), sz("13"));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Unknown\\shell\\openas\\command", ""), sz("7B"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\Shell", ""), sz(""));
}

TEST_F(ExplorerPassTypes, ABinaryIconIsBackedUpAsTextAndReplacedByPercentOne) {
    // With the type the read leaves (REG_BINARY), "%1" could not be written at all.
    put(HKEY_CLASSES_ROOT, kIcon, "", binary({0x31, 0x32}));
    form();
    chk("chkBitmapsinExplorer")->setValue(1);
    chk("chkShowShortcutToOnNewShortcuts")->setValue(0);  // Prefix leaves REG_BINARY behind too
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kIcon, ""), sz("%1"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kIcon, "qvbackup"), sz("31 32"));
    chk("chkBitmapsinExplorer")->setValue(0);
    put(HKEY_CLASSES_ROOT, kIcon, "qvbackup", dword(4));
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kIcon, ""), sz("4"));
}

TEST_F(ExplorerPassTypes, TheSaveSettingsWriteHandsTheNextStepWhatShowBitmapsLeft) {
    qv::frmMain& f = form();
    struct Seen {
        int32_t classKey, valueType;
        std::string section, value;
    };
    std::vector<Seen> seen;
    // Step 9 of the save pass (Registration Information): look at the accessor as it arrives.
    f.setSaveBlock(31, [&](qv::Pass& p) {
        seen.push_back({p.reg().ClassKey(), p.reg().ValueType(), p.reg().SectionKey(), p.reg().ValueKey()});
    });

    chk("chkBitmapsinExplorer")->setValue(1);
    chk("chkSaveSettingsOnExit")->setValue(0);  // writes a REG_DWORD in the user's policies
    apply();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].classKey, reg::HKEY_CLASSES_ROOT);
    EXPECT_EQ(seen[0].section, kIcon);
    EXPECT_EQ(seen[0].value, "");
    EXPECT_EQ(seen[0].valueType, static_cast<int32_t>(reg::REG_SZ));
    EXPECT_EQ(stored(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings"), dword(1));

    // Unchecked with an icon backup of another type: the read of "qvbackup" sets ValueType.
    put(HKEY_CLASSES_ROOT, kIcon, "qvbackup", sz("%SystemRoot%\\x.dll,1", reg::REG_EXPAND_SZ));
    chk("chkBitmapsinExplorer")->setValue(0);
    chk("chkSaveSettingsOnExit")->setValue(1);
    seen.clear();
    apply();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].classKey, reg::HKEY_CLASSES_ROOT);
    EXPECT_EQ(seen[0].section, kIcon);
    EXPECT_EQ(seen[0].value, "");
    EXPECT_EQ(seen[0].valueType, static_cast<int32_t>(reg::REG_SZ));
    EXPECT_EQ(stored(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings"), std::nullopt);
}

TEST_F(ExplorerPassTypes, ReloadAndApplyTwiceLeaveTheExplorerValuesAsTheyWere) {
    oddlyTypedRegistry();
    form();
    apply();
    const auto read = [&](int32_t root, const char* key, const char* value) { return stored(root, key, value); };
    const auto drives = read(HKEY_CURRENT_USER, kPolicies, "NoDrives");
    const auto prompt = read(HKEY_CLASSES_ROOT, "Directory\\shell\\MS-DOS Prompt\\command", "");
    const auto title = read(HKEY_CLASSES_ROOT, "*\\shell\\quorvel", "");
    reload();
    apply();
    EXPECT_EQ(read(HKEY_CURRENT_USER, kPolicies, "NoDrives"), drives);
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, "Directory\\shell\\MS-DOS Prompt\\command", ""), prompt);
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, "*\\shell\\quorvel", ""), title);
    EXPECT_EQ(read(HKEY_CURRENT_USER, kPolicies, "NoSaveSettings"), dword(1));
}
