// The main window: the category tree, the 33 option pages, the buttons and menus. What the pages
// show is loaded, reviewed, applied and taken back by the machine's session; the window shows its
// answers and asks its questions.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "app/controls.h"
#include "app/mainframe.h"
#include "app/help.h"
#include "app/nodes.h"
#include "app/pass.h"
#include "app/session/session.h"
#include "app/toolkit.h"

class QAction;
class QFileSystemWatcher;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace qv::reg {
class Machine;
class ChangeSet;
}

namespace qv {

class ChangesDialog;
class ImportReviewDialog;
class RegFileCommands;
class MachineBar;
struct MachineChoice;

// True when the machine's Windows is of the NT line; set once when the main window loads.
extern bool bIsWindowsNT;

class frmMain : public MainWindowFrame, public ctl::ControlHost {
    Q_OBJECT
public:
    // Builds the window and its pages and runs the first load pass; sink hears step failures.
    explicit frmMain(reg::Machine& machine, Pass::FailureSink sink = {}, QWidget* parent = nullptr);
    // Builds the window and its pages only, so that they can be made while the machine is still
    // being read; attachMachine must follow before anything else is asked of the window.
    explicit frmMain(Pass::FailureSink sink, QWidget* parent = nullptr);
    // Gives the window its machine, once, and runs the first load pass.
    void attachMachine(reg::Machine& machine);
    ~frmMain() override;

    // The machine's session: what was loaded, what Apply would write, Apply, Undo, profiles.
    Session& session() { return *session_; }
    reg::Machine& machine() { return session_->machine(); }

    // ---- what the pages build on ---------------------------------------------------------
    // A page's blocks, one per slot of the pass tables; a node without a slot throws.
    void setLoadBlock(int node, Block block) { pages_.setLoadBlock(node, std::move(block)); }
    void setSaveBlock(int node, Block block) { pages_.setSaveBlock(node, std::move(block)); }
    bool hasLoadBlock(int node) const { return pages_.hasLoadBlock(node); }
    bool hasSaveBlock(int node) const { return pages_.hasSaveBlock(node); }
    // A page whose load costs more than the window (one walking every class) may be loaded when
    // it is first shown or a save pass needs it, once the window opens that way (see below).
    void loadWhenShown(int node) { pages_.loadWhenShown(node); }
    void setProfileBlock(int node, PageTable::ProfileBlock block) { pages_.setProfileBlock(node, std::move(block)); }
    // Whether windows made from now on load such pages when needed rather than before their
    // first drawing. The interactive window does; scripts and tests load every page at once.
    static void setLoadHiddenPagesWhenShown(bool on);
    // Commits what an immediate action (outside the passes) wrote; on failure tells the user
    // what could not be saved and returns false.
    bool commitChanges(const QString& what);
    void markPageChanged(int node) { session_->markPageChanged(node); }
    std::set<int> changedPages() const { return session_->changedPages(); }
    // The folder browser, owned by this window: the chosen folder as a Windows path of the
    // machine, or "". Scripting mode cannot show it and notes the refusal.
    QString BrowseForFolderByPath(const QString& sSelPath);
    QString BrowseForFolderByPIDL(const QString& sSelPath);

    // ---- the passes ----------------------------------------------------------------------
    void LoadSettings();
    // Returns false when the machine could not be written (the user has been told).
    bool SaveSettings();
    // Step failures of the passes, for scripting mode; the window itself stays silent.
    void setStepFailureSink(Pass::FailureSink sink);

    // ---- the window's side of a session ----------------------------------------------------
    // Shows what an operation has to tell: message boxes (printed in scripting mode), then its
    // status line; the notices bars follow what the machine does now.
    bool tell(const Outcome& outcome);
    // What the last Apply (Apply, OK, or the Save of a machine switch) came to.
    const Outcome& lastApply() const { return lastApply_; }
    // File > Review Changes' dialog over what an Apply would write now.
    ChangesDialog* makeReviewDialog();
    // The review of an opened .reg file, whose changes the pages hold now: with the machines it
    // may also go to.
    ImportReviewDialog* makeImportReview(const std::filesystem::path& file);
    // Takes the last Apply back, asking where the window can (force: over settings changed
    // since). Returns false when nothing was undone.
    bool undoLastApply(bool force = false);
    // Looks at the registry files now, as the watcher does shortly after it hears of a change:
    // a change by another program reloads the pages (no unsaved edit) or shows changedBar().
    void checkFilesOnDisk();
    // changedBar()'s Reload: the pages not edited show the files' values; the edits stay.
    void reloadUneditedPages();

    // ---- commands ------------------------------------------------------------------------
    void tvList_NodeClick(int index);
    void cmdApply_Click();
    void cmdOK_Click();
    void cmdCancel_Click();
    void mnuFileReloadSettings_Click();
    void mnuFileOpenMachine_Click();
    // Leaves this machine for another: with unsaved edits asks Save / Discard / Cancel first, then
    // opens the other machine (a failure is told and this one stays) and unloads the window, which
    // the caller re-creates on takeNextMachine(). False when the switch did not happen.
    bool switchMachine(const MachineChoice& choice);
    std::unique_ptr<reg::Machine> takeNextMachine();
    void mnuFileQuit_Click();
    void mnuFileReviewChanges_Click();
    void mnuFileUndoLastApply_Click();
    void mnuFileHistory_Click();
    void mnuFileExportSettings_Click();
    void mnuFileImportSettings_Click();
    void mnuFileOpenRegistryFile_Click();
    // After a .reg file was opened: its review, with the machines it may go to.
    void reviewImport(const std::filesystem::path& file);
    // A .reg file's changes made pending and shown in the review before anything is written (the
    // file manager's double click, a drop on the window, File > Open Registry File); false when
    // it cannot be read (the user has been told).
    bool openRegistryFile(const std::filesystem::path& file);
    void cmdHelp_Click();
    void mnuHelpContents_Click();
    void mnuHelpAbout_Click();
    // What F1 does: the help window at the topic of the page on screen.
    void showHelp();

    // Selects a node in the tree as a user's click would (its page is shown).
    void selectNode(int index);
    // How many commits have failed so far (scripting mode exits with 1 after one).
    int commitFailures() const { return session_ ? session_->committer().failures() : 0; }
    int iCurrentOption = 1;
    bool isUnloaded() const { return unloaded_; }
    HelpWindow* helpWindow() const { return help_; }

    // ctl::ControlHost
    QMainWindow* hostWindow() override { return this; }
    QWidget* pageFrame(int node) const override { return fraOption(node); }
    QMenu* popupMenu() const override { return mnuHideDrivesResource; }
    int currentPage() const override { return iCurrentOption; }
    void showPage(int node) override { selectNode(node); }

signals:
    // The window was unloaded (OK, Cancel, Quit or the close box): the program ends.
    void unloaded();

protected:
    void closeEvent(QCloseEvent* e) override;
    void regFileDropped(const std::filesystem::path& file) override;

private:
    void connectCommands();
    void Form_Load();
    void unload();
    PageValues pageValues();
    void showMachine();

    std::unique_ptr<Session> session_;
    Outcome lastApply_;
    std::unique_ptr<Questions> questions_;
    std::unique_ptr<RegFileCommands> files_;
    PageTable pages_;
    std::unique_ptr<reg::Machine> nextMachine_;
    bool loadHiddenWhenShown_ = false;
    Pass::FailureSink failureSink_;
    QPointer<HelpWindow> help_;
    QTreeWidgetItem* justSelected_ = nullptr;
    bool unloaded_ = false;
    QTimer* serverPoll_ = nullptr;
};

}  // namespace qv
