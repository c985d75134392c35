#include "app/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMessageBox>
#include <QStatusBar>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <utility>
#include <sys/stat.h>

#include "app/artwork.h"
#include "app/changes.h"
#include "app/controls.h"
#include "app/frmabout.h"
#include "app/help.h"
#include "app/machinebar.h"
#include "app/nodes.h"
#include "app/openmachine.h"
#include "app/throughwine.h"
#include "app/page.h"
#include "app/profile.h"
#include "pages/explorer/new_menu.h"
#include "registry/machines/discovery.h"
#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/recorder.h"
#include "registry/safefile.h"
#include "registry/text.h"
#include "shell/ownicons.h"
#include "shell/directories.h"
#include "shell/folderbrowser.h"
#include "shell/icondraw.h"
#include "shell/paths.h"

namespace qv {

bool bIsWindowsNT = false;

// Defined by the generated list of page sources.
void buildPages(frmMain& form);

namespace {
constexpr int kNodeRole = Qt::UserRole + 1;  // the node's 1-based index
constexpr int kKeyRole = Qt::UserRole + 2;   // the node's key

QPushButton* makeButton(const QString& caption, QWidget* parent, const QString& name, int l, int t,
                        int w, int h) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    tk::place(b, l, t, w, h);
    return b;
}
}  // namespace

namespace {
bool g_loadHiddenWhenShown = false;
}  // namespace

void frmMain::setLoadHiddenPagesWhenShown(bool on) { g_loadHiddenWhenShown = on; }

frmMain::frmMain(reg::Machine& machine, Pass::FailureSink sink, QWidget* parent)
    : frmMain(std::move(sink), parent) {
    attachMachine(machine);
}

frmMain::frmMain(Pass::FailureSink sink, QWidget* parent)
    : QMainWindow(parent), loadHiddenWhenShown_(g_loadHiddenWhenShown), failureSink_(std::move(sink)) {
    buildWindow();
    buildPages(*this);
    ctl::nameControlsFromLabels(this);

    // Notices between the menu and the pages, hidden until there is something to say.
    runningBar_ = new MachineBar(QStringLiteral("barRunningPrefix"), this);
    addToolBar(Qt::TopToolBarArea, runningBar_);
    addToolBarBreak(Qt::TopToolBarArea);
    changedBar_ = new MachineBar(QStringLiteral("barChangedOnDisk"), this);
    addToolBar(Qt::TopToolBarArea, changedBar_);
    changedBar_->setText(tr("Another program changed this machine's registry files. Your unsaved edits "
                            "are kept: Apply writes them onto the new files. Reload shows the new "
                            "values on the pages you have not edited."));
    changedBar_->addButton(tr("&Reload"), QStringLiteral("cmdReloadFromDisk"));
    connect(changedBar_, &MachineBar::pressed, this, [this] { reloadUneditedPages(); });
    changedBar_->hide();
    runningBar_->setText(tr("This Wine prefix is running: Wine holds its registry in memory, and the "
                            "values on disk can be up to 30 seconds behind Wine's. Apply offers to "
                            "write through the running Wine."));
    runningBar_->hide();
}

void frmMain::attachMachine(reg::Machine& machine) {
    machine_ = &machine;
    shell::setCurrentMachine(machine_);
    showMachine();
    Form_Load();
    runningBar_->setVisible(machine_->wineserverRunning().has_value());
    // An Apply cut short last time must not pass for the last one.
    settleLeftBackups(*machine_);
    watchFiles();
    // A server that stops without saving leaves no file event behind: the bar looks for itself.
    serverPoll_ = new QTimer(this);
    serverPoll_->setInterval(2000);
    connect(serverPoll_, &QTimer::timeout, this, [this] { checkServer(); });
    serverPoll_->start();
}

void frmMain::checkServer() {
    if (runningBar_->isVisible() && !machine_->wineserverRunning())
        runningBar_->hide();
}

frmMain::~frmMain() {
    if (help_)
        delete help_.data();
    if (machine_ && shell::currentMachine() == machine_)
        shell::setCurrentMachine(nullptr);
}

