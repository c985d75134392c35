// Small helpers of the hive store, shared by its reading and writing halves and the machine over
// them: libhivex handles, base block fields, "\\"-separated paths and ASCII case.
#pragma once

#include <fcntl.h>
#include <hivex.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/fd.h"
#include "registry/safefile.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

namespace qv::reg::hive {

namespace fs = std::filesystem;

inline constexpr size_t kBaseBlock = 4096;
inline constexpr const char* kJournal = ".quorvel-commit";
inline constexpr const char* kTempMarker = ".quorvel-tmp-";

inline std::string errnoText(int e) { return std::strerror(e); }

inline std::string lowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}
inline bool sameAscii(std::string_view a, std::string_view b) { return lowerAscii(a) == lowerAscii(b); }

inline uint32_t u32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
inline void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline uint32_t baseChecksum(const unsigned char* b) {
    uint32_t x = 0;
    for (int i = 0; i < 127; ++i) x ^= u32(b + 4 * i);
    if (x == 0xFFFFFFFFu) return 0xFFFFFFFEu;
    if (x == 0) return 1;
    return x;
}

inline bool readAt(int fd, unsigned char* buf, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, buf + done, n - done, at + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

inline std::vector<std::string> components(std::string_view path, char sep) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(sep, i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

inline std::vector<std::u16string> components16(std::u16string_view path) {
    std::vector<std::u16string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos) j = path.size();
        if (j > i) out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

inline std::u16string join16(const std::vector<std::u16string>& parts, size_t from = 0) {
    std::u16string r;
    for (size_t i = from; i < parts.size(); ++i) {
        if (!r.empty()) r += u'\\';
        r += parts[i];
    }
    return r;
}

inline std::string join(const std::vector<std::string>& parts, size_t from = 0) {
    std::string r;
    for (size_t i = from; i < parts.size(); ++i) {
        if (!r.empty()) r += '\\';
        r += parts[i];
    }
    return r;
}

inline std::string shown(std::u16string_view s) { return utf16ToUtf8(s); }

struct HivexCloser {
    void operator()(hive_h* h) const {
        if (h) hivex_close(h);
    }
};
using Hivex = std::unique_ptr<hive_h, HivexCloser>;

struct Freed {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Freed>;

// The values of a hive node, as the store keeps them; `met` sees each value's cell before it is read.
bool readValues(hive_h* h, hive_node_h node, std::vector<RegValue>* out,
                const std::function<void(hive_value_h)>& met = {});

// Two names the store takes for one (libhivex lets non-ASCII case variants in) keep the first;
// the others go to *dropped when asked for.
template <class T, class NameOf>
size_t sortUnique(std::vector<T>& list, NameOf nameOf, std::vector<T>* dropped = nullptr) {
    std::stable_sort(list.begin(), list.end(),
                     [&](const T& a, const T& b) { return compareNames(nameOf(a), nameOf(b)) < 0; });
    size_t out = 0, count = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (out && compareNames(nameOf(list[out - 1]), nameOf(list[i])) == 0) {
            ++count;
            if (dropped) dropped->push_back(std::move(list[i]));
            continue;
        }
        if (out != i) list[out] = std::move(list[i]);
        ++out;
    }
    list.resize(out);
    return count;
}

}  // namespace qv::reg::hive
