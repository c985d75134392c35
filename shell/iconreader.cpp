#include "shell/iconreader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>

namespace qv::shell {

namespace {

using u64 = std::uint64_t;

constexpr std::uint16_t kRtIcon = 3;
constexpr std::uint16_t kRtGroupIcon = 14;
constexpr std::uint16_t kNeRtIcon = 0x8003;
constexpr std::uint16_t kNeRtGroupIcon = 0x800E;
constexpr std::size_t kMaxImageBytes = 8u << 20;  // far above any image of kMaxIconSide
constexpr std::size_t kMaxNameChars = 256;

// All offsets are 64-bit so that offset + length never wraps for 32-bit fields.
bool fits(std::string_view d, u64 off, u64 len) { return off <= d.size() && len <= d.size() - off; }

std::uint8_t byteAt(std::string_view d, u64 off) { return static_cast<std::uint8_t>(d[off]); }
std::uint16_t le16(std::string_view d, u64 off) {
    return static_cast<std::uint16_t>(byteAt(d, off) | byteAt(d, off + 1) << 8);
}
std::uint32_t le32(std::string_view d, u64 off) {
    return static_cast<std::uint32_t>(le16(d, off)) | static_cast<std::uint32_t>(le16(d, off + 2)) << 16;
}
std::uint32_t be32(std::string_view d, u64 off) {
    return static_cast<std::uint32_t>(byteAt(d, off)) << 24 | static_cast<std::uint32_t>(byteAt(d, off + 1)) << 16 |
           static_cast<std::uint32_t>(byteAt(d, off + 2)) << 8 | byteAt(d, off + 3);
}

// Where an image or group lies in the file, already cut at the file's end.
struct Slice {
    u64 off = 0;
    u64 len = 0;
};

std::optional<Slice> clampSlice(std::string_view d, u64 off, u64 len) {
    if (off >= d.size()) return std::nullopt;
    return Slice{off, std::min<u64>(len, d.size() - off)};
}

// ---- DIB layout ----

struct DibLayout {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    u64 paletteOff = 0;
    u64 paletteCount = 0;
    u64 paletteEntry = 4;  // RGBQUAD; RGBTRIPLE after a core header
    u64 colorOff = 0;
    u64 colorStride = 0;
    u64 maskOff = 0;
    u64 maskStride = 0;
    u64 end() const { return maskOff + maskStride * static_cast<u64>(height); }
};

// The layout of a DIB whose colour bits fit in `d`; the mask may be cut short.
std::optional<DibLayout> dibLayout(std::string_view d) {
    if (!fits(d, 0, 4)) return std::nullopt;
    const std::uint32_t headerSize = le32(d, 0);
    std::int64_t width = 0, height2 = 0;
    std::uint32_t bitCount = 0, compression = 0, clrUsed = 0;
    DibLayout l;
    if (headerSize == 12) {
        if (!fits(d, 0, 12)) return std::nullopt;
        width = le16(d, 4);
        height2 = le16(d, 6);
        bitCount = le16(d, 10);
        l.paletteEntry = 3;
    } else if (headerSize >= 40) {
        if (!fits(d, 0, 40)) return std::nullopt;
        width = static_cast<std::int32_t>(le32(d, 4));
        height2 = static_cast<std::int32_t>(le32(d, 8));
        bitCount = le16(d, 14);
        compression = le32(d, 16);
        clrUsed = le32(d, 32);
    } else {
        return std::nullopt;
    }
    const std::int64_t height = height2 / 2;
    if (width <= 0 || height <= 0 || width > kMaxIconSide || height > kMaxIconSide) return std::nullopt;
    if (compression != 0) return std::nullopt;
    switch (bitCount) {
        case 1: case 4: case 8: case 16: case 24: case 32: break;
        default: return std::nullopt;
    }
    l.width = static_cast<int>(width);
    l.height = static_cast<int>(height);
    l.bitCount = static_cast<int>(bitCount);
    // A colour table may also precede the bits of a deeper image (biClrUsed); it is skipped.
    if (clrUsed != 0) l.paletteCount = std::min<u64>(clrUsed, 256);
    else if (bitCount <= 8) l.paletteCount = u64{1} << bitCount;
    l.paletteOff = headerSize;
    l.colorOff = l.paletteOff + l.paletteCount * l.paletteEntry;
    l.colorStride = (static_cast<u64>(width) * bitCount + 31) / 32 * 4;
    l.maskOff = l.colorOff + l.colorStride * static_cast<u64>(height);
    l.maskStride = (static_cast<u64>(width) + 31) / 32 * 4;
    if (!fits(d, 0, l.maskOff)) return std::nullopt;
    return l;
}

bool pngSignature(std::string_view d) {
    static constexpr char sig[] = "\x89PNG\r\n\x1a\n";
    return d.size() >= 8 && std::memcmp(d.data(), sig, 8) == 0;
}

std::optional<ImageInfo> pngInfo(std::string_view d) {
    if (!fits(d, 0, 26) || std::memcmp(d.data() + 12, "IHDR", 4) != 0) return std::nullopt;
    const std::uint32_t w = be32(d, 16), h = be32(d, 20);
    const int depth = byteAt(d, 24);
    int channels = 0;
    switch (byteAt(d, 25)) {
        case 0: channels = 1; break;  // grey
        case 2: channels = 3; break;  // RGB
        case 3: channels = 1; break;  // palette
        case 4: channels = 2; break;  // grey + alpha
        case 6: channels = 4; break;  // RGBA
        default: return std::nullopt;
    }
    if (w == 0 || h == 0 || w > static_cast<std::uint32_t>(kMaxIconSide) ||
        h > static_cast<std::uint32_t>(kMaxIconSide) || depth == 0 || depth > 16)
        return std::nullopt;
    return ImageInfo{static_cast<int>(w), static_cast<int>(h), depth * channels, true};
}

// The bytes of one image, trimmed to what it can use (a DIB to its end, anything to a cap), still
// in the file.
std::string_view imageView(std::string_view d, Slice s) {
    std::string_view img = d.substr(s.off, std::min<u64>(s.len, kMaxImageBytes));
    if (!pngSignature(img)) {
        if (auto l = dibLayout(img)) img = img.substr(0, std::min<u64>(img.size(), l->end()));
    }
    return img;
}

// The entries of an icon directory: a 6-byte header, then entries of `entrySize` bytes whose first
// 12 bytes an .ico file and a group resource share. locate(entry offset, image) finds an image's
// bytes (and may note its RT_ICON id). Only images that can be drawn are copied, and no more of
// them than kMaxGroupBytes: entries may all point at the same large image.
template <typename Locate>
IconGroup readEntries(std::string_view d, std::string_view dir, u64 entrySize, Locate&& locate) {
    const u64 count = std::min<u64>({le16(dir, 4), (dir.size() - 6) / entrySize, kMaxGroupImages});
    IconGroup out;
    out.images.reserve(count);
    std::size_t budget = kMaxGroupBytes;
    for (u64 i = 0; i < count; ++i) {
        const u64 e = 6 + entrySize * i;
        IconImage img;
        img.dirWidth = byteAt(dir, e) ? byteAt(dir, e) : 256;
        img.dirHeight = byteAt(dir, e + 1) ? byteAt(dir, e + 1) : 256;
        img.dirColors = byteAt(dir, e + 2);
        img.dirPlanes = le16(dir, e + 4);
        img.dirBitCount = le16(dir, e + 6);
        img.dirBytes = le32(dir, e + 8);
        if (auto s = locate(e, img)) {
            const std::string_view view = imageView(d, *s);
            if (auto info = imageInfo(view); info && view.size() <= budget) {
                img.data.assign(view);
                img.info = info;
                budget -= view.size();
            }
        }
        out.images.push_back(std::move(img));
    }
    return out;
}

// A group resource; findIcon maps an RT_ICON id to its bytes. The RT_ICON resource's own size
// bounds the image: the directory's byte count is only a claim.
template <typename FindIcon>
std::optional<IconGroup> readGroupDirectory(std::string_view d, Slice group, FindIcon&& findIcon) {
    const std::string_view g = d.substr(group.off, group.len);
    if (!fits(g, 0, 6) || le16(g, 0) != 0 || le16(g, 2) != 1) return std::nullopt;
    return readEntries(d, g, 14, [&](u64 e, IconImage& img) {
        img.iconId = le16(g, e + 12);
        return findIcon(img.iconId);
    });
}

// ---- .ico ----

IconGroup icoGroup(std::string_view d) {
    return readEntries(d, d, 16, [&](u64 e, const IconImage& img) {
        return clampSlice(d, le32(d, e + 12), img.dirBytes);
    });
}

// ---- PE ----

class PeFile {
public:
    static std::optional<PeFile> open(std::string_view d, u64 peOff) {
        PeFile pe;
        pe.d_ = d;
        if (!fits(d, peOff, 24)) return std::nullopt;
        pe.sections_ = le16(d, peOff + 6);
        const u64 optSize = le16(d, peOff + 20);
        const u64 opt = peOff + 24;
        if (!fits(d, opt, 2)) return std::nullopt;
        u64 countOff = 0, dirOff = 0;
        switch (le16(d, opt)) {
            case 0x10B: countOff = 92; dirOff = 96; break;
            case 0x20B: countOff = 108; dirOff = 112; break;
            default: return std::nullopt;
        }
        const u64 rsrcEntry = dirOff + 2 * 8;
        if (optSize < rsrcEntry + 8 || !fits(d, opt, rsrcEntry + 8)) return std::nullopt;
        if (le32(d, opt + countOff) <= 2) return std::nullopt;
        pe.headers_ = le32(d, opt + 60);
        pe.sectionTable_ = opt + optSize;
        const std::uint32_t rsrcRva = le32(d, opt + rsrcEntry);
        if (rsrcRva == 0) return std::nullopt;
        auto root = pe.fileOffset(rsrcRva);
        if (!root) return std::nullopt;
        pe.root_ = *root;
        return pe;
    }

