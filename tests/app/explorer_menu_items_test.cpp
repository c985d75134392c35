// context-menu commands: Explore From Here (page 4), the MS-DOS prompt on directories
// (page 5) and a command on all files (page 6), through the window and its passes.
#include <QLabel>
#include <fstream>
#include <iterator>

#include "app/artwork.h"
#include "explorer_support.h"
#include "pages/explorer/menu_items.h"

using namespace qvtest;
using namespace qvtest::explorer;
using reg::HKEY_CLASSES_ROOT;

namespace {

const char* kRoot = "Folder\\shell\\rootexplore";
const char* kRootCmd = "Folder\\shell\\rootexplore\\command";
const char* kPrompt = "Directory\\shell\\MS-DOS Prompt";
const char* kPromptCmd = "Directory\\shell\\MS-DOS Prompt\\command";
const char* kAll = "*\\shell\\quorvel";
const char* kAllCmd = "*\\shell\\quorvel\\command";

class ExplorerMenuItems : public ExplorerTest {
protected:
    void promptCommand(const std::string& command) {
        putString(HKEY_CLASSES_ROOT, kPrompt, "", "MS-DOS Prompt");
        putString(HKEY_CLASSES_ROOT, kPromptCmd, "", command);
    }
    struct PromptState {
        bool enabledOption;
        int check;
        bool checkEnabled;
        QString text;
        bool textEnabled;
        bool browseEnabled;
    };
    PromptState prompt() {
        return {opt("optMSDOSPromptOnDirs(0)")->Value(), chk("chkCustomCommandInterpreter")->Value(),
                chk("chkCustomCommandInterpreter")->isEnabled(), txt("txtCustomCommandInterpreter")->Text(),
                txt("txtCustomCommandInterpreter")->isEnabled(), cmd("cmdBrowseCommandInterpreter")->isEnabled()};
    }
};

}  // namespace

// ---- the pages as built ------------------------------------------------------------------------