void frmMain::buildWindow() {
    setObjectName(QStringLiteral("frmMain"));
    setWindowIcon(art::applicationIcon());
    // Fixed single border with a minimize box and no maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    // Menus first: the client area is what lies below the menu bar.
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFileOpenMachine = mnuFile->addAction(QStringLiteral("&Open Machine..."));
    mnuFileOpenMachine->setObjectName(QStringLiteral("mnuFileOpenMachine"));
    mnuFileOpenMachine->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    mnuFile->addSeparator()->setObjectName(QStringLiteral("mnuFileSep3"));
    mnuFileReloadSettings = mnuFile->addAction(QStringLiteral("&Reload Settings"));
    mnuFileReloadSettings->setObjectName(QStringLiteral("mnuFileReloadSettings"));
    mnuFileReviewChanges = mnuFile->addAction(QStringLiteral("Re&view Changes..."));
    mnuFileReviewChanges->setObjectName(QStringLiteral("mnuFileReviewChanges"));
    mnuFileUndoLastApply = mnuFile->addAction(QStringLiteral("&Undo Last Apply..."));
    mnuFileUndoLastApply->setObjectName(QStringLiteral("mnuFileUndoLastApply"));
    mnuFile->addSeparator()->setObjectName(QStringLiteral("mnuFileSep2"));
    mnuFileImportSettings = mnuFile->addAction(QStringLiteral("&Import Settings..."));
    mnuFileImportSettings->setObjectName(QStringLiteral("mnuFileImportSettings"));
    mnuFileExportSettings = mnuFile->addAction(QStringLiteral("&Export Settings..."));
    mnuFileExportSettings->setObjectName(QStringLiteral("mnuFileExportSettings"));
    mnuFile->addSeparator()->setObjectName(QStringLiteral("mnuFileSep1"));
    mnuFileQuit = mnuFile->addAction(QStringLiteral("&Quit"));
    mnuFileQuit->setObjectName(QStringLiteral("mnuFileQuit"));
    mnuFileQuit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpContents = mnuHelp->addAction(QStringLiteral("&Contents..."));
    mnuHelpContents->setObjectName(QStringLiteral("mnuHelpContents"));
    mnuHelp->addSeparator()->setObjectName(QStringLiteral("mnuHelpSep"));
    mnuHelpAbout = mnuHelp->addAction(QStringLiteral("&About..."));
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));
    // Never in the menu bar: the hidden-drives page opens it as a pop-up menu.
    mnuHideDrivesResource = new QMenu(QStringLiteral("&HideDrivesMenu"), this);
    mnuHideDrivesResource->setObjectName(QStringLiteral("mnuHideDrivesResource"));
    mnuHideDrivesResourceSelAll = mnuHideDrivesResource->addAction(QStringLiteral("Select &All"));
    mnuHideDrivesResourceSelAll->setObjectName(QStringLiteral("mnuHideDrivesResourceSelAll"));
    mnuHideDrivesResourceSelNone = mnuHideDrivesResource->addAction(QStringLiteral("Select &None"));
    mnuHideDrivesResourceSelNone->setObjectName(QStringLiteral("mnuHideDrivesResourceSelNone"));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("frmMainClient"));
    client->setFixedSize(tk::px(9030), tk::px(5790));
    setCentralWidget(client);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    // Below the client area, whose layout is fixed: which registry this window edits.
    lblMachine = new QLabel(this);
    lblMachine->setObjectName(QStringLiteral("lblMachine"));
    lblMachine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusBar()->setObjectName(QStringLiteral("sbMachine"));
    statusBar()->setSizeGripEnabled(false);
    statusBar()->addWidget(lblMachine, 1);

    // Creation order is the tab order: the buttons, the tree, then the pages.
    cmdHelp = makeButton(QStringLiteral("He&lp"), client, QStringLiteral("cmdHelp"), 1080, 5280, 1215, 375);
    cmdChanges = makeButton(QStringLiteral("Chan&ges..."), client, QStringLiteral("cmdChanges"), 3720, 5280, 1215, 375);
    cmdChanges->setToolTip(QStringLiteral("Review what Apply would write"));
    cmdOK = makeButton(QStringLiteral("&OK"), client, QStringLiteral("cmdOK"), 5040, 5280, 1215, 375);
    cmdCancel = makeButton(QStringLiteral("&Cancel"), client, QStringLiteral("cmdCancel"), 6360, 5280, 1215, 375);
    cmdApply = makeButton(QStringLiteral("&Apply"), client, QStringLiteral("cmdApply"), 7680, 5280, 1215, 375);
    cmdOK->setDefault(true);

    tk::makeLine(client, QStringLiteral("Line1"), QColor(128, 128, 128), 0, 0, 9960);
    tk::makeLine(client, QStringLiteral("Line2"), QColor(255, 255, 255), 0, 15, 9960);

    Image1 = new QLabel(client);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(art::applicationPixmap());
    tk::place(Image1, 120, 240, 480, 480);

    tvList = new QTreeWidget(client);
    tvList->setObjectName(QStringLiteral("tvList"));
    tvList->setHeaderHidden(true);
    tvList->setColumnCount(1);
    tvList->setIconSize(QSize(16, 16));
    tvList->setRootIsDecorated(true);
    tvList->setUniformRowHeights(true);
    tvList->setIndentation(16);
    // Long node texts scroll sideways rather than being cut short.
    tvList->setTextElideMode(Qt::ElideNone);
    tvList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tvList->header()->setStretchLastSection(false);
    tk::place(tvList, 1080, 240, 2655, 4935);
    tk::showCutOffTextAsToolTip(tvList);
    tvList->setAccessibleName(QStringLiteral("Categories"));

    for (int i = 1; i <= kNodeCount; ++i) {
        auto* f = new tk::Frame(QString(), client, QStringLiteral("fraOption(%1)").arg(i));
        tk::place(f, 3840, 150, 5055, 5025);
        frames_[i] = f;
    }
    lblLabel = tk::makeLabel(QString(), frames_[1], QStringLiteral("lblLabel"));

    QWidget::setTabOrder(cmdHelp, cmdChanges);
    QWidget::setTabOrder(cmdChanges, cmdOK);
    QWidget::setTabOrder(cmdOK, cmdCancel);
    QWidget::setTabOrder(cmdCancel, cmdApply);
    QWidget::setTabOrder(cmdApply, tvList);

    connect(cmdApply, &QPushButton::clicked, this, [this] { cmdApply_Click(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(cmdHelp, &QPushButton::clicked, this, [this] { cmdHelp_Click(); });
    connect(cmdChanges, &QPushButton::clicked, this, [this] { mnuFileReviewChanges_Click(); });
    connect(mnuFileOpenMachine, &QAction::triggered, this, [this] { mnuFileOpenMachine_Click(); });
    connect(mnuFileReloadSettings, &QAction::triggered, this, [this] { mnuFileReloadSettings_Click(); });
    connect(mnuFileQuit, &QAction::triggered, this, [this] { mnuFileQuit_Click(); });
    connect(mnuFileReviewChanges, &QAction::triggered, this, [this] { mnuFileReviewChanges_Click(); });
    connect(mnuFileUndoLastApply, &QAction::triggered, this, [this] { mnuFileUndoLastApply_Click(); });
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
    connect(tvList, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* n) { tvList_Expand(n); });
    connect(tvList, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* n) { tvList_Collapse(n); });

    // Enter presses the focused button, or else the default one; Esc presses Cancel.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* sc = new QShortcut(QKeySequence(key), this);
        connect(sc, &QShortcut::activated, this, [this] { pressDefaultButton(); });
    }
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, cmdCancel, &QPushButton::click);
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    f1->setContext(Qt::ApplicationShortcut);
    connect(f1, &QShortcut::activated, this, [this] { showHelp(); });
}

void frmMain::pressDefaultButton() {
    // Enter on the tree opens or closes the category; it neither applies nor closes the window.
    if (focusWidget() == tvList) {
        if (QTreeWidgetItem* item = tvList->currentItem(); item && item->childCount() > 0)
            item->setExpanded(!item->isExpanded());
        return;
    }
    if (auto* b = qobject_cast<QPushButton*>(focusWidget()); b && b->isEnabled())
        b->click();
    else
        cmdOK->click();
}

void frmMain::Form_Load() {
    // 1. The platform: the NT line keeps its version under "Windows NT".
    try {
        reg::cRegistry probe(*machine_);
        probe.setClassKey(reg::HKEY_LOCAL_MACHINE);
        probe.setSectionKey("Software\\Microsoft\\Windows NT\\CurrentVersion");
        bIsWindowsNT = probe.KeyExists();
    } catch (...) {
        bIsWindowsNT = false;
    }
    // 2.-4. The tree, with iCurrentOption set before it fills.
    tvList->clear();
    items_.fill(nullptr);
    iCurrentOption = 1;
    {
        QSignalBlocker quiet(tvList);
        for (const NodeInfo& n : kNodes) {
            QTreeWidgetItem* item = n.parentKey ? new QTreeWidgetItem(items_[nodeByKey(QLatin1String(n.parentKey))->index])
                                                : new QTreeWidgetItem(tvList);
            item->setText(0, QString::fromUtf8(n.text));
            item->setData(0, kNodeRole, n.index);
            item->setData(0, kKeyRole, QString::fromLatin1(n.key));
            item->setIcon(0, art::treeImage(n.image));
            items_[n.index] = item;
        }
    }
    // 5. Open the top node: the four categories show, themselves closed.
    items_[1]->setExpanded(true);
    // 6. Hide every page and give it its node's text.
    for (int i = 1; i <= kNodeCount; ++i) {
        frames_[i]->hide();
        frames_[i]->setCaption(QString::fromUtf8(kNodes[i - 1].text));
    }
    // 7. Page 1 with the welcome text.
    {
        QSignalBlocker quiet(tvList);
        tvList->setCurrentItem(items_[1]);
    }
    tvList_NodeClick(1);
    // 8. Fill every page from the registry.
    LoadSettings();
}

