#include "shell/ownicons.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <filesystem>

#include "shell/directories.h"
#include "shell/paths.h"
#include "registry/safefile.h"

namespace fs = std::filesystem;

namespace qv::shell {

namespace {

std::optional<ShellIcon> g_appLarge;
std::optional<ShellIcon> g_appSmall;

// A 16-colour icon: opaque colour where a pixel shows, mask set and colour black elsewhere.
ShellIcon maskIconFrom(const QImage& picture, int side) {
    QImage src = picture.convertToFormat(QImage::Format_ARGB32);
    if (src.size() != QSize(side, side))
        src = src.scaled(side, side, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    ShellIcon icon;
    icon.color = QImage(side, side, QImage::Format_ARGB32);
    icon.mask = QImage(side, side, QImage::Format_Grayscale8);
    for (int y = 0; y < side; ++y) {
        const auto* s = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        auto* c = reinterpret_cast<QRgb*>(icon.color.scanLine(y));
        uchar* m = icon.mask.scanLine(y);
        for (int x = 0; x < side; ++x) {
            const bool shows = qAlpha(s[x]) >= 128;
            c[x] = shows ? (s[x] | 0xFF000000u) : 0xFF000000u;
            m[x] = shows ? 0 : 255;
        }
    }
    return icon;
}

ShellIcon transparentIcon(int side) {
    ShellIcon icon;
    icon.color = QImage(side, side, QImage::Format_ARGB32);
    icon.color.fill(0xFF000000u);
    icon.mask = QImage(side, side, QImage::Format_Grayscale8);
    icon.mask.fill(255);
    return icon;
}

std::optional<ExtractedIcon> both(const ShellIcon& large) {
    return ExtractedIcon{large, scaledIcon(large, QSize(kSmallIconSize, kSmallIconSize))};
}

}  // namespace

std::string OwnExecutablePath() {
    QString folder, name = QStringLiteral("quorvel");
    if (QCoreApplication::instance()) {
        folder = QCoreApplication::applicationDirPath();
        const QString file = QCoreApplication::applicationFilePath();
        if (!file.isEmpty())
            name = QFileInfo(file).completeBaseName();
    }
    if (folder.isEmpty())
        folder = QDir::currentPath();
    std::string windowsFolder;
    if (auto mapped = WindowsPathOf(fs::path(QFile::encodeName(folder).toStdString())))
        windowsFolder = *mapped;
    else
        windowsFolder = "Z:" + QDir::toNativeSeparators(folder).replace(QLatin1Char('/'), QLatin1Char('\\')).toStdString();
    if (!windowsFolder.empty() && windowsFolder.back() == '\\')
        windowsFolder.pop_back();  // a drive root comes back as "Z:\"
    return windowsFolder + "\\" + name.toStdString() + ".exe";
}

bool isOwnExecutable(std::string_view windowsPath) {
    return QString::fromUtf8(windowsPath.data(), static_cast<qsizetype>(windowsPath.size()))
               .compare(QString::fromStdString(OwnExecutablePath()), Qt::CaseInsensitive) == 0;
}

void setApplicationIconImages(const QImage& large, const QImage& small) {
    g_appLarge.reset();
    g_appSmall.reset();
    if (!large.isNull())
        g_appLarge = maskIconFrom(large, kLargeIconSize);
    if (!small.isNull())
        g_appSmall = maskIconFrom(small, kSmallIconSize);
    else if (g_appLarge)
        g_appSmall = scaledIcon(*g_appLarge, QSize(kSmallIconSize, kSmallIconSize));
}

ShellIcon lightArrowIcon() {
    // Rows 26..31, columns 0..4; W white, G grey, S silver, '.' transparent.
    static const char* const rows[] = {".WGGG", "..WGG", ".WGWG", "WGW.W", "WGW..", "S.S.."};
    ShellIcon icon = transparentIcon(kLargeIconSize);
    for (int r = 0; r < 6; ++r) {
        for (int x = 0; x < 5; ++x) {
            QRgb colour;
            switch (rows[r][x]) {
            case 'W': colour = qRgb(0xFF, 0xFF, 0xFF); break;
            case 'G': colour = qRgb(0x80, 0x80, 0x80); break;
            case 'S': colour = qRgb(0xC0, 0xC0, 0xC0); break;
            default: continue;
            }
            icon.color.setPixel(x, 26 + r, colour);
            icon.mask.scanLine(26 + r)[x] = 0;
        }
    }
    return icon;
}

ShellIcon emptyOverlayIcon() { return transparentIcon(kLargeIconSize); }

std::optional<ExtractedIcon> ownIcon(int index) {
    switch (index) {
    case 0:
    case 3:
    case -1:
        if (!g_appLarge || !g_appSmall)
            return std::nullopt;
        return ExtractedIcon{*g_appLarge, *g_appSmall};
    case 1: return both(lightArrowIcon());
    case 2: return both(emptyOverlayIcon());
    default: return std::nullopt;
    }
}

std::string LightArrowIconPath() { return WindowsDirectory() + "\\Quorvel\\LightArrow.ico"; }
std::string BlankIconPath() { return WindowsDirectory() + "\\Quorvel\\Blank.ico"; }

int ownOverlayOf(std::string_view location) {
    const QString l = QString::fromUtf8(location.data(), qsizetype(location.size())).toLower();
    for (const auto& [file, which] : {std::pair{LightArrowIconPath(), 1}, std::pair{BlankIconPath(), 2}}) {
        const QString f = QString::fromStdString(file).toLower();
        if (l == f || l == f + QStringLiteral(",0"))
            return which;
    }
    // The older form named the program itself (this build or any other) with index 1 or 2.
    const qsizetype comma = l.lastIndexOf(QLatin1Char(','));
    if (comma <= 0)
        return 0;
    const QString index = l.mid(comma + 1);
    const int which = index == QLatin1String("1") ? 1 : index == QLatin1String("2") ? 2 : 0;
    const QString file = l.left(comma);
    if (which && (file.endsWith(QLatin1String("\\quorvel.exe")) || isOwnExecutable(file.toStdString())))
        return which;
    return 0;
}

QByteArray icoFile(const ShellIcon& icon) {
    const int w = icon.color.width(), h = icon.color.height();
    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 imageSize = 40 + quint32(w * h * 4) + quint32(maskStride * h);
    QByteArray out;
    auto u8 = [&](int v) { out.append(char(v & 0xFF)); };
    auto u16 = [&](int v) { u8(v); u8(v >> 8); };
    auto u32 = [&](quint32 v) { u16(int(v & 0xFFFF)); u16(int(v >> 16)); };
    u16(0); u16(1); u16(1);                       // ICONDIR: reserved, type icon, one image
    u8(w >= 256 ? 0 : w); u8(h >= 256 ? 0 : h);   // ICONDIRENTRY
    u8(0); u8(0); u16(1); u16(32); u32(imageSize); u32(22);
    u32(40); u32(quint32(w)); u32(quint32(h * 2)); // BITMAPINFOHEADER, height of colour and mask
    u16(1); u16(32); u32(0); u32(quint32(w * h * 4) + quint32(maskStride * h));
    u32(0); u32(0); u32(0); u32(0);
    const bool hasMask = !icon.mask.isNull();
    for (int y = h - 1; y >= 0; --y) {             // bottom-up BGRA
        for (int x = 0; x < w; ++x) {
            const QRgb c = icon.color.pixel(x, y);
            const bool shows = hasMask ? icon.mask.scanLine(y)[x] == 0 : qAlpha(c) > 0;
            u8(qBlue(c)); u8(qGreen(c)); u8(qRed(c)); u8(shows ? (icon.alpha ? qAlpha(c) : 255) : 0);
        }
    }
    for (int y = h - 1; y >= 0; --y) {             // the AND mask: 1 where the pixel is see-through
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            const bool shows = hasMask ? icon.mask.scanLine(y)[x] == 0 : qAlpha(icon.color.pixel(x, y)) > 0;
            if (!shows)
                row[x / 8] = char(uchar(row[x / 8]) | (0x80 >> (x % 8)));
        }
        out.append(row);
    }
    return out;
}

bool writeOwnOverlayFiles(std::string* error, std::vector<fs::path>* created) {
    for (const auto& [windowsPath, icon] :
         {std::pair{LightArrowIconPath(), lightArrowIcon()}, std::pair{BlankIconPath(), emptyOverlayIcon()}}) {
        const std::optional<fs::path> host = HostPath(windowsPath);
        if (!host) {
            *error = "no drive of the machine holds " + windowsPath;
            return false;
        }
        const QByteArray bytes = icoFile(icon);
        const QString file = QString::fromStdString(host->string());
        QFile existing(file);
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == bytes)
            continue;
        const bool existed = existing.exists();
        existing.close();
        std::error_code ec;
        if (!fs::exists(host->parent_path(), ec)) {
            fs::create_directories(host->parent_path(), ec);
            if (!ec)
                created->push_back(host->parent_path());
        }
        try {
            reg::writeFileSafely(*host, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
        } catch (const reg::SafeFileError& e) {
            *error = e.what();
            return false;
        }
        if (!existed)
            created->push_back(*host);
    }
    return true;
}

std::optional<ExtractedIcon> extractIconAt(std::string_view windowsPath, int index) {
    if (windowsPath.empty())
        return std::nullopt;
    if (isOwnExecutable(windowsPath))
        return ownIcon(index);
    // The overlay files show before an Apply has written them.
    if (index == 0) {
        const QString p = QString::fromUtf8(windowsPath.data(), qsizetype(windowsPath.size()));
        if (p.compare(QString::fromStdString(LightArrowIconPath()), Qt::CaseInsensitive) == 0)
            return both(lightArrowIcon());
        if (p.compare(QString::fromStdString(BlankIconPath()), Qt::CaseInsensitive) == 0)
            return both(emptyOverlayIcon());
    }
    const std::optional<fs::path> host = HostPath(windowsPath);
    if (!host)
        return std::nullopt;
    return extractIcon(*host, index);
}

int iconCountAt(std::string_view windowsPath) {
    if (windowsPath.empty())
        return 0;
    if (isOwnExecutable(windowsPath))
        return kOwnIconCount;
    const std::optional<fs::path> host = HostPath(windowsPath);
    return host ? extractIconCount(*host) : 0;
}

}  // namespace qv::shell