    // The name level of a resource type: the type's subdirectory of the root.
    std::optional<u64> typeDirectory(std::uint16_t type) const {
        const u64 n = entryCount(root_);
        for (u64 i = 0; i < n; ++i) {
            const u64 e = root_ + 16 + 8 * i;
            const std::uint32_t name = le32(d_, e), off = le32(d_, e + 4);
            if (!(name & 0x80000000u) && (name & 0xFFFFu) == type && (off & 0x80000000u))
                return root_ + (off & 0x7FFFFFFFu);
        }
        return std::nullopt;
    }

    // Entries of the directory at dir that lie inside the file.
    u64 entryCount(u64 dir) const {
        if (!fits(d_, dir, 16)) return 0;
        const u64 stated = u64{le16(d_, dir + 12)} + le16(d_, dir + 14);
        return std::min<u64>(stated, (d_.size() - dir - 16) / 8);
    }
    u64 entry(u64 dir, u64 i) const { return dir + 16 + 8 * i; }
    std::uint32_t entryName(u64 e) const { return le32(d_, e); }
    std::uint32_t entryOffset(u64 e) const { return le32(d_, e + 4); }

    std::u16string name(std::uint32_t nameField) const {
        std::u16string out;
        const u64 at = root_ + (nameField & 0x7FFFFFFFu);
        if (!fits(d_, at, 2)) return out;
        const u64 len = std::min<u64>({le16(d_, at), (d_.size() - at - 2) / 2, kMaxNameChars});
        for (u64 i = 0; i < len; ++i) out.push_back(static_cast<char16_t>(le16(d_, at + 2 + 2 * i)));
        return out;
    }

