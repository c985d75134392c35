// Icons as pictures: decoding an icon group's image into Qt images, extracting the large and small
// icon of a file, and drawing an icon the way the Windows shell does (mask, then image).
#pragma once

#include <QImage>
#include <QSize>

#include <filesystem>
#include <optional>

#include "shell/iconreader.h"

class QColor;
class QPainter;

namespace qv::shell {

inline constexpr int kLargeIconSize = 32;
inline constexpr int kSmallIconSize = 16;

// One icon image ready to draw. An alpha icon (a 32 bpp image with some non-zero alpha byte, or a
// PNG) is blended through its alpha and has no mask. Any other icon is an AND mask and an XOR
// colour: where the mask is 0 the colour replaces the background; where it is 1 the background
// stays when the colour is black and is inverted (XOR) by it otherwise.
struct ShellIcon {
    QImage color;  // Format_ARGB32, not premultiplied; opaque for a mask icon
    QImage mask;   // Format_Grayscale8, 255 where the AND bit is 1; null for an alpha icon
    bool alpha = false;

    bool isNull() const { return color.isNull(); }
    QSize size() const { return color.size(); }
};

// The image at its own size: a DIB decoded here, a PNG through Qt. Nothing when it does not decode.
std::optional<ShellIcon> decodeIconImage(const IconImage& image);
ShellIcon iconFromDib(const DibImage& dib);

// The icon at another size. Mask icons are scaled by nearest pixel so that mask and colour stay
// paired (a blended mask means nothing); alpha icons smoothly.
ShellIcon scaledIcon(const ShellIcon& icon, QSize size);

// The group's icon for a square size (kLargeIconSize, kSmallIconSize): the image the picking rule
// prefers, scaled to the size when it has another. An image that fails to decode gives way to the
// next one in the rule's order.
std::optional<ShellIcon> groupIcon(const IconGroup& group, int size);

struct ExtractedIcon {
    ShellIcon large;  // 32 x 32
    ShellIcon small;  // 16 x 16
};

// The icon `index` of a host file with the index rules of iconGroup: what the shell's
// extract-one-icon call gives when it is given places for both icons, so -1 names the group of
// id 1 (it is a count query only without those places: extractIconCount). Nothing for a missing
// or unreadable file, no such icon, or an icon none of whose images decodes.
std::optional<ExtractedIcon> extractIcon(const std::filesystem::path& hostFile, int index);
// The number of icons in the file (iconCount); 0 when it cannot be read.
int extractIconCount(const std::filesystem::path& hostFile);
// Both answer from what they took from a file before while the file is unchanged; a reload of
// the registry drops that.
void clearIconCache();

// Draws the icon at its own size with its top left corner at (x, y), clipped to the target.
// A target of another format than RGB32 / ARGB32 is converted for the drawing and back, so it may
// lose precision in the conversion.
void drawIcon(QImage& target, int x, int y, const ShellIcon& icon);
// The same through a painter (its transform applies). On a paint device without raster
// operations a mask icon cannot invert, and its inverting pixels are left out.
void drawIcon(QPainter& painter, int x, int y, const ShellIcon& icon);

// The icon drawn over a plain background, for lists that show icons as ordinary images.
QImage iconOnBackground(const ShellIcon& icon, const QColor& background);

}  // namespace qv::shell
