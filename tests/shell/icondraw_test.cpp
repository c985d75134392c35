// Icons as pictures: the shell's mask-then-image drawing, alpha blending, PNG entries, scaling and
// extraction from files on disk.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QColor>
#include <QGuiApplication>
#include <QPainter>

#include <filesystem>
#include <fstream>

#include "shell/icon_files.h"
#include "shell/icondraw.h"

using namespace qv::shell;
using namespace icontest;

namespace {

constexpr QRgb kGrey = 0xFF808080;

// One row: red over mask 0, then black, white and green over mask 1.
ShellIcon maskRow(int bpp) {
    Dib d;
    d.width = 4;
    d.height = 1;
    d.bpp = bpp;
    const std::uint32_t colours[] = {0xFF0000, 0x000000, 0xFFFFFF, 0x00FF00};
    d.pixel = [&](int x, int) { return colours[x]; };
    d.mask = [](int x, int) { return x > 0; };
    return iconFromDib(*decodeDib(d.bytes()));
}
// What the shell shows for maskRow over grey: the colour, the background, then inverted pixels.
const QRgb kMaskRowOverGrey[] = {0xFFFF0000, 0xFF808080, 0xFF7F7F7F, 0xFF807F80};

// Alpha 0, 255, 128 and 64 of red, every mask bit 1 (to be ignored).
ShellIcon alphaRow() {
    Dib d;
    d.width = 4;
    d.height = 1;
    const std::uint32_t pixels[] = {0x00FF0000, 0xFFFF0000, 0x80FF0000, 0x40FF0000};
    d.pixel = [&](int x, int) { return pixels[x]; };
    d.mask = [](int, int) { return 1; };
    return iconFromDib(*decodeDib(d.bytes()));
}
// (c * a + d * (255 - a)) / 255, rounded: a = 128 gives 192 and 64; a = 64 gives 160 and 96.
const QRgb kAlphaRowOverGrey[] = {0xFF808080, 0xFFFF0000, 0xFFC04040, 0xFFA06060};

QImage grey(int w, int h, QImage::Format format = QImage::Format_RGB32) {
    QImage img(w, h, format);
    img.fill(kGrey);
    return img;
}

std::string png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

class TempFile {
public:
    TempFile(const std::string& name, const std::string& bytes)
        : path_(std::filesystem::temp_directory_path() / ("qv-icondraw-" + name)) {
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

class IconDraw : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QGuiApplication::instance()) {
            static int argc = 1;
            static char name[] = "shell_tests";
            static char* argv[] = {name, nullptr};
            static QGuiApplication app(argc, argv);
        }
    }
};

}  // namespace

TEST_F(IconDraw, MaskThenImageOverABackground) {
    for (int bpp : {24, 32}) {  // 32 bpp with all alpha bytes 0 draws through its mask as well
        const ShellIcon icon = maskRow(bpp);
        ASSERT_FALSE(icon.alpha) << bpp;
        for (auto format : {QImage::Format_RGB32, QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied}) {
            QImage direct = grey(6, 3, format);
            drawIcon(direct, 1, 1, icon);
            QImage painted = grey(6, 3, format);
            {
                QPainter p(&painted);
                drawIcon(p, 1, 1, icon);
            }
            for (const QImage* img : {&direct, &painted}) {
                for (int x = 0; x < 6; ++x) {
                    EXPECT_EQ(img->pixel(x, 0), kGrey);
                    EXPECT_EQ(img->pixel(x, 1), x >= 1 && x <= 4 ? kMaskRowOverGrey[x - 1] : kGrey)
                        << "bpp " << bpp << " format " << format << " x " << x << (img == &painted ? " painter" : "");
                }
            }
            EXPECT_EQ(direct.format(), format);
        }
    }
}

TEST_F(IconDraw, AlphaBlendsAndIgnoresTheMask) {
    const ShellIcon icon = alphaRow();
    ASSERT_TRUE(icon.alpha);
    EXPECT_TRUE(icon.mask.isNull());
    QImage direct = grey(4, 1);
    drawIcon(direct, 0, 0, icon);
    QImage painted = grey(4, 1);
    {
        QPainter p(&painted);
        drawIcon(p, 0, 0, icon);
    }
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(direct.pixel(x, 0), kAlphaRowOverGrey[x]) << x;
        const QRgb got = painted.pixel(x, 0), want = kAlphaRowOverGrey[x];
        EXPECT_NEAR(qRed(got), qRed(want), 1) << x;
        EXPECT_NEAR(qGreen(got), qGreen(want), 1) << x;
        EXPECT_NEAR(qBlue(got), qBlue(want), 1) << x;
    }
    // Over a transparent target the colour keeps its own alpha.
    QImage clear(4, 1, QImage::Format_ARGB32);
    clear.fill(0);
    drawIcon(clear, 0, 0, icon);
    EXPECT_EQ(clear.pixel(2, 0), 0x80FF0000u);
    EXPECT_EQ(clear.pixel(0, 0), 0u);
}

TEST_F(IconDraw, ClipsAtTheTargetEdges) {
    const ShellIcon icon = maskRow(24);
    QImage small = grey(2, 2);
    drawIcon(small, -2, 1, icon);
    EXPECT_EQ(small.pixel(0, 1), kMaskRowOverGrey[2]);
    EXPECT_EQ(small.pixel(1, 1), kMaskRowOverGrey[3]);
    EXPECT_EQ(small.pixel(0, 0), kGrey);
    drawIcon(small, 5, 5, icon);
    drawIcon(small, -100, -100, icon);
    EXPECT_EQ(small.pixel(1, 0), kGrey);
}