tk::Frame* frmMain::fraOption(int index) const {
    if (index < 1 || index > kNodeCount)
        throw tk::ControlError("Control array element '" + std::to_string(index) + "' doesn't exist");
    return frames_[index];
}

QTreeWidgetItem* frmMain::nodeItem(int index) const {
    return index >= 1 && index <= kNodeCount ? items_[index] : nullptr;
}

int frmMain::nodeIndex(const QTreeWidgetItem* item) {
    return item ? item->data(0, kNodeRole).toInt() : 0;
}

void frmMain::setLoadBlock(int node, Block block) {
    if (!hasLoadSlot(node))
        throw std::logic_error("node " + std::to_string(node) + " has no step in the load pass");
    loadBlocks_[node] = std::move(block);
}

void frmMain::setSaveBlock(int node, Block block) {
    if (!hasSaveSlot(node))
        throw std::logic_error("node " + std::to_string(node) + " has no step in the save pass");
    saveBlocks_[node] = std::move(block);
}

void frmMain::loadWhenShown(int node) {
    if (!hasLoadSlot(node))
        throw std::logic_error("node " + std::to_string(node) + " has no step in the load pass");
    whenShown_.insert(node);
}

bool frmMain::waitsForShow(int node) {
    const bool wait = loadHiddenWhenShown_ && whenShown_.count(node) && !frames_[node]->isVisible() &&
                      iCurrentOption != node;
    if (wait)
        left_.insert(node);
    else
        left_.erase(node);
    return wait;
}

void frmMain::loadLeftPage(int node) {
    if (!left_.erase(node))
        return;
    reg::cRegistry reg(*machine_);
    Pass pass(Pass::Kind::Load, reg, failureSink_);
    const reg::Machine::Mark before = machine_->mark();
    runLoadBlocks(pass, [node](int n) { return n == node; });
    pass.enterBlock(0, 0);
    machine_->rollbackTo(before);  // a page that waits only reads
    // What it shows now is what was loaded, as if the pass had filled it.
    PageValues now = pageValues();
    if (auto it = now.find(node); it != now.end())
        snapshot_[node] = std::move(it->second);
    else
        snapshot_.erase(node);
}

void frmMain::runLoadBlocks(Pass& pass, const std::function<bool(int)>& wanted) {
    for (size_t i = 0; i < kLoadOrder.size(); ++i) {
        const int node = kLoadOrder[i].node;
        if (!loadBlocks_[node] || !wanted(node))
            continue;
        pass.enterBlock(static_cast<int>(i + 1), node);
        pass.step([&] { loadBlocks_[node](pass); });
    }
}

void frmMain::loadLeftPages() {
    for (const std::set<int> left = left_; int node : left)
        loadLeftPage(node);
}

bool frmMain::hasLoadBlock(int node) const {
    return node >= 1 && node <= kNodeCount && static_cast<bool>(loadBlocks_[node]);
}

bool frmMain::hasSaveBlock(int node) const {
    return node >= 1 && node <= kNodeCount && static_cast<bool>(saveBlocks_[node]);
}

// ---- node selection -------------------------------------------------------------------------

