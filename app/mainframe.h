// The main window's frame: its menus, buttons, category tree, the 33 page frames and the notice
// bars, laid out as the window always was. What they do is the main window's business.
#pragma once

#include <QMainWindow>
#include <array>
#include <filesystem>

#include "app/toolkit.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace qv {

class MachineBar;

class MainWindowFrame : public QMainWindow {
public:
    tk::Frame* fraOption(int index) const;  // 1..33; throws ControlError otherwise
    QTreeWidgetItem* nodeItem(int index) const;
    static int nodeIndex(const QTreeWidgetItem* item);  // 1..33, 0 for none
    // Shown when the machine opens with its wineserver running.
    MachineBar* runningBar() const { return runningBar_; }
    // Shown when another program changed the files while the window holds unsaved edits.
    MachineBar* changedBar() const { return changedBar_; }

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
    QAction* mnuFileOpenRegistryFile = nullptr;
    QAction* mnuFileReloadSettings = nullptr;
    QAction* mnuFileReviewChanges = nullptr;
    QAction* mnuFileUndoLastApply = nullptr;
    QAction* mnuFileHistory = nullptr;
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

protected:
    explicit MainWindowFrame(QWidget* parent);
    // The tree of categories, every one closed but the top; every page hidden under its caption.
    void fillTree();
    void showEvent(QShowEvent* e) override;
    // One .reg file dropped on the window; what opening it means is the window's.
    virtual void regFileDropped(const std::filesystem::path& file) = 0;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;

    std::array<tk::Frame*, 34> frames_{};
    std::array<QTreeWidgetItem*, 34> items_{};
    MachineBar* runningBar_ = nullptr;
    MachineBar* changedBar_ = nullptr;

private:
    void buildBars();
    void tvList_Expand(QTreeWidgetItem* node);
    void tvList_Collapse(QTreeWidgetItem* node);
    void pressDefaultButton();
    bool centred_ = false;
};

}  // namespace qv
