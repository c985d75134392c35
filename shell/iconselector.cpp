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
    background_ = QImage(kPreviewSide, kPreviewSide, QImage::Format_RGB32);
    background_.fill(back);
    drawIcon(background_, 0, 0, sample);
    display(background_);
}

void PreviewBox::drawOverBackground(const ShellIcon& icon, int x, int y) {
    QImage next = background_;
    drawIcon(next, x, y, icon);
    display(next);
}

void PreviewBox::display(const QImage& image) {
    image_ = image;
    setPixmap(QPixmap::fromImage(image_));
}

bool previewIconInto(PreviewBox& box, std::string_view windowsPath, int index) {
    const std::optional<ExtractedIcon> icon = extractIconAt(windowsPath, index);
    if (!icon)
        return false;
    box.drawOverBackground(icon->large);
    return true;
}

}  // namespace qv::shell
