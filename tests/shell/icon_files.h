// Builders of small icon-bearing files for the icon reader's tests: DIB images, .ico files, group
// directories, PE32 / PE32+ files with a resource section and 16-bit NE files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace icontest {

inline void put8(std::string& s, std::size_t at, unsigned v) {
    if (s.size() < at + 1) s.resize(at + 1, '\0');
    s[at] = static_cast<char>(v & 0xFF);
}
inline void put16(std::string& s, std::size_t at, unsigned v) {
    put8(s, at, v);
    put8(s, at + 1, v >> 8);
}
inline void put32(std::string& s, std::size_t at, std::uint32_t v) {
    put16(s, at, v & 0xFFFF);
    put16(s, at + 2, v >> 16);
}
inline std::uint32_t get32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s.at(at + i));
    return v;
}
inline void add16(std::string& s, unsigned v) { put16(s, s.size(), v); }
inline void add32(std::string& s, std::uint32_t v) { put32(s, s.size(), v); }
inline void padTo(std::string& s, std::size_t multiple) {
    while (s.size() % multiple) s.push_back('\0');
}

// A DIB icon image. pixel(x, y) gives the stored value with y = 0 the TOP row: a palette index
// (1/4/8 bpp), the WORD (16), 0xRRGGBB (24) or 0xAARRGGBB (32). mask(x, y) gives the AND bit.
struct Dib {
    int width = 0;
    int height = 0;
    int bpp = 32;
    std::vector<std::uint32_t> palette;  // 0x00RRGGBB
    std::uint32_t clrUsed = 0;
    bool core = false;                   // BITMAPCOREHEADER with RGBTRIPLE palette
    std::function<std::uint32_t(int, int)> pixel = [](int, int) { return 0u; };
    std::function<int(int, int)> mask = [](int, int) { return 0; };

    std::string bytes() const {
        std::string s;
        if (core) {
            add32(s, 12);
            add16(s, width);
            add16(s, height * 2);
            add16(s, 1);
            add16(s, bpp);
        } else {
            add32(s, 40);
            add32(s, static_cast<std::uint32_t>(width));
            add32(s, static_cast<std::uint32_t>(height * 2));
            add16(s, 1);
            add16(s, bpp);
            for (int i = 0; i < 4; ++i) add32(s, 0);  // compression, image size, resolution
            add32(s, clrUsed);
            add32(s, 0);
        }
        for (std::uint32_t c : palette) {
            s.push_back(static_cast<char>(c & 0xFF));
            s.push_back(static_cast<char>(c >> 8 & 0xFF));
            s.push_back(static_cast<char>(c >> 16 & 0xFF));
            if (!core) s.push_back('\0');
        }
        const std::size_t stride = (static_cast<std::size_t>(width) * bpp + 31) / 32 * 4;
        for (int y = height - 1; y >= 0; --y) {
            std::string r(stride, '\0');
            for (int x = 0; x < width; ++x) {
                const std::uint32_t v = pixel(x, y);
                if (bpp <= 8) {
                    const int bit = x * bpp;
                    r[bit / 8] = static_cast<char>(r[bit / 8] | (v << (8 - bpp - bit % 8)));
                } else {
                    for (int b = 0; b < bpp / 8; ++b) r[x * (bpp / 8) + b] = static_cast<char>(v >> (8 * b));
                }
            }
            s += r;
        }
        const std::size_t maskStride = (static_cast<std::size_t>(width) + 31) / 32 * 4;
        for (int y = height - 1; y >= 0; --y) {
            std::string r(maskStride, '\0');
            for (int x = 0; x < width; ++x)
                if (mask(x, y)) r[x / 8] = static_cast<char>(r[x / 8] | (0x80 >> (x % 8)));
            s += r;
        }
        return s;
    }
};

// A one-colour 32 bpp image with alpha, handy where only the choice of image matters.
inline std::string solidDib(int w, int h, std::uint32_t argb, int bpp = 32) {
    Dib d;
    d.width = w;
    d.height = h;
    d.bpp = bpp;
    if (bpp <= 8) {
        d.palette = {0, argb & 0xFFFFFF};
        d.clrUsed = 2;
        d.pixel = [](int, int) { return 1u; };
    } else {
        d.pixel = [argb](int, int) { return argb; };
    }
    return d.bytes();
}

// Directory fields of one entry; zeros mean "take them from the image".
struct Entry {
    std::string data;
    int width = 0, height = 0, colors = 0, planes = 1, bpp = 0;
    int id = 0;  // the RT_ICON id in a group directory
};