TEST_F(ExplorerMenuItems, PagesCarryTheirControlsWithCaptionsAndTwipPositions) {
    qv::frmMain& f = form();
    const Placed expected[] = {
        {"optExploreFromHere(0)", 4, "&Enabled", twips(360, 1560, 1815, 195)},
        {"optExploreFromHere(1)", 4, "&Disabled", twips(360, 1800, 2655, 195)},
        {"optMSDOSPromptOnDirs(0)", 5, "&Enabled", twips(360, 1560, 1215, 195)},
        {"optMSDOSPromptOnDirs(1)", 5, "&Disabled", twips(360, 1800, 1575, 195)},
        {"chkCustomCommandInterpreter", 5, "&Use custom command interpreter:", twips(360, 2280, 3615, 255)},
        {"txtCustomCommandInterpreter", 5, nullptr, twips(840, 2640, 3135, 285)},
        {"cmdBrowseCommandInterpreter", 5, "...", twips(4080, 2640, 375, 285)},
        {"optShowOnAllFiles(0)", 6, "&Enabled", twips(360, 1560, 2535, 195)},
        {"optShowOnAllFiles(1)", 6, "&Disabled", twips(360, 1800, 3375, 195)},
        {"Label1", 6, "&Title:", twips(240, 2280, 1095, 255)},
        {"txtAddToAllFilesTitle", 6, nullptr, twips(1440, 2240, 3135, 285)},
        {"Label2", 6, "Co&mmand:", twips(240, 2640, 1095, 255)},
        {"txtAddToAllFilesCommand", 6, nullptr, twips(1440, 2600, 2535, 285)},
        {"cmdAddToAllFilesBrowseForProgram", 6, "...", twips(4080, 2600, 495, 285)},
        {"Image2", 6, nullptr, twips(480, 3720, 480, 480)},
        {"Label3", 6,
         "If you use the Microsoft Office shortcut bar, enabling this option may cause problems.  Clicking on a "
         "shortcut will execute the command you entered above, rather then executing the application you thought "
         "it would.",
         twips(1200, 3720, 3375, 975)},
    };
    for (const Placed& e : expected) ASSERT_NO_FATAL_FAILURE(expectPlaced(f, e, false));
    // The etched rule between the options and the check box.
    auto* grey = ctl<QWidget>("Line4");
    auto* white = ctl<QWidget>("Line3");
    EXPECT_EQ(grey->geometry(), QRect(tk::px(360), tk::px(2160), tk::px(4920) - tk::px(360), 1));
    EXPECT_EQ(white->geometry().top(), tk::px(2170));
    EXPECT_EQ(grey->palette().color(QPalette::Window), QColor(128, 128, 128));
    EXPECT_EQ(white->palette().color(QPalette::Window), QColor(255, 255, 255));
    // The warning icon beside the note, and the labels' mnemonics lead to their boxes.
    EXPECT_EQ(ctl<QLabel>("Image2")->pixmap().toImage(), qv::art::warningPixmap().toImage());
    EXPECT_EQ(ctl<QLabel>("Image2")->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(ctl<QLabel>("Label1")->buddy(), txt("txtAddToAllFilesTitle"));
    EXPECT_EQ(ctl<QLabel>("Label2")->buddy(), txt("txtAddToAllFilesCommand"));
    // The whole note fits its box.
    auto* note = ctl<QLabel>("Label3");
    EXPECT_LE(note->heightForWidth(note->width()), note->height());
}

TEST_F(ExplorerMenuItems, ASeededMachineShowsThreeDisabledCommandsWithPageFiveAsBuilt) {
    form();
    EXPECT_FALSE(opt("optExploreFromHere(0)")->Value());
    EXPECT_TRUE(opt("optExploreFromHere(1)")->Value());
    // Page 5: the initial "command.com", clear and disabled with the option.
    const PromptState s = prompt();
    EXPECT_FALSE(s.enabledOption);
    EXPECT_TRUE(opt("optMSDOSPromptOnDirs(1)")->Value());
    EXPECT_EQ(s.check, 0);
    EXPECT_FALSE(s.checkEnabled);
    EXPECT_EQ(s.text, "command.com");
    EXPECT_FALSE(s.textEnabled);
    EXPECT_FALSE(s.browseEnabled);
    // Page 6: no verb, so both boxes empty and disabled with the browse button.
    EXPECT_TRUE(opt("optShowOnAllFiles(1)")->Value());
    EXPECT_EQ(txt("txtAddToAllFilesTitle")->Text(), "");
    EXPECT_EQ(txt("txtAddToAllFilesCommand")->Text(), "");
    EXPECT_FALSE(txt("txtAddToAllFilesTitle")->isEnabled());
    EXPECT_FALSE(txt("txtAddToAllFilesCommand")->isEnabled());
    EXPECT_FALSE(cmd("cmdAddToAllFilesBrowseForProgram")->isEnabled());
    // No page was touched by the user: no change marks.
    EXPECT_EQ(form().fraOption(4)->Caption(), "Explore From Here");
    EXPECT_EQ(form().fraOption(5)->Caption(), "MSDOS Prompt on Directories");
}

// ---- page 4 -----------------------------------------------------------------------------------

TEST_F(ExplorerMenuItems, ExploreFromHereReadsTheCommandKeyAndWritesCommandThenCaption) {
    putString(HKEY_CLASSES_ROOT, kRootCmd, "", "whatever");
    form();
    EXPECT_TRUE(opt("optExploreFromHere(0)")->Value());
    EXPECT_FALSE(opt("optExploreFromHere(1)")->Value());
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kRootCmd, ""), sz("explorer.exe /e,/root,/idlist,%I"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kRoot, ""), sz("Explore From Here"));

    // The verb key alone (no "command") counts as absent.
    removeKey(HKEY_CLASSES_ROOT, kRootCmd);
    reload();
    EXPECT_TRUE(opt("optExploreFromHere(1)")->Value());
}

TEST_F(ExplorerMenuItems, ExploreFromHereMarksItsPageOnceAndApplyRemovesTheMarkAndTheSubtree) {
    putString(HKEY_CLASSES_ROOT, kRootCmd, "", "explorer.exe /e,/root,/idlist,%I");
    putString(HKEY_CLASSES_ROOT, kRootCmd + std::string("\\deeper"), "x", "y");
    putString(HKEY_CLASSES_ROOT, kRoot, "", "Explore From Here");
    qv::frmMain& f = form();
    show(4);
    click(opt("optExploreFromHere(1)"));
    EXPECT_TRUE(opt("optExploreFromHere(1)")->Value());
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here*");
    click(opt("optExploreFromHere(0)"));
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here*");  // one mark
    click(opt("optExploreFromHere(1)"));
    apply();
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here");
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kRoot));
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kRootCmd + std::string("\\deeper")));
    EXPECT_TRUE(keyStored(HKEY_CLASSES_ROOT, "Folder\\shell"));
}

