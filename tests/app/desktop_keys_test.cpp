// Driving the window by keyboard and reading it on any theme: access keys, option groups, the
// pop-up menu's keys, the help window, the icon spin, Qt's own options, dark palettes.
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QAbstractScrollArea>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTextBrowser>
#include <QTreeWidget>
#include <map>

#include "app/artwork.h"
#include "app/frmabout.h"
#include "app/help.h"
#include "app/nodes.h"
#include "app_support.h"

using namespace qvtest;
using qv::frmMain;
namespace tk = qv::tk;

namespace {

// The access key of a caption ("Co&mmand:" -> 'M'), 0 for none.
QChar accessKey(const QString& text) {
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != QLatin1Char('&'))
            continue;
        if (text[i + 1] == QLatin1Char('&')) {
            ++i;
            continue;
        }
        return text[i + 1].toUpper();
    }
    return QChar();
}

// Every access key a user can press while `scope`'s widgets show, with who owns it.
void collectKeys(QWidget* scope, std::multimap<QChar, QString>& keys) {
    for (QWidget* w : scope->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(scope->window()))
            continue;
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            text = b->text();
        else if (auto* l = qobject_cast<QLabel*>(w); l && l->buddy())
            text = l->text();
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            text = g->title();
        if (const QChar k = accessKey(text); !k.isNull())
            keys.emplace(k, w->objectName());
    }
}

void activate(QWidget& w) {
    w.show();
    w.activateWindow();
    QApplication::setActiveWindow(&w);
    QApplication::processEvents();
}

QImage iconImage(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

QPalette darkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x20, 0x20, 0x24));
    p.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
    p.setColor(QPalette::Base, QColor(0x18, 0x18, 0x1a));
    p.setColor(QPalette::Text, QColor(0xf0, 0xf0, 0xf0));
    p.setColor(QPalette::Link, QColor(0x6c, 0xb4, 0xff));
    return p;
}

}  // namespace

TEST_F(WindowTest, AccessKeysAreUniqueOnEveryPageWithTheButtonsAndTheMenuBar) {
    frmMain& f = form();
    activate(f);
    std::multimap<QChar, QString> window;
    for (QPushButton* b : {f.cmdHelp, f.cmdChanges, f.cmdOK, f.cmdCancel, f.cmdApply})
        window.emplace(accessKey(b->text()), b->objectName());
    for (QAction* a : f.menuBar()->actions())
        window.emplace(accessKey(a->text()), a->objectName());
    for (int node = 1; node <= qv::kNodeCount; ++node) {
        f.selectNode(node);
        std::multimap<QChar, QString> keys = window;
        collectKeys(f.fraOption(node), keys);
        for (auto it = keys.begin(); it != keys.end(); it = keys.upper_bound(it->first)) {
            if (keys.count(it->first) < 2)
                continue;
            QStringList owners;
            for (auto [a, b] = keys.equal_range(it->first); a != b; ++a)
                owners << a->second;
            ADD_FAILURE() << "page " << node << ": Alt+" << QString(it->first).toStdString()
                          << " belongs to " << owners.join(", ").toStdString();
        }
    }
}

TEST(OptionGroup, TabStopsAtTheSelectedButtonAndArrowsMoveWithin) {
    QWidget w;
    auto* before = new QLineEdit(&w);
    auto* frame = new QWidget(&w);
    auto* on = new tk::OptionButton("&Enabled", frame, "optOn");
    auto* off = new tk::OptionButton("&Disabled", frame, "optOff");
    on->move(0, 0);
    off->move(0, 30);
    activate(w);

    struct Case {
        tk::OptionButton* selected;
        QWidget* expected;
    };
    for (const Case& c : {Case{nullptr, on}, Case{off, off}, Case{on, on}}) {
        if (c.selected)
            c.selected->setValue(true);
        else
            off->setValue(false), on->setValue(false);
        before->setFocus();
        keyClick(before, Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), c.expected)
            << "selected: " << (c.selected ? c.selected->objectName().toStdString() : "none");
    }
    // From the selected Enabled, Down selects Disabled and Tab leaves the group.
    on->setFocus();
    keyClick(on, Qt::Key_Down);
    EXPECT_TRUE(off->Value());
    EXPECT_EQ(QApplication::focusWidget(), off);
    before->setFocus();
    keyClick(before, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), off);
}

