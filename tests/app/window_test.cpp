// The main window as a user meets it: the tree, the pages, the description, the layout.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTreeWidget>

#include "app/artwork.h"
#include "app/nodes.h"
#include "app_support.h"

using namespace qvtest;
using qv::frmMain;

namespace {

QImage iconImage(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

QTreeWidgetItem* item(frmMain& f, int i) { return f.nodeItem(i); }

int visiblePages(frmMain& f) {
    int n = 0;
    for (int i = 1; i <= qv::kNodeCount; ++i)
        n += f.fraOption(i)->Visible() ? 1 : 0;
    return n;
}

}  // namespace

TEST_F(WindowTest, StartsOnTheWelcomePageWithFourClosedCategories) {
    frmMain& f = form();
    QTreeWidgetItem* root = item(f, 1);
    ASSERT_EQ(f.tvList->topLevelItemCount(), 1);
    EXPECT_EQ(f.tvList->topLevelItem(0), root);
    EXPECT_TRUE(root->isExpanded());
    ASSERT_EQ(root->childCount(), 4);
    QStringList categories;
    for (int i = 0; i < 4; ++i) {
        categories << root->child(i)->text(0);
        EXPECT_FALSE(root->child(i)->isExpanded());
        EXPECT_EQ(iconImage(root->child(i)->icon(0)), iconImage(qv::art::treeImage(2)));
    }
    EXPECT_EQ(categories, (QStringList{"Explorer", "General", "Start Menu", "System"}));
    EXPECT_EQ(f.iCurrentOption, 1);
    EXPECT_EQ(visiblePages(f), 1);
    EXPECT_TRUE(f.fraOption(1)->Visible());
    EXPECT_EQ(f.fraOption(1)->Caption(), "Quorvel");
    EXPECT_EQ(f.lblLabel->parentWidget(), f.fraOption(1));
    EXPECT_EQ(f.lblLabel->text(), qv::tk::LoadResString(9));
    EXPECT_TRUE(f.lblLabel->text().startsWith("Welcome to the Quorvel."));
}

TEST_F(WindowTest, TreeHoldsTheNodeTableInOrderUnderItsParents) {
    frmMain& f = form();
    int index = 0;
    for (QTreeWidgetItemIterator it(f.tvList); *it; ++it) {
        ++index;
        const qv::NodeInfo& n = qv::kNodes[index - 1];
        EXPECT_EQ(frmMain::nodeIndex(*it), n.index);
        EXPECT_EQ((*it)->text(0), QString::fromUtf8(n.text));
        if (n.parentKey) {
            ASSERT_NE((*it)->parent(), nullptr);
            EXPECT_STREQ(qv::nodeByIndex(frmMain::nodeIndex((*it)->parent()))->key, n.parentKey);
        }
        // Every leaf carries the page image, every category the folder, the top the computer.
        const int expected = n.image;
        EXPECT_EQ(iconImage((*it)->icon(0)).isNull(), false);
        if (expected == 4) {
            EXPECT_EQ(iconImage((*it)->icon(0)), iconImage(qv::art::treeImage(4))) << n.key;
        }
    }
    EXPECT_EQ(index, 33);
    // The misspelt keys are identifiers and stay as they are.
    EXPECT_EQ(qv::nodeByKey("Explorer$Shotcuts$Prefix")->index, 11);
    EXPECT_EQ(qv::nodeByKey("Explorer$Shortcuts"), nullptr);
}

TEST_F(WindowTest, EveryPageIsCaptionedWithItsNodeTextAndStackedInOnePlace) {
    frmMain& f = form();
    const QRect place = f.fraOption(1)->geometry();
    EXPECT_EQ(place, QRect(256, 10, 337, 335));
    for (int i = 1; i <= qv::kNodeCount; ++i) {
        EXPECT_EQ(f.fraOption(i)->Caption(), QString::fromUtf8(qv::kNodes[i - 1].text));
        EXPECT_EQ(f.fraOption(i)->geometry(), place);
        EXPECT_EQ(f.fraOption(i)->objectName(), QString("fraOption(%1)").arg(i));
    }
    EXPECT_EQ(f.fraOption(30)->Caption(), "Disable ~ on Short File Names");
    EXPECT_THROW(f.fraOption(0), qv::tk::ControlError);
    EXPECT_THROW(f.fraOption(34), qv::tk::ControlError);
}

TEST_F(WindowTest, SelectingANodeShowsItsPageAndItsDescriptionByIndex) {
    frmMain& f = form();
    f.show();
    f.selectNode(17);  // "'New' Menu": string 25, not anything keyed by name
    EXPECT_EQ(f.iCurrentOption, 17);
    EXPECT_EQ(visiblePages(f), 1);
    EXPECT_TRUE(f.fraOption(17)->Visible());
    EXPECT_EQ(f.lblLabel->parentWidget(), f.fraOption(17));
    EXPECT_EQ(f.lblLabel->text(), qv::tk::LoadResString(25));
    EXPECT_EQ(f.lblLabel->geometry(), QRect(16, 24, 305, 65));
    EXPECT_TRUE(f.lblLabel->isVisible());

    // A category shows its empty page with a blank description.
    f.selectNode(9);
    EXPECT_TRUE(f.fraOption(9)->Visible());
    EXPECT_FALSE(f.fraOption(17)->Visible());
    EXPECT_EQ(f.lblLabel->text(), " ");
}

TEST_F(WindowTest, ClickingTheShownNodeAgainKeepsItsPageAndRefillsTheLabel) {
    frmMain& f = form();
    f.show();
    f.selectNode(24);
    f.lblLabel->setText("scribbled");
    f.lblLabel->move(0, 0);
    const QRect r = f.tvList->visualItemRect(item(f, 24));
    mouseClick(f.tvList->viewport(), r.center());
    EXPECT_TRUE(f.fraOption(24)->Visible());
    EXPECT_EQ(visiblePages(f), 1);
    EXPECT_EQ(f.lblLabel->text(), qv::tk::LoadResString(32));
    EXPECT_EQ(f.lblLabel->pos(), QPoint(16, 24));
}

TEST_F(WindowTest, MouseAndKeyboardSelectionShowPages) {
    frmMain& f = form();
    f.show();
    QApplication::setActiveWindow(&f);
    const QRect r = f.tvList->visualItemRect(item(f, 19));  // "General"
    mouseClick(f.tvList->viewport(), r.center());
    EXPECT_EQ(f.iCurrentOption, 19);
    EXPECT_EQ(f.lblLabel->text(), "General Windows options.");
    f.tvList->setFocus();
    keyClick(f.tvList, Qt::Key_Down);  // "Start Menu" follows the closed "General"
    EXPECT_EQ(f.iCurrentOption, 25);
    EXPECT_TRUE(f.fraOption(25)->Visible());
    EXPECT_FALSE(f.fraOption(19)->Visible());
}

TEST_F(WindowTest, FoldersOpenAndCloseTheirImagesButTheComputerStays) {
    frmMain& f = form();
    QTreeWidgetItem* explorer = item(f, 2);
    explorer->setExpanded(true);
    EXPECT_EQ(iconImage(explorer->icon(0)), iconImage(qv::art::treeImage(3)));
    explorer->setExpanded(false);
    EXPECT_EQ(iconImage(explorer->icon(0)), iconImage(qv::art::treeImage(2)));

    QTreeWidgetItem* root = item(f, 1);
    root->setExpanded(false);
    EXPECT_EQ(iconImage(root->icon(0)), iconImage(qv::art::treeImage(1)));
    root->setExpanded(true);
    EXPECT_EQ(iconImage(root->icon(0)), iconImage(qv::art::treeImage(1)));
    // The four images differ from each other.
    for (int a = 1; a <= 4; ++a)
        for (int b = a + 1; b <= 4; ++b)
            EXPECT_NE(iconImage(qv::art::treeImage(a)), iconImage(qv::art::treeImage(b)));
}

TEST_F(WindowTest, TreeImagesTreatLightGreyAsTransparent) {
    const QImage img = qv::art::treeImage(4).pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(img.size(), QSize(16, 16));
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0);  // the corner is background
    int opaque = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            opaque += qAlpha(img.pixel(x, y)) == 255;
            EXPECT_FALSE(qAlpha(img.pixel(x, y)) == 255 && (img.pixel(x, y) & 0xFFFFFF) == 0xC0C0C0);
        }
    EXPECT_GT(opaque, 40);
}

