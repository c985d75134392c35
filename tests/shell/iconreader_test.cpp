// The icon reader's index rules and structure walking: .ico, PE32, PE32+ and NE files built here,
// hostile variants of them, and Wine's own DLLs when they are installed.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "shell/icon_files.h"
#include "shell/iconreader.h"

using namespace qv::shell;
using namespace icontest;

namespace {

const std::filesystem::path kWineDir = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";

// Each resource image is one colour, so a test can tell which image it got.
std::uint32_t colourOf(const IconImage& image) {
    auto dib = decodeDib(image.data);
    return dib ? dib->color.at(0) & 0xFFFFFF : 0xDEADBEEF;
}

Resource icon(int id, std::uint32_t colour) { return {{3, {}}, {id, {}}, {solidDib(16, 16, 0xFF000000 | colour)}}; }
Resource group(ResId name, std::vector<int> iconIds) {
    std::vector<Entry> entries;
    for (int id : iconIds) entries.push_back({solidDib(16, 16, 0xFF000000), 0, 0, 0, 1, 0, id});
    return {{14, {}}, std::move(name), {groupDirectory(entries)}};
}

// Icons first, then groups: two named ones, then ids stored 7, 3, 9 (not ascending), the last in
// two languages.
std::vector<Resource> sampleResources() {
    auto nine = group({9, {}}, {13});
    nine.languages.push_back(groupDirectory({{solidDib(16, 16, 0), 0, 0, 0, 1, 0, 14}}));
    return {icon(11, 0x110000), icon(12, 0x002200), icon(13, 0x000033), icon(14, 0x444444),
            group({0, u"ZETA"}, {11}), group({0, u"ALPHA"}, {12}), group({7, {}}, {11, 12}),
            group({3, {}}, {12}), nine};
}

}  // namespace

class PeIndexRules : public ::testing::TestWithParam<bool> {};

TEST_P(PeIndexRules, GroupsCountInStoredOrderAndNegativeIndexIsId) {
    const auto pe = peFile(sampleResources(), GetParam());
    const std::string& b = pe.bytes;
    ASSERT_EQ(iconFileKind(b), IconFileKind::Pe);
    EXPECT_EQ(iconCount(b), 5);

    auto g0 = iconGroup(b, 0);
    ASSERT_TRUE(g0);
    EXPECT_EQ(g0->name, u"ZETA");
    EXPECT_EQ(g0->id, -1);
    EXPECT_EQ(iconGroup(b, 1)->name, u"ALPHA");
    EXPECT_EQ(iconGroup(b, 2)->id, 7);
    EXPECT_EQ(iconGroup(b, 3)->id, 3);
    EXPECT_EQ(iconGroup(b, 4)->id, 9);
    EXPECT_FALSE(iconGroup(b, 5));
    EXPECT_FALSE(iconGroup(b, INT_MAX));

    EXPECT_EQ(iconGroup(b, -3)->id, 3);
    EXPECT_EQ(iconGroup(b, -7)->id, 7);
    EXPECT_FALSE(iconGroup(b, -1));
    EXPECT_FALSE(iconGroup(b, -11));  // an RT_ICON id, not a group
    EXPECT_FALSE(iconGroup(b, -0x10007));
    EXPECT_FALSE(iconGroup(b, INT_MIN));

    // The images are the RT_ICON resources the directory names, through the RVA mapping.
    auto g7 = iconGroup(b, 2);
    ASSERT_EQ(g7->images.size(), 2u);
    EXPECT_EQ(g7->images[0].iconId, 11);
    EXPECT_EQ(colourOf(g7->images[0]), 0x110000u);
    EXPECT_EQ(colourOf(g7->images[1]), 0x002200u);
    ASSERT_TRUE(g7->images[1].info);
    EXPECT_EQ(g7->images[1].info->width, 16);
    // The first language wins.
    EXPECT_EQ(colourOf(iconGroup(b, -9)->images.at(0)), 0x000033u);
}

TEST_P(PeIndexRules, RvaBelowTheHeadersMapsToItself) {
    auto pe = peFile(sampleResources(), GetParam());
    // Move group 3's directory into the unused end of the headers and point its data entry there.
    const std::string dir = groupDirectory({{solidDib(16, 16, 0), 0, 0, 0, 1, 0, 13}});
    pe.bytes.replace(0x300, dir.size(), dir);
    put32(pe.bytes, pe.dataEntryOffsets[7], 0x300);
    auto g = iconGroup(pe.bytes, -3);
    ASSERT_TRUE(g);
    EXPECT_EQ(colourOf(g->images.at(0)), 0x000033u);
}

