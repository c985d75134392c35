// Wine's registry text at the level of lines: finding line ends and delimiters fast, reading
// escaped strings and value lines. Shared by the two readers, the keys built late and the writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "registry/wine/winefile.h"

namespace qv::reg::wine {

inline constexpr int64_t kTicksPerSecond = 10000000;
inline constexpr int64_t kTicks1601To1970 = 116444736000000000LL;

inline bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
struct HexTable {
    signed char v[256];
    constexpr HexTable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = -1;
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) v['a' + i] = v['A' + i] = static_cast<signed char>(10 + i);
    }
};
inline constexpr HexTable kHexTable;
inline int hexValue(char c) { return kHexTable.v[static_cast<unsigned char>(c)]; }

// ---- scanning the text fast ----------------------------------------------------------------------
// Opening a file checks every line, so these run over every byte. Lines are short: a library
// call per search costs more than the search, hence small inline loops, 16 bytes at a time where
// the processor allows.

#if defined(__SSE2__)
inline uint32_t matches(const char* p, char c) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
}
inline uint32_t matches(const char* p, char a, char b, char c) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(a)), _mm_cmpeq_epi8(v, _mm_set1_epi8(b))),
                                   _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
    return static_cast<uint32_t>(_mm_movemask_epi8(m));
}
#endif

// The first c at or after p, or end.
inline const char* findByte(const char* p, const char* end, char c) {
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16)
        if (const uint32_t m = matches(p, c)) return p + __builtin_ctz(m);
#endif
    while (p < end && *p != c) ++p;
    return p;
}

inline const char* findNewline(const char* p, const char* end) { return findByte(p, end, '\n'); }

// The first of a, b or c at or after p, or end.
inline const char* findAny(const char* p, const char* end, char a, char b, char c) {
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16)
        if (const uint32_t m = matches(p, a, b, c)) return p + __builtin_ctz(m);
#endif
    while (p < end && *p != a && *p != b && *p != c) ++p;
    return p;
}

inline const char* newlineOrNull(const char* p, const char* end) {
    const char* nl = findNewline(p, end);
    return nl < end ? nl : nullptr;
}

// Where the line after the one holding p starts.
inline const char* nextLine(const char* p, const char* end) {
    const char* nl = findNewline(p, end);
    return nl < end ? nl + 1 : end;
}

// The line after a line end ("\\n" or "\\r\\n") standing at p, or null when none stands there.
inline const char* afterLineEnd(const char* p, const char* end) {
    if (p < end && *p == '\n') return p + 1;
    if (end - p >= 2 && p[0] == '\r' && p[1] == '\n') return p + 2;
    return nullptr;
}

// Past the closing delimiter of an escaped string, or null when the line (or text) ends first.
// Accepts exactly what skipString accepts within the line.
inline const char* skipQuoted(const char* p, const char* end, char delim) {
    for (;;) {
        p = findAny(p, end, delim, '\\', '\n');
        if (p >= end || *p == '\n') return nullptr;
        if (*p == delim) return p + 1;
        // An escape takes the next character, unless that ends the line.
        if (end - p < 2 || p[1] == '\n' || (p[1] == '\r' && (end - p < 3 || p[2] == '\n'))) return nullptr;
        p += 2;
    }
}

// Past the run of "hh," that Wine writes hex lists as.
inline const char* skipHexTriples(const char* p, const char* end) {
#if defined(__SSE2__)
    // Bit i of kComma[k]: byte 16k + i of a 48-byte block is a comma.
    static constexpr uint32_t kComma[3] = {0x4924, 0x2492, 0x9249};
    const __m128i before0 = _mm_set1_epi8('0' - 1), after9 = _mm_set1_epi8('9' + 1);
    const __m128i beforeA = _mm_set1_epi8('a' - 1), afterF = _mm_set1_epi8('f' + 1);
    const __m128i lowerBit = _mm_set1_epi8(0x20), comma = _mm_set1_epi8(',');
    while (end - p >= 48) {
        bool good = true;
        for (int k = 0; k < 3 && good; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            const __m128i lower = _mm_or_si128(v, lowerBit);
            const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, before0), _mm_cmplt_epi8(v, after9));
            const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, beforeA), _mm_cmplt_epi8(lower, afterF));
            const auto hex = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(digit, letter)));
            const auto commas = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, comma)));
            good = commas == kComma[k] && (hex | commas) == 0xFFFF;
        }
        if (!good) break;
        p += 48;
    }
#endif
    while (end - p >= 3 && p[2] == ',' && hexValue(p[0]) >= 0 && hexValue(p[1]) >= 0) p += 3;
    return p;
}

// One line of a file's text: where its text ends (before "\r\n" or "\n") and where the next
// line starts.
struct TextLine {
    const char* end;
    const char* next;
};
inline TextLine lineAt(const char* p, const char* end) {
    const char* nl = findNewline(p, end);
    const char* le = nl;
    if (le > p && le[-1] == '\r') --le;
    return {le, nl < end ? nl + 1 : end};
}

inline bool startsWith(const char* p, const char* end, std::string_view s) {
    return static_cast<size_t>(end - p) >= s.size() && std::memcmp(p, s.data(), s.size()) == 0;
}

// Length of the common start of two texts, eight bytes at a time.
inline size_t commonPrefix(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) return i + static_cast<size_t>(__builtin_ctzll(x ^ y) >> 3);  // little-endian
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// Reads an escaped string up to delim. Returns the position after the delimiter, or null when
// the line ends first.
const char* parseString(const char* p, const char* end, char delim, std::u16string& out);
// Finds the end of an escaped string without decoding it: the same lines pass as for parseString.
const char* skipString(const char* p, const char* end, char delim);

// A hex list whose last line asks for one more at the end of the file. Wherever the line goes
// when its key is rewritten, a comment follows it: Wine then takes that as the line it asked
// for and still skips the value, instead of the line that happens to come next.
inline constexpr char kDanglingContinuation[] = "malformed hex data (continued past the end of the file)";
inline constexpr char kDanglingContinuationStop[] = "; the line above continued past the end of the file\n";

// One value line, with the lines its hex list continues on. With out null the line is only
// checked. Returns the reason Wine would skip it, or null; *next is set past what it took.
const char* parseValueLine(const char* s, const char* le, const char* next, const char* end, RegValue* out,
                           std::u16string& scratch, const char** nextOut, size_t* extraLines);

}  // namespace qv::reg::wine