// The directory header and entries of an .ico file (image offsets after the directory) or of an
// RT_GROUP_ICON resource (RT_ICON ids instead).
inline std::string iconDirectory(std::vector<Entry> entries, bool ico, unsigned type = 1) {
    std::string s;
    add16(s, 0);
    add16(s, type);
    add16(s, static_cast<unsigned>(entries.size()));
    std::size_t offset = 6 + 16 * entries.size();
    for (auto& e : entries) {
        const std::string& d = e.data;
        if (d.size() >= 16 && d[0] == 40 && !e.width) {
            e.width = static_cast<unsigned char>(d[4]) | static_cast<unsigned char>(d[5]) << 8;
            e.height = (static_cast<unsigned char>(d[8]) | static_cast<unsigned char>(d[9]) << 8) / 2;
            e.bpp = static_cast<unsigned char>(d[14]);
        }
        for (int v : {e.width & 0xFF, e.height & 0xFF, e.colors, 0}) s.push_back(static_cast<char>(v));
        add16(s, e.planes);
        add16(s, e.bpp);
        add32(s, static_cast<std::uint32_t>(e.data.size()));
        ico ? add32(s, static_cast<std::uint32_t>(offset)) : add16(s, e.id);
        offset += e.data.size();
    }
    if (ico)
        for (const auto& e : entries) s += e.data;
    return s;
}
inline std::string icoFile(std::vector<Entry> entries, unsigned type = 1) {
    return iconDirectory(std::move(entries), true, type);
}
inline std::string groupDirectory(std::vector<Entry> entries) { return iconDirectory(std::move(entries), false); }

// A resource name or type: an integer id, or a name when name is not empty.
struct ResId {
    int id = 0;
    std::u16string name;
};

struct Resource {
    ResId type;
    ResId name;
    std::vector<std::string> languages;  // data of languages 0x409, 0x40A, ...
};

// A PE file holding `resources` in a .rsrc section whose RVA (0x3000) differs from its file
// offset (0x400). Directories keep the order of the list: the caller decides what is stored first.
struct PeFile {
    std::string bytes;
    std::size_t rsrcOffset = 0;                   // file offset of the resource root
    std::uint32_t rsrcRva = 0;
    std::vector<std::size_t> dataEntryOffsets;    // per resource, of its first language's data entry
    std::size_t optionalHeader = 0;
};

