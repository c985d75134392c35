// The DIB decoder at every depth, the image headers the picking rule reads, and the rule itself.
#include <gtest/gtest.h>

#include "shell/icon_files.h"
#include "shell/iconreader.h"

using namespace qv::shell;
using namespace icontest;

namespace {

// 16 bpp 5-5-5 words and the 8-bit colours they widen to (the top bits repeat in the low ones).
const std::pair<std::uint32_t, std::uint32_t> k555[] = {
    {0x0000, 0x000000}, {0x7FFF, 0xFFFFFF}, {0x7C00, 0xFF0000}, {0x03E0, 0x00FF00},
    {0x001F, 0x0000FF}, {0x4210, 0x848484}, {0x0421, 0x080808}, {0x8000, 0x000000},
};

int maskBit(int x, int y) { return (x + y) % 3 == 0; }

// A 5 x 3 image: odd width so that every depth pads its rows, rows distinct so that a flip shows.
Dib sampleDib(int bpp) {
    Dib d;
    d.width = 5;
    d.height = 3;
    d.bpp = bpp;
    d.mask = maskBit;
    if (bpp <= 8) {
        for (std::uint32_t i = 0; i < (1u << bpp); ++i) d.palette.push_back(0x102030 * i + 0x050607);
        d.pixel = [bpp](int x, int y) { return static_cast<std::uint32_t>(x + 2 * y) % (1u << bpp); };
    } else if (bpp == 16) {
        d.pixel = [](int x, int y) { return k555[(x + 5 * y) % 8].first; };
    } else {
        d.pixel = [](int x, int y) { return 0x40000000u * static_cast<std::uint32_t>(y) + 0x10203u * (x + 7 * y); };
    }
    return d;
}

std::uint32_t expectedColour(const Dib& d, int x, int y) {
    const std::uint32_t v = d.pixel(x, y);
    if (d.bpp <= 8) return d.palette[v];
    if (d.bpp == 16) return k555[(x + 5 * y) % 8].second;
    return d.bpp == 24 ? v & 0xFFFFFF : v;
}

IconImage imageOf(const std::string& data) {
    IconImage img;
    img.data = data;
    img.info = imageInfo(data);
    return img;
}

std::string pngHeader(std::uint32_t w, std::uint32_t h, int depth, int colourType) {
    std::string s("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (std::uint32_t v : {w, h})
        for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>(v >> shift));
    s.push_back(static_cast<char>(depth));
    s.push_back(static_cast<char>(colourType));
    s.append(7, '\0');
    return s;
}

}  // namespace

class DibDepths : public ::testing::TestWithParam<int> {};

TEST_P(DibDepths, DecodesColoursAndMaskTopRowFirst) {
    const Dib d = sampleDib(GetParam());
    auto out = decodeDib(d.bytes());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width, 5);
    EXPECT_EQ(out->height, 3);
    EXPECT_EQ(out->bitCount, d.bpp);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(out->color[y * 5 + x], expectedColour(d, x, y)) << x << "," << y;
            EXPECT_EQ(out->mask[y * 5 + x], maskBit(x, y)) << x << "," << y;
        }
    }
    EXPECT_EQ(out->alphaUsed, d.bpp == 32);
    auto info = imageInfo(d.bytes());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->width, 5);
    EXPECT_EQ(info->height, 3);
    EXPECT_EQ(info->bitCount, d.bpp);
    EXPECT_FALSE(info->png);
}

INSTANTIATE_TEST_SUITE_P(AllDepths, DibDepths, ::testing::Values(1, 4, 8, 16, 24, 32));

TEST(Dib, CoreHeaderHasThreeBytePalette) {
    Dib d = sampleDib(4);
    d.core = true;
    auto out = decodeDib(d.bytes());
    ASSERT_TRUE(out);
    for (int x = 0; x < 5; ++x) EXPECT_EQ(out->color[5 + x], expectedColour(d, x, 1));
}

TEST(Dib, PaletteSizeFollowsClrUsed) {
    Dib shortPalette = sampleDib(8);
    shortPalette.palette.resize(3);
    shortPalette.clrUsed = 3;
    auto out = decodeDib(shortPalette.bytes());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->color[2], shortPalette.palette[2]);  // index 2
    EXPECT_EQ(out->color[3], 0u);                       // index 3: past the palette, black

    Dib capped = sampleDib(8);
    capped.clrUsed = 100000;  // read as 256 entries
    out = decodeDib(capped.bytes());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->color[7], expectedColour(capped, 2, 1));

    // A colour table before 24 bpp bits is skipped.
    Dib deep = sampleDib(24);
    deep.palette = {0x111111, 0x222222};
    deep.clrUsed = 2;
    out = decodeDib(deep.bytes());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->color[6], expectedColour(deep, 1, 1));
}

TEST(Dib, AlphaIsUsedOnlyWhenSomeByteIsNonZero) {
    Dib d = sampleDib(32);
    d.pixel = [](int x, int) { return 0x00FFFFFFu * static_cast<std::uint32_t>(x % 2); };
    auto out = decodeDib(d.bytes());
    ASSERT_TRUE(out);
    EXPECT_FALSE(out->alphaUsed);
    EXPECT_EQ(out->color[1], 0x00FFFFFFu);
    EXPECT_EQ(out->mask[0], 1);
    d.pixel = [](int x, int y) { return x == 4 && y == 2 ? 0x01000000u : 0u; };
    EXPECT_TRUE(decodeDib(d.bytes())->alphaUsed);
}

