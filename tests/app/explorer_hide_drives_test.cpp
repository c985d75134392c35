// hidden drives (page 16): the drive list, its pop-up menu and the "NoDrives" mask.
#include <QAction>
#include <QApplication>
#include <QMenu>

#include "explorer_support.h"
#include "pages/explorer/hide_drives.h"

using namespace qvtest;
using namespace qvtest::explorer;
using reg::HKEY_CURRENT_USER;

namespace {

const char* kPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

class ExplorerHideDrives : public ExplorerTest {
protected:
    tk::CheckListBox* list() { return ctl<tk::CheckListBox>("lstDrives"); }
    QString checked() { return qv::ctl::valueOf(qv::ctl::findControl(form(), "lstDrives")); }
    std::optional<Stored> noDrives() { return stored(HKEY_CURRENT_USER, kPolicies, "NoDrives"); }
    void storeNoDrives(const Stored& s) { put(HKEY_CURRENT_USER, kPolicies, "NoDrives", s); }
    QPoint entryText(int i) {  // on the entry's caption, clear of its check box
        const QRect r = list()->visualItemRect(list()->item(i));
        return QPoint(r.right() - 4, r.center().y());
    }
    QPoint entryBox(int i) {  // on the entry's check box
        const QRect r = list()->visualItemRect(list()->item(i));
        QStyleOptionViewItem opt;
        opt.initFrom(list());
        opt.rect = r;
        opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        const QRect box = list()->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, list());
        return box.center();
    }
};

}  // namespace

TEST_F(ExplorerHideDrives, TheListHoldsTwentySixLettersInItsPlaceAllVisible) {
    qv::frmMain& f = form();
    tk::CheckListBox* l = list();
    EXPECT_EQ(l->parentWidget(), f.fraOption(16));
    EXPECT_EQ(l->geometry(), twips(120, 2040, 4815, 2535));
    ASSERT_EQ(l->ListCount(), 26);
    for (int n = 0; n < 26; ++n) {
        EXPECT_EQ(l->List(n), QString(QChar('A' + n)) + ":");
        // Every entry lies inside the list's window: no scrolling needed.
        EXPECT_TRUE(l->viewport()->rect().contains(l->visualItemRect(l->item(n)))) << n;
    }
    EXPECT_EQ(checked(), "");  // the seed hides nothing
    EXPECT_EQ(f.fraOption(16)->Caption(), "Hide Drives");
}

TEST_F(ExplorerHideDrives, MasksReadBitByBitLeastSignificantFirst) {
    storeNoDrives(binary({0x05, 0x00, 0x00, 0x00}));
    form();
    EXPECT_EQ(checked(), "A:,C:");

    storeNoDrives(binary({0x00, 0x00, 0x00, 0x02}));
    reload();
    EXPECT_EQ(checked(), "Z:");

    storeNoDrives(binary({0x00, 0x00, 0x00, 0xFC}));  // only the unused bits
    reload();
    EXPECT_EQ(checked(), "");
    apply();
    EXPECT_EQ(noDrives(), binary({0x00, 0x00, 0x00, 0x00}));

    storeNoDrives(binary({0xFF, 0xFF, 0xFF, 0xFF, 0x01}));  // a fifth byte is ignored
    reload();
    EXPECT_EQ(list()->ListCount(), 26);
    for (int n = 0; n < 26; ++n)
        EXPECT_TRUE(list()->Selected(n)) << n;
}

TEST_F(ExplorerHideDrives, NoValueChecksNothingAndApplyStoresFourZeroBytes) {
    unset(HKEY_CURRENT_USER, kPolicies, "NoDrives");
    form();
    EXPECT_EQ(checked(), "");
    apply();
    EXPECT_EQ(noDrives(), binary({0x00, 0x00, 0x00, 0x00}));
}

// Windows NT keeps the policy as a REG_DWORD, and short binary values occur: both are the same
// mask, so that the next Apply does not unhide what an administrator hid.
TEST_F(ExplorerHideDrives, ADwordOrShortBinaryIsTheSameMaskAndIsSavedInTheFourByteForm) {
    storeNoDrives(dword(0x0200000C));  // C:, D:, Z:
    form();
    EXPECT_EQ(checked(), "C:,D:,Z:");
    apply();
    EXPECT_EQ(noDrives(), binary({0x0C, 0x00, 0x00, 0x02}));

    storeNoDrives(binary({0x04}));  // one byte: C:
    reload();
    EXPECT_EQ(checked(), "C:");
    storeNoDrives(binary({0x00, 0x81}));  // two bytes: I:, P:
    reload();
    EXPECT_EQ(checked(), "I:,P:");
    storeNoDrives(binary({0x01, 0x00, 0x04}));  // three bytes: A:, S:
    reload();
    EXPECT_EQ(checked(), "A:,S:");
    apply();
    EXPECT_EQ(noDrives(), binary({0x01, 0x00, 0x04, 0x00}));

    storeNoDrives(dword(0xFFFFFFFF));
    reload();
    EXPECT_EQ(list()->ListCount(), 26);
    apply();
    EXPECT_EQ(noDrives(), binary({0xFF, 0xFF, 0xFF, 0x03}));

    storeNoDrives(sz("4"));  // text is no mask
    reload();
    EXPECT_EQ(checked(), "");
}

