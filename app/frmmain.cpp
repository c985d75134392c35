#include "app/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QStatusBar>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>

#include "app/artwork.h"
#include "app/asking.h"
#include "app/regfilecommands.h"
#include "app/changes.h"
#include "app/controls.h"
#include "app/filewatch.h"
#include "app/frmabout.h"
#include "app/help.h"
#include "app/historydialog.h"
#include "app/importreview.h"
#include "app/machinebar.h"
#include "app/nodes.h"
#include "app/openmachine.h"
#include "registry/machines/discovery.h"
#include "registry/machines/machine.h"
#include "shell/directories.h"
#include "shell/ownicons.h"
#include "shell/folderbrowser.h"
#include "shell/icondraw.h"

namespace qv {

bool bIsWindowsNT = false;

// Defined by the generated list of page sources.
void buildPages(frmMain& form);

namespace {
bool g_loadHiddenWhenShown = false;
}  // namespace

void frmMain::setLoadHiddenPagesWhenShown(bool on) { g_loadHiddenWhenShown = on; }

frmMain::frmMain(reg::Machine& machine, Pass::FailureSink sink, QWidget* parent)
    : frmMain(std::move(sink), parent) {
    attachMachine(machine);
}

frmMain::frmMain(Pass::FailureSink sink, QWidget* parent)
    : MainWindowFrame(parent), loadHiddenWhenShown_(g_loadHiddenWhenShown), failureSink_(std::move(sink)) {
    connectCommands();
    buildPages(*this);
    ctl::nameControlsFromLabels(this);

    connect(changedBar_, &MachineBar::pressed, this, [this] { reloadUneditedPages(); });
}

void frmMain::connectCommands() {
    connect(cmdApply, &QPushButton::clicked, this, [this] { cmdApply_Click(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(cmdHelp, &QPushButton::clicked, this, [this] { cmdHelp_Click(); });
    connect(cmdChanges, &QPushButton::clicked, this, [this] { mnuFileReviewChanges_Click(); });
    connect(mnuFileOpenMachine, &QAction::triggered, this, [this] { mnuFileOpenMachine_Click(); });
    connect(mnuFileOpenRegistryFile, &QAction::triggered, this, [this] { mnuFileOpenRegistryFile_Click(); });
    connect(mnuFileReloadSettings, &QAction::triggered, this, [this] { mnuFileReloadSettings_Click(); });
    connect(mnuFileQuit, &QAction::triggered, this, [this] { mnuFileQuit_Click(); });
    connect(mnuFileReviewChanges, &QAction::triggered, this, [this] { mnuFileReviewChanges_Click(); });
    connect(mnuFileUndoLastApply, &QAction::triggered, this, [this] { mnuFileUndoLastApply_Click(); });
    connect(mnuFileHistory, &QAction::triggered, this, [this] { mnuFileHistory_Click(); });
    connect(mnuFileImportSettings, &QAction::triggered, this, [this] { mnuFileImportSettings_Click(); });
    connect(mnuFileExportSettings, &QAction::triggered, this, [this] { mnuFileExportSettings_Click(); });
    connect(mnuHelpContents, &QAction::triggered, this, [this] { mnuHelpContents_Click(); });
    connect(mnuHelpAbout, &QAction::triggered, this, [this] { mnuHelpAbout_Click(); });

    // A click selects (currentItemChanged); a click on the node already selected must still
    // show its page again, which only itemClicked reports.
    connect(tvList, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (!item)
            return;
        justSelected_ = item;
        tvList_NodeClick(item->data(0, kNodeRole).toInt());
    });
    connect(tvList, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        if (item != justSelected_)
            tvList_NodeClick(item->data(0, kNodeRole).toInt());
        justSelected_ = nullptr;
    });
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    f1->setContext(Qt::ApplicationShortcut);
    connect(f1, &QShortcut::activated, this, [this] { showHelp(); });
}

void frmMain::attachMachine(reg::Machine& machine) {
    session_ = std::make_unique<Session>(machine);
    questions_ = std::make_unique<WindowQuestions>(this);
    session_->setView({&pages_, [this] { return pageValues(); },
                       [this](int node) { return frames_[node]->isVisible() || iCurrentOption == node; },
                       [this](std::vector<ControlChange>* changes) { ctl::wordChanges(*this, changes); }});
    session_->setLoadHiddenPagesWhenShown(loadHiddenWhenShown_);
    session_->setFailureSink(failureSink_);
    session_->committer().setQuestions(questions_.get());
    files_ = std::make_unique<RegFileCommands>(*session_, this, [this](const Outcome& o) { return tell(o); },
                                               [this](const std::filesystem::path& file) { reviewImport(file); });
    shell::setCurrentMachine(&machine);
    showMachine();
    Form_Load();
    runningBar_->setVisible(session_->wineRunning());
    connect(new FileWatch(machine.folder(), this), &FileWatch::changed, this, [this] { checkFilesOnDisk(); });
    // A server that stops without saving leaves no file event behind: the bar looks for itself.
    serverPoll_ = new QTimer(this);
    serverPoll_->setInterval(2000);
    connect(serverPoll_, &QTimer::timeout, this, [this] {
        if (runningBar_->isVisible() && !session_->wineRunning())
            runningBar_->hide();
    });
    serverPoll_->start();
}

void frmMain::setStepFailureSink(Pass::FailureSink sink) {
    failureSink_ = std::move(sink);
    if (session_)
        session_->setFailureSink(failureSink_);
}

frmMain::~frmMain() {
    if (help_)
        delete help_.data();
    if (session_ && shell::currentMachine() == &session_->machine())
        shell::setCurrentMachine(nullptr);
}



void frmMain::Form_Load() {
    // 1. The platform: the NT line keeps its version under "Windows NT".
    try {
        reg::cRegistry probe(machine());
        probe.setClassKey(reg::HKEY_LOCAL_MACHINE);
        probe.setSectionKey("Software\\Microsoft\\Windows NT\\CurrentVersion");
        bIsWindowsNT = probe.KeyExists();
    } catch (...) {
        bIsWindowsNT = false;
    }
    // 2.-6. The tree, with iCurrentOption set before it fills; every page hidden.
    iCurrentOption = 1;
    fillTree();
    // 7. Page 1 with the welcome text.
    {
        QSignalBlocker quiet(tvList);
        tvList->setCurrentItem(items_[1]);
    }
    tvList_NodeClick(1);
    // 8. Fill every page from the registry.
    LoadSettings();
}



// ---- node selection -------------------------------------------------------------------------

void frmMain::tvList_NodeClick(int n) {
    if (n < 1 || n > kNodeCount)
        return;
    session_->loadLeftPage(n);
    frames_[n]->setVisible(true);
    if (iCurrentOption != n && iCurrentOption >= 1 && iCurrentOption <= kNodeCount)
        frames_[iCurrentOption]->setVisible(false);
    lblLabel->setParent(frames_[n]);
    tk::place(lblLabel, 240, 360, 4575, 975);
    lblLabel->setText(tk::LoadResString(static_cast<int16_t>(n + 8)));
    lblLabel->setVisible(true);
    iCurrentOption = n;
}

void frmMain::selectNode(int index) {
    QTreeWidgetItem* item = nodeItem(index);
    if (!item)
        return;
    for (QTreeWidgetItem* p = item->parent(); p; p = p->parent())
        p->setExpanded(true);
    if (tvList->currentItem() == item)
        tvList_NodeClick(index);
    else
        tvList->setCurrentItem(item);
    justSelected_ = nullptr;
}



// ---- the passes -----------------------------------------------------------------------------

void frmMain::LoadSettings() {
    // Icon files are read again too: a reload is how the user says the machine changed.
    shell::clearIconCache();
    if (changedBar_)
        changedBar_->hide();
    tell(session_->load());
}

namespace {
// The kinds of control that hold a setting; captions, labels and pictures do not.
bool holdsSetting(const QString& kind) {
    static const QStringList kinds = {QStringLiteral("checkbox"), QStringLiteral("option"),
                                      QStringLiteral("textbox"),  QStringLiteral("slider"),
                                      QStringLiteral("scrollbar"), QStringLiteral("listbox"),
                                      QStringLiteral("listview"), QStringLiteral("listitem"),
                                      QStringLiteral("widget")};
    return kinds.contains(kind);
}
}  // namespace

PageValues frmMain::pageValues() {
    PageValues values;
    for (const ctl::Control& c : ctl::listControls(*this))
        if (c.page > 0 && holdsSetting(c.kind))
            values[c.page].emplace_back(c.name, ctl::valueOf(c));
    return values;
}

bool frmMain::SaveSettings() {
    // Captions back to the nodes' texts, in tree order: this drops every change mark (they come
    // back when the registry cannot be written).
    std::vector<std::pair<tk::Frame*, QString>> captions;
    for (QTreeWidgetItemIterator it(tvList); *it; ++it) {
        tk::Frame* frame = frames_[nodeIndexOf(*it)];
        captions.emplace_back(frame, frame->Caption());
        frame->setCaption((*it)->text(0));
    }
    const Outcome out = session_->apply();
    lastApply_ = out;
    tell(out);
    if (!out.ok)
        for (auto& [frame, caption] : captions)
            frame->setCaption(caption);
    return out.ok;
}

bool frmMain::tell(const Outcome& outcome) {
    for (const Notice& n : outcome.notices)
        tk::MsgBox(n.text, tk::vbOKOnly | (n.tone == Notice::Tone::Error     ? tk::vbCritical
                                           : n.tone == Notice::Tone::Warning ? tk::vbExclamation
                                                                             : tk::vbInformation));
    if (!outcome.status.isEmpty())
        statusBar()->showMessage(outcome.status, 10000);
    if (session_)
        runningBar_->setVisible(session_->wineRunning());
    return outcome.ok;
}

bool frmMain::undoLastApply(bool force) {
    Committer& c = session_->committer();
    const bool forced = c.force();
    c.setForce(forced || force);
    const Outcome out = session_->undoLastApply();
    c.setForce(forced);
    return tell(out);
}

bool frmMain::commitChanges(const QString& what) { return tell(session_->commitNow(what)); }

QString frmMain::BrowseForFolderByPath(const QString& sSelPath) {
    if (!shell::folderChooserHooked() && !tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the folder browser"));
        return {};
    }
    return QString::fromStdString(shell::BrowseForFolderByPath(this, sSelPath.toStdString()));
}

QString frmMain::BrowseForFolderByPIDL(const QString& sSelPath) {
    if (!shell::folderChooserHooked() && !tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the folder browser"));
        return {};
    }
    return QString::fromStdString(shell::BrowseForFolderByPIDL(this, sSelPath.toStdString()));
}

// ---- a running prefix, and files changed by others ---------------------------------------------

void frmMain::checkFilesOnDisk() {
    if (!session_ || unloaded_)
        return;
    if (!session_->wineRunning())
        runningBar_->hide();
    Outcome loaded;
    switch (session_->lookAtFiles(&loaded)) {
    case Session::DiskNews::None:
        break;
    case Session::DiskNews::Reloaded:
        shell::clearIconCache();
        changedBar_->hide();
        tell(loaded);
        statusBar()->showMessage(tr("Reloaded: another program changed the registry files"), 10000);
        break;
    case Session::DiskNews::Edited:
        changedBar_->show();
        break;
    }
}

void frmMain::reloadUneditedPages() {
    session_->reloadUneditedPages();
    changedBar_->hide();
    statusBar()->showMessage(tr("Reloaded the pages you had not edited"), 10000);
}

// ---- commands -------------------------------------------------------------------------------

void frmMain::cmdApply_Click() {
    const bool anything = session_->hasEdits();
    // Even with nothing to write, the pass runs: it drops change marks left by clicks that changed
    // no value.
    const bool saved = SaveSettings();
    if (saved && !anything)
        tk::MsgBox(tr("There are no changes to apply."), tk::vbOKOnly | tk::vbInformation);
    else if (saved && statusBar()->currentMessage().isEmpty())
        statusBar()->showMessage(tr("Applied to %1").arg(QString::fromStdString(machine().folder().string())), 10000);
}

void frmMain::cmdOK_Click() {
    // The window stays when the registry could not be written, so nothing the user set is lost.
    if (SaveSettings())
        unload();
}

void frmMain::cmdCancel_Click() { unload(); }

void frmMain::showMachine() {
    const QString name = QString::fromStdString(reg::machineName(machine().kind(), machine().folder()));
    const QString folder = QString::fromStdString(machine().folder().string());
    setWindowTitle(QStringLiteral("Quorvel - %1").arg(name));
    lblMachine->setText(tr("%1: %2").arg(QString::fromStdString(reg::kindName(machine().kind())), folder));
    lblMachine->setToolTip(folder);
}

void frmMain::mnuFileOpenMachine_Click() {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the Open Machine dialog"));
        return;
    }
    reg::DiscoveryOptions options = reg::discoveryOptionsFromEnvironment();
    options.readDetails = false;  // the dialog reads them while it is shown
    OpenMachineDialog dlg(reg::discoverMachines(options), machine().folder(), this);
    if (dlg.exec() != QDialog::Accepted || !dlg.choice())
        return;
    switchMachine(*dlg.choice());
}

bool frmMain::switchMachine(const MachineChoice& choice) {
    std::error_code ec;
    if (std::filesystem::weakly_canonical(choice.folder, ec) == std::filesystem::weakly_canonical(machine().folder(), ec))
        return false;  // already open
    if (session_->hasEdits()) {
        const int answer = tk::MsgBox(
            tr("The settings of %1 were changed and not applied.\n\nSave them before opening %2? "
               "(Yes saves, No discards them, Cancel stays here.)")
                .arg(windowTitle().mid(10), QString::fromStdString(reg::machineName(choice.kind, choice.folder))),
            tk::vbYesNoCancel | tk::vbQuestion);
        if (answer == tk::vbCancel)
            return false;
        if (answer == tk::vbYes && !SaveSettings())
            return false;
    }
    std::unique_ptr<reg::Machine> next;
    try {
        next = reg::Machine::open(choice.kind, choice.folder);
    } catch (const std::exception& e) {
        tk::MsgBox(tr("%1 could not be opened.\n\n%2")
                       .arg(QString::fromStdString(choice.folder.string()), QString::fromUtf8(e.what())),
                   tk::vbOKOnly | tk::vbCritical);
        return false;
    }
    // What was not saved is dropped with this window.
    machine().discardChanges();
    nextMachine_ = std::move(next);
    unload();
    return true;
}

std::unique_ptr<reg::Machine> frmMain::takeNextMachine() { return std::move(nextMachine_); }

void frmMain::mnuFileReloadSettings_Click() {
    const int pointer = tk::MousePointer();
    tk::setMousePointer(tk::vbHourglass);
    LoadSettings();
    tk::setMousePointer(pointer);
}

ChangesDialog* frmMain::makeReviewDialog() {
    const reg::ChangeSet cs = session_->pendingChanges();
    return new ChangesDialog(cs, session_->pendingWords(cs), tr("Review Changes"),
                             cs.empty() ? tr("Apply would change nothing: every page holds what is stored.")
                                        : tr("Apply would make these changes to %1:")
                                              .arg(QString::fromStdString(machine().folder().string())),
                             tr("&Apply"), this);
}

ImportReviewDialog* frmMain::makeImportReview(const std::filesystem::path& file) {
    const reg::ChangeSet cs = session_->pendingChanges();
    const cli::NamedMachine here{reg::machineName(machine().kind(), machine().folder()), machine().folder(), machine().kind()};
    return new ImportReviewDialog(cs, session_->pendingWords(cs), file, here, otherMachines(machine().folder()),
                                  [this] {
                                      SaveSettings();
                                      return cli::fileResultOf(lastApply_);
                                  },
                                  this);
}

void frmMain::reviewImport(const std::filesystem::path& file) {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the review of changes"));
        return;
    }
    std::unique_ptr<ImportReviewDialog> dlg(makeImportReview(file));
    dlg->exec();
}