INSTANTIATE_TEST_SUITE_P(Pe32AndPe32Plus, PeIndexRules, ::testing::Bool());

TEST(IconReader, IcoIsOneIconForEveryIndexBelowOne) {
    Entry big{solidDib(16, 16, 0xFF123456), 0, 0, 7, 1, 32};
    big.width = 256;  // stored as 0
    big.height = 256;
    const std::string ico = icoFile({big, {solidDib(32, 32, 0xFF654321)}});
    ASSERT_EQ(iconFileKind(ico), IconFileKind::Ico);
    EXPECT_EQ(iconCount(ico), 1);
    for (int index : {0, -1, -28, INT_MIN}) {
        auto g = iconGroup(ico, index);
        ASSERT_TRUE(g) << index;
        ASSERT_EQ(g->images.size(), 2u);
        EXPECT_EQ(g->images[0].dirWidth, 256);
        EXPECT_EQ(g->images[0].dirHeight, 256);
        EXPECT_EQ(g->images[0].dirColors, 7);
        EXPECT_EQ(g->images[0].iconId, -1);
        EXPECT_EQ(colourOf(g->images[1]), 0x654321u);
    }
    EXPECT_FALSE(iconGroup(ico, 1));
    EXPECT_FALSE(iconGroup(ico, 2));
}

TEST(IconReader, FilesWithoutIcons) {
    const std::string image = solidDib(16, 16, 0xFF000000);
    std::string riff("RIFF\x10\0\0\0ACONanih", 16);
    riff.resize(64, '\0');
    std::string mzOnly(0x40, '\0');
    mzOnly[0] = 'M';
    mzOnly[1] = 'Z';
    std::string icoShortDirectory = icoFile({{image}});
    icoShortDirectory.resize(6 + 16 - 1);
    std::string icoNoEntries = icoFile({{image}});
    put16(icoNoEntries, 4, 0);
    const std::string cases[] = {"",   std::string("\0\0\1\0", 4),      icoFile({{image}}, 2) /* .cur */,
                                 riff, mzOnly,           icoShortDirectory,
                                 icoNoEntries, image, std::string(1000, 'x')};
    for (const auto& bytes : cases) {
        EXPECT_EQ(iconCount(bytes), 0) << bytes.size();
        EXPECT_FALSE(iconGroup(bytes, 0)) << bytes.size();
        EXPECT_FALSE(iconGroup(bytes, -1)) << bytes.size();
    }
}

class NeIndexRules : public ::testing::TestWithParam<unsigned> {};

TEST_P(NeIndexRules, GroupsInStoredOrderWithShiftedOffsets) {
    std::vector<NeResource> res = {
        {0x8003, 1, solidDib(16, 16, 0xFF0000AA)},
        {0x8003, 2, solidDib(32, 32, 0xFF00BB00)},
        {0x800E, 5, groupDirectory({{solidDib(32, 32, 0), 0, 0, 0, 1, 0, 2}})},
        {0x800E, 2, groupDirectory({{solidDib(16, 16, 0), 0, 0, 0, 1, 0, 1}, {solidDib(32, 32, 0), 0, 0, 0, 1, 0, 2}})},
        {0x8006, 1, "strings"},
    };
    const std::string ne = neFile(res, GetParam());
    ASSERT_EQ(iconFileKind(ne), IconFileKind::Ne);
    EXPECT_EQ(iconCount(ne), 2);
    auto first = iconGroup(ne, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, 5);
    EXPECT_EQ(colourOf(first->images.at(0)), 0x00BB00u);
    auto two = iconGroup(ne, -2);
    ASSERT_TRUE(two);
    EXPECT_EQ(two->id, 2);
    ASSERT_EQ(two->images.size(), 2u);
    EXPECT_EQ(colourOf(two->images[0]), 0x0000AAu);
    EXPECT_EQ(iconGroup(ne, 1)->id, 2);
    EXPECT_FALSE(iconGroup(ne, 2));
    EXPECT_FALSE(iconGroup(ne, -5 - 0x8000));
}

INSTANTIATE_TEST_SUITE_P(AlignmentShifts, NeIndexRules, ::testing::Values(0u, 4u, 9u));

// ---- hostile files ----

