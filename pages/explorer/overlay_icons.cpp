#include "pages/explorer/overlay_icons.h"

#include <QPushButton>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <limits>

#include "app/artwork.h"
#include "app/page.h"
#include "shell/changeicon.h"
#include "shell/directories.h"
#include "shell/iconselector.h"
#include "shell/ownicons.h"

namespace qv::explorer {

std::string DefaultShareOverlay() { return shell::SystemDirectory() + "\\shell32.dll,28"; }
std::string DefaultShortcutOverlay() { return shell::SystemDirectory() + "\\shell32.dll,29"; }

int32_t IndexNumber(const QString& indexText) {
    const double d = tk::roundHalfEven(tk::Val(indexText.toStdString()));
    if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max()))
        throw tk::ConversionError("Overflow");
    return static_cast<int32_t>(d);
}

int ShortcutChoiceOf(const std::string& location) {
    const QString l = QString::fromStdString(location).toLower();
    if (l.isEmpty() || l == QString::fromStdString(DefaultShortcutOverlay()).toLower())
        return 0;
    switch (shell::ownOverlayOf(location)) {
    case 1: return 1;
    case 2: return 3;
    default: return 2;
    }
}

namespace {

using reg::HKEY_LOCAL_MACHINE;

// The layout's widths suit the narrow fonts of the desktop it comes from; a wider font would cut
// these short captions, and nothing lies to their right, so they may grow to fit.
void fitWidth(QWidget* w) {
    if (w->sizeHint().width() > w->width())
        w->resize(w->sizeHint().width(), w->height());
}

QLabel* fieldLabel(const QString& text, QWidget* parent, int left, int top) {
    QLabel* l = tk::makeLabel(text, parent);
    l->setWordWrap(false);
    tk::place(l, left, top, 855, 255);
    fitWidth(l);
    return l;
}

QPushButton* makeButton(const QString& caption, QWidget* parent, const QString& name) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

// One icon selector: path box, index box with its spin, Browse, and the preview box.
struct Selector {
    tk::TextBox* path = nullptr;
    tk::TextBox* idx = nullptr;
    tk::ScrollBar* spin = nullptr;
    QPushButton* browse = nullptr;
    shell::PreviewBox* pic = nullptr;
    // The shortcut preview ignores an empty path and keeps its picture.
    bool skipEmptyPath = false;

    void Preview(const std::string& file, int32_t index) {
        if (skipEmptyPath && file.empty())
            return;
        shell::previewIconLater(*pic, file, index);
    }
    std::string dialogPath() const { return shell::TrimAtNull(path->Text().toStdString()); }

    // txtIconIdx_Change / txtShortcutIconIdx_Change.
    void IdxChange() {
        try {
            Preview(dialogPath(), IndexNumber(idx->Text()));
        } catch (const std::exception&) {
        }
        // The mark tells the spin's handler that the index box already holds what was typed.
        // It is set only when the spin will move (and so clear it): a mark left behind would
        // swallow the user's next click on the spin.
        try {
            const int32_t n = IndexNumber(idx->Text());
            if (n != spin->Value() && n >= std::min(spin->Min(), spin->Max()) &&
                n <= std::max(spin->Min(), spin->Max())) {
                spin->Tag = QStringLiteral("noref");
                spin->setValue(n);
            }
        } catch (const std::exception&) {
        }
    }

    // VScroll1_Change / VScrollShortcut_Change.
    void SpinChange() {
        if (spin->Tag == QLatin1String("noref")) {
            spin->Tag.clear();
            return;
        }
        idx->setText(QString::number(spin->Value()));
    }

