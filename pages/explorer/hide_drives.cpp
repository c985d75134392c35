#include "pages/explorer/hide_drives.h"

#include <QMenu>
#include <algorithm>
#include <QMouseEvent>

#include "app/page.h"

namespace qv::explorer {

uint32_t HiddenDriveMask(const reg::RegVariant& stored) {
    uint32_t mask = 0;
    if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&stored)) {
        for (size_t k = 0; k < bytes->size() && k < 4; ++k)
            mask |= static_cast<uint32_t>((*bytes)[k]) << (8 * k);
    } else if (const auto* dword = std::get_if<int32_t>(&stored)) {
        mask = static_cast<uint32_t>(*dword);
    }
    return mask & kDriveBits;
}

std::vector<uint8_t> HiddenDriveBytes(uint32_t mask) {
    mask &= kDriveBits;
    return {static_cast<uint8_t>(mask & 0xFF), static_cast<uint8_t>((mask >> 8) & 0xFF),
            static_cast<uint8_t>((mask >> 16) & 0xFF), static_cast<uint8_t>((mask >> 24) & 0xFF)};
}

namespace {

using reg::HKEY_CURRENT_USER;

constexpr int kDriveCount = 26;

// The drive list: a left click anywhere on an entry toggles its check mark, as a list box with
// check boxes does on the desktop it imitates (Qt toggles only on the box itself).
class DriveList : public tk::CheckListBox {
public:
    DriveList(QWidget* parent, const QString& name) : tk::CheckListBox(parent, name) {}

protected:
    void mousePressEvent(QMouseEvent* e) override {
        pressed_ = e->button() == Qt::LeftButton ? itemAt(e->position().toPoint()) : nullptr;
        pressedState_ = pressed_ ? pressed_->checkState() : Qt::Unchecked;
        tk::CheckListBox::mousePressEvent(e);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        QListWidgetItem* item = e->button() == Qt::LeftButton ? itemAt(e->position().toPoint()) : nullptr;
        // The base class lets Qt toggle a click on the box, then reports MouseUp.
        tk::CheckListBox::mouseReleaseEvent(e);
        if (item && item == pressed_ && item->checkState() == pressedState_ &&
            (item->flags() & Qt::ItemIsUserCheckable) && (item->flags() & Qt::ItemIsEnabled))
            item->setCheckState(pressedState_ == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        pressed_ = nullptr;
    }

private:
    QListWidgetItem* pressed_ = nullptr;
    Qt::CheckState pressedState_ = Qt::Unchecked;
};

class HideDrivesPage : public QObject {
public:
    explicit HideDrivesPage(frmMain& form);

    tk::CheckListBox* lstDrives = nullptr;

    void lstDrives_MouseUp(Qt::MouseButton Button, QPoint pos);
    void mnuHideDrivesResourceSelAll_Click();
    void mnuHideDrivesResourceSelNone_Click();
    void lstDrives_ItemCheck(int) {}  // a check mark is only a check mark until the save pass