TEST(IconReaderHostile, EveryTruncationIsSafeAndNeverMisidentifies) {
    const std::string pe = peFile(sampleResources(), true).bytes;
    const std::string ne = neFile({{0x8003, 1, solidDib(16, 16, 0xFF0000AA)},
                                   {0x800E, 3, groupDirectory({{solidDib(16, 16, 0), 0, 0, 0, 1, 0, 1}})}});
    const std::string ico = icoFile({{solidDib(16, 16, 0xFF0000AA)}, {solidDib(8, 8, 0xFF0000AA, 4)}});
    for (const std::string* file : {&pe, &ne, &ico}) {
        for (std::size_t n = 0; n <= file->size(); ++n) {
            const std::string_view cut(file->data(), n);
            EXPECT_LE(iconCount(cut), iconCount(*file));
            for (int index : {0, 1, 2, 3, -3, -9}) {
                auto g = iconGroup(cut, index);
                if (!g) continue;
                if (index < 0 && file != &ico) {
                    EXPECT_EQ(g->id, -index);
                }
                for (const auto& img : g->images) {
                    if (img.info) {
                        EXPECT_TRUE(decodeDib(img.data)) << n;
                    }
                    EXPECT_TRUE(img.data.size() <= n);
                }
            }
        }
    }
}

TEST(IconReaderHostile, CyclesAndExtraLevelsGiveNoIcon) {
    auto selfLoop = peFile(sampleResources(), false);
    // The group type's directory is the root itself: its "groups" are the type entries, whose
    // data would be a fourth level.
    const std::size_t root = selfLoop.rsrcOffset;
    put32(selfLoop.bytes, root + 16 + 8 + 4, 0x80000000u);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(iconGroup(selfLoop.bytes, i));

    // A language entry that is a directory pointing at itself.
    auto deeper = peFile(sampleResources(), false);
    const std::size_t dataEntry = deeper.dataEntryOffsets[7];
    std::size_t langEntry = 0;
    for (std::size_t at = root; at + 8 <= deeper.bytes.size() && !langEntry; at += 8)
        if (get32(deeper.bytes, at + 4) == dataEntry - root) langEntry = at;
    ASSERT_NE(langEntry, 0u);
    put32(deeper.bytes, langEntry + 4, 0x80000000u | static_cast<std::uint32_t>(langEntry - 16 - root));
    EXPECT_FALSE(iconGroup(deeper.bytes, -3));
    EXPECT_TRUE(iconGroup(deeper.bytes, -7));
}

TEST(IconReaderHostile, HugeCountsAndOffsetsAreBounded) {
    // Directory counts far beyond the file.
    auto pe = peFile(sampleResources(), false);
    put16(pe.bytes, pe.rsrcOffset + 12, 0xFFFF);
    put16(pe.bytes, pe.rsrcOffset + 14, 0xFFFF);
    EXPECT_LE(iconCount(pe.bytes), static_cast<int>(pe.bytes.size() / 8));
    for (int i = -10; i < 10; ++i) iconGroup(pe.bytes, i);

    // A section whose end lies past 4 GiB, or whose bytes lie past the file, maps nothing.
    for (std::uint32_t field : {12u, 20u}) {
        auto far = peFile(sampleResources(), true);
        const std::size_t rsrcSection = far.optionalHeader + 240 + 40;
        put32(far.bytes, rsrcSection + field, 0xFFFFF000u);
        put32(far.bytes, rsrcSection + 16, 0x2000);
        EXPECT_EQ(iconCount(far.bytes), 0);
    }

    // e_lfanew past the end; alignment shift too large.
    std::string farHeader = peFile(sampleResources(), false).bytes;
    put32(farHeader, 0x3C, 0xFFFFFFF0u);
    EXPECT_EQ(iconFileKind(farHeader), IconFileKind::None);
    std::string ne = neFile({{0x800E, 1, groupDirectory({{solidDib(16, 16, 0), 0, 0, 0, 1, 0, 1}})}});
    put16(ne, 0x80, 0xFFFF);
    EXPECT_EQ(iconCount(ne), 0);

    // A group directory claiming 65535 entries holds what fits; ids with no RT_ICON keep no bytes.
    auto dir = groupDirectory({{solidDib(16, 16, 0), 0, 0, 0, 1, 0, 12}, {solidDib(16, 16, 0), 0, 0, 0, 1, 0, 99}});
    put16(dir, 4, 0xFFFF);
    auto claims = sampleResources();
    claims.push_back({{14, {}}, {40, {}}, {dir}});
    auto g = iconGroup(peFile(claims, false).bytes, -40);
    ASSERT_TRUE(g);
    ASSERT_EQ(g->images.size(), 2u);
    EXPECT_EQ(colourOf(g->images[0]), 0x002200u);
    EXPECT_TRUE(g->images[1].data.empty());
    EXPECT_FALSE(g->images[1].info);

    // .ico images past the end, or running past it.
    std::string ico = icoFile({{solidDib(16, 16, 0xFF010203)}, {solidDib(16, 16, 0xFF010203)}});
    put32(ico, 6 + 12, 0xFFFFFFF0u);
    put32(ico, 6 + 16 + 8, 0xFFFFFFFFu);
    auto icoGroup = iconGroup(ico, 0);
    ASSERT_TRUE(icoGroup);
    EXPECT_TRUE(icoGroup->images[0].data.empty());
    EXPECT_EQ(colourOf(icoGroup->images[1]), 0x010203u);
}