TEST_F(ExplorerHideDrives, MaskHelpers) {
    using qv::explorer::HiddenDriveBytes;
    using qv::explorer::HiddenDriveMask;
    EXPECT_EQ(HiddenDriveMask(reg::RegVariant{}), 0u);
    EXPECT_EQ(HiddenDriveMask(std::vector<uint8_t>{}), 0u);
    EXPECT_EQ(HiddenDriveMask(std::vector<uint8_t>{0x08, 0x00, 0x00, 0x02}), (1u << 3) | (1u << 25));
    EXPECT_EQ(HiddenDriveMask(int32_t{-1}), 0x03FFFFFFu);
    EXPECT_EQ(HiddenDriveMask(std::string("\xff")), 0u);
    EXPECT_EQ(HiddenDriveBytes(0xFFFFFFFFu), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x03}));
    EXPECT_EQ(HiddenDriveBytes(0), (std::vector<uint8_t>(4, 0)));
}

TEST_F(ExplorerHideDrives, CheckingDAndZStoresTheirBits) {
    form();
    show(16);
    list()->setSelected(3, true);
    list()->setSelected(25, true);
    apply();
    EXPECT_EQ(noDrives(), binary({0x08, 0x00, 0x00, 0x02}));
    EXPECT_EQ(form().fraOption(16)->Caption(), "Hide Drives");  // the page never marks itself
}

TEST_F(ExplorerHideDrives, RightClickOpensThePopUpMenuWhoseItemsCheckAllOrNone) {
    qv::frmMain& f = form();
    f.show();
    show(16);
    QApplication::processEvents();
    ASSERT_FALSE(f.mnuHideDrivesResource->isVisible());

    mouseClick(list()->viewport(), entryText(4), Qt::RightButton);
    EXPECT_TRUE(f.mnuHideDrivesResource->isVisible());
    EXPECT_EQ(checked(), "");  // a right click checks nothing
    f.mnuHideDrivesResource->hide();

    f.mnuHideDrivesResourceSelAll->trigger();
    EXPECT_EQ(checked(), "A:,B:,C:,D:,E:,F:,G:,H:,I:,J:,K:,L:,M:,N:,O:,P:,Q:,R:,S:,T:,U:,V:,W:,X:,Y:,Z:");
    apply();
    EXPECT_EQ(noDrives(), binary({0xFF, 0xFF, 0xFF, 0x03}));

    f.mnuHideDrivesResourceSelNone->trigger();
    EXPECT_EQ(checked(), "");
    apply();
    EXPECT_EQ(noDrives(), binary({0x00, 0x00, 0x00, 0x00}));

    // Other buttons open nothing.
    mouseClick(list()->viewport(), entryText(4), Qt::MiddleButton);
    EXPECT_FALSE(f.mnuHideDrivesResource->isVisible());
}

TEST_F(ExplorerHideDrives, ALeftClickTogglesAnEntryOnceOnItsCaptionOrItsBox) {
    qv::frmMain& f = form();
    f.show();
    show(16);
    QApplication::processEvents();
    mouseClick(list()->viewport(), entryText(2));
    EXPECT_EQ(checked(), "C:");
    mouseClick(list()->viewport(), entryText(2));
    EXPECT_EQ(checked(), "");
    mouseClick(list()->viewport(), entryBox(3));
    EXPECT_EQ(checked(), "D:");
    mouseClick(list()->viewport(), entryBox(3));
    EXPECT_EQ(checked(), "");
    EXPECT_FALSE(f.mnuHideDrivesResource->isVisible());
}

TEST_F(ExplorerHideDrives, ReloadShowsTheStoredMaskAgain) {
    storeNoDrives(binary({0x05, 0x00, 0x00, 0x00}));
    form();
    list()->setSelected(0, false);
    list()->setSelected(7, true);
    EXPECT_EQ(checked(), "C:,H:");
    reload();
    EXPECT_EQ(checked(), "A:,C:");
    EXPECT_EQ(list()->ListCount(), 26);
}

TEST_F(ExplorerHideDrives, ScriptSetsTheLettersAndSelectAllFromTheMenu) {
    ScriptResult r = runQuorvel(folder(), {"--set", "lstDrives=d:,Z:", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(noDrives(), binary({0x08, 0x00, 0x00, 0x02}));
    r = runQuorvel(folder(), {"--list"});
    EXPECT_NE(r.out.find("lstDrives=D:,Z:\n"), std::string::npos);
    r = runQuorvel(folder(), {"--click", "mnuHideDrivesResourceSelAll", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(noDrives(), binary({0xFF, 0xFF, 0xFF, 0x03}));
    r = runQuorvel(folder(), {"--click", "mnuHideDrivesResourceSelNone", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(noDrives(), binary({0x00, 0x00, 0x00, 0x00}));
}
