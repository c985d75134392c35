#include "shell/iconselector.h"

#include <QPixmap>

#include "shell/ownicons.h"

namespace qv::shell {

IconLocation SplitIconLocation(std::string_view location) {
    const size_t comma = location.find(',');
    if (comma == std::string_view::npos)
        return IconLocation{std::string(location), std::string(1, '0'), false};
    IconLocation l;
    l.path = std::string(location.substr(0, comma));
    l.indexText = std::string(location.substr(comma + 1));
    l.hadComma = true;
    return l;
}

std::string JoinIconLocation(std::string_view path, std::string_view indexText) {
    std::string s(path);
    s += ',';
    s += indexText;
    return s;
}

PreviewBox::PreviewBox(QWidget* parent, const QString& name) : QLabel(parent) {
    setObjectName(name);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    background_ = QImage(kPreviewSide, kPreviewSide, QImage::Format_RGB32);
    background_.fill(palette().color(QPalette::Button));
    display(background_);
}

void PreviewBox::setBackground(const ShellIcon& sample, const QColor& back) {
    drawPending();  // an icon asked for before stays over the new background's predecessor
    background_ = QImage(kPreviewSide, kPreviewSide, QImage::Format_RGB32);
    background_.fill(back);
    drawIcon(background_, 0, 0, sample);
    display(background_);
}

void PreviewBox::drawOverBackground(const ShellIcon& icon, int x, int y) {
    pending_.clear();  // drawn now: what was asked for before is covered anyway
    QImage next = background_;
    drawIcon(next, x, y, icon);
    display(next);
}

const QImage& PreviewBox::image() const {
    drawPending();
    return image_;
}

void PreviewBox::previewLater(std::string_view windowsPath, int index) {
    pending_.push_back(Location{std::string(windowsPath), index});
    if (isVisible())
        drawPending();
}

void PreviewBox::showEvent(QShowEvent* e) {
    drawPending();
    QLabel::showEvent(e);
}

void PreviewBox::drawPending() const {
    if (pending_.empty())
        return;
    std::vector<Location> asked;
    asked.swap(pending_);
    // The last location with an icon is what drawing them in turn would have left.
    for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
        if (const std::optional<ExtractedIcon> icon = extractIconAt(it->path, it->index)) {
            QImage next = background_;
            drawIcon(next, 1, 1, icon->large);
            display(next);
            return;
        }
    }
}

void PreviewBox::display(const QImage& image) const {
    image_ = image;
    const_cast<PreviewBox*>(this)->setPixmap(QPixmap::fromImage(image_));
}

bool previewIconInto(PreviewBox& box, std::string_view windowsPath, int index) {
    const std::optional<ExtractedIcon> icon = extractIconAt(windowsPath, index);
    if (!icon)
        return false;
    box.drawOverBackground(icon->large);
    return true;
}

void previewIconLater(PreviewBox& box, std::string_view windowsPath, int index) { box.previewLater(windowsPath, index); }

}  // namespace qv::shell