void frmMain::tvList_NodeClick(int n) {
    if (n < 1 || n > kNodeCount)
        return;
    loadLeftPage(n);
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

void frmMain::tvList_Expand(QTreeWidgetItem* node) {
    // '*' marks every node below as expanded, leaves too; a leaf keeps its page image.
    if (node->childCount() > 0 && node->data(0, kKeyRole).toString() != QLatin1String("Root"))
        node->setIcon(0, art::treeImage(3));
}

void frmMain::tvList_Collapse(QTreeWidgetItem* node) {
    if (node->childCount() > 0 && node->data(0, kKeyRole).toString() != QLatin1String("Root"))
        node->setIcon(0, art::treeImage(2));
}

// ---- the passes -----------------------------------------------------------------------------

void frmMain::LoadSettings() { loadPages(false); }

void frmMain::loadPages(bool keepPending) {
    reg::cRegistry reg(*machine_);
    Pass pass(Pass::Kind::Load, reg, failureSink_);
    // The registry as it is on disk: changes a failed commit left behind are dropped (the window
    // is about to show what is stored), and files another program changed come in fresh. After
    // an import the pages show the imported changes instead, still pending.
    if (!keepPending)
        pass.step([&] { machine_->discardChanges(); });
    // Files read a moment ago, before the window was built, are not read again unless their
    // stamps say another program wrote them since.
    const bool justOpened = std::exchange(justOpened_, false);
    pass.step([&] {
        if (!justOpened || !machine_->filesAsRead())
            machine_->refresh();
    });
    // Icon files are read again too: a reload is how the user says the machine changed.
    shell::clearIconCache();
    rememberFiles();
    if (changedBar_)
        changedBar_->hide();
    const reg::Machine::Mark before = machine_->mark();
    runLoadBlocks(pass, [this](int node) { return !waitsForShow(node); });
    if (keepPending)
        machine_->rollbackTo(before);  // reading writes nothing of its own into an import
    else
        commit(tr("The settings"));
    forcedChanged_.clear();
    takeSnapshot();
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

frmMain::PageValues frmMain::pageValues() {
    PageValues values;
    for (const ctl::Control& c : ctl::listControls(*this))
        if (c.page > 0 && holdsSetting(c.kind))
            values[c.page].emplace_back(c.name, ctl::valueOf(c));
    return values;
}

void frmMain::takeSnapshot() { snapshot_ = pageValues(); }

std::set<int> frmMain::changedPages() const {
    const PageValues now = const_cast<frmMain&>(*this).pageValues();
    std::set<int> changed = forcedChanged_;
    for (int node = 1; node <= kNodeCount; ++node) {
        auto a = snapshot_.find(node);
        auto b = now.find(node);
        const bool hadAny = a != snapshot_.end(), hasAny = b != now.end();
        if (hadAny != hasAny || (hadAny && a->second != b->second))
            changed.insert(node);
    }
    return changed;
}

void frmMain::markPageChanged(int node) {
    if (node >= 1 && node <= kNodeCount)
        forcedChanged_.insert(node);
}

std::set<int> frmMain::allPages() const {
    std::set<int> all;
    for (int node = 1; node <= kNodeCount; ++node)
        all.insert(node);
    return all;
}

void frmMain::runSaveBlocks(Pass& pass, const std::set<int>& keep) {
    struct Range {
        int node;
        reg::Machine::Mark from, to;
    };
    std::vector<Range> ranges;
    const reg::Machine::Mark start = machine_->mark();
    pass.setPageHook([&](int node) {
        ranges.back().to = machine_->mark();
        ranges.push_back({node, machine_->mark(), {}});
    });
    for (size_t i = 0; i < kSaveOrder.size(); ++i) {
        const int node = kSaveOrder[i].node;
        if (!saveBlocks_[node])
            continue;
        pass.enterBlock(static_cast<int>(i + 1), node);
        ranges.push_back({node, machine_->mark(), {}});
        pass.step([&] { saveBlocks_[node](pass); });
        ranges.back().to = machine_->mark();
    }
    pass.setPageHook({});
    pass.enterBlock(0, 0);
    // Every block ran, so each saw the accessor as the one before it left it; now only what
    // changed pages wrote is kept.
    bool dropAny = false;
    for (const Range& r : ranges)
        dropAny |= !keep.count(r.node);
    if (!dropAny)
        return;
    std::vector<std::pair<reg::Machine::Mark, reg::Machine::Mark>> kept;
    for (const Range& r : ranges)
        if (keep.count(r.node))
            kept.emplace_back(r.from, r.to);
    machine_->keepOnly(start, kept);
    pass.rollbackWindow([&](int node) { return !keep.count(node); });
}

bool frmMain::SaveSettings() {
    loadLeftPages();  // every save block sees its page as loaded
    reg::cRegistry reg(*machine_);
    Pass pass(Pass::Kind::Save, reg, failureSink_);
    const std::set<int> changed = changedPages();
    const reg::Machine::Mark start = machine_->mark();

    // Captions back to the nodes' texts, in tree order: this drops every change mark (they come
    // back when the registry cannot be written).
    std::vector<std::pair<tk::Frame*, QString>> captions;
    for (QTreeWidgetItemIterator it(tvList); *it; ++it) {
        const int node = (*it)->data(0, kNodeRole).toInt();
        pass.step([&] {
            captions.emplace_back(fraOption(node), fraOption(node)->Caption());
            fraOption(node)->setCaption((*it)->text(0));
        });
    }

    runSaveBlocks(pass, changed);

    if (!machine_->hasChanges()) {
        forcedChanged_.clear();
        takeSnapshot();
        return true;  // nothing to write: no file is touched
    }

    // The shell rebuilds its icon cache from the registry when the file is gone. A cache that is
    // not there is the usual case and not worth a word, even in scripting mode.
    std::optional<std::filesystem::path> cache =
        shell::HostPath(shell::WindowsDirectory(*machine_) + "\\ShellIconCache");
    std::error_code ec;
    if (cache && std::filesystem::exists(std::filesystem::symlink_status(*cache, ec))) {
        pass.step([&] { shell::SetAttrNormal(*cache); });
        pass.step([&] { shell::Kill(*cache); });
    }

    auto notSaved = [&] {
        // Nothing was saved: the registry in memory goes back to before this Apply, and the
        // window keeps every edit and mark for the next try.
        machine_->rollbackTo(start);
        pass.rollbackWindow();
        for (auto& [frame, caption] : captions)
            frame->setCaption(caption);
        return false;
    };
    const RunningPrefix running = runningChoice(tr("Apply"));
    if (running == RunningPrefix::Cancel)
        return notSaved();

    const reg::ChangeSet changes = machine_->pendingChanges().simplified();
    const QStringList branches = largeDeletions(changes);
    if (!branches.isEmpty() && !confirmLargeDeletions(branches))
        return notSaved();

    // An own overlay set by an imported profile names icon files this machine may not have yet:
    // they are written as the overlay page writes them.
    for (const reg::ChangeOp& op : changes.ops) {
        if (op.kind != reg::ChangeOp::Kind::SetValue || (op.type != reg::REG_SZ && op.type != reg::REG_EXPAND_SZ))
            continue;
        std::u16string text = reg::bytesToUtf16(op.data);
        text = text.substr(0, text.find(u'\0'));
        if (shell::ownOverlayOf(reg::utf16ToUtf8(text)) == 0)
            continue;
        std::string why;
        std::vector<std::filesystem::path> created;
        if (!shell::writeOwnOverlayFiles(&why, &created) && failureSink_)
            failureSink_(tr("the overlay icon files were not written: %1").arg(QString::fromStdString(why)));
        break;
    }

    // The way back first: an Apply that cannot be undone is not made.
    std::unique_ptr<PendingBackup> backup = startBackup(tr("the Apply"));
    if (!backup)
        return notSaved();

    if (running == RunningPrefix::ThroughWine) {
        ThroughWine wine(*machine_);
        QString why;
        const int pointer = tk::MousePointer();
        tk::setMousePointer(tk::vbHourglass);
        // The way back holds what Wine has now, which its files may not show yet.
        std::optional<reg::ChangeSet> held = wine.asHeld(changes, &why);
        if (held) {
            try {
                backup->write(*held);
            } catch (const std::exception& e) {
                held.reset();
                why = QString::fromUtf8(e.what());
            }
        }
        if (!held) {
            tk::setMousePointer(pointer);
            ++commitFailures_;
            tk::MsgBox(tr("Nothing was applied through the running Wine of %1: its way back could not be kept.\n\n%2")
                           .arg(QString::fromStdString(machine_->folder().string()), why),
                       tk::vbOKOnly | tk::vbCritical);
            return notSaved();
        }
        const bool ok = wine.apply(changes, &why);
        tk::setMousePointer(pointer);
        // `reg import` is no transaction: part of it may have landed, so the backup stays.
        backup->committed();
        if (ok) {
            // Wine holds the changes and writes the files itself; the registry here stays what
            // the files hold until then (the watcher reloads when Wine saves), and the pages
            // already show what Wine has.
            machine_->discardChanges();
            forcedChanged_.clear();
            takeSnapshot();
            heldByWine_ = changes;
            heldByWineUntil_ = QDateTime::currentDateTimeUtc().addSecs(90);
            reportDeleted(branches);
            statusBar()->showMessage(tr("Applied through the running Wine (%1 changes)").arg(changes.size()), 10000);
            return true;
        }
        ++commitFailures_;
        tk::MsgBox(tr("The settings could not be applied through the running Wine of %1.\n\n%2\n\n"
                      "Everything you changed is still in the window. Part of it may have reached "
                      "Wine: Undo Last Apply takes back whatever did.")
                       .arg(QString::fromStdString(machine_->folder().string()), why),
                   tk::vbOKOnly | tk::vbCritical);
        return notSaved();
    }
    if (running == RunningPrefix::StopWine) {
        ThroughWine wine(*machine_);
        QString why;
        if (!wine.stopServer(&why)) {
            ++commitFailures_;
            tk::MsgBox(tr("Wine could not be stopped, so nothing was saved.\n\n%1").arg(why),
                       tk::vbOKOnly | tk::vbCritical);
            return notSaved();
        }
        runningBar_->hide();
    }

    if (commitBacked(*backup, tr("The settings"))) {
        forcedChanged_.clear();
        takeSnapshot();
        reportDeleted(branches);
        return true;
    }
    return notSaved();
}

bool frmMain::confirmLargeDeletions(const QStringList& branches) {
    const QString list = branches.mid(0, 20).join(QLatin1Char('\n'));
    if (!tk::interactive()) {
        if (force_)
            return true;
        ++commitFailures_;
        tk::MsgBox(tr("Nothing was applied: these changes delete whole registry branches:\n%1\n"
                      "Add --force to delete them.")
                       .arg(list),
                   tk::vbOKOnly | tk::vbExclamation);
        return false;
    }
    return tk::MsgBox(tr("These changes delete whole registry branches, with everything in them:\n\n%1\n\n"
                         "Delete them?")
                          .arg(list),
                      tk::vbYesNo | tk::vbExclamation | tk::vbDefaultButton2) == tk::vbYes;
}

void frmMain::reportDeleted(const QStringList& branches) {
    if (!branches.isEmpty() && !tk::interactive())
        tk::MsgBox(tr("Deleted: %1").arg(branches.join(QStringLiteral("; "))), tk::vbOKOnly | tk::vbInformation);
}

reg::ChangeSet frmMain::pendingChanges() {
    loadLeftPages();
    reg::cRegistry reg(*machine_);
    Pass pass(Pass::Kind::Save, reg, failureSink_);
    const reg::Machine::Mark start = machine_->mark();
    runSaveBlocks(pass, changedPages());
    reg::ChangeSet cs = machine_->pendingChanges().simplified();
    machine_->rollbackTo(start);
    pass.rollbackWindow();
    return cs;
}

reg::ChangeSet frmMain::settingsProfile() {
    loadLeftPages();
    reg::RecordingRegistry recorder(*machine_);
    reg::cRegistry reg(recorder);
    Pass pass(Pass::Kind::Save, reg, failureSink_);
    const reg::Machine::Mark start = machine_->mark();
    runSaveBlocks(pass, allPages());
    reg::ChangeSet cs = recorder.recorded();
    machine_->rollbackTo(start);
    pass.rollbackWindow();
    // The save block moves only the entries switched since the load; a profile carries them all.
    if (auto* lv = fraOption(pages::kNewMenuNode)->findChild<tk::CheckListView*>(QStringLiteral("lvNewMenu"))) {
        std::vector<std::pair<std::string, bool>> entries;
        for (int i = 0; i < lv->Count(); ++i)
            entries.emplace_back(lv->Key(i).toStdString(), lv->Checked(i));
        addNewMenuState(*machine_, entries, &cs);
    }
    return cs;
}

bool frmMain::exportSettings(const std::filesystem::path& file, QString* error, bool onlyChanged) {
    reg::ChangeSet profile = settingsProfile();
    if (onlyChanged)
        profile = changedFromDefaults(profile);
    portablePaths(&profile, machine_->windowsDirectory());
    const std::string comment = "Quorvel settings profile, exported " +
                                QDateTime::currentDateTime().toString(Qt::ISODate).toStdString() + " from " +
                                machine_->folder().string();
    const std::string bytes = reg::writeRegFile(profile, reg::RegFormat::Unicode, comment);
    try {
        // A link planted at the name is replaced, never written through.
        reg::writeFileSafely(file, bytes);
    } catch (const std::exception& e) {
        *error = QString::fromUtf8(e.what());
        return false;
    }
    return true;
}

bool frmMain::importSettings(const std::filesystem::path& file, QString* error) {
    // Applied as it is read, never held as a change set: a large file costs about its own size.
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = QStringLiteral("Could not open %1").arg(QString::fromStdString(file.string()));
        return false;
    }
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    std::string bytes(ec ? 0 : static_cast<size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    std::string why;
    bool unreadable = false;
    std::vector<std::string> inMemory;
    const reg::Machine::Mark before = machine_->mark();
    if (machine_->applyRegFile(bytes, file.string(), &why, &unreadable, &inMemory) != reg::ERROR_SUCCESS) {
        *error = unreadable ? QString::fromStdString(why)
                            : tr("%1 was not imported: %2").arg(QString::fromStdString(file.string()), QString::fromStdString(why));
        return false;
    }
    // What no page shows is never taken silently: the window asks for it apart, a script is told.
    const OwnedSplit split = splitByOwner(machine_->changesSince(before), settingsProfile());
    const QString name = QString::fromStdString(file.string());
    if (!split.other.empty() && tk::interactive()) {
        ChangesDialog dlg(split.other, tr("Other Registry Changes"),
                          tr("%1 also changes these keys and values, which no page shows. Import them too?").arg(name),
                          tr("&Import Them Too"), this);
        if (dlg.exec() != QDialog::Accepted) {
            machine_->rollbackTo(before);
            if (machine_->apply(split.pages, &why) != reg::ERROR_SUCCESS) {
                machine_->rollbackTo(before);
                *error = tr("%1 was not imported: %2").arg(name, QString::fromStdString(why));
                return false;
            }
        }
    } else if (!tk::interactive()) {
        QString told = tr("Imported %1: %2 page value(s), %3 other value(s)").arg(name).arg(split.pageValues).arg(split.otherValues);
        QStringList left;
        for (const std::string& k : inMemory)
            left << QString::fromStdString(k);
        if (!left.isEmpty())
            told += tr("; left out, as Wine keeps them only in memory: %1").arg(left.join(QStringLiteral(", ")));
        tk::MsgBox(told, tk::vbOKOnly | tk::vbInformation);
    }
    loadPages(true);
    return true;
}

reg::ChangeSet frmMain::asChangeOf(const reg::ChangeSet& changes) {
    // Made in memory and taken back: what it would change, with what each value holds now, and
    // only keys it would really create.
    const reg::Machine::Mark before = machine_->mark();
    std::string why;
    reg::ChangeSet made = changes;
    if (machine_->apply(changes, &why) == reg::ERROR_SUCCESS)
        made = machine_->changesSince(before).simplified();
    machine_->rollbackTo(before);
    return made;
}

std::optional<reg::ChangeSet> frmMain::undoPreview() {
    std::optional<Backup> b = latestBackup(*machine_);
    QString error;
    std::optional<reg::ChangeSet> undo = b ? readChangeFile(b->undo, &error) : std::nullopt;
    if (!undo)
        return std::nullopt;
    return asChangeOf(*undo);
}

bool frmMain::undoLastApply(bool force) {
    force = force || force_;
    std::optional<Backup> b = latestBackup(*machine_);
    if (!b) {
        tk::MsgBox(tr("There is no Apply to undo on this machine."), tk::vbOKOnly | tk::vbInformation);
        return false;
    }
    QString error;
    std::optional<reg::ChangeSet> undo = readChangeFile(b->undo, &error);
    std::optional<reg::ChangeSet> applied = undo ? readChangeFile(b->applied, &error) : std::nullopt;
    if (!undo || !applied) {
        tk::MsgBox(tr("The backup of the Apply of %1 cannot be read: %2").arg(b->when, error),
                   tk::vbOKOnly | tk::vbCritical);
        return false;
    }
    const RunningPrefix running = runningChoice(tr("Undo"));
    if (running == RunningPrefix::Cancel)
        return false;
    std::optional<ThroughWine> wine;
    if (running == RunningPrefix::ThroughWine || running == RunningPrefix::StopWine)
        wine.emplace(*machine_);
    if (running == RunningPrefix::StopWine) {
        QString why;
        if (!wine->stopServer(&why)) {
            tk::MsgBox(tr("Wine could not be stopped, so nothing was undone.\n\n%1").arg(why),
                       tk::vbOKOnly | tk::vbCritical);
            return false;
        }
        runningBar_->hide();
        wine.reset();
    }
    try {
        machine_->refresh();
    } catch (const std::exception& e) {
        tk::MsgBox(QString::fromUtf8(e.what()), tk::vbOKOnly | tk::vbCritical);
        return false;
    }
    // A running Wine is asked what it holds now: its files can lag behind.
    QStringList changed;
    if (wine) {
        QString why;
        std::optional<QStringList> diff = wine->differences(*applied, &why);
        if (!diff) {
            tk::MsgBox(tr("The running Wine could not be asked what it holds: %1").arg(why), tk::vbOKOnly | tk::vbCritical);
            return false;
        }
        changed = *diff;
    } else {
        changed = changedSince(*machine_, *applied, *undo);
    }
    if (!changed.isEmpty() && !force) {
        const QString text = tr("These settings changed after the Apply of %1, and undoing it would "
                                "overwrite them:\n\n%2\n\nUndo anyway?")
                                 .arg(b->when, changed.mid(0, 20).join(QLatin1Char('\n')));
        if (!tk::interactive()) {
            tk::MsgBox(tr("The Apply of %1 was not undone: these settings changed since:\n%2")
                           .arg(b->when, changed.join(QLatin1Char('\n'))),
                       tk::vbOKOnly | tk::vbExclamation);
            return false;
        }
        if (tk::MsgBox(text, tk::vbYesNo | tk::vbExclamation | tk::vbDefaultButton2) != tk::vbYes)
            return false;
    }
    if (tk::interactive()) {
        ChangesDialog dlg(asChangeOf(*undo), tr("Undo Last Apply"),
                          tr("Undoing the Apply of %1 restores these keys and values:").arg(b->when),
                          tr("&Restore"), this);
        if (dlg.exec() != QDialog::Accepted)
            return false;
    }
    // Marked as under way until it committed, so that an Undo cut short is settled at the next look.
    std::optional<PendingUndo> undoing;
    try {
        undoing.emplace(*b);
    } catch (const std::exception& e) {
        tk::MsgBox(tr("The Apply of %1 was not undone: %2").arg(b->when, QString::fromUtf8(e.what())),
                   tk::vbOKOnly | tk::vbCritical);
        return false;
    }
    if (wine) {
        QString why;
        if (!wine->apply(*undo, &why)) {
            ++commitFailures_;
            tk::MsgBox(tr("The Apply of %1 could not be undone through the running Wine: %2").arg(b->when, why),
                       tk::vbOKOnly | tk::vbCritical);
            return false;
        }
        undoing->committed();
        // The pages show what Wine now holds; the registry here stays what the files hold.
        machine_->discardChanges();
        const reg::Machine::Mark before = machine_->mark();
        std::string bad;
        if (machine_->apply(*undo, &bad) == reg::ERROR_SUCCESS)
            loadPages(true);
        machine_->rollbackTo(before);
        statusBar()->showMessage(tr("The Apply of %1 was undone through the running Wine").arg(b->when), 10000);
        return true;
    }
    const reg::Machine::Mark start = machine_->mark();
    std::string why;
    if (machine_->apply(*undo, &why) != reg::ERROR_SUCCESS) {
        tk::MsgBox(tr("The Apply of %1 could not be undone: %2").arg(b->when, QString::fromStdString(why)),
                   tk::vbOKOnly | tk::vbCritical);
        return false;
    }
    if (!commit(tr("The undo"))) {
        machine_->rollbackTo(start);
        return false;
    }
    undoing->committed();
    loadPages(false);
    statusBar()->showMessage(tr("The Apply of %1 was undone").arg(b->when), 10000);
    return true;
}

bool frmMain::commitChanges(const QString& what) {
    if (!machine_->hasChanges())
        return true;
    // A script that asked for --diff sees immediate actions in it, and nothing is written.
    if (!writeImmediately_)
        return true;
    std::unique_ptr<PendingBackup> backup = startBackup(what);
    return backup && commitBacked(*backup, what);
}

std::unique_ptr<PendingBackup> frmMain::startBackup(const QString& what) {
    std::unique_ptr<PendingBackup> backup;
    try {
        // Its files are written once what the commit replaces is known (commitBacked), or what
        // the running Wine holds.
        backup = std::make_unique<PendingBackup>(*machine_);
    } catch (const std::exception& e) {
        backup.reset();
        ++commitFailures_;
        tk::MsgBox(tr("Nothing was applied to %1: %2 could not keep its way back.\n\n%3")
                       .arg(QString::fromStdString(machine_->folder().string()), what, QString::fromUtf8(e.what())),
                   tk::vbOKOnly | tk::vbCritical);
    }
    return backup;
}

bool frmMain::commitBacked(PendingBackup& backup, const QString& what) {
    // The backup is written again from what the commit finds on disk, so that Undo restores what
    // was really replaced, another program's values included.
    machine_->setBeforeSaveHook([&](const reg::ChangeSet& replaced) { backup.write(replaced); });
    const bool saved = commit(what);
    machine_->setBeforeSaveHook({});
    if (saved)
        backup.committed();
    return saved;
}

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

bool frmMain::commit(const QString& what) {
    QString why;
    try {
        if (!machine_->hasChanges())
            return true;  // nothing to write: no file is touched
        machine_->commit();
        // Our own new files are no news to the watcher.
        rememberFiles();
        return true;
    } catch (const std::exception& e) {
        why = QString::fromUtf8(e.what());
    } catch (...) {
        why = tr("unknown failure");
    }
    ++commitFailures_;
    tk::MsgBox(tr("%1 could not be saved to the registry in %2.\n\n%3\n\nEverything you changed is "
                  "still in the window: press Apply to try again.")
                   .arg(what, QString::fromStdString(machine_->folder().string()), why),
               tk::vbOKOnly | tk::vbCritical);
    return false;
}

// ---- a running prefix, and files changed by others ---------------------------------------------

frmMain::RunningPrefix frmMain::runningChoice(const QString& action) {
    if (machine_->kind() != reg::Machine::Kind::WinePrefix || !machine_->wineserverRunning()) {
        runningBar_->hide();
        return RunningPrefix::Refuse;  // nothing runs: the files are written as always
    }
    runningBar_->show();
    if (runningChoice_ == RunningPrefix::Refuse || runningChoice_ == RunningPrefix::Cancel)
        return runningChoice_;
    if (!tk::interactive() && runningChoice_ == RunningPrefix::Ask)
        return RunningPrefix::Refuse;
    // Wine runs as the prefix's owner or not at all: then neither way through it is offered.
    if (const std::optional<QString> refused = ThroughWine(*machine_).refusal()) {
        ++commitFailures_;
        tk::MsgBox(tr("The wineserver of %1 is running, and %2 can neither go through it nor stop it.\n\n%3")
                       .arg(QString::fromStdString(machine_->folder().string()), action, *refused),
                   tk::vbOKOnly | tk::vbExclamation);
        return RunningPrefix::Cancel;
    }
    if (runningChoice_ != RunningPrefix::Ask)
        return runningChoice_;
    QMessageBox box(this);
    box.setWindowTitle(tk::App::Title());
    box.setIcon(QMessageBox::Question);
    box.setText(tr("The wineserver of %1 is running: Wine holds this registry in memory and would "
                   "overwrite changes written to its files.")
                    .arg(QString::fromStdString(machine_->folder().string())));
    box.setInformativeText(tr("%1 through the running Wine (wine reg import), or stop Wine (its "
                              "programs close) and write the files?")
                               .arg(action));
    QPushButton* through = box.addButton(tr("%1 &through Wine").arg(action), QMessageBox::AcceptRole);
    through->setObjectName(QStringLiteral("cmdThroughWine"));
    QPushButton* stop = box.addButton(tr("&Stop Wine and %1").arg(action.toLower()), QMessageBox::DestructiveRole);
    stop->setObjectName(QStringLiteral("cmdStopWine"));
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(through);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == through)
        return RunningPrefix::ThroughWine;
    if (box.clickedButton() == stop)
        return RunningPrefix::StopWine;
    return RunningPrefix::Cancel;
}

std::array<frmMain::FileStamp, 2> frmMain::stampFiles() const {
    std::array<FileStamp, 2> out{};
    const char* names[] = {"system.reg", "user.reg"};
    for (size_t i = 0; i < 2; ++i) {
        struct stat st;
        if (::stat((machine_->folder() / names[i]).c_str(), &st) != 0)
            continue;
        out[i] = {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
                  static_cast<unsigned long long>(st.st_size),
                  static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec, true};
    }
    return out;
}

void frmMain::rememberFiles() { known_ = stampFiles(); }

void frmMain::watchFiles() {
    watcher_ = new QFileSystemWatcher(this);
    watchDelay_ = new QTimer(this);
    watchDelay_->setSingleShot(true);
    // A save is a burst of events (temporary file, rename, the other file): one look after it.
    watchDelay_->setInterval(300);
    connect(watchDelay_, &QTimer::timeout, this, [this] { checkFilesOnDisk(); });
    const QString folder = QString::fromStdString(machine_->folder().string());
    watcher_->addPath(folder);
    for (const char* name : {"system.reg", "user.reg"})
        watcher_->addPath(QString::fromStdString((machine_->folder() / name).string()));
    connect(watcher_, &QFileSystemWatcher::fileChanged, watchDelay_, qOverload<>(&QTimer::start));
    connect(watcher_, &QFileSystemWatcher::directoryChanged, watchDelay_, qOverload<>(&QTimer::start));
    rememberFiles();
}

void frmMain::checkFilesOnDisk() {
    if (!watcher_ || unloaded_)
        return;
    // A file replaced by a rename is a new file: its watch went with the old one.
    const QStringList watched = watcher_->files();
    for (const char* name : {"system.reg", "user.reg"}) {
        const QString path = QString::fromStdString((machine_->folder() / name).string());
        if (!watched.contains(path) && QFileInfo::exists(path))
            watcher_->addPath(path);
    }
    const std::array<FileStamp, 2> now = stampFiles();
    if (now == known_)
        return;
    known_ = now;
    // A file half written or gone for a moment is looked at again once it is whole.
    if (!now[0].exists || !now[1].exists)
        return;
    filesChangedOnDisk();
}

void frmMain::filesChangedOnDisk() {
    if (!machine_->wineserverRunning())
        runningBar_->hide();
    // After an Apply through Wine, a save Wine began before it can still write the old values:
    // the pages keep showing what Wine holds until its files have it too.
    if (heldByWine_) {
        bool caughtUp = false;
        try {
            machine_->refresh();
            caughtUp = changedSince(*machine_, *heldByWine_).isEmpty();
        } catch (const std::exception&) {
        }
        if (!caughtUp && QDateTime::currentDateTimeUtc() < heldByWineUntil_)
            return;
        heldByWine_.reset();
    }
    if (changedPages().empty() && !machine_->hasChanges()) {
        LoadSettings();
        statusBar()->showMessage(tr("Reloaded: another program changed the registry files"), 10000);
        return;
    }
    changedBar_->show();
}

void frmMain::reloadUneditedPages() {
    const std::set<int> edited = changedPages();
    std::map<int, std::vector<std::pair<QString, QString>>> kept;
    for (int node : edited)
        if (auto it = snapshot_.find(node); it != snapshot_.end())
            kept.insert(*it);
    reg::cRegistry reg(*machine_);
    Pass pass(Pass::Kind::Load, reg, failureSink_);
    // The files' new state under the pending changes, which stay.
    pass.step([&] { machine_->refresh(); });
    rememberFiles();
    const reg::Machine::Mark before = machine_->mark();
    runLoadBlocks(pass, [&](int node) { return !edited.count(node) && !waitsForShow(node); });
    pass.enterBlock(0, 0);
    machine_->rollbackTo(before);
    // Edited pages still compare with what they held before, so they stay edited.
    takeSnapshot();
    for (auto& [node, values] : kept)
        snapshot_[node] = std::move(values);
    changedBar_->hide();
    statusBar()->showMessage(tr("Reloaded the pages you had not edited"), 10000);
}

// ---- commands -------------------------------------------------------------------------------

void frmMain::cmdApply_Click() {
    const bool anything = !changedPages().empty() || machine_->hasChanges();
    // Even with nothing to write, the pass runs: it drops change marks left by clicks that changed
    // no value.
    const bool saved = SaveSettings();
    if (saved && !anything)
        tk::MsgBox(tr("There are no changes to apply."), tk::vbOKOnly | tk::vbInformation);
    else if (saved && statusBar()->currentMessage().isEmpty())
        statusBar()->showMessage(tr("Applied to %1").arg(QString::fromStdString(machine_->folder().string())), 10000);
}

void frmMain::cmdOK_Click() {
    // The window stays when the registry could not be written, so nothing the user set is lost.
    if (SaveSettings())
        unload();
}

void frmMain::cmdCancel_Click() { unload(); }

void frmMain::showMachine() {
    const QString name = QString::fromStdString(reg::machineName(machine_->kind(), machine_->folder()));
    const QString folder = QString::fromStdString(machine_->folder().string());
    setWindowTitle(QStringLiteral("Quorvel - %1").arg(name));
    lblMachine->setText(tr("%1: %2").arg(QString::fromStdString(reg::kindName(machine_->kind())), folder));
    lblMachine->setToolTip(folder);
}

void frmMain::mnuFileOpenMachine_Click() {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the Open Machine dialog"));
        return;
    }
    reg::DiscoveryOptions options = reg::discoveryOptionsFromEnvironment();
    options.readDetails = false;  // the dialog reads them while it is shown
    OpenMachineDialog dlg(reg::discoverMachines(options), machine_->folder(), this);
    if (dlg.exec() != QDialog::Accepted || !dlg.choice())
        return;
    switchMachine(*dlg.choice());
}