    // BrowseIcon / BrowseShortcutIcon.
    void Browse(frmMain& form) {
        if (!shell::changeIconHooked() && !tk::interactive()) {
            tk::noteRefusedDialog(QStringLiteral("the change-icon chooser"));
            return;
        }
        shell::ChangeIconRequest request;
        request.owner = &form;
        request.path = path->Text().toStdString();
        try {
            request.index = IndexNumber(idx->Text());
        } catch (const std::exception&) {
            request.index = 0;
        }
        const std::optional<shell::IconChoice> chosen = shell::PickIconDlg(request);
        if (!chosen)
            return;
        path->setText(QString::fromStdString(shell::TrimAtNull(chosen->path)));
        idx->setText(QString::number(chosen->index));
        Preview(dialogPath(), chosen->index);
        try {
            spin->setValue(chosen->index);
        } catch (const std::exception&) {
        }
    }

    // Fills both boxes from a stored location, then the spin, then the preview (load steps 2-4).
    void Load(Pass& p, const std::string& location) {
        const shell::IconLocation l = shell::SplitIconLocation(location);
        p.step([&] { path->setText(QString::fromStdString(l.path)); });
        p.step([&] { idx->setText(QString::fromStdString(l.indexText)); });
        p.step([&] { spin->setValue(IndexNumber(idx->Text())); });
        p.step([&] { Preview(dialogPath(), IndexNumber(idx->Text())); });
    }
};

class OverlayIconPages : public QObject {
public:
    explicit OverlayIconPages(frmMain& form);

    void loadShareOverlay(Pass& p);
    void loadShortcutOverlay(Pass& p);
    void saveShareOverlay(Pass& p);
    void saveShortcutOverlay(Pass& p);
    void optShortcutIcon_Click(int index);

private:
    Selector buildSelector(QWidget* parent, int left, int top, int pathWidth, int browseLeft,
                           const QString& path, const QString& idx, const QString& spin,
                           const QString& browse);
    std::string readLocation(Pass& p, const char* value, const std::string& fallback,
                             std::optional<reg::RawValue>* stored);
    std::string shareLocation() const;
    std::optional<std::string> shortcutLocation() const;

