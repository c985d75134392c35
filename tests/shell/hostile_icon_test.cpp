// Icon files built to hurt: directories whose entries all point at a few huge images, and entries
// declaring sizes and offsets far past the file. Each file is read in a child process whose time
// is limited and whose memory growth is measured and printed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "icon_files.h"
#include "registry/bounded_child.h"
#include "shell/icondraw.h"
#include "shell/iconreader.h"

using namespace qv::shell;
using namespace icontest;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kBig = 8u << 20;

// A 16 MB .ico of 256 entries; entry i points at image i % 2, each declared kBig bytes. Images
// start with `head`; the second is cut short by the file's end, so that copies of both do not
// add up to the group's budget exactly.
std::string sharedImagesIco(const std::string& head) {
    std::string f;
    add16(f, 0);
    add16(f, 1);
    add16(f, 256);
    const std::uint32_t first = 6 + 16 * 256;
    for (int i = 0; i < 256; ++i) {
        for (int b : {0, 0, 0, 0}) f.push_back(static_cast<char>(b));
        add16(f, 1);
        add16(f, 32);
        add32(f, kBig);
        add32(f, first + (i % 2) * kBig);
    }
    for (int image = 0; image < 2; ++image) {
        std::string img = head;
        img.resize(kBig, '\x5a');
        f += img;
    }
    f.resize(2 * kBig);
    return f;
}

// A PNG header of a 256 x 256 RGBA picture: an image the reader takes (its data is junk).
std::string pngHead() {
    std::string h("\x89PNG\r\n\x1a\n", 8);
    add32(h, 0x0D000000);  // chunk length 13, big-endian
    h += "IHDR";
    for (unsigned char b : {0, 0, 1, 0, 0, 0, 1, 0, 8, 6, 0, 0, 0}) h.push_back(static_cast<char>(b));
    return h;
}

// A 1024 x 1024 32 bpp DIB header: 4 MB of colour and a mask follow within the declared 8 MB.
std::string dibHead() {
    std::string h;
    add32(h, 40);
    add32(h, 1024);
    add32(h, 2048);
    add16(h, 1);
    add16(h, 32);
    h.resize(40, '\0');
    return h;
}

// Entries declaring sizes and offsets past the file's end, and one image right at its end.
std::string hugeDeclaredSizesIco() {
    const std::string image = icontest::solidDib(16, 16, 0xFF00FF00);
    std::string f;
    add16(f, 0);
    add16(f, 1);
    add16(f, 4);
    const std::uint32_t at = 6 + 16 * 4;
    const std::uint32_t entries[4][2] = {
        {0xFFFFFFFFu, at}, {0xFFFFFFFFu, 0xFFFFFFF0u}, {16, 0x7FFFFFFFu}, {0x80000000u, at}};
    for (const auto& e : entries) {
        for (int b : {16, 16, 0, 0}) f.push_back(static_cast<char>(b));
        add16(f, 1);
        add16(f, 32);
        add32(f, e[0]);
        add32(f, e[1]);
    }
    return f + image;
}

struct IconCase {
    const char* name;
    std::function<std::string()> file;
    size_t wantWithData;  // entries that keep their bytes
    bool draws;           // the icon comes out as a picture
};

}  // namespace

TEST(HostileIcons, ReadingCopiesABoundedAmount) {
    const IconCase cases[] = {
        {"256 entries sharing two unusable 8 MB images", [] { return sharedImagesIco("junk"); }, 0, false},
        {"256 entries sharing two 8 MB PNGs", [] { return sharedImagesIco(pngHead()); }, kMaxGroupBytes / kBig, false},
        {"256 entries sharing two 1024x1024 DIBs", [] { return sharedImagesIco(dibHead()); },
         kMaxGroupBytes / (1024 * 1024 * 4 + 1024 * 128), true},
        {"entries declaring huge sizes and offsets", hugeDeclaredSizesIco, 2, true},
    };
    const fs::path dir = fs::temp_directory_path();
    for (const IconCase& c : cases) {
        const auto r = qv::test::runBounded(60, 8 << 20, [&]() -> std::string {
            const std::string bytes = c.file();
            const auto group = iconGroup(bytes, 0);
            if (!group) return "the directory did not read";
            size_t withData = 0, held = 0;
            for (const IconImage& img : group->images) {
                withData += !img.data.empty();
                held += img.data.capacity();
                if (!img.data.empty() && !img.info) return "bytes kept of an image that cannot be drawn";
            }
            if (withData != c.wantWithData) return std::to_string(withData) + " entries kept their bytes";
            if (held > kMaxGroupBytes + group->images.size() * 64) return std::to_string(held) + " bytes held";
            // And as the window reads it: from a file, drawn at two sizes.
            const fs::path file = dir / ("qv-hostile-" + std::to_string(getpid()) + ".ico");
            std::ofstream(file, std::ios::binary) << bytes;
            const bool drawn = extractIcon(file, 0).has_value();
            fs::remove(file);
            if (drawn != c.draws) return drawn ? "junk was drawn" : "the icon was not drawn";
            return "";
        });
        std::printf("[ hostile  ] %-48s %6.2f s (%.2f s processor), peak memory +%ld MB\n", c.name, r.seconds,
                    r.cpuSeconds, r.peakGrowthMb);
        EXPECT_EQ(r.failure, "") << c.name;
        // The file, one budget of copies and the decoder's work, with room for the sanitizers.
        EXPECT_LE(r.peakGrowthMb, 256) << c.name;
    }
}