bool frmMain::switchMachine(const MachineChoice& choice) {
    std::error_code ec;
    if (std::filesystem::weakly_canonical(choice.folder, ec) == std::filesystem::weakly_canonical(machine_->folder(), ec))
        return false;  // already open
    if (!changedPages().empty() || machine_->hasChanges()) {
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
        next = choice.kind == reg::Machine::Kind::Own       ? reg::Machine::openOwn(choice.folder)
               : choice.kind == reg::Machine::Kind::Windows ? reg::Machine::openWindows(choice.folder)
                                                            : reg::Machine::openWinePrefix(choice.folder);
    } catch (const std::exception& e) {
        tk::MsgBox(tr("%1 could not be opened.\n\n%2")
                       .arg(QString::fromStdString(choice.folder.string()), QString::fromUtf8(e.what())),
                   tk::vbOKOnly | tk::vbCritical);
        return false;
    }
    // What was not saved is dropped with this window.
    machine_->discardChanges();
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
    const reg::ChangeSet cs = pendingChanges();
    return new ChangesDialog(cs, tr("Review Changes"),
                             cs.empty() ? tr("Apply would change nothing: every page holds what is stored.")
                                        : tr("Apply would make these changes to %1:")
                                              .arg(QString::fromStdString(machine_->folder().string())),
                             tr("&Apply"), this);
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

namespace {
// A .reg file chosen in a file dialog, then handed to `use`; its error is shown.
// The chooser starts in the user's documents; a name saved without a suffix gets ".reg". Returns
// the file used, or nothing (cancelled or failed: the failure is told).
QString withRegFile(QWidget* parent, bool save, const QString& title,
                    const std::function<bool(const std::filesystem::path&, QString*)>& use) {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the file chooser"));
        return {};
    }
    const QString filter = QObject::tr("Registry files (*.reg);;All files (*)");
    const QString start = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QString file = save ? QFileDialog::getSaveFileName(parent, title, start, filter)
                        : QFileDialog::getOpenFileName(parent, title, start, filter);
    if (file.isEmpty())
        return {};
    if (save && QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".reg");
    QString error;
    if (!use(file.toStdString(), &error)) {
        tk::MsgBox(error, tk::vbOKOnly | tk::vbCritical);
        return {};
    }
    return file;
}
}  // namespace

