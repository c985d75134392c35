// Explore as Default (page 15) and Non-associated Files (page 18).
#include <QLabel>

#include "explorer_support.h"
#include "pages/explorer/explore_default.h"

using namespace qvtest;
using namespace qvtest::explorer;
using reg::HKEY_CLASSES_ROOT;
using reg::HKEY_LOCAL_MACHINE;

namespace {

const char* kOpenAs = "SOFTWARE\\Classes\\Unknown\\shell\\openas";
const char* kOpenAsCmd = "SOFTWARE\\Classes\\Unknown\\shell\\openas\\command";
const char* kStockCommand = "rundll32.exe shell32.dll,OpenAs_RunDLL %1";

class ExplorerExploreDefault : public ExplorerTest {
protected:
    tk::TextBox* caption() { return txt("txtUnassociatedFilesCaption"); }
    tk::TextBox* command() { return txt("txtUnassociatedFilesCommand"); }
    tk::CheckBox* explore() { return chk("chkExploreAsDefault"); }
};

}  // namespace

TEST_F(ExplorerExploreDefault, PagesCarryTheirControlsWithCaptionsAndTwipPositions) {
    qv::frmMain& f = form();
    const Placed expected[] = {
        {"chkExploreAsDefault", 15, "Explore as Default", twips(840, 1800, 3855, 255)},
        {"Label11", 18, "Caption:", twips(480, 2640, 1095, 255)},
        {"txtUnassociatedFilesCaption", 18, nullptr, twips(1680, 2640, 3015, 285)},
        {"Label12", 18, "Command:", twips(480, 3000, 1095, 255)},
        {"txtUnassociatedFilesCommand", 18, nullptr, twips(1680, 3000, 2535, 285)},
        {"cmdUnassociatedFilesBrowse", 18, "...", twips(4320, 3000, 375, 285)},
        {"cmdUnassociatedFilesReset", 18, "&Reset to default", twips(1680, 3480, 1695, 375)},
    };
    for (const Placed& e : expected) ASSERT_NO_FATAL_FAILURE(expectPlaced(f, e, true));
}

// ---- page 18 ----------------------------------------------------------------------------------

TEST_F(ExplorerExploreDefault, NoOpenAsKeyShowsTheDefaultCaptionAndApplyCreatesBothKeys) {
    removeKey(HKEY_LOCAL_MACHINE, kOpenAs);
    form();
    EXPECT_EQ(caption()->Text(), "Open with...");
    EXPECT_EQ(command()->Text(), "");  // no default for the command at load
    apply();
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAs, ""), sz("Open with..."));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAsCmd, ""), sz(""));
}

TEST_F(ExplorerExploreDefault, StoredCaptionAndCommandLoadAndGoBackUnchanged) {
    putString(HKEY_LOCAL_MACHINE, kOpenAs, "", "Pick a program");
    putString(HKEY_LOCAL_MACHINE, kOpenAsCmd, "", "c:\\pick.exe \"%1\"");
    form();
    EXPECT_EQ(caption()->Text(), "Pick a program");
    EXPECT_EQ(command()->Text(), "c:\\pick.exe \"%1\"");
    EXPECT_EQ(command()->cursorPosition(), 0);  // shows from its start
    // The same value through HKEY_CLASSES_ROOT.
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Unknown\\shell\\openas", ""), sz("Pick a program"));

    putString(HKEY_LOCAL_MACHINE, kOpenAs, "", "");  // empty counts as missing
    reload();
    EXPECT_EQ(caption()->Text(), "Open with...");

    caption()->setText("");
    command()->setText(" x ");
    apply();
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAs, ""), sz(""));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAsCmd, ""), sz(" x "));
}

TEST_F(ExplorerExploreDefault, ResetFillsTheDefaultsAndWritesNothingUntilApply) {
    putString(HKEY_LOCAL_MACHINE, kOpenAs, "", "Mine");
    putString(HKEY_LOCAL_MACHINE, kOpenAsCmd, "", "mine.exe %1");
    form();
    show(18);
    click(cmd("cmdUnassociatedFilesReset"));
    EXPECT_EQ(caption()->Text(), "Open with...");
    EXPECT_EQ(command()->Text(), kStockCommand);
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAs, ""), sz("Mine"));
    form().cmdCancel_Click();  // reset, then Cancel: the registry as it was
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAs, ""), sz("Mine"));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAsCmd, ""), sz("mine.exe %1"));
}