    void load(Pass& p);
    void save(Pass& p);

private:
    void checkAll(bool on);
    frmMain& form_;
};

HideDrivesPage::HideDrivesPage(frmMain& form) : QObject(&form), form_(form) {
    lstDrives = new DriveList(form.fraOption(kHideDrives), QStringLiteral("lstDrives"));
    tk::place(lstDrives, 120, 2040, 4815, 2535);
    lstDrives->setAccessibleName(QStringLiteral("Drives to hide"));
    // Entries run down and then across in columns, so that all 26 letters show at once.
    lstDrives->setFlow(QListView::TopToBottom);
    lstDrives->setWrapping(true);
    lstDrives->setResizeMode(QListView::Adjust);
    // Columns share the width evenly; each holds as many rows as the height takes.
    const int rowHeight = std::max(lstDrives->fontMetrics().height(), 13) + 4;
    const int inner = lstDrives->height() - 2 * lstDrives->frameWidth();
    // One row is kept spare: Qt wraps a column before its last cell is quite full.
    const int rows = std::max(1, inner / rowHeight - 1);
    const int columns = (kDriveCount + rows - 1) / rows;
    lstDrives->setGridSize(QSize((lstDrives->width() - 2 * lstDrives->frameWidth()) / columns, rowHeight));
    lstDrives->setSelectionMode(QAbstractItemView::SingleSelection);

    connect(lstDrives, &tk::CheckListBox::MouseUp, this,
            [this](Qt::MouseButton b, QPoint pos) { lstDrives_MouseUp(b, pos); });
    connect(lstDrives, &tk::CheckListBox::ItemCheck, this, [this](int i) { lstDrives_ItemCheck(i); });
    connect(form.mnuHideDrivesResourceSelAll, &QAction::triggered, this, [this] { mnuHideDrivesResourceSelAll_Click(); });
    connect(form.mnuHideDrivesResourceSelNone, &QAction::triggered, this, [this] { mnuHideDrivesResourceSelNone_Click(); });
}

void HideDrivesPage::lstDrives_MouseUp(Qt::MouseButton Button, QPoint pos) {
    if (Button != Qt::RightButton)
        return;
    // pos is where the button was released, in the list's viewport.
    form_.mnuHideDrivesResource->popup(lstDrives->viewport()->mapToGlobal(pos));
}

void HideDrivesPage::checkAll(bool on) {
    for (int i = 0; i < kDriveCount; ++i) {
        try {
            lstDrives->setSelected(i, on);
        } catch (const tk::ControlError&) {
            // A list the load pass could not fill has fewer entries; the others still change.
        }
    }
}

void HideDrivesPage::mnuHideDrivesResourceSelAll_Click() { checkAll(true); }
void HideDrivesPage::mnuHideDrivesResourceSelNone_Click() { checkAll(false); }

// Step 1 of the load pass: the list is built afresh, then the stored mask checks its entries.
void HideDrivesPage::load(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { lstDrives->Clear(); });
    for (int code = 'A'; code <= 'Z'; ++code) {
        p.step([&] { lstDrives->AddItem(QString(QChar(code)) + QLatin1Char(':')); });
        p.step([&] { lstDrives->setSelected(code - 'A', false); });
    }
    p.step([&] { r.setClassKey(HKEY_CURRENT_USER); });
    p.step([&] { r.setSectionKey(kExplorerPolicyKey); });
    p.step([&] { r.setValueKey(kNoDrivesValue); });
    uint32_t mask = 0;
    p.step([&] { mask = HiddenDriveMask(r.Value()); });
    for (int n = 0; n < kDriveCount; ++n)
        if (mask & (1u << n))
            p.step([&] { lstDrives->setSelected(n, true); });
}

// Step 1 of the save pass: four bytes, every time, also when nothing is checked.
void HideDrivesPage::save(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CURRENT_USER); });
    p.step([&] { r.setSectionKey(kExplorerPolicyKey); });
    p.step([&] { r.setValueKey(kNoDrivesValue); });
    p.step([&] { r.setValueType(reg::REG_BINARY); });
    uint32_t mask = 0;
    // An entry that cannot be asked (a list the load pass left short) counts as unchecked: taking
    // the failed test as holding would hide that drive.
    for (int n = 0; n < kDriveCount; ++n) {
        bool checked = false;
        p.step([&] { checked = lstDrives->Selected(n); });
        if (checked)
            p.step([&] { mask |= 1u << n; });
    }
    p.step([&] { r.setValue(HiddenDriveBytes(mask)); });
}

}  // namespace
}  // namespace qv::explorer

QV_PAGE(hide_drives) {
    using namespace qv::explorer;
    auto* page = new HideDrivesPage(form);
    form.setLoadBlock(kHideDrives, [page](qv::Pass& p) { page->load(p); });
    form.setSaveBlock(kHideDrives, [page](qv::Pass& p) { page->save(p); });
}