TEST_F(ExplorerMenuItems, AChangeMarkNeedsThePageOnScreenAndSurvivesReloadUntilApply) {
    qv::frmMain& f = form();
    // Selected by code while another page is shown: no mark.
    opt("optExploreFromHere(0)")->setValue(true);
    opt("optMSDOSPromptOnDirs(0)")->setValue(true);
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here");
    EXPECT_EQ(f.fraOption(5)->Caption(), "MSDOS Prompt on Directories");
    show(4);
    click(opt("optExploreFromHere(1)"));
    show(1);
    reload();
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here*");
    apply();
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here");
}

// The option handlers tell the load pass from the user only by the page on screen (see
// the page contract): a reload while page 4 or 5 is shown selects an option there, which
// marks the page as a user's click would.
TEST_F(ExplorerMenuItems, AReloadWhilePageFourIsShownMarksItAsTheHandlerCannotTellTheTwoApart) {
    qv::frmMain& f = form();
    show(4);
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here");
    reload();
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here*");
    EXPECT_EQ(f.fraOption(5)->Caption(), "MSDOS Prompt on Directories");
    apply();
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here");
}

TEST_F(ExplorerMenuItems, DisabledCommandsWhoseVerbsAreAbsentChangeNothing) {
    form();
    apply();  // the other pages write what they show
    const auto read = [&](const char* file) {
        std::ifstream in(folder() / file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string system = read("system.reg"), user = read("user.reg");
    apply();  // deleting absent verbs: nothing to write
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kRoot));
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kPrompt));
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kAll));
    EXPECT_EQ(read("system.reg"), system);
    EXPECT_EQ(read("user.reg"), user);
}

// ---- page 5 -----------------------------------------------------------------------------------

TEST_F(ExplorerMenuItems, PromptLoadTableCommandKeyMissing) {
    // The load leaves the box's value and the text as they were, and disables all three.
    promptCommand("c:\\tools\\altshell.com /k cd %1");
    form();
    ASSERT_EQ(prompt().check, 1);
    ASSERT_EQ(prompt().text, "c:\\tools\\altshell.com");
    removeKey(HKEY_CLASSES_ROOT, kPromptCmd);
    reload();
    const PromptState s = prompt();
    EXPECT_FALSE(s.enabledOption);
    EXPECT_TRUE(opt("optMSDOSPromptOnDirs(1)")->Value());
    EXPECT_EQ(s.check, 1);
    EXPECT_FALSE(s.checkEnabled);
    EXPECT_EQ(s.text, "c:\\tools\\altshell.com");
    EXPECT_FALSE(s.textEnabled);
    EXPECT_FALSE(s.browseEnabled);
}

TEST_F(ExplorerMenuItems, PromptLoadTableStockCommand) {
    promptCommand("command.com /k cd %1");
    form();
    const PromptState s = prompt();
    EXPECT_TRUE(s.enabledOption);
    EXPECT_EQ(s.check, 0);
    EXPECT_TRUE(s.checkEnabled);
    EXPECT_EQ(s.text, "command.com");
    EXPECT_FALSE(s.textEnabled);
    EXPECT_FALSE(s.browseEnabled);

    // Anywhere in the text, case-sensitively; the text box keeps what it had.
    txt("txtCustomCommandInterpreter")->setText("kept");
    promptCommand("c:\\dos\\command.com /e:1024 /k cd %1");
    reload();
    EXPECT_EQ(prompt().check, 0);
    EXPECT_EQ(prompt().text, "kept");
    EXPECT_FALSE(prompt().textEnabled);
}

TEST_F(ExplorerMenuItems, PromptLoadTableAnyOtherCommand) {
    promptCommand("c:\\tools\\altshell.com /k cd %1");
    form();
    PromptState s = prompt();
    EXPECT_TRUE(s.enabledOption);
    EXPECT_EQ(s.check, 1);
    EXPECT_TRUE(s.checkEnabled);
    EXPECT_EQ(s.text, "c:\\tools\\altshell.com");
    EXPECT_TRUE(s.textEnabled);
    EXPECT_TRUE(s.browseEnabled);

    promptCommand("COMMAND.COM /k cd %1");  // the search is case-sensitive
    reload();
    EXPECT_EQ(prompt().check, 1);
    EXPECT_EQ(prompt().text, "COMMAND.COM");

    promptCommand("cmd.exe");  // no " /k cd %1": the text stays
    reload();
    s = prompt();
    EXPECT_EQ(s.check, 1);
    EXPECT_EQ(s.text, "COMMAND.COM");
    EXPECT_TRUE(s.textEnabled);

    promptCommand(" /k cd %1 twice /k cd %1");  // up to the first occurrence
    reload();
    EXPECT_EQ(prompt().text, "");
}

