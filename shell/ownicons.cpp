#include "shell/ownicons.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <filesystem>

#include "shell/paths.h"

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

std::optional<ExtractedIcon> extractIconAt(std::string_view windowsPath, int index) {
    if (windowsPath.empty())
        return std::nullopt;
    if (isOwnExecutable(windowsPath))
        return ownIcon(index);
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