    frmMain& form_;
    // The stored values behind the two pages, written back as read while a page would write the
    // same location again.
    reg::TextAsRead shareAsRead_, shortcutAsRead_;
    Selector share_;
    Selector shortcut_;
    tk::OptionButton* optShortcutIcon_[4] = {};
    tk::Frame* fraShotcutIconOverlayCustom = nullptr;
};

shell::PreviewBox* makePreview(QWidget* page, const QString& name) {
    auto* frame = new tk::Frame(QStringLiteral("Icon"), page);
    tk::place(frame, 240, 2280, 1455, 1125);
    auto* pic = new shell::PreviewBox(frame, name);
    tk::place(pic, 480, 360, 600, 600);
    if (const auto sample = shell::ownIcon(0))
        pic->setBackground(sample->large, pic->palette().color(QPalette::Button));
    return pic;
}

Selector OverlayIconPages::buildSelector(QWidget* parent, int left, int top, int pathWidth,
                                         int browseLeft, const QString& path, const QString& idx,
                                         const QString& spin, const QString& browse) {
    Selector s;
    fieldLabel(QStringLiteral("File Name:"), parent, left, top);
    s.path = new tk::TextBox(QString(), parent, path);
    tk::place(s.path, left, top + 240, pathWidth, 285);
    fieldLabel(QStringLiteral("Icon Index:"), parent, left, top + 600);
    s.idx = new tk::TextBox(QStringLiteral("0"), parent, idx);
    tk::place(s.idx, left, top + 840, 735, 285);
    // Over the right end of the index box, so made after it.
    s.spin = new tk::ScrollBar(parent, spin);
    s.spin->setLimits(kSpinTop, kSpinBottom);
    s.spin->setValue(0);
    tk::place(s.spin, left + 480, top + 870, 225, 225);
    s.browse = makeButton(QStringLiteral("&Browse"), parent, browse);
    tk::place(s.browse, browseLeft, top + 720, 1215, 375);
    return s;
}

OverlayIconPages::OverlayIconPages(frmMain& form) : QObject(&form), form_(form) {
    // The preview's sample folder is the application icon, also served as the own executable's.
    shell::setApplicationIconImages(art::applicationPixmap().toImage(),
                                    art::maskedPixmap(QStringLiteral(":/icons/quorvel-16.png")).toImage());

    // Page 8: one selector.
    QWidget* page8 = form.fraOption(kOverlayIcon);
    share_.pic = makePreview(page8, QStringLiteral("picSmallIcon"));
    {
        Selector s = buildSelector(page8, 1800, 2280, 3135, 3720, QStringLiteral("txtIconPath"),
                                   QStringLiteral("txtIconIdx"), QStringLiteral("VScroll1"),
                                   QStringLiteral("cmdBrowse"));
        s.pic = share_.pic;
        share_ = s;
    }

    // Page 10: four choices; the custom selector in a frame whose top edge carries "Custom".
    QWidget* page10 = form.fraOption(kShortcutOverlay);
    shell::PreviewBox* pic10 = makePreview(page10, QStringLiteral("picShortcutSmallIcon"));
    fraShotcutIconOverlayCustom = new tk::Frame(QString(), page10, QStringLiteral("fraShotcutIconOverlayCustom"));
    tk::place(fraShotcutIconOverlayCustom, 1800, 3120, 3015, 1575);
    shortcut_ = buildSelector(fraShotcutIconOverlayCustom, 120, 360, 2775, 1680,
                              QStringLiteral("txtShortcutIconPath"), QStringLiteral("txtShortcutIconIdx"),
                              QStringLiteral("VScrollShortcut"), QStringLiteral("cmdShortcutBrowse"));
    shortcut_.pic = pic10;
    shortcut_.skipEmptyPath = true;
    struct Opt {
        int index;
        const char* caption;
        int top, width;
    };
    const Opt opts[] = {{0, "Normal", 2400, 1815}, {1, "Light Arrow", 2640, 1815},
                        {3, "None", 2880, 1815}, {2, "Custom", 3120, 855}};
    for (const Opt& o : opts) {
        auto* b = new tk::OptionButton(QString::fromLatin1(o.caption), page10,
                                       QStringLiteral("optShortcutIcon(%1)").arg(o.index));
        tk::place(b, 1920, o.top, o.width, 255);
        fitWidth(b);
        b->raise();  // "Custom" sits on the custom frame's top edge
        optShortcutIcon_[o.index] = b;
        const int index = o.index;
        connect(b, &tk::OptionButton::Click, this, [this, index] { optShortcutIcon_Click(index); });
    }
    fraShotcutIconOverlayCustom->hide();

    for (Selector* s : {&share_, &shortcut_}) {
        connect(s->idx, &tk::TextBox::Change, this, [s] { s->IdxChange(); });
        connect(s->spin, &tk::ScrollBar::Change, this, [s] { s->SpinChange(); });
        connect(s->browse, &QPushButton::clicked, this, [this, s] { s->Browse(form_); });
    }
}

void OverlayIconPages::optShortcutIcon_Click(int index) {
    const std::string own = shell::OwnExecutablePath();
    switch (index) {
    case 0: shortcut_.Preview(shell::SystemDirectory() + "\\shell32.dll", 29); break;
    case 1: shortcut_.Preview(own, 1); break;
    case 2:
        if (!shortcut_.path->Text().isEmpty()) {
            try {
                shortcut_.Preview(shortcut_.dialogPath(), IndexNumber(shortcut_.idx->Text()));
            } catch (const std::exception&) {
            }
        } else {
            shortcut_.Preview(own, 2);
        }
        break;
    case 3: shortcut_.Preview(own, 2); break;
    default: break;
    }
    fraShotcutIconOverlayCustom->setVisible(index == 2);
}

// A value that cannot be read counts as missing, and a missing or empty one as Windows' own.
std::string OverlayIconPages::readLocation(Pass& p, const char* value, const std::string& fallback,
                                           std::optional<reg::RawValue>* stored) {
    stored->reset();
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_LOCAL_MACHINE); });
    p.step([&] { r.setSectionKey(kShellIconsKey); });
    p.step([&] { r.setValueKey(value); });
    std::string location;
    p.step([&] {
        location = tk::CStr(r.Value()).toStdString();
        *stored = r.LastRead();
    });
    return location.empty() ? fallback : location;
}