TEST_F(ExplorerMenuItems, PromptParsingFollowsTheLoadTable) {
    using qv::explorer::ParsePromptCommand;
    EXPECT_FALSE(ParsePromptCommand("command.com /k cd %1").custom);
    EXPECT_TRUE(ParsePromptCommand("COMMAND.COM /k cd %1").custom);
    EXPECT_EQ(ParsePromptCommand("a b /k cd %1 c").interpreter, QString("a b"));
    EXPECT_FALSE(ParsePromptCommand("cmd.exe /K CD %1").interpreter.has_value());
    EXPECT_TRUE(ParsePromptCommand("").custom);
}

// Windows NT and Wine have no command.com: the stock prompt there is cmd.exe, and reads back as stock.
TEST(ExplorerPromptOnNT, TheStockPromptIsCmdOnAWinePrefix) {
    TempDir tmp;
    const fs::path prefix = makeWinePrefix(tmp.path() / "prefix");
    const QString p = QString::fromStdString(prefix.string());
    const ScriptRun r = runScript({"--wine-prefix", p, "--set", "optMSDOSPromptOnDirs(0)=1", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto m = qv::reg::Machine::openWinePrefix(prefix);
    qv::reg::HKey k;
    Stored got;
    ASSERT_EQ(m->openKey(HKEY_CLASSES_ROOT, "Directory\\shell\\MS-DOS Prompt\\command", &k), 0);
    ASSERT_EQ(m->queryValue(k, "", &got.type, &got.data), 0);
    EXPECT_EQ(got, sz("cmd.exe /k cd %1"));
    const ScriptRun listed = runScript({"--wine-prefix", p, "--list"});
    EXPECT_NE(listed.out.find("chkCustomCommandInterpreter=0"), std::string::npos) << listed.out;
}

TEST_F(ExplorerMenuItems, PromptSavesTheStockOrTheCustomCommandThenTheCaption) {
    form();
    show(5);
    click(opt("optMSDOSPromptOnDirs(0)"));
    EXPECT_EQ(form().fraOption(5)->Caption(), "MSDOS Prompt on Directories*");
    EXPECT_TRUE(chk("chkCustomCommandInterpreter")->isEnabled());
    EXPECT_FALSE(txt("txtCustomCommandInterpreter")->isEnabled());
    apply();
    EXPECT_EQ(form().fraOption(5)->Caption(), "MSDOS Prompt on Directories");
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPromptCmd, ""), sz("command.com /k cd %1"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPrompt, ""), sz("MS-DOS Prompt"));

    click(chk("chkCustomCommandInterpreter"));
    EXPECT_EQ(chk("chkCustomCommandInterpreter")->Value(), 1);
    EXPECT_TRUE(txt("txtCustomCommandInterpreter")->isEnabled());
    EXPECT_TRUE(cmd("cmdBrowseCommandInterpreter")->isEnabled());
    EXPECT_EQ(form().fraOption(5)->Caption(), "MSDOS Prompt on Directories");  // the box marks nothing
    txt("txtCustomCommandInterpreter")->setText("c:\\x.exe");
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPromptCmd, ""), sz("c:\\x.exe /k cd %1"));

    txt("txtCustomCommandInterpreter")->setText("");
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPromptCmd, ""), sz(" /k cd %1"));

    // "%" pairs make the accessor store REG_EXPAND_SZ, as the accessor does.
    txt("txtCustomCommandInterpreter")->setText("%ComSpec%");
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPromptCmd, ""), sz("%ComSpec% /k cd %1", reg::REG_EXPAND_SZ));

    click(opt("optMSDOSPromptOnDirs(1)"));
    EXPECT_FALSE(chk("chkCustomCommandInterpreter")->isEnabled());
    EXPECT_FALSE(txt("txtCustomCommandInterpreter")->isEnabled());
    EXPECT_FALSE(cmd("cmdBrowseCommandInterpreter")->isEnabled());
    apply();
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kPrompt));
}

