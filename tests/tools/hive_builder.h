// Hives for tests and benchmarks, made from nothing: an empty regf file laid out as hivegen.py's
// "make" lays it out (base block, one bin, root key, one security cell), filled through libhivex.
#pragma once

#include <hivex.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvtest::hive {

inline void put16(std::string& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
inline void put32(std::string& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
inline void put64(std::string& b, size_t at, uint64_t v) { std::memcpy(&b[at], &v, 8); }
inline uint32_t get32(const std::string& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

inline uint32_t checksum(const std::string& b) {
    uint32_t x = 0;
    for (size_t i = 0; i < 508; i += 4) x ^= get32(b, i);
    return x == 0xFFFFFFFFu ? 0xFFFFFFFEu : x == 0 ? 1 : x;
}

// Bytes of an empty hive whose root key is named root.
inline std::string emptyHive(const std::string& root = "ROOT") {
    const uint64_t now = 133000000000000000ull;
    std::string sd;  // owner Administrators, group SYSTEM, a DACL that gives them all, Everyone read
    auto sid = [](uint32_t a, uint32_t b) {
        std::string s(8, '\0');
        s[0] = 1;
        s[1] = static_cast<char>(b ? 2 : 1);
        s[7] = 5;
        s.resize(b ? 16 : 12);
        std::memcpy(&s[8], &a, 4);
        if (b) std::memcpy(&s[12], &b, 4);
        return s;
    };
    const std::string admins = sid(32, 544), system = sid(18, 0);
    std::string everyone(12, '\0');
    everyone[0] = 1;
    everyone[1] = 1;
    everyone[7] = 1;
    std::string aces;
    for (auto [mask, who] : {std::pair<uint32_t, std::string>{0xF003F, admins}, {0xF003F, system}, {0x20019, everyone}}) {
        std::string ace(8, '\0');
        ace[1] = 2;
        put16(ace, 2, static_cast<uint16_t>(8 + who.size()));
        put32(ace, 4, mask);
        aces += ace + who;
    }
    std::string dacl(8, '\0');
    dacl[0] = 2;
    put16(dacl, 2, static_cast<uint16_t>(8 + aces.size()));
    put16(dacl, 4, 3);
    dacl += aces;
    sd.assign(20, '\0');
    sd[0] = 1;
    put16(sd, 2, 0x8004);
    put32(sd, 4, 20);
    put32(sd, 8, static_cast<uint32_t>(20 + admins.size()));
    put32(sd, 16, static_cast<uint32_t>(20 + admins.size() + system.size()));
    sd += admins + system + dacl;

    auto cell = [](std::string payload) {
        const size_t size = (4 + payload.size() + 7) & ~size_t(7);
        std::string c(4, '\0');
        put32(c, 0, static_cast<uint32_t>(-static_cast<int32_t>(size)));
        c += payload;
        c.resize(size, '\0');
        return c;
    };
    std::string nk(76, '\0');
    nk[0] = 'n';
    nk[1] = 'k';
    put16(nk, 2, 0x0004 | 0x0008 | 0x0020);
    put64(nk, 4, now);
    put32(nk, 16, 0xFFFFFFFF);
    put32(nk, 28, 0xFFFFFFFF);
    put32(nk, 32, 0xFFFFFFFF);
    put32(nk, 40, 0xFFFFFFFF);
    put32(nk, 48, 0xFFFFFFFF);
    put16(nk, 72, static_cast<uint16_t>(root.size()));
    nk += root;
    std::string nkCell = cell(nk);
    const uint32_t skOff = static_cast<uint32_t>(0x20 + nkCell.size());
    put32(nkCell, 4 + 44, skOff);
    std::string sk(20, '\0');
    sk[0] = 's';
    sk[1] = 'k';
    put32(sk, 4, skOff);
    put32(sk, 8, skOff);
    put32(sk, 12, 1);
    put32(sk, 16, static_cast<uint32_t>(sd.size()));
    const std::string cells = nkCell + cell(sk + sd);
    std::string bin(32, '\0');
    std::memcpy(&bin[0], "hbin", 4);
    put32(bin, 8, 4096);
    put64(bin, 20, now);
    bin += cells;
    std::string freeCell(4096 - bin.size(), '\0');
    put32(freeCell, 0, static_cast<uint32_t>(freeCell.size()));
    bin += freeCell;
    std::string base(4096, '\0');
    std::memcpy(&base[0], "regf", 4);
    put32(base, 4, 1);
    put32(base, 8, 1);
    put64(base, 12, now);
    put32(base, 20, 1);
    put32(base, 24, 5);
    put32(base, 32, 1);
    put32(base, 36, 0x20);
    put32(base, 40, 4096);
    put32(base, 44, 1);
    put32(base, 508, checksum(base));
    return base + bin;
}

// Marks a hive file as Windows leaves one it did not finish saving (primary sequence one ahead).
inline void makeDirty(const std::filesystem::path& p) {
    std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
    std::string b(4096, '\0');
    f.read(b.data(), 4096);
    put32(b, 4, get32(b, 8) + 1);
    put32(b, 508, checksum(b));
    f.seekp(0);
    f.write(b.data(), 4096);
}

inline std::string utf16(const std::u16string& s) {
    std::string b;
    for (char16_t c : s) {
        b += static_cast<char>(c & 0xFF);
        b += static_cast<char>(c >> 8);
    }
    return b;
}
inline std::string sz(const std::string& ascii) {
    std::u16string u(ascii.begin(), ascii.end());
    return utf16(u + u'\0');
}
inline std::string dword(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

struct Value {
    std::string name;  // UTF-8, "" for the default value
    uint32_t type;
    std::string data;
};

// Collects keys and values, then writes the hive in one go (one set_values per key, as libhivex
// grows a hive with every rewrite of a key's values).
class Builder {
public:
    explicit Builder(std::string root = "ROOT") : root_(std::move(root)) {}
    Builder& key(const std::string& path) {
        keys_[path];
        return *this;
    }
    Builder& set(const std::string& path, const std::string& name, uint32_t type, std::string data) {
        keys_[path].push_back({name, type, std::move(data)});
        return *this;
    }
    void write(const std::filesystem::path& file) const {
        std::filesystem::create_directories(file.parent_path());
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            const std::string empty = emptyHive(root_);
            out.write(empty.data(), static_cast<std::streamsize>(empty.size()));
        }
        hive_h* h = hivex_open(file.c_str(), HIVEX_OPEN_WRITE);
        if (!h) throw std::runtime_error("hivex_open failed on " + file.string());
        std::map<std::string, hive_node_h> made{{"", hivex_root(h)}};
        auto node = [&](const std::string& path) {
            std::string at;
            hive_node_h n = hivex_root(h);
            size_t i = 0;
            while (i < path.size()) {
                size_t j = path.find('\\', i);
                if (j == std::string::npos) j = path.size();
                const std::string c = path.substr(i, j - i);
                at += (at.empty() ? "" : "\\") + c;
                auto it = made.find(at);
                if (it != made.end()) {
                    n = it->second;
                } else {
                    n = hivex_node_add_child(h, n, c.c_str());
                    if (!n) throw std::runtime_error("hivex_node_add_child failed for " + at);
                    made[at] = n;
                }
                i = j + 1;
            }
            return n;
        };
        for (const auto& [path, values] : keys_) {
            const hive_node_h n = node(path);
            if (values.empty()) continue;
            std::vector<hive_set_value> set;
            for (const Value& v : values) {
                hive_set_value sv{const_cast<char*>(v.name.c_str()), {}, v.data.size(), const_cast<char*>(v.data.data())};
                std::memcpy(&sv.t, &v.type, sizeof(sv.t));  // any 32-bit type, not only the enumerated
                set.push_back(sv);
            }
            if (hivex_node_set_values(h, n, set.size(), set.data(), 0) != 0)
                throw std::runtime_error("hivex_node_set_values failed for " + path);
        }
        const int st = hivex_commit(h, file.c_str(), 0);
        hivex_close(h);
        if (st != 0) throw std::runtime_error("hivex_commit failed on " + file.string());
    }

private:
    std::string root_;
    std::map<std::string, std::vector<Value>> keys_;
};

}  // namespace qvtest::hive
