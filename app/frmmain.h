// The main window: the category tree, the 33 option pages, the buttons and menus, and the load
// and save passes that move every page between the controls and the registry.
#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "app/backups.h"
#include "app/help.h"
#include "app/pass.h"
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
class MachineBar;
struct MachineChoice;

// True when the machine's Windows is of the NT line; set once when the main window loads.
extern bool bIsWindowsNT;

class frmMain : public QMainWindow {
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

    reg::Machine& machine() { return *machine_; }

    // ---- what the pages build on ---------------------------------------------------------
    tk::Frame* fraOption(int index) const;  // 1..33; throws ControlError otherwise
    // A page's blocks, one per slot of the pass tables; a node without a slot throws.
    void setLoadBlock(int node, Block block);
    void setSaveBlock(int node, Block block);
    bool hasLoadBlock(int node) const;
    bool hasSaveBlock(int node) const;
    // A page whose load costs more than the window (one walking every class) may be loaded when
    // it is first shown or a save pass needs it, once the window opens that way (see below).
    void loadWhenShown(int node);
    // Whether windows made from now on load such pages when needed rather than before their
    // first drawing. The interactive window does; scripts and tests load every page at once.
    static void setLoadHiddenPagesWhenShown(bool on);
    // Commits what an immediate action (outside the passes) wrote; on failure tells the user
    // what could not be saved and returns false.
    bool commitChanges(const QString& what);
    // The folder browser, owned by this window: the chosen folder as a Windows path of the
    // machine, or "". Scripting mode cannot show it and notes the refusal.
    QString BrowseForFolderByPath(const QString& sSelPath);
    QString BrowseForFolderByPIDL(const QString& sSelPath);

    // ---- the passes ----------------------------------------------------------------------
    void LoadSettings();
    // Returns false when the machine could not be written (the user has been told).
    bool SaveSettings();
    // Step failures of the passes, for scripting mode; the window itself stays silent.
    void setStepFailureSink(Pass::FailureSink sink) { failureSink_ = std::move(sink); }

    // ---- before and after Apply -----------------------------------------------------------
    // Pages whose controls no longer hold what the last load, reload, import, undo or Apply
    // put there, and pages an immediate action changed; only these are written by Apply.
    std::set<int> changedPages() const;
    void markPageChanged(int node);
    // What an Apply would write now (the registry and the window are left as they are).
    reg::ChangeSet pendingChanges();
    // File > Review Changes' dialog over what an Apply would write now.
    ChangesDialog* makeReviewDialog();
    // Every value the pages manage, as a full Apply of every page would leave it.
    reg::ChangeSet settingsProfile();
    // A .reg file's changes made pending and shown in the pages; false with *error when the file
    // cannot be read or applied (then nothing of it is pending).
    bool importSettings(const std::filesystem::path& file, QString* error);
    bool exportSettings(const std::filesystem::path& file, QString* error, bool onlyChanged = false);
    // Takes the last Apply back. When the keys it would restore changed since, asks (or refuses
    // when not interactive and not forced). Returns false when nothing was undone.
    bool undoLastApply(bool force = false);
    // What Undo Last Apply would change now, old and new as the machine holds them (nothing
    // without a backup).
    std::optional<reg::ChangeSet> undoPreview();

    // ---- a prefix whose wineserver runs, and files changed by others -----------------------
    // What Apply and Undo do when the prefix's wineserver runs: ask (the window), go through
    // `wine reg import`, stop the server first, or try the files (and be refused, as scripting
    // mode without --through-wine is).
    enum class RunningPrefix { Ask, ThroughWine, StopWine, Refuse, Cancel };
    void setRunningPrefixChoice(RunningPrefix c) { runningChoice_ = c; }
    // Shown when the machine opens with its wineserver running.
    MachineBar* runningBar() const { return runningBar_; }
    // Shown when another program changed the files while the window holds unsaved edits.
    MachineBar* changedBar() const { return changedBar_; }
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
    void mnuFileExportSettings_Click();
    void mnuFileImportSettings_Click();
    void cmdHelp_Click();
    void mnuHelpContents_Click();
    void mnuHelpAbout_Click();
    // What F1 does: the help window at the topic of the page on screen.
    void showHelp();

    // Selects a node in the tree as a user's click would (its page is shown).
    void selectNode(int index);
    QTreeWidgetItem* nodeItem(int index) const;
    static int nodeIndex(const QTreeWidgetItem* item);  // 1..33, 0 for none
    // How many commits have failed so far (scripting mode exits with 1 after one).
    int commitFailures() const { return commitFailures_; }
    // Scripting mode's --force: Undo over settings changed since, and Applies that delete whole
    // registry branches, go ahead without asking.
    void setForce(bool on) { force_ = on; }
    // Off in a script that shows --diff: buttons that write at once leave their changes pending.
    void setWriteImmediately(bool on) { writeImmediately_ = on; }
    int iCurrentOption = 1;
    bool isUnloaded() const { return unloaded_; }
    HelpWindow* helpWindow() const { return help_; }

