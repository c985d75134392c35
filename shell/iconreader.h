// Reading icons out of PE (.exe, .dll), 16-bit NE and .ico files, and decoding their bitmaps.
//
// Pure byte parsing without Qt, so that it can be fuzzed alone; icondraw.h turns the results into
// pictures. Every function takes the whole file as bytes and treats them as hostile: anything
// malformed gives "no icon", never a read outside the bytes, and the memory it takes is bounded by
// the caps below whatever the file claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::shell {

// Files larger than this are not read at all.
inline constexpr std::uint64_t kMaxIconFileBytes = 64ull << 20;
// Images wider or taller than this are not decoded.
inline constexpr int kMaxIconSide = 1024;
// A group keeps at most this many entries, and copies at most kMaxGroupBytes of image data
// (entries past either limit are listed without their bytes). Images that cannot be drawn (no
// info) are listed without their bytes too.
inline constexpr std::size_t kMaxGroupImages = 256;
inline constexpr std::size_t kMaxGroupBytes = 32u << 20;

enum class IconFileKind { None, Ico, Pe, Ne };

// What the bytes look like: an .ico (reserved 0, type 1, count > 0, directory inside the file), an
// "MZ" file whose e_lfanew leads to "PE\0\0" or "NE", or none of these (.cur and .ani included).
IconFileKind iconFileKind(std::string_view bytes);

// Size and depth an image gives in its own header: the BITMAPINFOHEADER / BITMAPCOREHEADER of a DIB
// (height = biHeight / 2) or the IHDR chunk of a PNG (depth = bit depth x channels).
struct ImageInfo {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    bool png = false;
};

// Nothing when the header is unreadable, the size is 0 or above kMaxIconSide, the depth or
// compression is one the decoder does not handle, or (for a DIB) the colour bits do not fit in
// the bytes: a DIB with info always decodes.
std::optional<ImageInfo> imageInfo(std::string_view image);

// One entry of an icon group: its directory fields as stored and the image they point to.
struct IconImage {
    int dirWidth = 0;  // a stored 0 is read as 256
    int dirHeight = 0;
    int dirColors = 0;
    int dirPlanes = 0;
    int dirBitCount = 0;
    std::uint32_t dirBytes = 0;
    int iconId = -1;                  // the RT_ICON id (PE, NE); -1 in an .ico file
    std::string data;                 // the image bytes; empty when the image was not found, has
                                      // no info or did not fit in the group's budget
    std::optional<ImageInfo> info;    // imageInfo(data); set whenever data is
};

struct IconGroup {
    int id = -1;              // the integer resource id; -1 for a named group and an .ico file
    std::u16string name;      // the name of a named group
    std::vector<IconImage> images;
};

// The number of RT_GROUP_ICON groups; 1 for an .ico file; 0 for anything else.
int iconCount(std::string_view bytes);

// The icon an "icon location" index names:
// - index >= 0: the index-th group in the order the file stores them (in a PE resource directory:
//   named entries, then integer ids as stored); past the end: nothing;
// - index < 0: the group whose integer id is -index;
// - an .ico file: the file's one icon for any index below 1.
// A resource with several languages gives its first one. Nothing when the group's directory
// cannot be read; a group whose images are missing is returned with their data empty.
std::optional<IconGroup> iconGroup(std::string_view bytes, int index);

// The group's usable entries (those with info) best first for a wanted size: the smallest
// |dw| + |dh|, then the smallest |depth - 32|, then stored order. Size and depth come from the
// image's own header, not the directory, which real files get wrong.
std::vector<std::size_t> rankImages(const IconGroup& group, int wantWidth, int wantHeight);
// The first of rankImages, or nullptr when the group has no usable entry.
const IconImage* pickImage(const IconGroup& group, int wantWidth, int wantHeight);

// A decoded DIB icon image, top row first.
struct DibImage {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    // The XOR colour as 0xAARRGGBB (bytes B, G, R, A in memory order). Alpha is the stored byte for
    // 32 bpp and 0 otherwise.
    std::vector<std::uint32_t> color;
    // The AND mask: 1 where the background stays (or is inverted), 0 where the colour replaces it.
    std::vector<std::uint8_t> mask;
    // 32 bpp with at least one non-zero alpha byte: drawn by blending, the mask ignored.
    bool alphaUsed = false;
};

// Decodes a BITMAPINFOHEADER (biSize >= 40) or BITMAPCOREHEADER icon image of 1, 4, 8, 16 (5-5-5),
// 24 or 32 bpp, uncompressed. Mask rows missing at the end of the bytes read as 0.
std::optional<DibImage> decodeDib(std::string_view image);

bool isPng(std::string_view image);

// A regular host file of at most `cap` bytes mapped read-only: parsing it touches only the
// pages it reads (the resource directory and the images asked for), not the whole file. Empty
// for a missing, unreadable, special or larger file. The parse results copy what they keep, so
// the mapping is dropped as soon as they are taken.
class MappedIconFile {
public:
    explicit MappedIconFile(const std::filesystem::path& file, std::uint64_t cap = kMaxIconFileBytes);
    ~MappedIconFile();
    MappedIconFile(const MappedIconFile&) = delete;
    MappedIconFile& operator=(const MappedIconFile&) = delete;
    explicit operator bool() const { return ok_; }
    std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    bool ok_ = false;
};

// The bytes of a regular host file of at most `cap` bytes; nothing for a missing, unreadable,
// special or larger file.
std::optional<std::string> readIconFile(const std::filesystem::path& file,
                                        std::uint64_t cap = kMaxIconFileBytes);

}  // namespace qv::shell