TEST_F(WindowTest, ContextMenuKeysOpenTheHideDrivesMenu) {
    frmMain& f = form();
    activate(f);
    f.selectNode(16);
    auto* list = f.fraOption(16)->findChild<tk::CheckListBox*>("lstDrives");
    ASSERT_NE(list, nullptr);
    list->setFocus();
    struct Key {
        int key;
        Qt::KeyboardModifiers mods;
        bool opens;
    };
    for (const Key& k : {Key{Qt::Key_Menu, Qt::NoModifier, true}, Key{Qt::Key_F10, Qt::ShiftModifier, true},
                         Key{Qt::Key_F10, Qt::NoModifier, false}}) {
        keyClick(list, k.key, k.mods);
        EXPECT_EQ(f.mnuHideDrivesResource->isVisible(), k.opens) << k.key;
        f.mnuHideDrivesResource->hide();
    }
}

TEST(HelpWindowKeys, EscAndCtrlWCloseCtrlFFinds) {
    struct Case {
        int key;
        Qt::KeyboardModifiers mods;
    };
    for (const Case& c : {Case{Qt::Key_Escape, Qt::NoModifier}, Case{Qt::Key_W, Qt::ControlModifier}}) {
        QPointer<qv::HelpWindow> h = new qv::HelpWindow;
        EXPECT_EQ(h->windowTitle(), "Quorvel Help");
        activate(*h);
        h->browser()->setFocus();
        keyClick(h->browser(), c.key, c.mods);
        QApplication::processEvents();
        EXPECT_TRUE(h.isNull() || !h->isVisible()) << c.key;  // closed and deleted
        delete h.data();
    }

    qv::HelpWindow h;
    h.setAttribute(Qt::WA_DeleteOnClose, false);
    activate(h);
    h.browser()->setFocus();
    keyClick(h.browser(), Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(h.findBox()->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), h.findBox());
    h.findBox()->setText("wineserver");
    keyClick(h.findBox(), Qt::Key_Return);
    EXPECT_EQ(h.browser()->textCursor().selectedText().toLower(), "wineserver");
    // Esc first leaves the find box, then closes.
    keyClick(h.findBox(), Qt::Key_Escape);
    EXPECT_FALSE(h.findBox()->isVisible());
    EXPECT_TRUE(h.isVisible());
}

TEST(IconSpin, TheUpArrowRaisesTheIndex) {
    QWidget w;
    tk::ScrollBar spin(&w, "VScroll1");
    spin.setLimits(32000, -32000);  // top is 32000
    spin.setGeometry(0, 0, 17, 60);
    spin.setValue(5);
    activate(w);

    QStyleOptionSlider opt;
    opt.initFrom(&spin);
    opt.orientation = Qt::Vertical;
    opt.minimum = spin.minimum();
    opt.maximum = spin.maximum();
    opt.sliderPosition = opt.sliderValue = spin.value();
    opt.singleStep = 1;
    opt.pageStep = spin.pageStep();
    opt.subControls = QStyle::SC_All;
    const QRect up = spin.style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSubLine, &spin);
    const QRect down = spin.style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarAddLine, &spin);
    ASSERT_LT(up.center().y(), down.center().y());
    mouseClick(&spin, up.center());
    EXPECT_EQ(spin.Value(), 6);
    mouseClick(&spin, down.center());
    mouseClick(&spin, down.center());
    EXPECT_EQ(spin.Value(), 4);
    spin.setFocus();
    keyClick(&spin, Qt::Key_Up);
    EXPECT_EQ(spin.Value(), 5);
    // The ends: Min (32000) at the top, Max (-32000) at the bottom.
    keyClick(&spin, Qt::Key_Home);
    EXPECT_EQ(spin.Value(), 32000);
    EXPECT_THROW(spin.setValue(32001), tk::ControlError);
}