TEST_F(WindowTest, WindowHasTheFixedLayoutButtonsAndMenus) {
    frmMain& f = form();
    f.show();
    EXPECT_EQ(f.centralWidget()->size(), QSize(602, 386));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());  // fixed border
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    // The title names the machine's folder; the status bar gives its kind and full path.
    const QString folder = QString::fromStdString(machine().folder().string());
    EXPECT_EQ(f.windowTitle(), "Quorvel - " + QString::fromStdString(machine().folder().filename().string()));
    EXPECT_EQ(f.findChild<QLabel*>("lblMachine")->text(), "Own machine: " + folder);
    EXPECT_EQ(f.tvList->geometry(), QRect(72, 16, 177, 329));
    EXPECT_EQ(f.Image1->geometry(), QRect(8, 16, 32, 32));
    struct B { QPushButton* b; const char* name; const char* text; QRect r; };
    for (const B& b : {B{f.cmdHelp, "cmdHelp", "He&lp", QRect(72, 352, 81, 25)},
                       B{f.cmdOK, "cmdOK", "&OK", QRect(336, 352, 81, 25)},
                       B{f.cmdCancel, "cmdCancel", "&Cancel", QRect(424, 352, 81, 25)},
                       B{f.cmdApply, "cmdApply", "&Apply", QRect(512, 352, 81, 25)}}) {
        EXPECT_EQ(b.b->objectName(), b.name);
        EXPECT_EQ(b.b->text(), b.text);
        EXPECT_EQ(b.b->geometry(), b.r);
        EXPECT_TRUE(b.b->isEnabled());
    }
    // Tab order: the five buttons, then the tree, then the pages.
    auto nextTab = [](QWidget* w) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        return w;
    };
    EXPECT_EQ(nextTab(f.cmdHelp), f.cmdChanges);
    EXPECT_EQ(nextTab(f.cmdChanges), f.cmdOK);
    EXPECT_EQ(nextTab(f.cmdOK), f.cmdCancel);
    EXPECT_EQ(nextTab(f.cmdCancel), f.cmdApply);
    EXPECT_EQ(nextTab(f.cmdApply), f.tvList);

    QStringList bar;
    for (QAction* a : f.menuBar()->actions())
        bar << a->text();
    EXPECT_EQ(bar, (QStringList{"&File", "&Help"}));  // the pop-up menu stays out of the bar
    EXPECT_EQ(f.mnuFileQuit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QStringList popup;
    for (QAction* a : f.mnuHideDrivesResource->actions())
        popup << a->objectName() + "=" + a->text();
    EXPECT_EQ(popup, (QStringList{"mnuHideDrivesResourceSelAll=Select &All",
                                  "mnuHideDrivesResourceSelNone=Select &None"}));
}

