#include "app/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "app/artwork.h"
#include "app/frmabout.h"
#include "app/help.h"
#include "app/nodes.h"
#include "app/page.h"
#include "registry/machine.h"
#include "shell/directories.h"
#include "shell/folderbrowser.h"
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

frmMain::frmMain(reg::Machine& machine, Pass::FailureSink sink, QWidget* parent)
    : QMainWindow(parent), machine_(machine), failureSink_(std::move(sink)) {
    shell::setCurrentMachine(&machine_);
    buildWindow();
    buildPages(*this);
    Form_Load();
}

frmMain::~frmMain() {
    if (help_)
        delete help_.data();
    if (shell::currentMachine() == &machine_)
        shell::setCurrentMachine(nullptr);
}

void frmMain::buildWindow() {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quorvel"));
    setWindowIcon(art::applicationIcon());
    // Fixed single border with a minimize box and no maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    // Menus first: the client area is what lies below the menu bar.
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFileReloadSettings = mnuFile->addAction(QStringLiteral("&Reload Settings"));
    mnuFileReloadSettings->setObjectName(QStringLiteral("mnuFileReloadSettings"));
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

    // Creation order is the tab order: the buttons, the tree, then the pages.
    cmdHelp = makeButton(QStringLiteral("&Help"), client, QStringLiteral("cmdHelp"), 1080, 5280, 1215, 375);
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

    for (int i = 1; i <= kNodeCount; ++i) {
        auto* f = new tk::Frame(QString(), client, QStringLiteral("fraOption(%1)").arg(i));
        tk::place(f, 3840, 150, 5055, 5025);
        frames_[i] = f;
    }
    lblLabel = tk::makeLabel(QString(), frames_[1], QStringLiteral("lblLabel"));

    QWidget::setTabOrder(cmdHelp, cmdOK);
    QWidget::setTabOrder(cmdOK, cmdCancel);
    QWidget::setTabOrder(cmdCancel, cmdApply);
    QWidget::setTabOrder(cmdApply, tvList);

    connect(cmdApply, &QPushButton::clicked, this, [this] { cmdApply_Click(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(cmdHelp, &QPushButton::clicked, this, [this] { cmdHelp_Click(); });
    connect(mnuFileReloadSettings, &QAction::triggered, this, [this] { mnuFileReloadSettings_Click(); });
    connect(mnuFileQuit, &QAction::triggered, this, [this] { mnuFileQuit_Click(); });
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
        reg::cRegistry probe(machine_);
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
    if (node->data(0, kKeyRole).toString() != QLatin1String("Root"))
        node->setIcon(0, art::treeImage(3));
}

void frmMain::tvList_Collapse(QTreeWidgetItem* node) {
    if (node->data(0, kKeyRole).toString() != QLatin1String("Root"))
        node->setIcon(0, art::treeImage(2));
}

// ---- the passes -----------------------------------------------------------------------------

void frmMain::LoadSettings() {
    reg::cRegistry reg(machine_);
    Pass pass(Pass::Kind::Load, reg, failureSink_);
    // The registry as it is on disk: changes a failed commit left behind are dropped (the window
    // is about to show what is stored), and files another program changed come in fresh.
    pass.step([&] { machine_.discardChanges(); });
    pass.step([&] { machine_.refresh(); });
    for (size_t i = 0; i < kLoadOrder.size(); ++i) {
        const int node = kLoadOrder[i].node;
        if (!loadBlocks_[node])
            continue;
        pass.enterBlock(static_cast<int>(i + 1), node);
        pass.step([&] { loadBlocks_[node](pass); });
    }
    commit(tr("The settings"));
}

bool frmMain::SaveSettings() {
    reg::cRegistry reg(machine_);
    Pass pass(Pass::Kind::Save, reg, failureSink_);

    // The shell rebuilds its icon cache from the registry when the file is gone. A cache that is
    // not there is the usual case and not worth a word, even in scripting mode.
    std::optional<std::filesystem::path> cache =
        shell::HostPath(shell::WindowsDirectory(machine_) + "\\ShellIconCache");
    std::error_code ec;
    if (cache && std::filesystem::exists(std::filesystem::symlink_status(*cache, ec))) {
        pass.step([&] { shell::SetAttrNormal(*cache); });
        pass.step([&] { shell::Kill(*cache); });
    }

    // Captions back to the nodes' texts, in tree order: this drops every change mark. The marks
    // come back when nothing could be saved.
    std::vector<std::pair<int, QString>> marks;
    for (QTreeWidgetItemIterator it(tvList); *it; ++it) {
        const int node = (*it)->data(0, kNodeRole).toInt();
        pass.step([&] { marks.emplace_back(node, fraOption(node)->Caption()); });
        pass.step([&] { fraOption(node)->setCaption((*it)->text(0)); });
    }

    for (size_t i = 0; i < kSaveOrder.size(); ++i) {
        const int node = kSaveOrder[i].node;
        if (!saveBlocks_[node])
            continue;
        pass.enterBlock(static_cast<int>(i + 1), node);
        pass.step([&] { saveBlocks_[node](pass); });
    }
    if (commit(tr("The settings")))
        return true;
    for (const auto& [node, caption] : marks)
        pass.step([&] { fraOption(node)->setCaption(caption); });
    return false;
}

bool frmMain::commitChanges(const QString& what) { return commit(what); }

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
        if (!machine_.hasChanges())
            return true;  // nothing to write: no file is touched
        machine_.commit();
        return true;
    } catch (const std::exception& e) {
        why = QString::fromUtf8(e.what());
    } catch (...) {
        why = tr("unknown failure");
    }
    ++commitFailures_;
    tk::MsgBox(tr("%1 could not be saved to the registry in %2.\n\n%3\n\nEverything you changed is "
                  "still in the window: press Apply to try again.")
                   .arg(what, QString::fromStdString(machine_.folder().string()), why),
               tk::vbOKOnly | tk::vbCritical);
    return false;
}

// ---- commands -------------------------------------------------------------------------------

void frmMain::cmdApply_Click() { SaveSettings(); }

void frmMain::cmdOK_Click() {
    // The window stays when the registry could not be written, so nothing the user set is lost.
    if (SaveSettings())
        unload();
}

void frmMain::cmdCancel_Click() { unload(); }

void frmMain::mnuFileReloadSettings_Click() {
    const int pointer = tk::MousePointer();
    tk::setMousePointer(tk::vbHourglass);
    LoadSettings();
    tk::setMousePointer(pointer);
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