TEST_F(ExplorerMenuItems, PromptOptionEnablesOnlyWhileItsPageIsShownTheBoxAlways) {
    form();
    // Page 5 not shown: selecting the option by code changes no enabling and sets no mark.
    opt("optMSDOSPromptOnDirs(0)")->setValue(true);
    EXPECT_FALSE(chk("chkCustomCommandInterpreter")->isEnabled());
    // The check box's handler runs whatever page is shown.
    chk("chkCustomCommandInterpreter")->setValue(1);
    EXPECT_TRUE(txt("txtCustomCommandInterpreter")->isEnabled());
    EXPECT_TRUE(cmd("cmdBrowseCommandInterpreter")->isEnabled());
    chk("chkCustomCommandInterpreter")->setValue(0);
    EXPECT_FALSE(txt("txtCustomCommandInterpreter")->isEnabled());
    // Shown: the option enables the box, and the box's value decides the text box.
    show(5);
    chk("chkCustomCommandInterpreter")->setValue(1);
    click(opt("optMSDOSPromptOnDirs(1)"));
    click(opt("optMSDOSPromptOnDirs(0)"));
    EXPECT_TRUE(chk("chkCustomCommandInterpreter")->isEnabled());
    EXPECT_TRUE(txt("txtCustomCommandInterpreter")->isEnabled());
}

// ---- page 6 -----------------------------------------------------------------------------------

TEST_F(ExplorerMenuItems, AllFilesCommandLoadsBothValuesAndSavesCaptionThenCommand) {
    putString(HKEY_CLASSES_ROOT, kAll, "", "Open in &Notepad");
    putString(HKEY_CLASSES_ROOT, kAllCmd, "", "notepad.exe %1");
    form();
    EXPECT_TRUE(opt("optShowOnAllFiles(0)")->Value());
    EXPECT_EQ(txt("txtAddToAllFilesTitle")->Text(), "Open in &Notepad");
    EXPECT_EQ(txt("txtAddToAllFilesCommand")->Text(), "notepad.exe %1");
    EXPECT_TRUE(txt("txtAddToAllFilesTitle")->isEnabled());
    EXPECT_TRUE(cmd("cmdAddToAllFilesBrowseForProgram")->isEnabled());

    // Both boxes empty: two empty default values, the verb exists with an empty caption.
    txt("txtAddToAllFilesTitle")->setText("");
    txt("txtAddToAllFilesCommand")->setText("");
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kAll, ""), sz(""));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kAllCmd, ""), sz(""));
    EXPECT_EQ(form().fraOption(6)->Caption(), "Add to all Files");

    // Texts go unchanged: no trimming, no quoting.
    txt("txtAddToAllFilesTitle")->setText("  spaced  ");
    txt("txtAddToAllFilesCommand")->setText("\"c:\\a b\\x.exe\" \"%1\"");
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kAll, ""), sz("  spaced  "));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kAllCmd, ""), sz("\"c:\\a b\\x.exe\" \"%1\""));
}

TEST_F(ExplorerMenuItems, AllFilesOptionsEnableTheBoxesOnAnyPageAndNeverMark) {
    putString(HKEY_CLASSES_ROOT, kAll, "", "T");
    putString(HKEY_CLASSES_ROOT, kAllCmd, "", "C");
    qv::frmMain& f = form();
    opt("optShowOnAllFiles(1)")->setValue(true);  // page 6 not shown
    EXPECT_FALSE(txt("txtAddToAllFilesTitle")->isEnabled());
    EXPECT_FALSE(txt("txtAddToAllFilesCommand")->isEnabled());
    EXPECT_FALSE(cmd("cmdAddToAllFilesBrowseForProgram")->isEnabled());
    show(6);
    click(opt("optShowOnAllFiles(0)"));
    EXPECT_TRUE(txt("txtAddToAllFilesTitle")->isEnabled());
    EXPECT_EQ(f.fraOption(6)->Caption(), "Add to all Files");
    click(opt("optShowOnAllFiles(1)"));
    apply();
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kAll));

    // A missing verb empties both boxes at the next load.
    txt("txtAddToAllFilesTitle")->setText("left over");
    reload();
    EXPECT_EQ(txt("txtAddToAllFilesTitle")->Text(), "");
    EXPECT_EQ(txt("txtAddToAllFilesCommand")->Text(), "");
}

// ---- the file dialogs -------------------------------------------------------------------------

