// What the icon selectors of the overlay pages share below the window: the text form of an icon
// choice (an icon location, "path,index") and the 40x40 preview box that shows the chosen icon
// over the sample folder as Explorer would draw it.
#pragma once

#include <QImage>
#include <QLabel>
#include <string>
#include <string_view>
#include <vector>

#include "shell/icondraw.h"

namespace qv::shell {

// A location split at its first comma; nothing is trimmed or checked, so a path holding a comma
// is cut there. Without a comma the whole text is the path and the index text is "0", the icon
// the shell takes for such a location.
struct IconLocation {
    std::string path;
    std::string indexText;
    bool hadComma = false;
};
IconLocation SplitIconLocation(std::string_view location);
// Path, ",", index text, exactly as given.
std::string JoinIconLocation(std::string_view path, std::string_view indexText);

inline constexpr int kPreviewSide = 40;

// The preview picture box: a fixed background (the sample folder at its top left corner on the
// box's colour) over which one icon at a time is drawn at (1,1).
class PreviewBox : public QLabel {
    Q_OBJECT
public:
    PreviewBox(QWidget* parent, const QString& name = {});

    // The folder drawn at (0,0) on `back`; the box shows it until an icon is drawn.
    void setBackground(const ShellIcon& sample, const QColor& back);
    const QImage& background() const { return background_; }
    // What the box shows now.
    const QImage& image() const;
    // Back to the bare background, then the icon at its own size with its transparency.
    void drawOverBackground(const ShellIcon& icon, int x = 1, int y = 1);
    // The icon a location names, read when the box is first shown or looked at: a page that is
    // not on screen costs no icon file. A location with no icon leaves the picture the box had.
    void previewLater(std::string_view windowsPath, int index);

protected:
    void showEvent(QShowEvent* e) override;

private:
    void display(const QImage& image) const;
    void drawPending() const;
    struct Location {
        std::string path;
        int index;
    };
    QImage background_;
    mutable QImage image_;
    mutable std::vector<Location> pending_;
};

// Draws the large icon `index` of the file a Windows path names (the own executable's icons
// included) into the box. False, with the box keeping its picture, when there is no such icon.
bool previewIconInto(PreviewBox& box, std::string_view windowsPath, int index);
// The same once the box is shown or its picture is asked for (PreviewBox::previewLater).
void previewIconLater(PreviewBox& box, std::string_view windowsPath, int index);

}  // namespace qv::shell
