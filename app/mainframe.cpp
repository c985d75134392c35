#include "app/mainframe.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTreeWidget>

#include "app/artwork.h"
#include "app/machinebar.h"
#include "app/nodes.h"

namespace qv {

namespace {
constexpr int kKeyRole = Qt::UserRole + 2;  // the node's key

QPushButton* makeButton(const QString& caption, QWidget* parent, const QString& name, int l, int t,
                        int w, int h) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    tk::place(b, l, t, w, h);
    return b;
}
}  // namespace

MainWindowFrame::MainWindowFrame(QWidget* parent) : QMainWindow(parent) {
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
    mnuFileOpenRegistryFile = mnuFile->addAction(QStringLiteral("Open Re&gistry File..."));
    mnuFileOpenRegistryFile->setObjectName(QStringLiteral("mnuFileOpenRegistryFile"));
    mnuFile->addSeparator()->setObjectName(QStringLiteral("mnuFileSep3"));
    mnuFileReloadSettings = mnuFile->addAction(QStringLiteral("&Reload Settings"));
    mnuFileReloadSettings->setObjectName(QStringLiteral("mnuFileReloadSettings"));
    mnuFileReviewChanges = mnuFile->addAction(QStringLiteral("Re&view Changes..."));
    mnuFileReviewChanges->setObjectName(QStringLiteral("mnuFileReviewChanges"));
    mnuFileUndoLastApply = mnuFile->addAction(QStringLiteral("&Undo Last Apply..."));
    mnuFileUndoLastApply->setObjectName(QStringLiteral("mnuFileUndoLastApply"));
    mnuFileHistory = mnuFile->addAction(QStringLiteral("&History..."));
    mnuFileHistory->setObjectName(QStringLiteral("mnuFileHistory"));
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

    connect(tvList, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* n) { tvList_Expand(n); });
    connect(tvList, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* n) { tvList_Collapse(n); });

    // Enter presses the focused button, or else the default one; Esc presses Cancel.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* sc = new QShortcut(QKeySequence(key), this);
        connect(sc, &QShortcut::activated, this, [this] { pressDefaultButton(); });
    }
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, cmdCancel, &QPushButton::click);
    buildBars();
    // A .reg file dropped on the window opens as File > Open Registry File would.
    setAcceptDrops(true);
}

void MainWindowFrame::buildBars() {
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
    changedBar_->hide();
    runningBar_->setText(tr("This Wine prefix is running: Wine holds its registry in memory, and the "
                            "values on disk can be up to 30 seconds behind Wine's. Apply offers to "
                            "write through the running Wine."));
    runningBar_->hide();
}

void MainWindowFrame::pressDefaultButton() {
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

void MainWindowFrame::fillTree() {
    // The tree, every category closed but the top one.
    tvList->clear();
    items_.fill(nullptr);
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
    // The four categories show, themselves closed.
    items_[1]->setExpanded(true);
    // Every page hidden, with its node's text.
    for (int i = 1; i <= kNodeCount; ++i) {
        frames_[i]->hide();
        frames_[i]->setCaption(QString::fromUtf8(kNodes[i - 1].text));
    }
}

tk::Frame* MainWindowFrame::fraOption(int index) const {
    if (index < 1 || index > kNodeCount)
        throw tk::ControlError("Control array element '" + std::to_string(index) + "' doesn't exist");
    return frames_[index];
}

int MainWindowFrame::nodeIndex(const QTreeWidgetItem* item) { return nodeIndexOf(item); }

QTreeWidgetItem* MainWindowFrame::nodeItem(int index) const {
    return index >= 1 && index <= kNodeCount ? items_[index] : nullptr;
}

void MainWindowFrame::tvList_Expand(QTreeWidgetItem* node) {
    // '*' marks every node below as expanded, leaves too; a leaf keeps its page image.
    if (node->childCount() > 0 && node->data(0, kKeyRole).toString() != QLatin1String("Root"))
        node->setIcon(0, art::treeImage(3));
}

void MainWindowFrame::tvList_Collapse(QTreeWidgetItem* node) {
    if (node->childCount() > 0 && node->data(0, kKeyRole).toString() != QLatin1String("Root"))
        node->setIcon(0, art::treeImage(2));
}

void MainWindowFrame::showEvent(QShowEvent* e) {
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

void MainWindowFrame::dragEnterEvent(QDragEnterEvent* e) {
    const QList<QUrl> urls = e->mimeData()->urls();
    if (urls.size() == 1 && urls[0].isLocalFile() && urls[0].toLocalFile().endsWith(QLatin1String(".reg"), Qt::CaseInsensitive))
        e->acceptProposedAction();
}

void MainWindowFrame::dropEvent(QDropEvent* e) {
    const QList<QUrl> urls = e->mimeData()->urls();
    if (urls.size() != 1 || !urls[0].isLocalFile())
        return;
    e->acceptProposedAction();
    regFileDropped(urls[0].toLocalFile().toStdString());
}

}  // namespace qv