TEST_F(WindowTest, DescriptionsAreTheNumberedStrings) {
    EXPECT_EQ(qv::tk::LoadResString(41).left(20), "The Task Manager opt");
    for (int id = 9; id <= 41; ++id)
        EXPECT_FALSE(qv::tk::LoadResString(id).isEmpty()) << id;
    EXPECT_THROW(qv::tk::LoadResString(8), qv::tk::ControlError);
    EXPECT_THROW(qv::tk::LoadResString(42), qv::tk::ControlError);
}

TEST(FontScale, ALargerDesktopFontGrowsTheLayoutAndAnOrdinaryOneKeepsIt) {
    struct Case { double points; double scale; };
    for (const Case c : {Case{8, 1}, Case{9, 1}, Case{10, 1}, Case{12, 1.2}, Case{15, 1.5}}) {
        SCOPED_TRACE(c.points);
        EXPECT_DOUBLE_EQ(qv::tk::fontScaleFor(c.points), c.scale);
    }
}

TEST_F(WindowTest, WithA15PointDesktopFontTheWindowIsHalfAsLargeAgain) {
    QApplication& app = *qApp;
    const QFont saved = app.font();
    QFont desktop = saved;
    desktop.setPointSizeF(15);
    app.setFont(desktop);
    qv::tk::setupApplication(app);
    EXPECT_DOUBLE_EQ(qv::tk::fontScale(), 1.5);
    EXPECT_DOUBLE_EQ(app.font().pointSizeF(), 8.25 * 1.5);
    {
        frmMain& f = form();
        f.show();
        EXPECT_EQ(f.centralWidget()->size(), QSize(903, 579));
        EXPECT_EQ(f.cmdOK->geometry(), QRect(504, 528, 122, 38));
        // Nothing on the button row is cut: each caption fits its button.
        for (QPushButton* b : {f.cmdHelp, f.cmdChanges, f.cmdOK, f.cmdCancel, f.cmdApply})
            EXPECT_LE(b->sizeHint().width(), b->width()) << b->objectName().toStdString();
    }
    form_.reset();
    // Back to the font every other test measures with.
    app.setFont(saved);
    qv::tk::setupApplication(app);
    EXPECT_DOUBLE_EQ(qv::tk::fontScale(), 1.0);
}

// The interactive start builds the window while its machine is still being read, and gives it
// the machine afterwards: it must then be the window a one-step start makes.
TEST_F(WindowTest, AWindowGivenItsMachineAfterBuildingEqualsOneBuiltWithIt) {
    const std::string owner = "Owner read after the build";
    write(qv::reg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "RegisteredOwner",
          qv::reg::REG_SZ, owner);
    machine().commit();
    frmMain late(qv::Pass::FailureSink{});
    late.attachMachine(machine());
    frmMain& early = form();
    EXPECT_EQ(late.windowTitle(), early.windowTitle());
    EXPECT_TRUE(late.changedPages().empty());
    EXPECT_TRUE(late.session().pendingChanges().empty());
    const qv::reg::ChangeSet profile = late.session().settingsProfile();
    EXPECT_EQ(profile, early.session().settingsProfile());
    std::string utf16;  // REG_SZ bytes, as the profile holds them
    for (char c : owner)
        utf16 += {c, '\0'};
    bool ownerSeen = false;
    for (const qv::reg::ChangeOp& op : profile.ops)
        ownerSeen |= op.name == u"RegisteredOwner" && op.data.starts_with(utf16);
    EXPECT_TRUE(ownerSeen) << "the late window did not read the machine";
}