TEST_F(IconDraw, ScalingKeepsMaskAndColourPaired) {
    Dib d;
    d.width = 4;
    d.height = 4;
    d.bpp = 24;
    d.pixel = [](int x, int y) { return static_cast<std::uint32_t>(0x100000 * x + 0x10 * y); };
    d.mask = [](int x, int y) { return (x + y) % 2; };
    const ShellIcon icon = iconFromDib(*decodeDib(d.bytes()));
    const ShellIcon big = scaledIcon(icon, QSize(8, 8));
    ASSERT_EQ(big.size(), QSize(8, 8));
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            EXPECT_EQ(big.color.pixel(x, y), icon.color.pixel(x / 2, y / 2));
            EXPECT_EQ(big.mask.pixelColor(x, y), icon.mask.pixelColor(x / 2, y / 2));
        }
    }
    const ShellIcon half = scaledIcon(icon, QSize(2, 2));
    EXPECT_EQ(half.color.pixel(1, 1), icon.color.pixel(2, 2));
}

TEST_F(IconDraw, ExtractPicksLargeAndSmallFromAnIco) {
    QImage pngImage(32, 32, QImage::Format_ARGB32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) pngImage.setPixel(x, y, qRgba(x * 8, y * 8, 40, (x + y) * 4));
    Entry pngEntry{png(pngImage), 32, 32, 0, 1, 32};
    const TempFile ico("png.ico", icoFile({{solidDib(16, 16, 0xFF0000AA, 8)}, pngEntry,
                                           {solidDib(48, 48, 0xFF00BB00, 32)}}));
    auto icons = extractIcon(ico.path(), 0);
    ASSERT_TRUE(icons);
    ASSERT_EQ(icons->large.size(), QSize(32, 32));
    EXPECT_TRUE(icons->large.alpha);
    EXPECT_EQ(icons->large.color, pngImage);
    ASSERT_EQ(icons->small.size(), QSize(16, 16));
    EXPECT_FALSE(icons->small.alpha);
    EXPECT_EQ(icons->small.color.pixel(3, 3), 0xFF0000AAu);
    EXPECT_TRUE(extractIcon(ico.path(), -1));
    EXPECT_FALSE(extractIcon(ico.path(), 1));
    EXPECT_EQ(extractIconCount(ico.path()), 1);
    EXPECT_EQ(iconOnBackground(icons->small, Qt::white).pixel(0, 0), 0xFF0000AAu);

    // A PNG whose header reads but whose data does not gives way to the next image, scaled.
    std::string broken = png(pngImage).substr(0, 40);
    broken.append(200, 'x');
    const TempFile fallback("broken.ico", icoFile({{broken, 32, 32, 0, 1, 32}, {solidDib(48, 48, 0xFF00BB00, 32)}}));
    icons = extractIcon(fallback.path(), 0);
    ASSERT_TRUE(icons);
    EXPECT_EQ(icons->large.size(), QSize(32, 32));
    EXPECT_EQ(icons->large.color.pixel(31, 31), 0xFF00BB00u);
}

TEST_F(IconDraw, ExtractFollowsTheIndexRulesOfAPe) {
    auto group = [](int id, int iconId) {
        return Resource{{14, {}}, {id, {}}, {groupDirectory({{solidDib(32, 32, 0), 0, 0, 0, 1, 0, iconId}})}};
    };
    const auto pe = peFile({group(8, 1), group(2, 2), {{3, {}}, {1, {}}, {solidDib(32, 32, 0xFF112233)}},
                            {{3, {}}, {2, {}}, {solidDib(32, 32, 0xFF445566)}}},
                           false);
    const TempFile dll("sample.dll", pe.bytes);
    EXPECT_EQ(extractIconCount(dll.path()), 2);
    auto second = extractIcon(dll.path(), 1);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->large.color.pixel(0, 0), 0xFF445566u);
    EXPECT_EQ(second->small.color.pixel(0, 0), 0xFF445566u);
    EXPECT_EQ(extractIcon(dll.path(), -8)->large.color.pixel(5, 5), 0xFF112233u);
    EXPECT_FALSE(extractIcon(dll.path(), 2));
    EXPECT_FALSE(extractIcon(dll.path(), -1));
    EXPECT_FALSE(extractIcon("/nonexistent/quorvel.dll", 0));
    EXPECT_EQ(extractIconCount("/nonexistent/quorvel.dll"), 0);
    EXPECT_FALSE(extractIcon(std::filesystem::temp_directory_path(), 0));
}

TEST_F(IconDraw, EveryIconOfWineShell32Decodes) {
    const std::filesystem::path path = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shell32.dll";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    const auto bytes = readIconFile(path);
    ASSERT_TRUE(bytes);
    const int count = iconCount(*bytes);
    ASSERT_GT(count, 0);
    for (int i = 0; i < count; ++i) {
        auto group = iconGroup(*bytes, i);
        ASSERT_TRUE(group) << i;
        auto large = groupIcon(*group, kLargeIconSize);
        auto small = groupIcon(*group, kSmallIconSize);
        ASSERT_TRUE(large && small) << i;
        EXPECT_EQ(large->size(), QSize(32, 32)) << i;
        EXPECT_EQ(small->size(), QSize(16, 16)) << i;
    }
    // Index 29 and id 28 are the same icon.
    auto byIndex = extractIcon(path, 29);
    auto byId = extractIcon(path, -28);
    ASSERT_TRUE(byIndex && byId);
    EXPECT_EQ(byIndex->large.color, byId->large.color);
}
