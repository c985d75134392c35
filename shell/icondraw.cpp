#include "shell/icondraw.h"

#include <sys/stat.h>

#include <map>

#include <QByteArrayView>
#include <QColor>
#include <QPaintEngine>
#include <QPainter>

namespace qv::shell {

namespace {

constexpr QRgb kRgbBits = 0x00FFFFFFu;

QRgb* row(QImage& image, int y) { return reinterpret_cast<QRgb*>(image.scanLine(y)); }
const QRgb* row(const QImage& image, int y) { return reinterpret_cast<const QRgb*>(image.constScanLine(y)); }

// Straight (not premultiplied) source over destination, rounded to nearest.
QRgb blend(QRgb src, QRgb dst, bool dstHasAlpha) {
    const int a = qAlpha(src);
    if (a == 0) return dst;
    if (a == 255) return src;
    const int da = dstHasAlpha ? qAlpha(dst) : 255;
    if (da == 255) {
        auto mix = [a](int s, int d) { return (s * a + d * (255 - a) + 127) / 255; };
        return qRgba(mix(qRed(src), qRed(dst)), mix(qGreen(src), qGreen(dst)), mix(qBlue(src), qBlue(dst)), 255);
    }
    // The general case: out alpha a + da(1 - a), colours weighted by their share of it.
    const int dw = da * (255 - a);          // destination weight, scaled by 255
    const int outA255 = a * 255 + dw;       // out alpha, scaled by 255
    auto mix = [&](int s, int d) { return (s * a * 255 + d * dw + outA255 / 2) / outA255; };
    return qRgba(mix(qRed(src), qRed(dst)), mix(qGreen(src), qGreen(dst)), mix(qBlue(src), qBlue(dst)),
                 (outA255 + 127) / 255);
}

}  // namespace

ShellIcon iconFromDib(const DibImage& dib) {
    ShellIcon icon;
    icon.alpha = dib.alphaUsed;
    icon.color = QImage(dib.width, dib.height, QImage::Format_ARGB32);
    if (!icon.alpha) icon.mask = QImage(dib.width, dib.height, QImage::Format_Grayscale8);
    for (int y = 0; y < dib.height; ++y) {
        const std::size_t base = static_cast<std::size_t>(y) * dib.width;
        QRgb* c = row(icon.color, y);
        uchar* m = icon.alpha ? nullptr : icon.mask.scanLine(y);
        for (int x = 0; x < dib.width; ++x) {
            if (icon.alpha) {
                c[x] = dib.color[base + x];
            } else {
                c[x] = dib.color[base + x] | 0xFF000000u;
                m[x] = dib.mask[base + x] ? 255 : 0;
            }
        }
    }
    return icon;
}

std::optional<ShellIcon> decodeIconImage(const IconImage& image) {
    if (isPng(image.data)) {
        // The header check keeps Qt from allocating for a PNG claiming a huge size.
        if (!image.info) return std::nullopt;
        QImage png = QImage::fromData(QByteArrayView(image.data.data(), static_cast<qsizetype>(image.data.size())),
                                      "PNG");
        if (png.isNull()) return std::nullopt;
        ShellIcon icon;
        icon.alpha = true;
        icon.color = png.convertToFormat(QImage::Format_ARGB32);
        return icon;
    }
    auto dib = decodeDib(image.data);
    if (!dib) return std::nullopt;
    return iconFromDib(*dib);
}

ShellIcon scaledIcon(const ShellIcon& icon, QSize size) {
    if (icon.isNull() || size == icon.size() || size.isEmpty()) return icon;
    ShellIcon out;
    out.alpha = icon.alpha;
    if (icon.alpha) {
        out.color = icon.color.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                        .convertToFormat(QImage::Format_ARGB32);
        return out;
    }
    const int sw = icon.color.width(), sh = icon.color.height();
    out.color = QImage(size, QImage::Format_ARGB32);
    out.mask = QImage(size, QImage::Format_Grayscale8);
    for (int y = 0; y < size.height(); ++y) {
        const int sy = static_cast<int>(static_cast<long long>(y) * sh / size.height());
        const QRgb* sc = row(icon.color, sy);
        const uchar* sm = icon.mask.constScanLine(sy);
        QRgb* dc = row(out.color, y);
        uchar* dm = out.mask.scanLine(y);
        for (int x = 0; x < size.width(); ++x) {
            const int sx = static_cast<int>(static_cast<long long>(x) * sw / size.width());
            dc[x] = sc[sx];
            dm[x] = sm[sx];
        }
    }
    return out;
}

std::optional<ShellIcon> groupIcon(const IconGroup& group, int size) {
    for (std::size_t i : rankImages(group, size, size)) {
        if (auto icon = decodeIconImage(group.images[i])) return scaledIcon(*icon, QSize(size, size));
    }
    return std::nullopt;
}

namespace {

// What was taken from icon files since the last reload, so that a pass previewing two icons of
// one 15 MB library maps it once. A file counts as the same while its identity, size and time
// are; anything else reads it again.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};
struct CachedFile {
    FileStamp stamp;
    std::optional<int> count;
    std::map<int, std::optional<ExtractedIcon>> icons;
};
constexpr std::size_t kCachedFiles = 16;
constexpr std::size_t kCachedIconsPerFile = 64;
std::map<std::string, CachedFile>& iconCache() {
    static std::map<std::string, CachedFile> cache;
    return cache;
}

std::optional<FileStamp> stampOf(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

// The cache entry for a file as it is now; nothing (and no entry) for a file that is not there.
CachedFile* cachedFile(const std::filesystem::path& file) {
    const std::optional<FileStamp> stamp = stampOf(file);
    auto& cache = iconCache();
    if (!stamp) {
        cache.erase(file.string());
        return nullptr;
    }
    auto it = cache.find(file.string());
    if (it != cache.end() && it->second.stamp == *stamp) return &it->second;
    if (it == cache.end() && cache.size() >= kCachedFiles) cache.clear();
    CachedFile& entry = cache[file.string()];
    entry = CachedFile{*stamp, std::nullopt, {}};
    return &entry;
}

std::optional<ExtractedIcon> readIcon(const std::filesystem::path& hostFile, int index) {
    const MappedIconFile file(hostFile);
    if (!file) return std::nullopt;
    const auto group = iconGroup(file.bytes(), index);
    if (!group) return std::nullopt;
    auto large = groupIcon(*group, kLargeIconSize);
    auto small = groupIcon(*group, kSmallIconSize);
    if (!large || !small) return std::nullopt;
    return ExtractedIcon{std::move(*large), std::move(*small)};
}

}  // namespace

void clearIconCache() { iconCache().clear(); }

std::optional<ExtractedIcon> extractIcon(const std::filesystem::path& hostFile, int index) {
    CachedFile* entry = cachedFile(hostFile);
    if (!entry) return std::nullopt;
    if (auto it = entry->icons.find(index); it != entry->icons.end()) return it->second;
    std::optional<ExtractedIcon> icon = readIcon(hostFile, index);
    if (entry->icons.size() >= kCachedIconsPerFile) entry->icons.clear();
    entry->icons.emplace(index, icon);
    return icon;
}

int extractIconCount(const std::filesystem::path& hostFile) {
    CachedFile* entry = cachedFile(hostFile);
    if (!entry) return 0;
    if (!entry->count) {
        const MappedIconFile file(hostFile);
        entry->count = file ? iconCount(file.bytes()) : 0;
    }
    return *entry->count;
}

void drawIcon(QImage& target, int x, int y, const ShellIcon& icon) {
    if (icon.isNull() || target.isNull()) return;
    const QImage::Format original = target.format();
    const bool converted = original != QImage::Format_RGB32 && original != QImage::Format_ARGB32;
    if (converted)
        target = target.convertToFormat(target.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const bool dstHasAlpha = target.format() == QImage::Format_ARGB32;

    const QRect area = QRect(QPoint(x, y), icon.size()) & target.rect();
    for (int ty = area.top(); ty <= area.bottom(); ++ty) {
        QRgb* d = row(target, ty);
        const QRgb* c = row(icon.color, ty - y);
        const uchar* m = icon.alpha ? nullptr : icon.mask.constScanLine(ty - y);
        for (int tx = area.left(); tx <= area.right(); ++tx) {
            const int ix = tx - x;
            if (icon.alpha) {
                d[tx] = blend(c[ix], d[tx], dstHasAlpha);
                if (!dstHasAlpha) d[tx] |= 0xFF000000u;
            } else if (m[ix] == 0) {
                d[tx] = c[ix] | 0xFF000000u;
            } else {
                // AND with 1 keeps the background; XOR with the colour inverts what it has set.
                d[tx] = (d[tx] & ~kRgbBits) | ((d[tx] ^ c[ix]) & kRgbBits);
            }
        }
    }
    if (converted) target = target.convertToFormat(original);
}

void drawIcon(QPainter& painter, int x, int y, const ShellIcon& icon) {
    if (icon.isNull()) return;
    painter.save();
    if (icon.alpha) {
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.drawImage(x, y, icon.color);
    } else if (painter.paintEngine() && painter.paintEngine()->hasFeature(QPaintEngine::RasterOpModes)) {
        // The two blits of the shell: AND the mask (white keeps, black clears), then XOR the colour.
        QImage andImage(icon.size(), QImage::Format_RGB32);
        for (int iy = 0; iy < andImage.height(); ++iy) {
            const uchar* m = icon.mask.constScanLine(iy);
            QRgb* a = row(andImage, iy);
            for (int ix = 0; ix < andImage.width(); ++ix) a[ix] = m[ix] ? 0xFFFFFFFFu : 0xFF000000u;
        }
        painter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
        painter.drawImage(x, y, andImage);
        painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        painter.drawImage(x, y, icon.color.convertToFormat(QImage::Format_RGB32));
    } else {
        QImage visible = icon.color;
        for (int iy = 0; iy < visible.height(); ++iy) {
            const uchar* m = icon.mask.constScanLine(iy);
            QRgb* c = row(visible, iy);
            for (int ix = 0; ix < visible.width(); ++ix)
                if (m[ix]) c[ix] = 0;
        }
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.drawImage(x, y, visible);
    }
    painter.restore();
}

QImage iconOnBackground(const ShellIcon& icon, const QColor& background) {
    QImage out(icon.size(), QImage::Format_ARGB32);
    out.fill(background);
    drawIcon(out, 0, 0, icon);
    return out;
}

}  // namespace qv::shell