std::string OverlayIconPages::shareLocation() const {
    return shell::JoinIconLocation(share_.path->Text().toStdString(), share_.idx->Text().toStdString());
}

// What the shortcut page writes: nothing when no choice is made.
std::optional<std::string> OverlayIconPages::shortcutLocation() const {
    if (optShortcutIcon_[0]->Value())
        return std::string();
    if (optShortcutIcon_[1]->Value())
        return shell::LightArrowIconPath() + ",0";
    if (optShortcutIcon_[3]->Value())
        return shell::BlankIconPath() + ",0";
    if (optShortcutIcon_[2]->Value())
        return shell::JoinIconLocation(shortcut_.path->Text().toStdString(), shortcut_.idx->Text().toStdString());
    return std::nullopt;
}

void OverlayIconPages::loadShareOverlay(Pass& p) {
    std::optional<reg::RawValue> stored;
    share_.Load(p, readLocation(p, kShareOverlayValue, DefaultShareOverlay(), &stored));
    shareAsRead_.forget();
    p.step([&] { shareAsRead_.remember(shareLocation(), stored); });
}

void OverlayIconPages::loadShortcutOverlay(Pass& p) {
    std::optional<reg::RawValue> stored;
    const std::string location = readLocation(p, kShortcutOverlayValue, DefaultShortcutOverlay(), &stored);
    p.step([&] { optShortcutIcon_[ShortcutChoiceOf(location)]->setValue(true); });
    shortcut_.Load(p, location);
    shortcutAsRead_.forget();
    p.step([&] {
        if (const auto shown = shortcutLocation())
            shortcutAsRead_.remember(*shown, stored);
    });
}

void OverlayIconPages::saveShareOverlay(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_LOCAL_MACHINE); });
    p.step([&] { r.setSectionKey(kShellIconsKey); });
    p.step([&] { r.setValueKey(kShareOverlayValue); });
    p.step([&] { r.setValueType(reg::REG_SZ); });
    p.step([&] { shareAsRead_.write(r, shareLocation()); });
}

void OverlayIconPages::saveShortcutOverlay(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_LOCAL_MACHINE); });
    p.step([&] { r.setSectionKey(kShellIconsKey); });
    p.step([&] { r.setValueKey(kShortcutOverlayValue); });
    p.step([&] { r.setValueType(reg::REG_SZ); });
    const std::optional<std::string> stored = shortcutLocation();
    if (!stored)
        return;
    // The own overlays are files the machine must hold for Windows and Wine to draw them. What
    // this block creates goes again when its writes are dropped (an unchanged page, a review).
    if (shell::ownOverlayOf(*stored) != 0) {
        p.step([&] {
            std::string error;
            std::vector<std::filesystem::path> created;
            const bool ok = shell::writeOwnOverlayFiles(&error, &created);
            p.onRollback([created] {
                std::error_code ec;
                for (auto it = created.rbegin(); it != created.rend(); ++it)
                    std::filesystem::remove(*it, ec);
            });
            if (!ok)
                throw std::runtime_error(error);
        });
    }
    p.step([&] { shortcutAsRead_.write(r, *stored); });
}

}  // namespace

}  // namespace qv::explorer

QV_PAGE(overlay_icons) {
    using namespace qv::explorer;
    auto* pages = new OverlayIconPages(form);
    form.setLoadBlock(kOverlayIcon, [pages](qv::Pass& p) { pages->loadShareOverlay(p); });
    form.setLoadBlock(kShortcutOverlay, [pages](qv::Pass& p) { pages->loadShortcutOverlay(p); });
    form.setSaveBlock(kOverlayIcon, [pages](qv::Pass& p) { pages->saveShareOverlay(p); });
    form.setSaveBlock(kShortcutOverlay, [pages](qv::Pass& p) { pages->saveShortcutOverlay(p); });
}