    // The data of a name-level entry: its first language, which must be a data entry.
    std::optional<Slice> data(u64 nameEntry) const {
        const std::uint32_t off = entryOffset(nameEntry);
        if (!(off & 0x80000000u)) return std::nullopt;
        const u64 langDir = root_ + (off & 0x7FFFFFFFu);
        if (entryCount(langDir) == 0) return std::nullopt;
        const std::uint32_t dataOff = entryOffset(entry(langDir, 0));
        if (dataOff & 0x80000000u) return std::nullopt;  // a fourth level
        const u64 at = root_ + dataOff;
        if (!fits(d_, at, 16)) return std::nullopt;
        auto file = fileOffset(le32(d_, at));
        if (!file) return std::nullopt;
        return clampSlice(d_, *file, le32(d_, at + 4));
    }

private:
    std::optional<u64> fileOffset(std::uint32_t rva) const {
        for (u64 i = 0; i < sections_; ++i) {
            const u64 s = sectionTable_ + 40 * i;
            if (!fits(d_, s, 40)) break;
            const u64 va = le32(d_, s + 12), raw = le32(d_, s + 16), ptr = le32(d_, s + 20);
            if (va <= rva && rva < va + raw) return ptr + (rva - va);
        }
        if (rva < headers_) return rva;
        return std::nullopt;
    }