TEST(QtOptions, GoToQtAndTheRestStaysInOrder) {
    struct Case {
        QStringList args, qt, own;
    };
    const Case cases[] = {
        {{"-style", "fusion", "--list"}, {"-style", "fusion"}, {"--list"}},
        {{"--style=fusion", "-reverse", "--machine", "M"}, {"-style", "fusion", "-reverse"}, {"--machine", "M"}},
        {{"--display", ":1", "-platform", "offscreen", "--set", "a=-style"},
         {"-display", ":1", "-platform", "offscreen"},
         {"--set", "a=-style"}},
        {{"--bogus", "--help"}, {}, {"--bogus", "--help"}},
        {{"-reverse=1"}, {}, {"-reverse=1"}},  // not Qt's spelling: left for our usage error
        {{"--", "-style"}, {}, {"--", "-style"}},
    };
    for (const Case& c : cases) {
        const tk::SplitArguments s = tk::splitQtArguments(c.args);
        EXPECT_EQ(s.qt, c.qt) << c.args.join(' ').toStdString();
        EXPECT_EQ(s.own, c.own) << c.args.join(' ').toStdString();
    }
}

TEST(Themes, DarkPalettesGetReadableNotesAndLinksLightOnesKeepTheirColours) {
    const QPalette dark = darkPalette();
    const QPalette light = QApplication::style()->standardPalette();
    ASSERT_TRUE(tk::isDark(dark));
    ASSERT_FALSE(tk::isDark(light));
    EXPECT_TRUE(qv::helpText(light).contains("color: #404040"));
    const QString darkHelp = qv::helpText(dark);
    EXPECT_FALSE(darkHelp.contains("color: #404040"));
    const QRegularExpressionMatch m = QRegularExpression(R"(\.note \{ color: (#[0-9a-f]{6}))").match(darkHelp);
    ASSERT_TRUE(m.hasMatch());
    // The note reads on the dark page: far lighter than it.
    EXPECT_GT(QColor(m.captured(1)).lightness() - dark.color(QPalette::Base).lightness(), 120);

    for (const QPalette& pal : {light, dark}) {
        QApplication::setPalette(pal);
        qv::frmAbout about;
        const QColor link = about.Label2->palette().color(QPalette::WindowText);
        if (tk::isDark(pal))
            EXPECT_EQ(link, pal.color(QPalette::Link));
        else
            EXPECT_EQ(link, QColor(0, 64, 64));
    }
    QApplication::setPalette(light);
}

TEST_F(WindowTest, NumpadStarOnTheRootKeepsTheLeavesImages) {
    frmMain& f = form();
    activate(f);
    std::map<int, QImage> leaves;
    for (int i = 1; i <= qv::kNodeCount; ++i)
        if (f.nodeItem(i)->childCount() == 0)
            leaves[i] = iconImage(f.nodeItem(i)->icon(0));
    ASSERT_GT(leaves.size(), 10u);
    f.selectNode(1);
    f.tvList->setFocus();
    keyClick(f.tvList, Qt::Key_Asterisk, Qt::KeypadModifier);
    for (int i = 1; i <= qv::kNodeCount; ++i) {
        QTreeWidgetItem* n = f.nodeItem(i);
        if (n->childCount() > 0) {
            EXPECT_TRUE(n->isExpanded()) << i;
            if (i != 1) {
                EXPECT_EQ(iconImage(n->icon(0)), iconImage(qv::art::treeImage(3))) << i;
            }
        } else {
            EXPECT_EQ(iconImage(n->icon(0)), leaves[i]) << i;
        }
    }
}

