// The index of a file's key headers, from which keys are built when first used, and the order of
// the tree's lists. Apart from the public tree: only the store's own files build or read it.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "registry/text.h"
#include "registry/wine/winetext.h"

namespace qv::reg {

namespace wine {

// Where name n stands or would stand in a list kept in Wine's order. Files come sorted, so the
// common case, a name after the last one, is answered first.
template <class List, class NameOf>
size_t sortedPosition(const List& list, std::u16string_view n, NameOf nameOf, bool* found) {
    *found = false;
    if (list.empty()) return 0;
    const int c = compareNames(nameOf(list.back()), n);
    if (c < 0) return list.size();
    if (c == 0) {
        *found = true;
        return list.size() - 1;
    }
    size_t lo = 0, hi = list.size() - 1;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (compareNames(nameOf(list[mid]), n) < 0) lo = mid + 1;
        else hi = mid;
    }
    *found = compareNames(nameOf(list[lo]), n) == 0;
    return lo;
}

inline const std::u16string& valueName(const RegValue& v) { return v.name; }
inline const std::u16string& keyName(const std::unique_ptr<RegKey>& k) { return k->name; }

inline char16_t foldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c; }

// The name an escaped key path component spells.
void decodeComponent(std::string_view raw, std::u16string& out);
// Wine's order between an escaped component and a name, without decoding plain text.
int compareComponent(std::string_view raw, std::u16string_view name);

}  // namespace wine

// A list that grows in blocks and never moves what it holds: a large file's index is built
// without a copy of itself while it grows, and without the spare half a doubling vector keeps.
// Blocks are mapped pages of their own, so that a block given back is gone at once, whichever
// thread filled it (a freed heap block stays with the thread's arena).
template <class T, uint32_t kBlock = 4096>
class BlockList {
    static_assert(std::is_trivially_copyable_v<T>);
    struct Unmap {
        void operator()(T* p) const { ::munmap(p, sizeof(T) * kBlock); }
    };
    using Block = std::unique_ptr<T[], Unmap>;

public:
    void push_back(const T& v) {
        if (size_ % kBlock == 0) {
            void* p = ::mmap(nullptr, sizeof(T) * kBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            blocks_.emplace_back(static_cast<T*>(p));
        }
        blocks_.back()[size_ % kBlock] = v;
        ++size_;
    }
    // Takes the other list's items after these, the first through fixFirst(), giving back the
    // other's blocks as they are emptied.
    template <class Fix>
    void append(BlockList&& other, Fix fixFirst) {
        for (uint32_t i = 0; i < other.size_; ++i) {
            T v = other[i];
            if (i == 0) fixFirst(v);
            push_back(v);
            if (i % kBlock == kBlock - 1) other.blocks_[i / kBlock].reset();
        }
        other.blocks_.clear();
        other.size_ = 0;
    }
    const T& operator[](uint32_t i) const { return blocks_[i / kBlock][i % kBlock]; }
    uint32_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    std::vector<Block> blocks_;
    uint32_t size_ = 0;
};

// A file Wine wrote holds its keys in depth-first order, so the headers below a key are one run
// and those of each subkey one run within it. The index keeps, per header, where it stands in
// the text; keys are made from it when a lookup or a walk reaches them.
struct KeyIndex {
    struct Header {
        uint32_t lead;    // the blank lines before the header
        uint32_t begin;   // the header line
        uint32_t path;    // its escaped path, pathLen bytes
        uint32_t pathLen;
        uint16_t depth;   // components in the path
        uint16_t common;  // leading components it shares with the header before it
    };
    const std::string* text = nullptr;
    BlockList<Header> headers;
    uint32_t tail = 0;       // where the blank lines ending the file begin
    // Set when opening checked only the headers (HeaderOnlyReading): the lines of each key are
    // checked when it is built, and one that would have sent the file to the full reader is told
    // through failed (shared with the reading that asked for it).
    bool linesUnchecked = false;
    std::shared_ptr<std::atomic<bool>> failed;

    // The escaped text of the component of header h that starts `at` bytes into its path. The
    // headers below a key share the text of its path, so one offset serves all of them.
    std::string_view component(uint32_t h, uint32_t at) const {
        const Header& hd = headers[h];
        const char* p = text->data() + hd.path + at;
        return {p, static_cast<size_t>(separator(p, text->data() + hd.path + hd.pathLen) - p)};
    }
    // The next escaped separator ("\\") at or after p, or end.
    static const char* separator(const char* p, const char* end) {
        for (;;) {
            const char* q = wine::findByte(p, end, '\\');
            if (q + 1 >= end) return end;
            if (q[1] == '\\') return q;
            p = q + 2;  // an escape takes the character after the backslash with it
        }
    }
    uint32_t sectionEnd(uint32_t h) const {
        return h + 1 < headers.size() ? headers[h + 1].begin : static_cast<uint32_t>(text->size());
    }
    uint32_t rawEnd(uint32_t h) const { return h + 1 < headers.size() ? headers[h + 1].lead : tail; }
    // The end of the run of headers from a on that share the component at `at` with it.
    uint32_t groupEnd(uint32_t a, uint32_t last, uint32_t at) const {
        const std::string_view c = component(a, at);
        uint32_t lo = a, step = 1;  // lo: known to share it
        while (step < last - lo && component(lo + step, at) == c) {
            lo += step;
            step *= 2;
        }
        uint32_t hi = std::min(last, lo + step);  // first known not to share it, or last
        while (hi - lo > 1) {
            const uint32_t mid = lo + (hi - lo) / 2;
            if (component(mid, at) == c) lo = mid;
            else hi = mid;
        }
        return hi;
    }
    // The key time a header gives: its seconds, then a #time line among its options.
    uint64_t headerTime(uint32_t h) const;
};

namespace wine {
// Indexes the key headers of a file in the form Wine writes, checking every line (or, with
// headersOnly, the headers and what stands before them); null when the file holds anything only
// the full reader handles (scanner.cpp).
std::unique_ptr<KeyIndex> indexKeyHeaders(const std::string& source, bool headersOnly = false);
// Whether the lines starting in [p, to) of a key's section pass the checks opening makes.
bool checkKeyLines(const char* p, const char* to, const char* end);
}  // namespace wine

}  // namespace qv::reg