    // Controls, under their names.
    QTreeWidget* tvList = nullptr;
    QLabel* lblLabel = nullptr;
    QLabel* Image1 = nullptr;
    QPushButton* cmdHelp = nullptr;
    QPushButton* cmdChanges = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
    QPushButton* cmdApply = nullptr;
    QMenu* mnuFile = nullptr;
    QAction* mnuFileOpenMachine = nullptr;
    QAction* mnuFileReloadSettings = nullptr;
    QAction* mnuFileReviewChanges = nullptr;
    QAction* mnuFileUndoLastApply = nullptr;
    QAction* mnuFileImportSettings = nullptr;
    QAction* mnuFileExportSettings = nullptr;
    QAction* mnuFileQuit = nullptr;
    QMenu* mnuHelp = nullptr;
    QLabel* lblMachine = nullptr;  // in the status bar: the machine's name, kind and folder
    QAction* mnuHelpContents = nullptr;
    QAction* mnuHelpAbout = nullptr;
    QMenu* mnuHideDrivesResource = nullptr;
    QAction* mnuHideDrivesResourceSelAll = nullptr;
    QAction* mnuHideDrivesResourceSelNone = nullptr;
    tk::CommonDialog comDlg;

signals:
    // The window was unloaded (OK, Cancel, Quit or the close box): the program ends.
    void unloaded();

protected:
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void buildWindow();
    void Form_Load();
    void tvList_Expand(QTreeWidgetItem* node);
    void tvList_Collapse(QTreeWidgetItem* node);
    void unload();
    bool commit(const QString& what);
    // The way back of a commit about to be made (nothing when it cannot be kept: that is told),
    // and the commit it protects, which writes it before it replaces anything.
    std::unique_ptr<PendingBackup> startBackup(const QString& what);
    bool commitBacked(PendingBackup& backup, const QString& what);
    // A change set as it would change this machine now (old state filled in, existing keys not
    // "created").
    reg::ChangeSet asChangeOf(const reg::ChangeSet& changes);
    // Deleting whole branches is asked about (refused in scripting mode without --force).
    bool confirmLargeDeletions(const QStringList& branches);
    void reportDeleted(const QStringList& branches);
    void pressDefaultButton();
    void loadPages(bool keepPending);
    // Whether a pass leaves this block for later; then the node is remembered as not loaded.
    bool waitsForShow(int node);
    // Loads a page left for later (its values then count as loaded, not as edited).
    void loadLeftPage(int node);
    void loadLeftPages();
    // Runs the load blocks of the wanted nodes, in the pass's order.
    void runLoadBlocks(Pass& pass, const std::function<bool(int)>& wanted);
    using PageValues = std::map<int, std::vector<std::pair<QString, QString>>>;  // page -> (control, value)
    PageValues pageValues();
    void takeSnapshot();
    // Runs every save block in order; the writes of blocks whose page is not in `keep` are
    // dropped afterwards, with what they did to the window.
    void runSaveBlocks(Pass& pass, const std::set<int>& keep);
    std::set<int> allPages() const;
    RunningPrefix runningChoice(const QString& action);
    void watchFiles();
    void rememberFiles();
    void filesChangedOnDisk();

    // What identifies a registry file's version on disk: a rename or a write changes it.
    struct FileStamp {
        unsigned long long dev = 0, ino = 0, size = 0;
        long long mtimeNs = 0;
        bool exists = false;
        bool operator==(const FileStamp&) const = default;
    };
    std::array<FileStamp, 2> stampFiles() const;

    void showMachine();

    reg::Machine* machine_ = nullptr;
    std::unique_ptr<reg::Machine> nextMachine_;
    std::array<tk::Frame*, 34> frames_{};
    std::array<QTreeWidgetItem*, 34> items_{};
    std::array<Block, 34> loadBlocks_;
    std::array<Block, 34> saveBlocks_;
    std::set<int> whenShown_;  // pages that may wait
    std::set<int> left_;       // pages not loaded yet
    bool loadHiddenWhenShown_ = false;
    bool justOpened_ = true;  // until the first load pass
    Pass::FailureSink failureSink_;
    QPointer<HelpWindow> help_;
    QTreeWidgetItem* justSelected_ = nullptr;
    bool unloaded_ = false;
    int commitFailures_ = 0;
    bool force_ = false;
    bool writeImmediately_ = true;
    bool centred_ = false;
    PageValues snapshot_;
    std::set<int> forcedChanged_;
    RunningPrefix runningChoice_ = RunningPrefix::Ask;
    MachineBar* runningBar_ = nullptr;
    MachineBar* changedBar_ = nullptr;
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* watchDelay_ = nullptr;
    QTimer* serverPoll_ = nullptr;
    void checkServer();
    // What an Apply through Wine left in Wine, shown until the files hold it too (or time is up).
    std::optional<reg::ChangeSet> heldByWine_;
    QDateTime heldByWineUntil_;
    std::array<FileStamp, 2> known_{};
};

}  // namespace qv