TEST_F(WindowTest, CutOffNodeNamesShowWholeAsTooltips) {
    frmMain& f = form();
    activate(f);
    f.tvList->expandAll();
    int cut = 0, whole = 0;
    for (int i = 1; i <= qv::kNodeCount; ++i) {
        QTreeWidgetItem* n = f.nodeItem(i);
        const QRect r = f.tvList->visualItemRect(n);
        if (!f.tvList->viewport()->rect().contains(r.center()))
            continue;  // below the fold
        const QString tip = tk::cutOffText(f.tvList, r.center());
        const int needed = f.tvList->sizeHintForIndex(f.tvList->indexFromItem(n)).width();
        if (r.left() + needed > f.tvList->viewport()->width()) {
            EXPECT_EQ(tip, n->text(0)) << i;
            ++cut;
        } else {
            EXPECT_TRUE(tip.isEmpty()) << i;
            ++whole;
        }
    }
    EXPECT_GT(whole, 0);
    EXPECT_GT(cut, 0) << "no node name is cut off at this width; the case is not exercised";
}

TEST_F(WindowTest, SlidersShowTheirValueInMilliseconds) {
    frmMain& f = form();
    struct Case {
        int node;
        const char *slider, *label;
    };
    for (const Case& c : {Case{26, "sldMenuShowDelay", "lblMenuShowDelayValue"},
                          Case{33, "sldWaitToKill", "lblWaitToKillValue"},
                          Case{33, "sldHungApp", "lblHungAppValue"}}) {
        auto* s = f.fraOption(c.node)->findChild<tk::Slider*>(c.slider);
        auto* l = f.fraOption(c.node)->findChild<QLabel*>(c.label);
        ASSERT_TRUE(s && l) << c.slider;
        s->setValue(1234);
        const QString shown = QLocale().toString(1234) + " ms";
        EXPECT_EQ(l->text(), shown) << c.slider;
        EXPECT_EQ(s->toolTip(), shown) << c.slider;
    }
}

TEST_F(WindowTest, AnEmptyNewMenuListSaysWhy) {
    frmMain& f = form();
    auto* lv = f.fraOption(17)->findChild<tk::CheckListView*>("lvNewMenu");
    ASSERT_NE(lv, nullptr);
    EXPECT_TRUE(lv->EmptyText().contains("'New'"));
    lv->Clear();
    EXPECT_TRUE(lv->showsEmptyText());
    lv->Add(".txt\\ShellNew", "Text Document");
    EXPECT_FALSE(lv->showsEmptyText());
}

TEST_F(WindowTest, EveryControlAScreenReaderMeetsHasItsLabelsName) {
    frmMain& f = form();
    activate(f);
    auto nameOf = [](QWidget* w) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        return a ? a->text(QAccessible::Name) : QString();
    };
    EXPECT_EQ(nameOf(f.tvList), "Categories");
    int named = 0;
    for (int node = 1; node <= qv::kNodeCount; ++node) {
        f.selectNode(node);
        for (QWidget* w : f.fraOption(node)->findChildren<QWidget*>()) {
            if (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(&f) ||
                qobject_cast<QAbstractScrollArea*>(w->parentWidget()))
                continue;
            EXPECT_FALSE(nameOf(w).isEmpty()) << "page " << node << ": " << w->objectName().toStdString();
            ++named;
        }
    }
    EXPECT_GT(named, 40);
    // Named by their labels: a buddy, one beside, one above.
    struct Case {
        int node;
        const char *control, *name;
    };
    for (const Case& c : {Case{6, "txtAddToAllFilesCommand", "Command"},
                          Case{31, "txtRegisteredName", "Name"},
                          Case{33, "sldWaitToKill", "Wait to Kill"}}) {
        auto* w = f.fraOption(c.node)->findChild<QWidget*>(c.control);
        ASSERT_NE(w, nullptr) << c.control;
        EXPECT_EQ(nameOf(w), c.name) << c.control;
    }
}