void frmMain::mnuFileExportSettings_Click() {
    bool onlyChanged = false;
    if (tk::interactive()) {
        QMessageBox box(this);
        box.setWindowTitle(tr("Export Settings"));
        box.setIcon(QMessageBox::Question);
        box.setText(tr("Export the settings of every page, or only those changed from Windows' defaults?"));
        QPushButton* all = box.addButton(tr("&All Pages"), QMessageBox::AcceptRole);
        QPushButton* changed = box.addButton(tr("Only &Changed"), QMessageBox::AcceptRole);
        box.addButton(QMessageBox::Cancel);
        box.setDefaultButton(all);
        box.exec();
        if (box.clickedButton() != all && box.clickedButton() != changed)
            return;
        onlyChanged = box.clickedButton() == changed;
    }
    const QString file = withRegFile(this, true, tr("Export Settings"), [this, onlyChanged](const std::filesystem::path& f, QString* e) {
        return exportSettings(f, e, onlyChanged);
    });
    if (!file.isEmpty())
        statusBar()->showMessage(tr("Settings exported to %1").arg(file), 10000);
}

void frmMain::mnuFileImportSettings_Click() {
    const QString file = withRegFile(this, false, tr("Import Settings"),
                                     [this](const std::filesystem::path& f, QString* e) { return importSettings(f, e); });
    if (!file.isEmpty())
        statusBar()->showMessage(tr("%1 imported: review and Apply to write it").arg(file), 10000);
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

void frmMain::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (centred_)
        return;
    centred_ = true;
    if (QScreen* s = screen()) {
        QRect r = frameGeometry();
        r.moveCenter(s->availableGeometry().center());
        move(r.topLeft());
    }
}

}  // namespace qv