inline PeFile peFile(const std::vector<Resource>& resources, bool pe32plus) {
    constexpr std::uint32_t kRva = 0x3000, kFileOffset = 0x400, kHeaders = 0x400;
    PeFile pe;
    pe.rsrcRva = kRva;
    pe.rsrcOffset = kFileOffset;

    // The resource tree: directories, then names, then data entries, then data.
    std::vector<ResId> types;
    std::map<std::size_t, std::vector<std::size_t>> byType;  // type index -> resource indices
    for (std::size_t i = 0; i < resources.size(); ++i) {
        std::size_t t = 0;
        while (t < types.size() &&
               !(types[t].id == resources[i].type.id && types[t].name == resources[i].type.name))
            ++t;
        if (t == types.size()) types.push_back(resources[i].type);
        byType[t].push_back(i);
    }
    auto dirSize = [](std::size_t n) { return 16 + 8 * n; };
    std::size_t at = dirSize(types.size());
    std::vector<std::size_t> typeDir(types.size()), langDir(resources.size());
    for (std::size_t t = 0; t < types.size(); ++t) {
        typeDir[t] = at;
        at += dirSize(byType[t].size());
    }
    for (std::size_t i = 0; i < resources.size(); ++i) {
        langDir[i] = at;
        at += dirSize(resources[i].languages.size());
    }
    std::string tree(at, '\0');
    auto nameField = [&](const ResId& id) -> std::uint32_t {
        if (id.name.empty()) return static_cast<std::uint32_t>(id.id);
        const std::size_t off = tree.size();
        add16(tree, static_cast<unsigned>(id.name.size()));
        for (char16_t c : id.name) add16(tree, c);
        padTo(tree, 4);
        return 0x80000000u | static_cast<std::uint32_t>(off);
    };
    auto writeDir = [&](std::size_t dir, const std::vector<std::pair<ResId, std::uint32_t>>& entries) {
        unsigned named = 0;
        for (const auto& e : entries) named += !e.first.name.empty();
        put16(tree, dir + 12, named);
        put16(tree, dir + 14, static_cast<unsigned>(entries.size()) - named);
        for (std::size_t k = 0; k < entries.size(); ++k) {
            put32(tree, dir + 16 + 8 * k, nameField(entries[k].first));
            put32(tree, dir + 16 + 8 * k + 4, entries[k].second);
        }
    };
    std::vector<std::pair<ResId, std::uint32_t>> root;
    for (std::size_t t = 0; t < types.size(); ++t)
        root.push_back({types[t], 0x80000000u | static_cast<std::uint32_t>(typeDir[t])});
    writeDir(0, root);
    for (std::size_t t = 0; t < types.size(); ++t) {
        std::vector<std::pair<ResId, std::uint32_t>> names;
        for (std::size_t i : byType[t])
            names.push_back({resources[i].name, 0x80000000u | static_cast<std::uint32_t>(langDir[i])});
        writeDir(typeDir[t], names);
    }
    std::vector<std::vector<std::size_t>> dataEntry(resources.size());
    for (std::size_t i = 0; i < resources.size(); ++i) {
        std::vector<std::pair<ResId, std::uint32_t>> langs;
        for (std::size_t k = 0; k < resources[i].languages.size(); ++k) {
            dataEntry[i].push_back(tree.size());
            langs.push_back({ResId{0x409 + static_cast<int>(k), {}}, static_cast<std::uint32_t>(tree.size())});
            tree.append(16, '\0');
        }
        writeDir(langDir[i], langs);
    }
    for (std::size_t i = 0; i < resources.size(); ++i) {
        for (std::size_t k = 0; k < resources[i].languages.size(); ++k) {
            padTo(tree, 4);
            put32(tree, dataEntry[i][k], kRva + static_cast<std::uint32_t>(tree.size()));
            put32(tree, dataEntry[i][k] + 4, static_cast<std::uint32_t>(resources[i].languages[k].size()));
            tree += resources[i].languages[k];
        }
        pe.dataEntryOffsets.push_back(kFileOffset + (dataEntry[i].empty() ? 0 : dataEntry[i][0]));
    }
    padTo(tree, 0x200);

    std::string& s = pe.bytes;
    s.assign(kHeaders, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    put32(s, 0x3C, 0x80);
    s.replace(0x80, 4, std::string("PE\0\0", 4));
    const std::size_t coff = 0x84;
    put16(s, coff, pe32plus ? 0x8664 : 0x14C);
    put16(s, coff + 2, 2);  // sections
    const unsigned optSize = pe32plus ? 240 : 224;
    put16(s, coff + 16, optSize);
    const std::size_t opt = coff + 20;
    pe.optionalHeader = opt;
    put16(s, opt, pe32plus ? 0x20B : 0x10B);
    put32(s, opt + 60, kHeaders);
    const std::size_t dirs = opt + (pe32plus ? 112 : 96);
    put32(s, opt + (pe32plus ? 108 : 92), 16);
    put32(s, dirs + 16, kRva);
    put32(s, dirs + 20, static_cast<std::uint32_t>(tree.size()));
    const std::size_t sec = opt + optSize;
    s.replace(sec, 5, ".text");  // a first section that maps nothing of the tree
    put32(s, sec + 8, 0x1000);
    put32(s, sec + 12, 0x1000);
    put32(s, sec + 16, 0);
    put32(s, sec + 20, 0);
    s.replace(sec + 40, 5, ".rsrc");
    put32(s, sec + 40 + 8, static_cast<std::uint32_t>(tree.size()));
    put32(s, sec + 40 + 12, kRva);
    put32(s, sec + 40 + 16, static_cast<std::uint32_t>(tree.size()));
    put32(s, sec + 40 + 20, kFileOffset);
    s += tree;
    return pe;
}

// A 16-bit NE file. Each resource has an integer id (stored with bit 15 set); alignment shift 4.
struct NeResource {
    unsigned type = 0;  // 0x800E or 0x8003 (or anything else)
    unsigned id = 0;
    std::string data;
};

inline std::string neFile(const std::vector<NeResource>& resources, unsigned shift = 4) {
    std::string s(0x40, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    put32(s, 0x3C, 0x40);
    const std::size_t ne = 0x40;
    s.resize(ne + 0x40, '\0');
    s[ne] = 'N';
    s[ne + 1] = 'E';
    const std::size_t table = ne + 0x40;
    put16(s, ne + 0x24, 0x40);
    std::vector<unsigned> types;
    for (const auto& r : resources)
        if (std::find(types.begin(), types.end(), r.type) == types.end()) types.push_back(r.type);
    std::string t;
    add16(t, shift);
    std::vector<std::pair<std::size_t, const NeResource*>> fix;
    for (unsigned type : types) {
        std::size_t countAt = t.size() + 2;
        add16(t, type);
        add16(t, 0);
        add32(t, 0);
        unsigned count = 0;
        for (const auto& r : resources) {
            if (r.type != type) continue;
            fix.push_back({table + t.size(), &r});
            for (int k = 0; k < 6; ++k) add16(t, 0);
            put16(t, t.size() - 6, 0x8000 | r.id);
            ++count;
        }
        put16(t, countAt, count);
    }
    add16(t, 0);
    s += t;
    put16(s, ne + 0x26, static_cast<unsigned>(0x40 + t.size()));  // resident names follow
    s.push_back('\0');
    for (const auto& [at, r] : fix) {
        padTo(s, std::size_t{1} << shift);
        put16(s, at, static_cast<unsigned>(s.size() >> shift));
        put16(s, at + 2, static_cast<unsigned>((r->data.size() + (std::size_t{1} << shift) - 1) >> shift));
        s += r->data;
    }
    return s;
}

}  // namespace icontest