    std::string_view d_;
    u64 sections_ = 0;
    u64 sectionTable_ = 0;
    u64 headers_ = 0;
    u64 root_ = 0;
};

int peCount(const PeFile& pe) {
    auto groups = pe.typeDirectory(kRtGroupIcon);
    return groups ? static_cast<int>(pe.entryCount(*groups)) : 0;
}

std::optional<IconGroup> peGroup(std::string_view d, const PeFile& pe, int index) {
    auto groups = pe.typeDirectory(kRtGroupIcon);
    if (!groups) return std::nullopt;
    const u64 n = pe.entryCount(*groups);
    std::optional<u64> found;
    if (index >= 0) {
        if (static_cast<u64>(index) < n) found = pe.entry(*groups, static_cast<u64>(index));
    } else if (index >= -0xFFFF) {
        for (u64 i = 0; i < n && !found; ++i) {
            const std::uint32_t name = pe.entryName(pe.entry(*groups, i));
            if (!(name & 0x80000000u) && (name & 0xFFFFu) == static_cast<std::uint32_t>(-index))
                found = pe.entry(*groups, i);
        }
    }
    if (!found) return std::nullopt;
    auto dir = pe.data(*found);
    if (!dir) return std::nullopt;

    // RT_ICON ids to their entries, the first entry of an id winning as in a lookup by id. Data is
    // read only for the ids the group names: mapping an RVA walks the section table.
    std::map<int, u64> icons;
    if (auto iconDir = pe.typeDirectory(kRtIcon)) {
        const u64 m = pe.entryCount(*iconDir);
        for (u64 i = 0; i < m; ++i) {
            const u64 e = pe.entry(*iconDir, i);
            const std::uint32_t name = pe.entryName(e);
            if (!(name & 0x80000000u)) icons.emplace(static_cast<int>(name & 0xFFFFu), e);
        }
    }
    auto group = readGroupDirectory(d, *dir, [&](int id) -> std::optional<Slice> {
        auto it = icons.find(id);
        if (it == icons.end()) return std::nullopt;
        return pe.data(it->second);
    });
    if (!group) return std::nullopt;
    const std::uint32_t name = pe.entryName(*found);
    if (name & 0x80000000u) group->name = pe.name(name);
    else group->id = static_cast<int>(name & 0xFFFFu);
    return group;
}

// ---- NE ----

struct NeResource {
    std::uint16_t type = 0;
    std::uint16_t id = 0;  // with bit 15 set for an integer id
    Slice where;
    bool present = false;  // the offset lies inside the file
};

std::vector<NeResource> neResources(std::string_view d, u64 ne) {
    std::vector<NeResource> out;
    if (!fits(d, ne, 0x28)) return out;
    const std::uint16_t tableRel = le16(d, ne + 0x24);
    if (tableRel == 0 || tableRel == le16(d, ne + 0x26)) return out;  // no resource table
    // The table ends where the resident names begin, a 16-bit offset from the NE header too: so
    // it lies in the 64 KiB after it, which bounds the records read whatever the counts say.
    const std::string_view table = d.substr(0, std::min<u64>(d.size(), ne + 0x10000));
    u64 p = ne + tableRel;
    if (!fits(table, p, 2)) return out;
    const unsigned shift = le16(table, p);
    if (shift > 16) return out;
    p += 2;
    while (fits(table, p, 8)) {
        const std::uint16_t type = le16(table, p);
        if (type == 0) break;
        const u64 count = le16(table, p + 2);
        p += 8;
        for (u64 i = 0; i < count; ++i, p += 12) {
            if (!fits(table, p, 12)) return out;
            if (type != kNeRtGroupIcon && type != kNeRtIcon) continue;
            NeResource r;
            r.type = type;
            r.id = le16(d, p + 6);
            const u64 off = u64{le16(d, p)} << shift, len = u64{le16(d, p + 2)} << shift;
            if (auto s = clampSlice(d, off, len)) {
                r.where = *s;
                r.present = true;
            }
            out.push_back(r);
        }
    }
    return out;
}

int neCount(std::string_view d, u64 ne) {
    const auto res = neResources(d, ne);
    return static_cast<int>(std::count_if(res.begin(), res.end(),
                                          [](const NeResource& r) { return r.type == kNeRtGroupIcon; }));
}

std::optional<IconGroup> neGroup(std::string_view d, u64 ne, int index) {
    const auto res = neResources(d, ne);
    const NeResource* found = nullptr;
    int seen = 0;
    for (const auto& r : res) {
        if (r.type != kNeRtGroupIcon) continue;
        if (index >= 0 ? seen++ == index
                       : (index >= -0x7FFF && (r.id & 0x8000) && (r.id & 0x7FFF) == -index)) {
            found = &r;
            break;
        }
    }
    if (!found || !found->present) return std::nullopt;
    auto group = readGroupDirectory(d, found->where, [&](int id) -> std::optional<Slice> {
        for (const auto& r : res) {
            if (r.type == kNeRtIcon && r.present && (r.id & 0x8000) && (r.id & 0x7FFF) == (id & 0x7FFF))
                return r.where;
        }
        return std::nullopt;
    });
    if (group && (found->id & 0x8000)) group->id = found->id & 0x7FFF;
    return group;
}

// e_lfanew of an "MZ" file, when it points inside the file.
std::optional<u64> newHeader(std::string_view d) {
    if (!fits(d, 0, 0x40) || d[0] != 'M' || d[1] != 'Z') return std::nullopt;
    const u64 off = le32(d, 0x3C);
    if (!fits(d, off, 4)) return std::nullopt;
    return off;
}

}  // namespace

bool isPng(std::string_view image) { return pngSignature(image); }

IconFileKind iconFileKind(std::string_view d) {
    if (auto off = newHeader(d)) {
        if (std::memcmp(d.data() + *off, "PE\0\0", 4) == 0) return IconFileKind::Pe;
        if (d[*off] == 'N' && d[*off + 1] == 'E') return IconFileKind::Ne;
        return IconFileKind::None;
    }
    if (fits(d, 0, 6) && le16(d, 0) == 0 && le16(d, 2) == 1) {
        const u64 count = le16(d, 4);
        if (count > 0 && 6 + 16 * count <= d.size()) return IconFileKind::Ico;
    }
    return IconFileKind::None;
}

std::optional<ImageInfo> imageInfo(std::string_view image) {
    if (pngSignature(image)) return pngInfo(image);
    auto l = dibLayout(image);
    if (!l) return std::nullopt;
    return ImageInfo{l->width, l->height, l->bitCount, false};
}

int iconCount(std::string_view bytes) {
    switch (iconFileKind(bytes)) {
        case IconFileKind::Ico: return 1;
        case IconFileKind::Pe: {
            auto pe = PeFile::open(bytes, *newHeader(bytes));
            return pe ? peCount(*pe) : 0;
        }
        case IconFileKind::Ne: return neCount(bytes, *newHeader(bytes));
        case IconFileKind::None: break;
    }
    return 0;
}

std::optional<IconGroup> iconGroup(std::string_view bytes, int index) {
    switch (iconFileKind(bytes)) {
        case IconFileKind::Ico:
            if (index >= 1) return std::nullopt;
            return icoGroup(bytes);
        case IconFileKind::Pe: {
            auto pe = PeFile::open(bytes, *newHeader(bytes));
            if (!pe) return std::nullopt;
            return peGroup(bytes, *pe, index);
        }
        case IconFileKind::Ne: return neGroup(bytes, *newHeader(bytes), index);
        case IconFileKind::None: break;
    }
    return std::nullopt;
}

std::vector<std::size_t> rankImages(const IconGroup& group, int wantWidth, int wantHeight) {
    struct Score {
        std::size_t index;
        std::int64_t size;
        std::int64_t depth;
    };
    std::vector<Score> scores;
    for (std::size_t i = 0; i < group.images.size(); ++i) {
        const auto& info = group.images[i].info;
        if (!info) continue;
        const std::int64_t dw = std::int64_t{info->width} - wantWidth, dh = std::int64_t{info->height} - wantHeight;
        scores.push_back({i, (dw < 0 ? -dw : dw) + (dh < 0 ? -dh : dh),
                          info->bitCount > 32 ? info->bitCount - 32 : 32 - info->bitCount});
    }
    std::stable_sort(scores.begin(), scores.end(), [](const Score& a, const Score& b) {
        return a.size != b.size ? a.size < b.size : a.depth < b.depth;
    });
    std::vector<std::size_t> out;
    out.reserve(scores.size());
    for (const auto& s : scores) out.push_back(s.index);
    return out;
}

const IconImage* pickImage(const IconGroup& group, int wantWidth, int wantHeight) {
    const auto ranked = rankImages(group, wantWidth, wantHeight);
    return ranked.empty() ? nullptr : &group.images[ranked.front()];
}

std::optional<DibImage> decodeDib(std::string_view d) {
    if (pngSignature(d)) return std::nullopt;
    const auto l = dibLayout(d);
    if (!l) return std::nullopt;
    const int w = l->width, h = l->height;
    DibImage out;
    out.width = w;
    out.height = h;
    out.bitCount = l->bitCount;
    out.color.assign(static_cast<std::size_t>(w) * h, 0);
    out.mask.assign(static_cast<std::size_t>(w) * h, 0);

    std::uint32_t palette[256] = {};
    for (u64 i = 0; i < l->paletteCount && l->bitCount <= 8; ++i) {
        const u64 p = l->paletteOff + i * l->paletteEntry;
        palette[i] = static_cast<std::uint32_t>(byteAt(d, p)) | static_cast<std::uint32_t>(byteAt(d, p + 1)) << 8 |
                     static_cast<std::uint32_t>(byteAt(d, p + 2)) << 16;
    }
    // Indices beyond a short palette (biClrUsed) read as black.
    const u64 paletteCount = l->bitCount <= 8 ? l->paletteCount : 0;

    for (int y = 0; y < h; ++y) {
        const u64 row = l->colorOff + l->colorStride * static_cast<u64>(h - 1 - y);
        std::uint32_t* dst = out.color.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            std::uint32_t c = 0;
            switch (l->bitCount) {
                case 1: case 4: case 8: {
                    const u64 bit = static_cast<u64>(x) * l->bitCount;
                    const unsigned shift = 8 - l->bitCount - static_cast<unsigned>(bit % 8);
                    const unsigned idx = (byteAt(d, row + bit / 8) >> shift) & ((1u << l->bitCount) - 1);
                    c = idx < paletteCount ? palette[idx] : 0;
                    break;
                }
                case 16: {
                    const std::uint32_t v = le16(d, row + 2 * static_cast<u64>(x));
                    auto widen = [](std::uint32_t five) { return (five << 3) | (five >> 2); };
                    c = widen((v >> 10) & 31) << 16 | widen((v >> 5) & 31) << 8 | widen(v & 31);
                    break;
                }
                case 24: {
                    const u64 p = row + 3 * static_cast<u64>(x);
                    c = static_cast<std::uint32_t>(byteAt(d, p)) | static_cast<std::uint32_t>(byteAt(d, p + 1)) << 8 |
                        static_cast<std::uint32_t>(byteAt(d, p + 2)) << 16;
                    break;
                }
                case 32:
                    c = le32(d, row + 4 * static_cast<u64>(x));
                    if (c >> 24) out.alphaUsed = true;
                    break;
            }
            dst[x] = c;
        }
    }
    for (int y = 0; y < h; ++y) {
        const u64 row = l->maskOff + l->maskStride * static_cast<u64>(h - 1 - y);
        if (!fits(d, row, l->maskStride)) continue;
        std::uint8_t* dst = out.mask.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x) dst[x] = (byteAt(d, row + x / 8) >> (7 - x % 8)) & 1;
    }
    return out;
}

MappedIconFile::MappedIconFile(const std::filesystem::path& file, std::uint64_t cap) {
    // Non-blocking, so that a FIFO put where a file was expected cannot hang the open.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && std::uint64_t(st.st_size) <= cap) {
        size_ = std::size_t(st.st_size);
        if (size_ == 0) {
            ok_ = true;
        } else if (void* m = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0); m != MAP_FAILED) {
            data_ = m;
            mapped_ = ok_ = true;
        }
    }
    ::close(fd);
}

MappedIconFile::~MappedIconFile() {
    if (mapped_) ::munmap(data_, size_);
}

std::optional<std::string> readIconFile(const std::filesystem::path& file, std::uint64_t cap) {
    std::error_code ec;
    // Only regular files: a FIFO or device could block or never end.
    if (!std::filesystem::is_regular_file(file, ec) || ec) return std::nullopt;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > cap) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string out(static_cast<std::size_t>(size), '\0');
    in.read(out.data(), static_cast<std::streamsize>(size));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

}  // namespace qv::shell