void frmMain::mnuFileReviewChanges_Click() {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the review of changes"));
        return;
    }
    std::unique_ptr<ChangesDialog> dlg(makeReviewDialog());
    if (dlg->exec() == QDialog::Accepted)
        cmdApply_Click();
}

void frmMain::mnuFileUndoLastApply_Click() { undoLastApply(); }

void frmMain::mnuFileHistory_Click() {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the history"));
        return;
    }
    HistoryDialog dlg([this] { return session_->history(); }, session_->valueOwners(),
                      [this](const std::string& id) { return tell(session_->restoreTo(id)); }, this);
    dlg.exec();
}

void frmMain::mnuFileExportSettings_Click() { files_->exportSettings(); }

void frmMain::mnuFileImportSettings_Click() { files_->importSettings(); }

void frmMain::mnuFileOpenRegistryFile_Click() { files_->openRegistryFile(); }

bool frmMain::openRegistryFile(const std::filesystem::path& file) { return files_->open(file); }

void frmMain::regFileDropped(const std::filesystem::path& file) {
    // After the drop has returned to its source, as a menu command would run.
    QTimer::singleShot(0, this, [this, file] { openRegistryFile(file); });
}

void frmMain::mnuFileQuit_Click() {
    switch (tk::MsgBox(QStringLiteral("Save changes before exiting?"),
                       tk::vbYesNoCancel | tk::vbQuestion | tk::vbDefaultButton1)) {
    case tk::vbYes: cmdOK_Click(); break;
    case tk::vbNo: cmdCancel_Click(); break;
    default: break;
    }
}

void frmMain::cmdHelp_Click() {
    // As a keystroke sent to the window would: handled after this click has returned.
    QTimer::singleShot(0, this, [this] { showHelp(); });
}

void frmMain::mnuHelpContents_Click() { cmdHelp_Click(); }

void frmMain::mnuHelpAbout_Click() {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the About box"));
        return;
    }
    frmAbout about(this);
    about.exec();
}

void frmMain::showHelp() {
    if (unloaded_)
        return;
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the help window"));
        return;
    }
    if (!help_)
        help_ = new HelpWindow(nullptr);
    help_->showTopic(helpAnchor(iCurrentOption));
}

void frmMain::unload() {
    if (unloaded_)
        return;
    unloaded_ = true;
    if (help_)
        help_->close();
    close();
    emit unloaded();
}

void frmMain::closeEvent(QCloseEvent* e) {
    // The close box neither asks nor saves.
    e->accept();
    if (!unloaded_) {
        unloaded_ = true;
        if (help_)
            help_->close();
        emit unloaded();
    }
}


}  // namespace qv