TEST(Dib, TruncationAndUnsupportedHeaders) {
    const std::string full = sampleDib(8).bytes();
    const std::size_t maskBytes = 3 * 4;
    // A short mask leaves its missing (top) rows 0; short colour bits give nothing.
    auto cut = decodeDib(full.substr(0, full.size() - 4));
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->mask[0], 0);
    EXPECT_EQ(cut->mask[5 + 2], maskBit(2, 1));
    EXPECT_TRUE(decodeDib(full.substr(0, full.size() - maskBytes)));
    EXPECT_FALSE(decodeDib(full.substr(0, full.size() - maskBytes - 1)));
    EXPECT_FALSE(imageInfo(full.substr(0, full.size() - maskBytes - 1)));

    auto patched = [&](std::size_t at, std::uint32_t v, bool word = false) {
        std::string s = full;
        word ? put16(s, at, v) : put32(s, at, v);
        return s;
    };
    const std::string bad[] = {
        patched(0, 20),                // header size
        patched(0, 0xFFFFFFF0u),       // header size past the bytes
        patched(4, 0),                 // width 0
        patched(4, 0xFFFFFFFBu),       // width -5
        patched(4, 1025),              // too wide
        patched(8, 1),                 // height 0
        patched(8, 0xFFFFFFFAu),       // top-down
        patched(8, 2 * 1025),          // too tall
        patched(14, 2, true),          // 2 bpp
        patched(14, 64, true),         // 64 bpp
        patched(16, 3),                // BI_BITFIELDS
        "", full.substr(0, 39),
        pngHeader(5, 3, 8, 6),
    };
    for (const auto& s : bad) {
        EXPECT_FALSE(decodeDib(s)) << s.size();
        EXPECT_FALSE(imageInfo(s).has_value() && !imageInfo(s)->png) << s.size();
    }
}

TEST(ImageHeaders, PngDepthIsBitsTimesChannels) {
    const std::tuple<int, int, int> cases[] = {{8, 6, 32}, {8, 2, 24}, {4, 3, 4}, {8, 4, 16}, {16, 0, 16}};
    for (const auto& [depth, type, bits] : cases) {
        auto info = imageInfo(pngHeader(256, 48, depth, type));
        ASSERT_TRUE(info);
        EXPECT_TRUE(info->png);
        EXPECT_EQ(info->width, 256);
        EXPECT_EQ(info->height, 48);
        EXPECT_EQ(info->bitCount, bits);
    }
    EXPECT_FALSE(imageInfo(pngHeader(1025, 16, 8, 6)));
    EXPECT_FALSE(imageInfo(pngHeader(0, 16, 8, 6)));
    EXPECT_FALSE(imageInfo(pngHeader(16, 16, 8, 5)));
    EXPECT_FALSE(imageInfo(pngHeader(16, 16, 8, 6).substr(0, 20)));
}

TEST(PickImage, SizeFirstThenDepthThenStoredOrder) {
    auto groupOf = [](std::vector<std::string> images) {
        IconGroup g;
        for (auto& s : images) g.images.push_back(imageOf(s));
        return g;
    };
    auto picked = [](const IconGroup& g, int w, int h) {
        const IconImage* p = pickImage(g, w, h);
        return p ? static_cast<int>(p - g.images.data()) : -1;
    };
    // Depth: 32 beats 24 beats 8 beats 4; size distance comes before depth.
    EXPECT_EQ(picked(groupOf({solidDib(32, 32, 0, 8), solidDib(32, 32, 0, 32), solidDib(32, 32, 0, 4),
                              solidDib(32, 32, 0, 24)}), 32, 32), 1);
    EXPECT_EQ(picked(groupOf({solidDib(32, 32, 0, 8), solidDib(32, 32, 0, 4), solidDib(32, 32, 0, 24)}), 32, 32), 2);
    EXPECT_EQ(picked(groupOf({solidDib(16, 16, 0, 32), solidDib(48, 48, 0, 32), solidDib(30, 30, 0, 4)}), 32, 32), 2);
    // Equal distance (16 and 48 from 32): depth, then the first.
    EXPECT_EQ(picked(groupOf({solidDib(16, 16, 0, 8), solidDib(48, 48, 0, 24)}), 32, 32), 1);
    EXPECT_EQ(picked(groupOf({solidDib(48, 48, 0, 8), solidDib(16, 16, 0, 8), solidDib(16, 16, 0, 8)}), 32, 32), 0);
    // Width and height count separately.
    const IconGroup oblong = groupOf({solidDib(16, 32, 0), solidDib(32, 16, 0)});
    EXPECT_EQ(picked(oblong, 32, 16), 1);
    EXPECT_EQ(picked(oblong, 16, 32), 0);
    // Unusable images are passed over; none at all gives nothing.
    IconGroup broken = groupOf({"garbage", solidDib(8, 8, 0, 4)});
    EXPECT_EQ(picked(broken, 32, 32), 1);
    EXPECT_EQ(rankImages(broken, 32, 32), std::vector<std::size_t>{1});
    EXPECT_EQ(picked(groupOf({"garbage"}), 32, 32), -1);
    EXPECT_EQ(picked(IconGroup{}, 16, 16), -1);
}

TEST(PickImage, TheImageHeaderOverrulesALyingDirectory) {
    // The directory swaps the two images' sizes and depths.
    const std::string ico = icoFile({{solidDib(16, 16, 0xFF0000AA, 4), 32, 32, 0, 1, 32},
                                     {solidDib(32, 32, 0xFF00BB00, 32), 16, 16, 16, 1, 4}});
    auto g = iconGroup(ico, 0);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->images[0].dirWidth, 32);
    EXPECT_EQ(g->images[0].info->width, 16);
    EXPECT_EQ(pickImage(*g, 32, 32), &g->images[1]);
    EXPECT_EQ(pickImage(*g, 16, 16), &g->images[0]);
}