TEST(IconReaderHostile, OverlappingResourcesShareBytes) {
    auto pe = peFile(sampleResources(), false);
    // Group 3 now reads group 7's directory, and icon 12 icon 11's bytes.
    put32(pe.bytes, pe.dataEntryOffsets[7], get32(pe.bytes, pe.dataEntryOffsets[6]));
    put32(pe.bytes, pe.dataEntryOffsets[7] + 4, get32(pe.bytes, pe.dataEntryOffsets[6] + 4));
    put32(pe.bytes, pe.dataEntryOffsets[1], get32(pe.bytes, pe.dataEntryOffsets[0]));
    auto g = iconGroup(pe.bytes, -3);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->id, 3);
    ASSERT_EQ(g->images.size(), 2u);
    EXPECT_EQ(colourOf(g->images[0]), 0x110000u);
    EXPECT_EQ(colourOf(g->images[1]), 0x110000u);
    EXPECT_EQ(iconCount(pe.bytes), 5);
}

// ---- Wine's DLLs, when installed ----

TEST(IconReaderRealFiles, WineShell32IndexRules) {
    const auto path = kWineDir / "shell32.dll";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    const auto bytes = readIconFile(path);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(iconCount(*bytes), 184);
    EXPECT_FALSE(iconGroup(*bytes, 0)->name.empty());
    EXPECT_FALSE(iconGroup(*bytes, 1)->name.empty());
    EXPECT_EQ(iconGroup(*bytes, 2)->id, 1);
    EXPECT_EQ(iconGroup(*bytes, 28)->id, 27);
    EXPECT_EQ(iconGroup(*bytes, 29)->id, 28);
    EXPECT_EQ(iconGroup(*bytes, -28)->id, 28);
    EXPECT_FALSE(iconGroup(*bytes, 184));
    auto g = iconGroup(*bytes, -28);
    const IconImage* large = pickImage(*g, 32, 32);
    ASSERT_TRUE(large);
    EXPECT_EQ(large->info->width, 32);
    EXPECT_EQ(large->info->bitCount, 32);
}

TEST(IconReaderRealFiles, WineProgramsAndFonts) {
    const std::pair<const char*, int> counts[] = {{"user32.dll", 7}, {"notepad.exe", 1}, {"explorer.exe", 0}};
    for (const auto& [name, count] : counts) {
        const auto path = kWineDir / name;
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
        const auto bytes = readIconFile(path);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(iconCount(*bytes), count) << name;
        EXPECT_EQ(static_cast<bool>(iconGroup(*bytes, count - 1)), count > 0) << name;
        EXPECT_FALSE(iconGroup(*bytes, count)) << name;
    }
    const std::filesystem::path fonts = "/usr/share/wine/fonts";
    if (!std::filesystem::is_directory(fonts)) return;
    int checked = 0;
    for (const auto& f : std::filesystem::directory_iterator(fonts)) {
        if (f.path().extension() != ".fon") continue;
        const auto bytes = readIconFile(f.path());
        ASSERT_TRUE(bytes);
        EXPECT_EQ(iconFileKind(*bytes), IconFileKind::Ne) << f.path();
        EXPECT_EQ(iconCount(*bytes), 0) << f.path();
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

TEST(IconReader, ReadsOnlyRegularFilesWithinTheCap) {
    EXPECT_FALSE(readIconFile("/nonexistent/quorvel.ico"));
    EXPECT_FALSE(readIconFile("/dev/zero"));
    EXPECT_FALSE(readIconFile(std::filesystem::temp_directory_path()));
    const auto file = std::filesystem::temp_directory_path() / "qv-iconreader-cap.ico";
    {
        std::ofstream out(file, std::ios::binary);
        out << icoFile({{solidDib(16, 16, 0xFF000000)}});
    }
    const auto size = std::filesystem::file_size(file);
    EXPECT_TRUE(readIconFile(file, size));
    EXPECT_FALSE(readIconFile(file, size - 1));
    std::filesystem::remove(file);
}