TEST_F(ExplorerMenuItems, BrowseButtonsAskForAProgramAndCancelChangesNothing) {
    promptCommand("c:\\old.exe /k cd %1");
    putString(HKEY_CLASSES_ROOT, kAll, "", "T");
    putString(HKEY_CLASSES_ROOT, kAllCmd, "", "old command");
    form();
    FileDialogAnswer cancel(std::nullopt);
    show(5);
    click(cmd("cmdBrowseCommandInterpreter"));
    show(6);
    click(cmd("cmdAddToAllFilesBrowseForProgram"));
    ASSERT_EQ(cancel.asked.size(), 2u);
    for (const tk::CommonDialog& d : cancel.asked) {
        EXPECT_EQ(d.FileName, "");
        EXPECT_TRUE(d.CancelError);
        EXPECT_EQ(d.Filter, "Program Files (*.exe)|*.exe|DOS Commands (*.com)|*.com|All Files (*.*)|*.*");
        EXPECT_EQ(d.Flags, 4);
    }
    EXPECT_EQ(txt("txtCustomCommandInterpreter")->Text(), "c:\\old.exe");
    EXPECT_EQ(txt("txtAddToAllFilesCommand")->Text(), "old command");
}

TEST_F(ExplorerMenuItems, AChosenHostFileBecomesTheMachinesWindowsPath) {
    promptCommand("c:\\old.exe /k cd %1");
    putString(HKEY_CLASSES_ROOT, kAll, "", "T");
    putString(HKEY_CLASSES_ROOT, kAllCmd, "", "old command");
    form();
    const std::filesystem::path host = folder() / "drive_c" / "WINDOWS" / "NOTEPAD.EXE";
    {
        FileDialogAnswer pick(QString::fromStdString(host.string()));
        show(6);
        click(cmd("cmdAddToAllFilesBrowseForProgram"));
        show(5);
        click(cmd("cmdBrowseCommandInterpreter"));
    }
    // The whole text replaced by exactly the path, without "%1".
    EXPECT_EQ(txt("txtAddToAllFilesCommand")->Text(), "C:\\WINDOWS\\NOTEPAD.EXE");
    EXPECT_EQ(txt("txtCustomCommandInterpreter")->Text(), "C:\\WINDOWS\\NOTEPAD.EXE");
    {
        // A Windows path given back as it is.
        FileDialogAnswer pick(QStringLiteral("C:\\Windows\\Notepad.exe"));
        click(cmd("cmdBrowseCommandInterpreter"));
    }
    EXPECT_EQ(txt("txtCustomCommandInterpreter")->Text(), "C:\\Windows\\Notepad.exe");
    apply();
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kAllCmd, ""), sz("C:\\WINDOWS\\NOTEPAD.EXE"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPromptCmd, ""), sz("C:\\Windows\\Notepad.exe /k cd %1"));
}

TEST_F(ExplorerMenuItems, ScriptSetsThePagesAsAUserWouldAndApplyWritesThem) {
    const ScriptResult r = runQuorvel(folder(), {"--set", "optExploreFromHere(0)=1", "--set", "optMSDOSPromptOnDirs(0)=1",
                                                 "--set", "chkCustomCommandInterpreter=1", "--set",
                                                 "txtCustomCommandInterpreter=c:\\tools\\4dos.com", "--set",
                                                 "optShowOnAllFiles(0)=1", "--set", "txtAddToAllFilesTitle=Edit",
                                                 "--set", "txtAddToAllFilesCommand=edit.com %1", "--list", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("fraOption(4)=Explore From Here*\n"), std::string::npos);
    EXPECT_NE(r.out.find("fraOption(5)=MSDOS Prompt on Directories*\n"), std::string::npos);
    EXPECT_NE(r.out.find("fraOption(6)=Add to all Files\n"), std::string::npos);
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kRootCmd, ""), sz("explorer.exe /e,/root,/idlist,%I"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPromptCmd, ""), sz("c:\\tools\\4dos.com /k cd %1"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kPrompt, ""), sz("MS-DOS Prompt"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kAll, ""), sz("Edit"));
    EXPECT_EQ(stored(HKEY_CLASSES_ROOT, kAllCmd, ""), sz("edit.com %1"));

    // A browse button needs the dialog, which a script cannot show.
    const ScriptResult b = runQuorvel(folder(), {"--click", "cmdBrowseCommandInterpreter"});
    EXPECT_EQ(b.status, 2);
    EXPECT_NE(b.err.find("file dialog"), std::string::npos) << b.err;

    const ScriptResult off = runQuorvel(folder(), {"--set", "optExploreFromHere(1)=1", "--set",
                                                   "optMSDOSPromptOnDirs(1)=1", "--set", "optShowOnAllFiles(1)=1",
                                                   "--apply"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kRoot));
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kPrompt));
    EXPECT_FALSE(keyStored(HKEY_CLASSES_ROOT, kAll));
}