TEST_F(ExplorerExploreDefault, TheStockCommandIsStoredAsAPlainStringWithOnePercentSign) {
    form();
    show(18);
    click(cmd("cmdUnassociatedFilesReset"));
    apply();
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAsCmd, ""), sz(kStockCommand, reg::REG_SZ));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAs, ""), sz("Open with..."));
    command()->setText("%windir%\\pick.exe %1");
    apply();
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAsCmd, ""), sz("%windir%\\pick.exe %1", reg::REG_EXPAND_SZ));
}

TEST_F(ExplorerExploreDefault, BrowsePutsTheChosenProgramsWindowsPathIntoTheCommandBox) {
    form();
    show(18);
    const QString before = command()->Text();
    {
        FileDialogAnswer cancel(std::nullopt);
        click(cmd("cmdUnassociatedFilesBrowse"));
        ASSERT_EQ(cancel.asked.size(), 1u);
        EXPECT_EQ(cancel.asked[0].Filter,
                  "Program Files (*.exe)|*.exe|DOS Commands (*.com)|*.com|All Files (*.*)|*.*");
        EXPECT_EQ(cancel.asked[0].Flags, 4);
        EXPECT_TRUE(cancel.asked[0].CancelError);
        EXPECT_EQ(cancel.asked[0].FileName, "");
    }
    EXPECT_EQ(command()->Text(), before);
    {
        FileDialogAnswer pick(QString::fromStdString((folder() / "drive_c" / "Tools" / "Pick.exe").string()));
        click(cmd("cmdUnassociatedFilesBrowse"));
    }
    EXPECT_EQ(command()->Text(), "C:\\Tools\\Pick.exe");
    apply();
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAsCmd, ""), sz("C:\\Tools\\Pick.exe"));
}

// ---- page 15 ----------------------------------------------------------------------------------

TEST_F(ExplorerExploreDefault, ExploreInAnyCaseChecksTheBoxAndIsRewrittenInLowerCase) {
    putString(HKEY_CLASSES_ROOT, "Folder\\Shell", "", "Explore");
    form();
    EXPECT_EQ(explore()->Value(), 1);
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\Shell", ""), sz("explore"));

    putString(HKEY_CLASSES_ROOT, "Folder\\Shell", "", "EXPLORE");
    reload();
    EXPECT_EQ(explore()->Value(), 1);
}

TEST_F(ExplorerExploreDefault, AnyOtherVerbClearsTheBoxAndApplyWritesTheEmptyString) {
    putString(HKEY_CLASSES_ROOT, "Folder\\Shell", "", "open");
    form();
    EXPECT_EQ(explore()->Value(), 0);
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\Shell", ""), sz(""));

    unset(HKEY_CLASSES_ROOT, "Folder\\Shell", "");
    explore()->setValue(1);
    reload();
    EXPECT_EQ(explore()->Value(), 0);  // missing: clear

    explore()->setValue(2);  // greyed is not checked
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\Shell", ""), sz(""));
    show(15);
    click(explore());
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\Shell", ""), sz("explore"));
    EXPECT_EQ(form().fraOption(15)->Caption(), "Explore as Default");  // no change mark
}

TEST_F(ExplorerExploreDefault, ExploreVerbReading) {
    using qv::explorer::ExploresByDefault;
    EXPECT_TRUE(ExploresByDefault(std::string("eXpLoRe")));
    EXPECT_FALSE(ExploresByDefault(std::string("explore ")));
    EXPECT_FALSE(ExploresByDefault(reg::RegVariant{}));
    EXPECT_FALSE(ExploresByDefault(int32_t{1}));
}

TEST_F(ExplorerExploreDefault, ScriptDrivesBothPages) {
    const ScriptResult r = runQuorvel(folder(), {"--set", "chkExploreAsDefault=1", "--set",
                                                 "txtUnassociatedFilesCaption=Choose...", "--click",
                                                 "cmdUnassociatedFilesReset", "--apply", "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("txtUnassociatedFilesCaption=Open with...\n"), std::string::npos);
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, "Folder\\Shell", ""), sz("explore"));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAs, ""), sz("Open with..."));
    EXPECT_EQ(stored(HKEY_LOCAL_MACHINE, kOpenAsCmd, ""), sz(kStockCommand));
    const ScriptResult b = runQuorvel(folder(), {"--click", "cmdUnassociatedFilesBrowse"});
    EXPECT_EQ(b.status, 2);
}
