#include "registry/wine/winefile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <sys/mman.h>

#include "registry/api.h"
#include "registry/text.h"

namespace qv::reg {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicks1601To1970 = 116444736000000000LL;

uint64_t systemClock() {
    using namespace std::chrono;
    auto t = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(t / 100 + kTicks1601To1970);
}
uint64_t (*g_clock)() = systemClock;

inline bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
struct HexTable {
    signed char v[256];
    constexpr HexTable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = -1;
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) v['a' + i] = v['A' + i] = static_cast<signed char>(10 + i);
    }
};
constexpr HexTable kHexTable;
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


const char kHex[] = "0123456789abcdef";

void appendHex(std::string& out, uint64_t v, int minDigits) {
    char buf[17];
    int n = 0;
    do {
        buf[n++] = kHex[v & 0xF];
        v >>= 4;
    } while (v);
    while (n < minDigits) buf[n++] = '0';
    while (n) out.push_back(buf[--n]);
}

void appendDecimal(std::string& out, uint64_t v) {
    char buf[21];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) out.push_back(buf[--n]);
}

// Decodes one UTF-8 character at p (p < end); raw bytes that are not UTF-8 stand for themselves.
char16_t* decodeUtf8(const char*& p, const char* end, char16_t* out) {
    auto c = static_cast<unsigned char>(*p);
    int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len && p + len <= end) {
        uint32_t cp = c & (0x7F >> len);
        bool ok = true;
        for (int k = 1; k < len; ++k) {
            auto b = static_cast<unsigned char>(p[k]);
            if ((b & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (ok && cp <= 0x10FFFF) {
            p += len;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
                *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            } else {
                *out++ = static_cast<char16_t>(cp);
            }
            return out;
        }
    }
    ++p;
    *out++ = c;
    return out;
}

// Reads an escaped string up to delim. Returns the position after the delimiter, or null when
// the line ends first.
const char* parseString(const char* p, const char* end, char delim, std::u16string& out) {
    // Text is never longer in UTF-16 units than in bytes. The buffer only grows, so that it is not
    // cleared again for every line.
    static thread_local std::vector<char16_t> buffer;
    if (buffer.size() < static_cast<size_t>(end - p) + 1) buffer.resize(static_cast<size_t>(end - p) + 64);
    char16_t* const start = buffer.data();
    char16_t* d = start;
    while (p < end) {
        char c = *p;
        // Plain text runs are the common case: copy them without further tests.
        while (c != delim && c != '\\' && static_cast<unsigned char>(c) < 0x80) {
            *d++ = static_cast<unsigned char>(c);
            if (++p == end) return nullptr;
            c = *p;
        }
        if (c == delim) {
            out.assign(start, static_cast<size_t>(d - start));
            return p + 1;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            d = decodeUtf8(p, end, d);
            continue;
        }
        if (++p >= end) return nullptr;
        c = *p++;
        switch (c) {
        case 'a': *d++ = 7; break;
        case 'b': *d++ = 8; break;
        case 't': *d++ = 9; break;
        case 'n': *d++ = 10; break;
        case 'v': *d++ = 11; break;
        case 'f': *d++ = 12; break;
        case 'r': *d++ = 13; break;
        case 'e': *d++ = 27; break;
        case 'x': {
            unsigned v = 0;
            int k = 0;
            while (k < 4 && p < end && hexValue(*p) >= 0) v = v * 16 + hexValue(*p++), ++k;
            *d++ = k ? static_cast<char16_t>(v) : u'x';
            break;
        }
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
            unsigned v = c - '0';
            for (int k = 1; k < 3 && p < end && *p >= '0' && *p <= '7'; ++k) v = v * 8 + (*p++ - '0');
            *d++ = static_cast<char16_t>(v);
            break;
        }
        default:
            if (static_cast<unsigned char>(c) >= 0x80) {
                --p;
                d = decodeUtf8(p, end, d);
            } else {
                *d++ = static_cast<unsigned char>(c);
            }
        }
    }
    return nullptr;
}

// Hex byte list: numbers up to ff separated by blanks and single commas (as strtoul reads them).
// With out null the list is only checked.
const char* parseHexBytes(const char* p, const char* end, std::string* out, bool* bad) {
    *bad = false;
    // Wine writes "hh," over and over: take those without the general rules.
    for (;;) {
        const char* run = skipHexTriples(p, end);
        if (out) {
            const size_t at = out->size();
            out->resize(at + static_cast<size_t>(run - p) / 3);
            for (char* d = out->data() + at; p < run; p += 3)
                *d++ = static_cast<char>(hexValue(p[0]) * 16 + hexValue(p[1]));
        }
        p = run;
        if (p < end && isSpace(*p)) {
            while (p < end && isSpace(*p)) ++p;
            continue;
        }
        break;
    }
    while (p < end && hexValue(*p) >= 0) {
        if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hexValue(p[2]) >= 0) p += 2;
        unsigned v = 0;
        while (p < end && hexValue(*p) >= 0) {
            v = v * 16 + static_cast<unsigned>(hexValue(*p++));
            if (v > 0xFF) { *bad = true; return p; }
        }
        if (out) out->push_back(static_cast<char>(v));
        while (p < end && isSpace(*p)) ++p;
        if (p < end && *p == ',') ++p;
        while (p < end && isSpace(*p)) ++p;
    }
    return p;
}

// Finds the end of an escaped string without decoding it: the same lines pass as for parseString.
const char* skipString(const char* p, const char* end, char delim) {
    while (p < end) {
        p = findAny(p, end, delim, '\\', delim);
        if (p >= end) return nullptr;
        if (*p == delim) return p + 1;
        p += 2;  // an escape takes at least the character after the backslash
    }
    return nullptr;
}

bool startsWith(const char* p, const char* end, std::string_view s) {
    return static_cast<size_t>(end - p) >= s.size() && std::memcmp(p, s.data(), s.size()) == 0;
}

// A hex list whose last line asks for one more at the end of the file. Wherever the line goes
// when its key is rewritten, a comment follows it: Wine then takes that as the line it asked
// for and still skips the value, instead of the line that happens to come next.
const char kDanglingContinuation[] = "malformed hex data (continued past the end of the file)";
const char kDanglingContinuationStop[] = "; the line above continued past the end of the file\n";

// One value line, with the lines its hex list continues on. With out null the line is only
// checked. Returns the reason Wine would skip it, or null; *next is set past what it took.
const char* parseValueLine(const char* s, const char* le, const char* next, const char* end, RegValue* out,
                           std::u16string& scratch, const char** nextOut, size_t* extraLines) {
    *nextOut = next;
    const char* q;
    if (*s == '@') {
        q = s + 1;
        if (out) out->name.clear();
    } else if (out) {
        q = parseString(s + 1, le, '"', out->name);
        if (!q) return "malformed value name";
        if (out->name.size() > kMaxValueNameLength) return "value name too long";
    } else {
        q = skipString(s + 1, le, '"');
        if (!q) return "malformed value name";
        if (static_cast<size_t>(q - s) > kMaxValueNameLength + 2) {
            std::u16string n;
            parseString(s + 1, le, '"', n);
            if (n.size() > kMaxValueNameLength) return "value name too long";
        }
    }
    while (q < le && isSpace(*q)) ++q;
    if (q >= le || *q != '=') return "malformed value";
    ++q;
    while (q < le && isSpace(*q)) ++q;

    auto stringData = [&](const char* from, uint32_t type) -> bool {
        if (!out) return skipString(from, le, '"') != nullptr;
        if (!parseString(from, le, '"', scratch)) return false;
        out->type = type;
        out->data.resize(scratch.size() * 2 + 2);
        char* d = out->data.data();
        for (char16_t c : scratch) {
            *d++ = static_cast<char>(c & 0xFF);
            *d++ = static_cast<char>(c >> 8);
        }
        d[0] = d[1] = 0;
        return true;
    };
    if (q < le && *q == '"') {
        if (!stringData(q + 1, REG_SZ)) return "malformed string";
    } else if (startsWith(q, le, "str:\"")) {
        if (!stringData(q + 5, REG_SZ)) return "malformed string";
    } else if (startsWith(q, le, "str(2):\"")) {
        if (!stringData(q + 8, REG_EXPAND_SZ)) return "malformed string";
    } else if (startsWith(q, le, "str(7):\"")) {
        if (!stringData(q + 8, REG_MULTI_SZ)) return "malformed string";
    } else if (startsWith(q, le, "dword:")) {
        const char* d = q + 6;
        while (d < le && isSpace(*d)) ++d;
        if (le - d > 2 && d[0] == '0' && (d[1] == 'x' || d[1] == 'X') && hexValue(d[2]) >= 0) d += 2;
        if (d >= le || hexValue(*d) < 0) return "malformed dword";
        uint32_t dw = 0;
        while (d < le && hexValue(*d) >= 0) dw = (dw << 4) | static_cast<uint32_t>(hexValue(*d++));
        if (out) {
            out->type = REG_DWORD;
            const char bytes[4] = {static_cast<char>(dw), static_cast<char>(dw >> 8), static_cast<char>(dw >> 16),
                                   static_cast<char>(dw >> 24)};
            out->data.assign(bytes, 4);
        }
    } else if (startsWith(q, le, "hex")) {
        const char* d = q + 3;
        uint32_t type;
        if (d < le && *d == ':') {
            type = REG_BINARY;
            ++d;
        } else if (d < le && *d == '(') {
            ++d;
            uint64_t t = 0;
            int digits = 0;
            while (d < le && hexValue(*d) >= 0 && digits < 9)
                t = (t << 4) | static_cast<unsigned>(hexValue(*d++)), ++digits;
            if (!digits || t > 0xFFFFFFFFu || !startsWith(d, le, "):")) return "unrecognized type";
            type = static_cast<uint32_t>(t);
            d += 2;
        } else {
            return "unrecognized type";
        }
        if (out) {
            out->type = type;
            out->data.clear();
        }
        // The list may go on over several lines, each but the last ending in a backslash.
        const char* limit = le;
        for (;;) {
            bool overflow;
            d = parseHexBytes(d, limit, out ? &out->data : nullptr, &overflow);
            if (overflow) return "malformed hex data";
            while (d < limit && isSpace(*d)) ++d;
            if (d == limit) break;
            if (*d != '\\') return "malformed hex data";
            if (next >= end) return kDanglingContinuation;
            const char* nl = newlineOrNull(next, end);
            d = next;
            limit = nl ? nl : end;
            if (limit > d && limit[-1] == '\r') --limit;
            next = nl ? nl + 1 : end;
            *nextOut = next;
            ++*extraLines;
            while (d < limit && isSpace(*d)) ++d;
        }
    } else {
        return "unrecognized type";
    }
    return nullptr;
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

inline bool sameText(const std::u16string& a, std::u16string_view b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), b.size() * sizeof(char16_t)) == 0;
}

inline bool sameOrFolded(const std::u16string& a, std::u16string_view b) {
    return a.size() == b.size() &&
           (std::memcmp(a.data(), b.data(), b.size() * sizeof(char16_t)) == 0 || compareNames(a, b) == 0);
}

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

const std::u16string& valueName(const RegValue& v) { return v.name; }
const std::u16string& keyName(const std::unique_ptr<RegKey>& k) { return k->name; }

// Brings values read in the file's order into Wine's order. A second line for the same name
// replaces the data of the first, as in Wine; the name keeps the case of its first mention.
// Values already in order (as Wine writes them) cost one comparison each.
void sortReadValues(std::vector<RegValue>& values, size_t from) {
    auto less = [](const RegValue& a, const RegValue& b) { return compareNames(a.name, b.name) < 0; };
    bool sorted = true;
    for (size_t i = from ? from : 1; i < values.size() && sorted; ++i)
        sorted = compareNames(values[i - 1].name, values[i].name) < 0;
    if (sorted) return;
    std::stable_sort(values.begin(), values.end(), less);
    size_t out = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (out && compareNames(values[out - 1].name, values[i].name) == 0) {
            values[out - 1].type = values[i].type;
            values[out - 1].data = std::move(values[i].data);
        } else if (out++ != i) {
            values[out - 1] = std::move(values[i]);
        }
    }
    values.resize(out);
}

}  // namespace

uint64_t RegFile::now() { return g_clock(); }
void RegFile::setClock(uint64_t (*clock)()) { g_clock = clock ? clock : systemClock; }

// ---- tree ------------------------------------------------------------------------------------

size_t RegKey::subkeyPosition(std::u16string_view n, bool* found) const {
    return sortedPosition(subkeys.all(), n, keyName, found);
}

size_t RegKey::valuePosition(std::u16string_view n, bool* found) const {
    return sortedPosition(values(), n, valueName, found);
}

RegKey* RegKey::subkey(std::u16string_view n) const { return subkeys.find(n); }

const RegValue* RegKey::value(std::u16string_view n) const {
    bool found;
    size_t i = valuePosition(n, &found);
    return found ? &values()[i] : nullptr;
}

void RegKey::loadValues() const {
    const char* base = lazySource_->data();
    const char* p = base + lazyBegin_;
    const char* end = base + lazyEnd_;
    lazyEnd_ = 0;
    values_.reserve(values_.size() + lazyCount_);
    std::u16string scratch;
    const size_t before = values_.size();
    while (p < end) {
        const char* nl = newlineOrNull(p, end);
        const char* next = nl ? nl + 1 : end;
        const char* le = nl ? nl : end;
        if (le > p && le[-1] == '\r') --le;
        const char* s = p;
        while (s < le && isSpace(*s)) ++s;
        if (s < le && (*s == '@' || *s == '"')) {
            RegValue v;
            size_t extra = 0;
            // Lines that do not read were reported and kept when the file was opened.
            if (!parseValueLine(s, le, next, end, &v, scratch, &next, &extra)) values_.push_back(std::move(v));
        }
        p = next;
    }
    sortReadValues(values_, before);
}

RegKey::~RegKey() {
    // Ordinary trees go by recursion, which is quickest; past 128 levels the rest of
    // the subtree is taken apart with a list of its own, as keys may nest deeper than the stack.
    static thread_local unsigned depth = 0;
    if (subkeys.made().empty()) return;
    if (depth < 128) {
        ++depth;
        subkeys.made().clear();
        --depth;
        return;
    }
    std::vector<std::unique_ptr<RegKey>> pending = std::move(subkeys.made());
    while (!pending.empty()) {
        std::unique_ptr<RegKey> k = std::move(pending.back());
        pending.pop_back();
        for (auto& sub : k->subkeys.made()) pending.push_back(std::move(sub));
        k->subkeys.made().clear();  // k now goes without reaching its former subkeys
    }
}

std::unique_ptr<RegKey> RegKey::clone(RegKey* newParent) const {
    auto copyOne = [](const RegKey& from, RegKey* parent) {
        auto c = std::make_unique<RegKey>();
        c->name = from.name;
        c->parent = parent;
        c->modif = from.modif;
        if (from.cls) c->cls = std::make_unique<std::u16string>(*from.cls);
        if (from.kept) c->kept = std::make_unique<std::vector<KeptLine>>(*from.kept);
        c->rawLead = from.rawLead;
        c->rawBegin = from.rawBegin;
        c->rawEnd = from.rawEnd;
        c->rawValid = from.rawValid;
        c->link = from.link;
        c->values_ = from.values_;
        c->lazySource_ = from.lazySource_;
        c->lazyBegin_ = from.lazyBegin_;
        c->lazyEnd_ = from.lazyEnd_;
        c->lazyCount_ = from.lazyCount_;
        c->header_ = from.header_;
        c->subkeys.copyLazy(from.subkeys);
        return c;
    };
    auto top = copyOne(*this, newParent);
    std::vector<std::pair<const RegKey*, RegKey*>> pending{{this, top.get()}};
    while (!pending.empty()) {
        auto [from, to] = pending.back();
        pending.pop_back();
        // Keys not built yet stay so in the copy: it reads them from the same text.
        auto& made = to->subkeys.made();
        made.reserve(from->subkeys.made().size());
        for (const auto& sub : from->subkeys.made()) {
            made.push_back(copyOne(*sub, to));
            pending.emplace_back(sub.get(), made.back().get());
        }
    }
    return top;
}

std::u16string RegKey::path() const {
    std::vector<const RegKey*> chain;
    for (const RegKey* k = this; k->parent; k = k->parent) chain.push_back(k);
    std::u16string p;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!p.empty()) p.push_back(u'\\');
        p += (*it)->name;
    }
    return p;
}


// ---- keys built when used ---------------------------------------------------------------------

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
            const char* q = findByte(p, end, '\\');
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

namespace {

bool plainAscii(std::string_view raw) {
    for (char c : raw)
        if (c == '\\' || static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

void decodeComponent(std::string_view raw, std::u16string& out) {
    if (plainAscii(raw)) {
        out.assign(raw.begin(), raw.end());
        return;
    }
    static thread_local std::string buf;
    buf.assign(raw);
    buf.push_back(']');  // any ']' within is escaped
    parseString(buf.data(), buf.data() + buf.size(), ']', out);
}

inline char16_t foldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c; }

// Wine's order between two plain ASCII components.
int compareAscii(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = foldAscii(static_cast<unsigned char>(a[i])), y = foldAscii(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// Wine's order between an escaped component and a name, without decoding plain text.
int compareComponent(std::string_view raw, std::u16string_view name) {
    if (plainAscii(raw)) {
        const size_t n = std::min(raw.size(), name.size());
        for (size_t i = 0; i < n; ++i) {
            const char16_t x = foldAscii(static_cast<unsigned char>(raw[i]));
            const char16_t y = name[i] < 0x80 ? foldAscii(static_cast<unsigned char>(name[i])) : foldLower(name[i]);
            if (x != y) return x < y ? -1 : 1;
        }
        return raw.size() == name.size() ? 0 : raw.size() < name.size() ? -1 : 1;
    }
    static thread_local std::u16string decoded;
    decodeComponent(raw, decoded);
    return compareNames(decoded, name);
}

}  // namespace

uint64_t KeyIndex::headerTime(uint32_t h) const {
    const Header& hd = headers[h];
    const char* const base = text->data();
    const char* const end = base + sectionEnd(h);
    const char* p = base + hd.path + hd.pathLen + 1;  // past the ']'
    const char* nl = newlineOrNull(p, end);
    const char* le = nl ? nl : end;
    uint64_t t;
    while (p < le && isSpace(*p)) ++p;
    if (p < le && *p >= '0' && *p <= '9') {
        uint64_t secs = 0;
        while (p < le && *p >= '0' && *p <= '9') secs = secs * 10 + static_cast<uint64_t>(*p++ - '0');
        t = static_cast<uint64_t>(static_cast<int64_t>(secs & 0xFFFFFFFFu) * kTicksPerSecond + kTicks1601To1970);
    } else {
        t = RegFile::now();
    }
    for (p = nl ? nl + 1 : end; p < end;) {
        nl = newlineOrNull(p, end);
        le = nl ? nl : end;
        const char* s = p;
        while (s < le && isSpace(*s)) ++s;
        if (startsWith(s, le, "#time=")) {
            t = 0;
            for (const char* q = s + 6; q < le && hexValue(*q) >= 0; ++q) t = (t << 4) | static_cast<unsigned>(hexValue(*q));
        }
        p = nl ? nl + 1 : end;
    }
    return t;
}

void SubkeyList::setLazy(const KeyIndex* index, uint32_t first, uint32_t last, uint32_t depth, uint32_t at,
                         uint64_t implied) {
    index_ = first < last ? index : nullptr;
    implied_ = implied;
    first_ = first;
    last_ = last;
    depth_ = depth;
    at_ = at;
}

void SubkeyList::copyLazy(const SubkeyList& from) {
    index_ = from.index_;
    first_ = from.first_;
    last_ = from.last_;
    depth_ = from.depth_;
    at_ = from.at_;
    implied_ = from.implied_;
    groups_ = from.groups_;
}

void SubkeyList::clear() {
    list_.clear();
    groups_.clear();
    lookup_.reset();
    index_ = nullptr;
}

void SubkeyList::count() const {
    if (!groups_.empty() || first_ == last_) return;
    // A subkey's headers start where a header parts from the one before it at the subkey's level.
    groups_.push_back(first_);
    for (uint32_t h = first_ + 1; h < last_; ++h)
        if (index_->headers[h].common <= depth_) groups_.push_back(h);
    groups_.shrink_to_fit();
}

size_t SubkeyList::size() const {
    if (!index_) return list_.size();
    count();
    return groups_.size();
}

std::u16string SubkeyList::nameAt(size_t i) const {
    if (!index_) return list_[i]->name;
    count();
    std::u16string n;
    decodeComponent(index_->component(groups_[i], at_), n);
    return n;
}

std::unique_ptr<RegKey> SubkeyList::make(uint32_t a) const {
    const KeyIndex& ix = *index_;
    auto c = std::make_unique<RegKey>();
    const std::string_view comp = ix.component(a, at_);
    decodeComponent(comp, c->name);
    c->parent = owner_;
    c->header_ = a;
    const uint32_t below = at_ + static_cast<uint32_t>(comp.size()) + 2;
    const uint32_t end = groups_.empty() ? ix.groupEnd(a, last_, at_) : [&] {
        auto it = std::upper_bound(groups_.begin(), groups_.end(), a);
        return it == groups_.end() ? last_ : *it;
    }();
    const KeyIndex::Header& h = ix.headers[a];
    // A key with no header of its own takes the time of the nearest key above that has one (as
    // read, however that key changed since), as when the whole file is read at once.
    if (h.depth != depth_ + 1) {
        c->modif = implied_;
        c->subkeys.setLazy(index_, a, end, depth_ + 1, below, implied_);
        return c;
    }
    c->modif = ix.headerTime(a);
    c->subkeys.setLazy(index_, a + 1, end, depth_ + 1, below, c->modif);
    c->rawValid = true;
    c->rawLead = h.lead;
    c->rawBegin = h.begin;
    c->rawEnd = ix.rawEnd(a);
    // The options and the values' lines; the values are read when asked for.
    const char* const base = ix.text->data();
    const char* const end2 = base + ix.sectionEnd(a);
    const char* p = newlineOrNull(base + h.path, end2);
    p = p ? p + 1 : end2;
    c->lazyBegin_ = static_cast<uint32_t>(p - base);
    uint32_t values = 0;
    while (p < end2) {
        const char* nl = newlineOrNull(p, end2);
        const char* le = nl ? nl : end2;
        if (le > p && le[-1] == '\r') --le;
        const char* s = p;
        while (s < le && isSpace(*s)) ++s;
        if (s < le) {
            if (*s == '@' || *s == '"') {
                ++values;  // hex lists go on over lines that start with a digit, never with these
            } else if (startsWith(s, le, "#class=\"")) {
                std::u16string cls;
                parseString(s + 8, le, '"', cls);
                c->cls = std::make_unique<std::u16string>(std::move(cls));
            } else if (std::string_view(s, static_cast<size_t>(le - s)) == "#link") {
                c->link = true;
            }
        }
        p = nl ? nl + 1 : end2;
    }
    c->lazySource_ = ix.text;
    c->lazyCount_ = values;
    c->lazyEnd_ = values ? static_cast<uint32_t>(end2 - base) : 0;
    return c;
}

namespace {

// A hash of a name as Wine compares names: unit by unit, folded.
struct FoldedHash {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    void add(char16_t folded) { h = (h ^ folded) * 0xFF51AFD7ED558CCDull; }
    uint32_t value() const { return static_cast<uint32_t>(h ^ (h >> 29)); }
};

uint32_t hashName(std::u16string_view n) {
    FoldedHash h;
    for (char16_t c : n) h.add(c < 0x80 ? foldAscii(static_cast<unsigned char>(c)) : foldLower(c));
    return h.value();
}

uint32_t hashComponent(std::string_view raw) {
    FoldedHash h;
    if (plainAscii(raw)) {
        for (char c : raw) h.add(foldAscii(static_cast<unsigned char>(c)));
        return h.value();
    }
    static thread_local std::u16string name;
    decodeComponent(raw, name);
    return hashName(name);
}

}  // namespace

SubkeyList::Lookup& SubkeyList::lookup() const {
    if (!lookup_) lookup_ = std::make_unique<Lookup>();
    Lookup& lk = *lookup_;
    if (lk.slots.size() != groups_.size()) {
        lk.slots.assign(groups_.size(), nullptr);
        for (const auto& k : list_)
            lk.slots[static_cast<size_t>(std::lower_bound(groups_.begin(), groups_.end(), k->header_) - groups_.begin())] =
                k.get();
    }
    return lk;
}

size_t SubkeyList::findGroup(std::u16string_view n) const {
    Lookup& lk = lookup();
    const size_t count = groups_.size();
    // A table pays for itself once a large list is looked into more than a few times.
    if (lk.table.empty() && count >= 64 && ++lk.finds > 16) {
        size_t size = 64;
        while (size < count * 2) size *= 2;
        lk.table.assign(size, {0, 0});
        for (size_t g = 0; g < count; ++g) {
            const uint32_t h = hashComponent(index_->component(groups_[g], at_));
            size_t i = h & (size - 1);
            while (lk.table[i].first) i = (i + 1) & (size - 1);
            lk.table[i] = {static_cast<uint32_t>(g + 1), h};
        }
    }
    if (!lk.table.empty()) {
        const size_t mask = lk.table.size() - 1;
        const uint32_t h = hashName(n);
        for (size_t i = h & mask; lk.table[i].first; i = (i + 1) & mask) {
            if (lk.table[i].second != h) continue;  // the text is read only for a likely match
            const size_t g = lk.table[i].first - 1;
            if (compareComponent(index_->component(groups_[g], at_), n) == 0) return g;
        }
        return count;
    }
    // Searched among the subkeys' first headers: fewer steps than all headers.
    size_t lo = 0, hi = count;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (compareComponent(index_->component(groups_[mid], at_), n) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo < count && compareComponent(index_->component(groups_[lo], at_), n) == 0 ? lo : count;
}

RegKey* SubkeyList::find(std::u16string_view n) const {
    if (!index_) {
        bool found;
        const size_t i = sortedPosition(list_, n, keyName, &found);
        return found ? list_[i].get() : nullptr;
    }
    count();
    const size_t g = findGroup(n);
    if (g == groups_.size()) return nullptr;
    // A key found before is the same key: the page that changed it must see its change.
    RegKey*& slot = lookup().slots[g];
    if (!slot) {
        list_.push_back(make(groups_[g]));
        slot = list_.back().get();
    }
    return slot;
}

void SubkeyList::build() const {
    count();
    std::sort(list_.begin(), list_.end(), [](const auto& a, const auto& b) { return a->header_ < b->header_; });
    lookup_.reset();
    List all;
    all.reserve(groups_.size());
    size_t j = 0;
    for (uint32_t a : groups_) {
        if (j < list_.size() && list_[j]->header_ == a) all.push_back(std::move(list_[j++]));
        else all.push_back(make(a));
    }
    list_ = std::move(all);
    groups_.clear();
    groups_.shrink_to_fit();
    index_ = nullptr;
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

// Reads a file the way Wine wrote it: every line checked, only the key headers' places kept.
// Anything the full reader would warn about, keep aside or reorder (comments, unknown options,
// keys out of order or named twice, spelled in two cases) makes it give up; the file is then
// read whole by WineParser, which knows those cases.
class LazyScanner {
public:
    // Deeper paths go to the whole-file reader: the index keeps depths in 16 bits.
    static constexpr size_t kMaxIndexDepth = 0xFFFF;
    // Scanning a large file is split at a key header near its middle, the second half on a
    // thread of its own; below this size (or with one processor) one pass is quicker.
    static std::atomic<size_t>& splitAbove() {
        static std::atomic<size_t> bytes{4u << 20};
        return bytes;
    }

    static std::unique_ptr<KeyIndex> run(RegFile& f) {
        const std::string& src = f.source_;
        const char* const base = src.data();
        const char* const end = base + src.size();
        const TextLine head = lineAt(base, end);
        if (std::string_view(base, static_cast<size_t>(head.end - base)) != "WINE REGISTRY Version 2") return nullptr;
        auto ix = std::make_unique<KeyIndex>();
        ix->text = &src;
        const char* const from = head.next;
        if (src.size() >= splitAbove() && std::thread::hardware_concurrency() != 1) {
            if (const char* split = splitPoint(from, end)) {
                Stretch a, b;
                bool aOk = false, bOk = false, threaded = false;
                try {
                    std::thread second([&] { bOk = scan(base, split, end, end, true, b); });
                    threaded = true;
                    aOk = scan(base, from, split, end, false, a);
                    second.join();
                } catch (const std::system_error&) {
                    // No thread to be had: one pass below.
                }
                if (threaded) {
                    // Each half checks its lines as the whole would, but for the seam.
                    if (!aOk || !bOk) return nullptr;
                    uint32_t shared;
                    if (a.stop == split && a.sawKey && !b.headers.empty()) {
                        if (!follows(a.last.raw, a.last.seps, a.last.plain, b.first.raw, b.first.seps, b.first.plain,
                                     &shared))
                            return nullptr;
                        ix->headers = std::move(a.headers);
                        ix->headers.append(std::move(b.headers), [&](KeyIndex::Header& h) {
                            h.common = static_cast<uint16_t>(shared);
                            if (a.blankStart != SIZE_MAX) h.lead = static_cast<uint32_t>(a.blankStart);
                        });
                        ix->tail = static_cast<uint32_t>(b.blankStart == SIZE_MAX ? src.size() : b.blankStart);
                        return ix;
                    }
                }
            }
        }
        Stretch whole;
        if (!scan(base, from, end, end, false, whole)) return nullptr;
        ix->headers = std::move(whole.headers);
        ix->tail = static_cast<uint32_t>(whole.blankStart == SIZE_MAX ? src.size() : whole.blankStart);
        return ix;
    }

private:
    struct HeaderPath {
        std::string_view raw;
        std::vector<uint32_t> seps;
        bool plain = false;
    };
    // What scanning one stretch of the file found, and what joining it to the next needs.
    struct Stretch {
        BlockList<KeyIndex::Header> headers;
        HeaderPath first, last;        // its first and last key headers
        const char* stop = nullptr;    // where its last line ended
        size_t blankStart = SIZE_MAX;  // the blank lines ending it
        bool sawKey = false;
    };

    // The start of a key header line near the middle, or null.
    static const char* splitPoint(const char* from, const char* end) {
        for (const char* q = from + (end - from) / 2; q < end;) {
            const char* nl = findNewline(q, end);
            if (end - nl > 1 && nl[1] == '[') return nl + 1;
            q = nl + 1;
        }
        return nullptr;
    }

    // Checks the lines starting in [p, to) of the text [base, end); false when the file is not
    // for the index. A stretch after the first starts at a key header, with keys seen before it.
    static bool scan(const char* base, const char* p, const char* to, const char* end, bool sawKey, Stretch& out) {
        size_t blankStart = SIZE_MAX;
        std::u16string scratch;
        std::vector<uint32_t> seps, prevSeps;
        std::string_view prev;
        bool prevPlain = false;
        // A key header checked and in Wine's order, at lineStart after blank lines from lead.
        auto addHeader = [&](size_t lead, size_t lineStart, std::string_view raw, bool plain) {
            uint32_t shared;
            if (seps.size() >= kMaxIndexDepth || !follows(prev, prevSeps, prevPlain, raw, seps, plain, &shared))
                return false;
            out.headers.push_back({static_cast<uint32_t>(lead), static_cast<uint32_t>(lineStart),
                                   static_cast<uint32_t>(raw.data() - base), static_cast<uint32_t>(raw.size()),
                                   static_cast<uint16_t>(seps.size() + 1), static_cast<uint16_t>(shared)});
            if (out.headers.size() == 1) out.first = {raw, seps, plain};
            prev = raw;
            prevPlain = plain;
            std::swap(prevSeps, seps);
            return true;
        };
        while (p < to) {
            // The lines Wine writes most, in the form it writes them, are taken in one pass;
            // anything else goes through the checks below.
            if (sawKey) {
                const char* fast = nullptr;
                if (*p == '"' || *p == '@') fast = plainValueLine(p, end);
                else if (*p == '#' && startsWith(p, end, "#time=")) fast = nextLine(p + 6, end);
                else if (*p == '[') {
                    bool plain;
                    const char* after = plainHeader(p + 1, end, seps, &plain);
                    if (after) {
                        const size_t lineStart = static_cast<size_t>(p - base);
                        if (!addHeader(blankStart == SIZE_MAX ? lineStart : blankStart, lineStart,
                                       std::string_view(p + 1, static_cast<size_t>(after - 1 - (p + 1))), plain))
                            return false;
                        fast = nextLine(after, end);
                    }
                }
                if (fast) {
                    blankStart = SIZE_MAX;
                    p = fast;
                    continue;
                }
            }
            const TextLine line = lineAt(p, end);
            const char* next = line.next;
            const char* le = line.end;
            const char* s = p;
            while (s < le && isSpace(*s)) ++s;
            const size_t lineStart = static_cast<size_t>(p - base);
            if (s == le) {
                if (blankStart == SIZE_MAX) blankStart = lineStart;
                p = next;
                continue;
            }
            const size_t lead = blankStart == SIZE_MAX ? lineStart : blankStart;
            blankStart = SIZE_MAX;
            switch (*s) {
            case '[': {
                sawKey = true;
                const char* after = skipString(s + 1, le, ']');
                if (!after) return false;
                const std::string_view raw(s + 1, static_cast<size_t>(after - 1 - (s + 1)));
                if (!goodPath(raw, seps) || !addHeader(lead, lineStart, raw, false)) return false;
                break;
            }
            case '@':
            case '"': {
                if (!sawKey) return false;
                size_t extra = 0;
                if (parseValueLine(s, le, next, end, nullptr, scratch, &next, &extra)) return false;
                break;
            }
            case '#':
                if (!sawKey) {
                    std::string_view opt(s, static_cast<size_t>(le - s));
                    if (opt.substr(0, 6) == "#arch=") {
                        std::string_view arch = opt.substr(6);
                        while (!arch.empty() && isSpace(arch.back())) arch.remove_suffix(1);
                        if (arch != "win32" && arch != "win64") return false;
                    }
                } else if (startsWith(s, le, "#class=\"")) {
                    if (!skipString(s + 8, le, '"')) return false;
                } else if (!startsWith(s, le, "#time=") && std::string_view(s, static_cast<size_t>(le - s)) != "#link") {
                    return false;
                }
                break;
            case ';':
                if (sawKey) return false;
                break;
            default:
                return false;
            }
            p = next;
        }
        out.stop = p;
        out.blankStart = blankStart;
        out.sawKey = sawKey;
        out.last = {prev, prevSeps, prevPlain};
        return true;
    }
    // A value line as Wine writes it: a name, "=" and a string, a dword or a hex list (over as
    // many lines as it continues on). Returns where the next line starts, or null when the line
    // is anything else, for the general checks to decide.
    static const char* plainValueLine(const char* p, const char* end) {
        const char* q = p + 1;
        if (*p == '"') {
            q = skipQuoted(q, end, '"');
            if (!q || static_cast<size_t>(q - p) > kMaxValueNameLength + 2) return nullptr;
        }
        if (q >= end || *q != '=') return nullptr;
        ++q;
        if (q < end && *q == '"') {
            q = skipQuoted(q + 1, end, '"');
            return q ? nextLine(q, end) : nullptr;
        }
        if (startsWith(q, end, "str(")) {
            if (!startsWith(q, end, "str(2):\"") && !startsWith(q, end, "str(7):\"")) return nullptr;
            q = skipQuoted(q + 8, end, '"');
            return q ? nextLine(q, end) : nullptr;
        }
        if (startsWith(q, end, "dword:")) return q + 6 < end && hexValue(q[6]) >= 0 ? nextLine(q + 6, end) : nullptr;
        if (!startsWith(q, end, "hex")) return nullptr;
        q += 3;
        if (q < end && *q == '(') {
            const char* t = q + 1;
            while (t < end && hexValue(*t) >= 0 && t - q <= 8) ++t;
            if (t == q + 1 || !startsWith(t, end, "):")) return nullptr;
            q = t + 1;
        }
        if (q >= end || *q != ':') return nullptr;
        ++q;
        for (;;) {
            q = skipHexTriples(q, end);
            if (end - q >= 2 && hexValue(q[0]) >= 0 && hexValue(q[1]) >= 0) q += 2;  // the last byte
            if (const char* n = afterLineEnd(q, end)) return n;
            // A backslash ending the line continues the list on the next one, indented.
            if (q >= end || *q != '\\') return nullptr;
            q = afterLineEnd(q + 1, end);
            if (!q) return nullptr;
            while (q < end && (*q == ' ' || *q == '\t')) ++q;
            if (q >= end) return nullptr;
        }
    }

    // A key header's path up to its "]", when no escape but the separators' stands in it:
    // returns past the "]" with seps where the separators stand and *plain whether the path is
    // plain ASCII. Null for anything else, which the general checks then decide.
    static const char* plainHeader(const char* p, const char* end, std::vector<uint32_t>& seps, bool* plain) {
        // First every backslash up to the "]"; in a plain path they come in pairs, one per separator.
        seps.clear();
        const char* const b = p;
        uint32_t high = 0;  // non-zero once a byte beyond ASCII is seen
        const char* stop = nullptr;
#if defined(__SSE2__)
        for (; end - p >= 16 && !stop; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const auto stops = static_cast<uint32_t>(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(']')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')))));
            const uint32_t before = stops ? (stops & (0u - stops)) - 1 : 0xFFFFu;
            if (stops) stop = p + __builtin_ctz(stops);
            high |= static_cast<uint32_t>(_mm_movemask_epi8(v)) & before;
            for (uint32_t bs = matches(p, '\\') & before; bs; bs &= bs - 1)
                seps.push_back(static_cast<uint32_t>(p - b) + static_cast<uint32_t>(__builtin_ctz(bs)));
        }
#endif
        for (; !stop && p < end; ++p) {
            if (*p == ']' || *p == '\n') stop = p;
            else if (*p == '\\') seps.push_back(static_cast<uint32_t>(p - b));
            else high |= static_cast<unsigned char>(*p) >> 7;
        }
        if (!stop || *stop != ']') return nullptr;
        const auto length = static_cast<uint32_t>(stop - b);
        const size_t n = seps.size();
        if (n % 2) return nullptr;
        uint32_t start = 0;  // of the current component
        size_t kept = 0;
        for (size_t k = 0; k < n; k += 2) {
            const uint32_t at = seps[k];
            if (seps[k + 1] != at + 1 || at == start || at - start > kMaxKeyNameLength) return nullptr;
            seps[kept++] = at;
            start = at + 2;
        }
        if (length == start || length - start > kMaxKeyNameLength) return nullptr;
        seps.resize(kept);
        *plain = high == 0;
        return stop + 1;
    }

    // Components non-empty, within Wine's length, none holding an escaped backslash (which the
    // full reader would take for a separator); seps gets where the separators stand.
    static bool goodPath(std::string_view raw, std::vector<uint32_t>& seps) {
        seps.clear();
        const char* const b = raw.data();
        const char* const e = b + raw.size();
        const char* start = b;
        for (;;) {
            const char* q = KeyIndex::separator(start, e);
            const std::string_view comp(start, static_cast<size_t>(q - start));
            if (comp.empty()) return false;
            if (comp.find('\\') != std::string_view::npos || comp.size() > kMaxKeyNameLength) {
                static thread_local std::u16string name;
                decodeComponent(comp, name);
                if (name.size() > kMaxKeyNameLength || name.find(u'\\') != std::u16string::npos) return false;
            }
            if (q == e) return true;
            seps.push_back(static_cast<uint32_t>(q - b));
            start = q + 2;
        }
    }

    // Whether a header comes after the previous one in Wine's order, naming a new key.
    // *shared: the leading components the two paths have in common.
    static bool follows(std::string_view prev, const std::vector<uint32_t>& prevSeps, bool prevPlain,
                        std::string_view cur, const std::vector<uint32_t>& curSeps, bool curPlain,
                        uint32_t* shared) {
        *shared = 0;
        if (prev.data() == nullptr) return true;
        const size_t prevDepth = prevSeps.size() + 1, curDepth = curSeps.size() + 1;
        const size_t common = commonPrefix(prev, cur);
        size_t j = 0;
        while (j < prevSeps.size() && j < curSeps.size() && prevSeps[j] == curSeps[j] && prevSeps[j] + 2 <= common) ++j;
        for (;; ++j) {
            *shared = static_cast<uint32_t>(j);
            if (j == curDepth) return false;  // the same key again, or one above the previous
            if (j == prevDepth) return true;  // the first below the previous
            const size_t pa = j ? prevSeps[j - 1] + 2 : 0, ca = j ? curSeps[j - 1] + 2 : 0;
            const size_t pb = j < prevSeps.size() ? prevSeps[j] : prev.size();
            const size_t cb = j < curSeps.size() ? curSeps[j] : cur.size();
            const std::string_view a = prev.substr(pa, pb - pa), c = cur.substr(ca, cb - ca);
            if (a == c) continue;
            if (prevPlain && curPlain) return compareAscii(a, c) < 0;
            static thread_local std::u16string name;
            decodeComponent(c, name);
            return compareComponent(a, name) < 0;  // equal in another spelling: the full reader
        }
    }
};

// ---- parsing ---------------------------------------------------------------------------------

class WineParser {
    struct NameLess {
        using is_transparent = void;
        bool operator()(std::u16string_view a, std::u16string_view b) const { return compareNames(a, b) < 0; }
    };
    // Names point into the keys, which stay where they are while the file is read.
    using SubkeyIndex = std::map<std::u16string_view, RegKey*, NameLess>;

public:
    WineParser(RegFile& f, const std::string& name) : f_(f), name_(name) {}

    bool run(std::string* error) {
        const std::string& src = f_.source_;
        const char* base = src.data();
        const char* end = base + src.size();
        const char* p = base;
        size_t lineNo = 0;
        size_t blankStart = SIZE_MAX;  // start of the run of blank lines before the current line
        size_t preambleEnd = SIZE_MAX;
        bool first = true;

        while (p < end) {
            const TextLine line = lineAt(p, end);
            const char* next = line.next;
            const char* le = line.end;
            ++lineNo;
            const size_t lineStart = static_cast<size_t>(p - base);

            if (first) {
                first = false;
                if (std::string_view(p, static_cast<size_t>(le - p)) != "WINE REGISTRY Version 2") {
                    *error = name_ + ": not a Wine registry file (the first line is not \"WINE REGISTRY Version 2\")";
                    return false;
                }
                p = next;
                continue;
            }
            const char* s = p;
            while (s < le && isSpace(*s)) ++s;
            if (s == le) {
                if (blankStart == SIZE_MAX) blankStart = lineStart;
                p = next;
                continue;
            }
            const size_t lead = blankStart == SIZE_MAX ? lineStart : blankStart;
            blankStart = SIZE_MAX;

            switch (*s) {
            case '[': {
                sawKeyLine_ = true;
                closeValues(lineStart);
                RegKey* key = openKeyHeader(s + 1, le, lineNo);
                if (!key) {
                    current_ = nullptr;
                    keep(p, next);
                    break;
                }
                closeRaw(lead);
                if (preambleEnd == SIZE_MAX) preambleEnd = lead;
                if (key->rawBegin || caseDiffers_) {
                    // A second header for the same key is no longer one piece of text, and a
                    // header spelled in another case than the key's first mention would rename it.
                    key->rawValid = false;
                    key->rawBegin = key->rawBegin ? key->rawBegin : static_cast<uint32_t>(lineStart);
                } else {
                    key->rawValid = true;
                    key->rawLead = static_cast<uint32_t>(lead);
                    key->rawBegin = static_cast<uint32_t>(lineStart);
                }
                current_ = holder_ = rawOwner_ = key;
                lastGoodValue_ = nullptr;
                // A key named twice: what the first header held is read now, the rest merges in.
                if (key->lazyEnd_) key->loadValues();
                key->lazySource_ = &src;
                key->lazyBegin_ = static_cast<uint32_t>(next - base);
                key->lazyCount_ = 0;
                break;
            }
            case '@':
            case '"':
                if (!current_) {
                    warn(lineNo, "value without key");
                    keep(p, next);
                } else {
                    // Values are only checked here; the key reads them when asked (RegKey::values).
                    size_t extra = 0;
                    const char* after;
                    if (const char* reason = parseValueLine(s, le, next, end, nullptr, text_, &after, &extra)) {
                        warn(lineNo, reason);
                        keep(p, after);
                        if (reason == kDanglingContinuation && holder_) {
                            holder_->kept->back().text += kDanglingContinuationStop;
                            holder_->rawValid = false;  // its text would take the next key's header
                        }
                    } else {
                        ++current_->lazyCount_;
                        lastGoodValue_ = s;
                        lastGoodValueEnd_ = le;
                    }
                    next = after;
                    lineNo += extra;
                }
                break;
            case '#':
                if (!sawKeyLine_) {
                    if (!globalOption(s, le, lineNo, error)) return false;
                } else if (current_) {
                    keyOption(p, s, le, next, lineNo);
                } else {
                    keep(p, next);
                }
                break;
            case ';':
                keep(p, next);
                break;
            default:
                warn(lineNo, "unrecognized input");
                keep(p, next);
                break;
            }
            p = next;
        }
        if (first) {
            *error = name_ + ": not a Wine registry file (it is empty)";
            return false;
        }
        const size_t eof = src.size();
        const size_t tail = blankStart == SIZE_MAX ? eof : blankStart;
        closeValues(eof);
        closeRaw(tail);
        sortSubkeys();
        if (preambleEnd == SIZE_MAX) preambleEnd = tail;
        f_.preamble_.assign(src, 0, preambleEnd);
        f_.trailer_.assign(src, tail, eof - tail);
        return true;
    }

private:
    // The current key's value lines end here.
    void closeValues(size_t endOffset) {
        if (current_) current_->lazyEnd_ = current_->lazyCount_ ? static_cast<uint32_t>(endOffset) : 0;
        current_ = nullptr;
    }

    void closeRaw(size_t endOffset) {
        if (rawOwner_ && rawOwner_->rawValid) rawOwner_->rawEnd = static_cast<uint32_t>(endOffset);
        rawOwner_ = nullptr;
    }

    void warn(size_t line, const char* reason) {
        f_.warnings_.push_back(name_ + ":" + std::to_string(line) + ": " + reason);
    }

    // Keeps a line the reader does not use with the key it stands in, after the value it followed.
    // Before the first key it is part of the file's preamble text, which is kept whole.
    void keep(const char* from, const char* to) {
        if (!holder_) return;
        KeptLine kl;
        kl.text.assign(from, static_cast<size_t>(to - from));
        if (kl.text.back() != '\n') kl.text.push_back('\n');
        kl.orphan = current_ == nullptr;
        if (lastGoodValue_ && !kl.orphan) {  // lines under a refused header follow no value
            kl.afterValue = true;
            // Only the name is read, once per value however many lines follow it: the value's
            // data may be megabytes long.
            if (afterNameOf_ != lastGoodValue_) {
                afterName_.clear();
                if (*lastGoodValue_ == '"') parseString(lastGoodValue_ + 1, lastGoodValueEnd_, '"', afterName_);
                afterNameOf_ = lastGoodValue_;
            }
            kl.after = afterName_;
        }
        if (!holder_->kept) holder_->kept = std::make_unique<std::vector<KeptLine>>();
        holder_->kept->push_back(std::move(kl));
    }

    RegKey* openKeyHeader(const char* s, const char* le, size_t lineNo) {
        const char* after = skipString(s, le, ']');
        if (!after) {
            warn(lineNo, "malformed key");
            prevRaw_ = {};
            return nullptr;
        }
        // Sorted files repeat the start of the previous header: the components whose escaped text
        // is the same are the same keys, so only the rest is decoded and looked up.
        const std::string_view raw(s, static_cast<size_t>(after - 1 - s));
        size_t shared = 0;
        if (!raw.empty() && raw[0] != '\\') {
            const size_t common = commonPrefix(raw, prevRaw_);
            while (shared < prevSeparators_.size() && shared < chain_.size() &&
                   prevSeparators_[shared] + 2 <= common)
                ++shared;
        }
        const size_t from = shared ? prevSeparators_[shared - 1] + 2 : 0;
        parseString(s + from, le, ']', path_);
        const size_t inherited = prevFirstCaseDifference_ < shared ? prevFirstCaseDifference_ : SIZE_MAX;
        RegKey* key = createFromPath(path_, shared);
        if (!key) {
            warn(lineNo, "malformed key name (an empty or over-long component)");
            prevRaw_ = {};
            return nullptr;
        }
        prevRaw_ = raw;
        prevSeparators_.clear();
        const char* const rawEnd = raw.data() + raw.size();
        for (const char* q = raw.data(); q < rawEnd;) {
            q = static_cast<const char*>(std::memchr(q, '\\', static_cast<size_t>(rawEnd - q)));
            if (!q) break;
            if (q + 1 < rawEnd && q[1] == '\\') prevSeparators_.push_back(static_cast<size_t>(q - raw.data()));
            q += 2;  // an escape takes the character after the backslash with it
        }
        firstCaseDifference_ = std::min(firstCaseDifference_, inherited);
        caseDiffers_ = firstCaseDifference_ != SIZE_MAX;
        prevFirstCaseDifference_ = firstCaseDifference_;
        // Optional seconds after the bracket; a #time line wins.
        const char* q = after;
        while (q < le && isSpace(*q)) ++q;
        if (q < le && *q >= '0' && *q <= '9') {
            uint64_t secs = 0;
            while (q < le && *q >= '0' && *q <= '9') secs = secs * 10 + static_cast<uint64_t>(*q++ - '0');
            key->modif = static_cast<uint64_t>(static_cast<int64_t>(secs & 0xFFFFFFFFu) * kTicksPerSecond +
                                               kTicks1601To1970);
        } else {
            key->modif = RegFile::now();
        }
        return key;
    }

    // Walks from the root, or from the depth-th key of the previous header's chain when path is
    // the rest after it, reusing that chain since files come sorted.
    RegKey* createFromPath(std::u16string_view path, size_t depth) {
        RegKey* k = depth ? chain_[depth - 1] : f_.root_.get();
        firstCaseDifference_ = SIZE_MAX;
        size_t i = 0;
        // Leading backslashes name nothing; after a shared part they would be an empty component.
        if (!depth)
            while (i < path.size() && path[i] == u'\\') ++i;
        size_t endp = path.size();
        while (endp > i && path[endp - 1] == u'\\') --endp;
        bool restChecked = false;
        while (i < endp) {
            size_t j = i;
            while (j < endp && path[j] != u'\\') ++j;
            std::u16string_view comp = path.substr(i, j - i);
            if (!restChecked && (comp.empty() || comp.size() > kMaxKeyNameLength)) return nullptr;
            RegKey* child;
            if (depth < chain_.size() && chain_[depth]->parent == k && sameOrFolded(chain_[depth]->name, comp)) {
                child = chain_[depth];
                if (!sameText(child->name, comp)) firstCaseDifference_ = std::min(firstCaseDifference_, depth);
            } else {
                size_t pos = 0;
                SubkeyIndex* index = nullptr;
                child = findSubkey(k, comp, &pos, &index);
                if (child) {
                    if (!sameText(child->name, comp)) firstCaseDifference_ = std::min(firstCaseDifference_, depth);
                } else {
                    // A header Wine refuses makes no key at all, not even the parents before its
                    // bad component: the rest is checked before the first key is made.
                    if (!restChecked && !goodComponents(path.substr(j, endp - j))) return nullptr;
                    restChecked = true;
                    child = addSubkey(k, comp, pos, index);
                }
                chain_.resize(depth);
                chain_.push_back(child);
            }
            k = child;
            ++depth;
            i = j + 1;
        }
        chain_.resize(depth);
        return k;
    }

    // Whether every component of "\\"-led rest (empty, or starting with a separator) is one Wine takes.
    static bool goodComponents(std::u16string_view rest) {
        size_t start = 1;
        for (size_t j = 1; j <= rest.size(); ++j) {
            if (j < rest.size() && rest[j] != u'\\') continue;
            if (j == start || j - start > kMaxKeyNameLength) return false;
            start = j + 1;
        }
        return true;
    }

    // The subkey of k named comp, or null with *pos where it would stand. Keys of a sorted file
    // come in order and are added at the end; a key that would go in between is added at the end
    // too, its parent's subkeys indexed (*index) from then on and sorted once when the file is read
    // (sortSubkeys): inserting each in its place would move all the later ones.
    RegKey* findSubkey(RegKey* k, std::u16string_view comp, size_t* pos, SubkeyIndex** index) {
        if (!unsorted_.empty()) {
            auto it = unsorted_.find(k);
            if (it != unsorted_.end()) {
                *index = &it->second;
                auto found = it->second.find(comp);
                return found != it->second.end() ? found->second : nullptr;
            }
        }
        bool found;
        *pos = k->subkeyPosition(comp, &found);
        return found ? k->subkeys[*pos].get() : nullptr;
    }

    RegKey* addSubkey(RegKey* k, std::u16string_view comp, size_t pos, SubkeyIndex* index) {
        if (!index && pos != k->subkeys.size()) {
            index = &unsorted_[k];
            for (const auto& sub : k->subkeys) index->emplace_hint(index->end(), sub->name, sub.get());
        }
        auto nk = std::make_unique<RegKey>();
        nk->name.assign(comp);
        nk->parent = k;
        nk->modif = k->modif;
        RegKey* child = nk.get();
        k->subkeys.push_back(std::move(nk));
        if (index) index->emplace(child->name, child);
        return child;
    }

    void sortSubkeys() {
        for (auto& [key, index] : unsorted_) {
            std::sort(key->subkeys.begin(), key->subkeys.end(),
                      [](const auto& a, const auto& b) { return compareNames(a->name, b->name) < 0; });
        }
        unsorted_.clear();
    }

    bool globalOption(const char* s, const char* le, size_t lineNo, std::string* error) {
        std::string_view opt(s, static_cast<size_t>(le - s));
        if (opt.substr(0, 6) == "#arch=") {
            std::string_view arch = opt.substr(6);
            while (!arch.empty() && isSpace(arch.back())) arch.remove_suffix(1);
            if (arch != "win32" && arch != "win64") {
                *error = name_ + ":" + std::to_string(lineNo) + ": unknown architecture \"" + std::string(arch) +
                         "\" (Wine refuses such a file)";
                return false;
            }
        }
        return true;
    }

    void keyOption(const char* p, const char* s, const char* le, const char* next, size_t lineNo) {
        if (startsWith(s, le, "#time=")) {
            uint64_t v = 0;
            for (const char* q = s + 6; q < le && hexValue(*q) >= 0; ++q) v = (v << 4) | static_cast<unsigned>(hexValue(*q));
            current_->modif = v;
        } else if (startsWith(s, le, "#class=\"")) {
            std::u16string cls;
            if (parseString(s + 8, le, '"', cls)) {
                current_->cls = std::make_unique<std::u16string>(std::move(cls));
            } else {
                warn(lineNo, "malformed class");
                keep(p, next);
            }
        } else if (std::string_view(s, static_cast<size_t>(le - s)) == "#link") {
            current_->link = true;
        } else {
            keep(p, next);  // Wine ignores options it does not know; so do we, but we keep them
        }
    }

    RegFile& f_;
    const std::string& name_;
    RegKey* current_ = nullptr;   // where values go; null after a key header Wine would not accept
    RegKey* holder_ = nullptr;    // where unusable lines are kept
    RegKey* rawOwner_ = nullptr;  // the key whose text runs up to the next header
    bool sawKeyLine_ = false;
    bool caseDiffers_ = false;             // the last header spelled a known key in another case
    size_t firstCaseDifference_ = SIZE_MAX;      // depth of the first such component
    size_t prevFirstCaseDifference_ = SIZE_MAX;  // the same for the previous header
    std::string_view prevRaw_;                   // the previous header's escaped path
    std::vector<size_t> prevSeparators_;         // where its escaped separators stand
    std::u16string path_;
    const char* lastGoodValue_ = nullptr;  // the last value line of the current key that reads well
    const char* lastGoodValueEnd_ = nullptr;
    const char* afterNameOf_ = nullptr;    // the value line whose name afterName_ holds
    std::u16string afterName_;
    std::vector<RegKey*> chain_;
    std::u16string text_;
    std::unordered_map<RegKey*, SubkeyIndex> unsorted_;  // keys whose subkeys came out of order
};

void setSplitScanSize(size_t bytes) { LazyScanner::splitAbove() = bytes; }

std::unique_ptr<RegFile> RegFile::parse(std::string content, const std::string& name, std::string* error) {
    std::unique_ptr<RegFile> f(new RegFile);
    if (content.size() >= UINT32_MAX) {
        *error = name + ": file too large";
        return nullptr;
    }
    f->source_ = std::move(content);
    f->root_ = std::make_unique<RegKey>();
    f->root_->modif = now();
    if (auto index = LazyScanner::run(*f)) {
        const uint32_t preambleEnd = index->headers.empty() ? index->tail : index->headers[0].lead;
        f->preamble_.assign(f->source_, 0, preambleEnd);
        f->trailer_.assign(f->source_, index->tail, std::string::npos);
        f->root_->subkeys.setLazy(index.get(), 0, static_cast<uint32_t>(index->headers.size()), 0, 0,
                                   f->root_->modif);
        f->index_ = std::move(index);
        return f;
    }
    WineParser parser(*f, name);
    if (!parser.run(error)) return nullptr;
    return f;
}

RegFile::RegFile() = default;
RegFile::~RegFile() = default;

std::unique_ptr<RegFile> RegFile::create(std::string_view rootComment, std::string_view arch) {
    std::unique_ptr<RegFile> f(new RegFile);
    f->root_ = std::make_unique<RegKey>();
    f->root_->modif = now();
    f->preamble_ = "WINE REGISTRY Version 2\n";
    f->preamble_.append(rootComment).append("\n\n");
    if (!arch.empty()) f->preamble_.append("#arch=").append(arch).append("\n");
    return f;
}

std::string_view RegFile::arch() const {
    std::string_view rest = preamble_;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.substr(0, 6) != "#arch=") continue;
        line.remove_prefix(6);
        while (!line.empty() && isSpace(line.back())) line.remove_suffix(1);
        return line;
    }
    return {};
}

// ---- writing ---------------------------------------------------------------------------------

void appendEscaped(std::string& out, std::u16string_view s, char delim1, char delim2) {
    static const char kLetters[32] = {0, 0, 0, 0, 0, 0, 0, 'a', 'b', 't', 'n', 'v', 'f', 'r', 0, 0,
                                      0, 0, 0, 0, 0, 0, 0, 0,   0,   0,   0,   'e', 0,   0,   0, 0};
    const size_t n = s.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t c = s[i];
        if (c > 127) {
            out += "\\x";
            bool pad = i + 1 < n && s[i + 1] < 128 && hexValue(static_cast<char>(s[i + 1])) >= 0;
            appendHex(out, c, pad ? 4 : 1);
        } else if (c < 32) {
            out.push_back('\\');
            if (kLetters[c]) {
                out.push_back(kLetters[c]);
            } else {
                bool pad = i + 1 < n && s[i + 1] >= '0' && s[i + 1] <= '7';
                char buf[4];
                int k = 0;
                unsigned v = c;
                do {
                    buf[k++] = static_cast<char>('0' + (v & 7));
                    v >>= 3;
                } while (v);
                while (pad && k < 3) buf[k++] = '0';
                while (k) out.push_back(buf[--k]);
            }
        } else {
            char a = static_cast<char>(c);
            if (a == '\\' || a == delim1 || a == delim2) out.push_back('\\');
            out.push_back(a);
        }
    }
}

namespace {

void appendValue(std::string& out, const RegValue& v) {
    const size_t lineStart = out.size();
    if (v.name.empty()) {
        out += "@=";
    } else {
        out.push_back('"');
        appendEscaped(out, v.name, '"', '"');
        out += "\"=";
    }
    const size_t len = v.data.size();
    switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        // Only strings that end in a NUL unit are written as text.
        if (len >= 2 && len % 2 == 0 && v.data[len - 1] == 0 && v.data[len - 2] == 0) {
            if (v.type == REG_EXPAND_SZ) out += "str(2):";
            else if (v.type == REG_MULTI_SZ) out += "str(7):";
            out.push_back('"');
            std::u16string text = bytesToUtf16(std::string_view(v.data).substr(0, len - 2));
            appendEscaped(out, text, '"', '"');
            out += "\"\n";
            return;
        }
        break;
    case REG_DWORD:
        if (len == 4) {
            uint32_t dw = static_cast<uint8_t>(v.data[0]) | static_cast<uint8_t>(v.data[1]) << 8 |
                          static_cast<uint8_t>(v.data[2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(v.data[3])) << 24;
            out += "dword:";
            appendHex(out, dw, 8);
            out.push_back('\n');
            return;
        }
        break;
    default:
        break;
    }
    if (v.type == REG_BINARY) {
        out += "hex:";
    } else {
        out += "hex(";
        appendHex(out, v.type, 1);
        out += "):";
    }
    size_t count = out.size() - lineStart;
    for (size_t i = 0; i < len; ++i) {
        auto b = static_cast<uint8_t>(v.data[i]);
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
        count += 2;
        if (i + 1 < len) {
            out.push_back(',');
            if (++count > 76) {
                out += "\\\n  ";
                count = 2;
            }
        }
    }
    out.push_back('\n');
}

void appendPath(std::string& out, const RegKey& k) {
    static thread_local std::vector<const RegKey*> chain;  // kept: written for every changed key
    chain.clear();
    for (const RegKey* p = &k; p->parent; p = p->parent) chain.push_back(p);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (it != chain.rbegin()) out += "\\\\";
        appendEscaped(out, (*it)->name, '[', ']');
    }
}

void appendKey(std::string& out, const RegKey& k) {
    out += "\n[";
    appendPath(out, k);
    out += "] ";
    // As Wine computes it, in 64-bit two's complement: any stored #time gives some number.
    const auto since1970 = static_cast<int64_t>(k.modif - static_cast<uint64_t>(kTicks1601To1970));
    const int64_t secs = since1970 / kTicksPerSecond;
    appendDecimal(out, static_cast<uint32_t>(secs));
    out += "\n#time=";
    appendHex(out, k.modif >> 32, 1);
    appendHex(out, k.modif & 0xFFFFFFFFu, 8);
    out.push_back('\n');
    if (k.cls) {
        out += "#class=\"";
        appendEscaped(out, *k.cls, '"', '"');
        out += "\"\n";
    }
    if (k.link) out += "#link\n";
    // Kept lines go back after the value they followed; one whose value is gone goes where that
    // value would sort.
    // Lines under a refused header come last, in their order; the others follow the value
    // they followed, which now stands in sorted order.
    std::vector<const KeptLine*> lines, orphans;
    if (k.kept) {
        for (const KeptLine& l : *k.kept) (l.orphan ? orphans : lines).push_back(&l);
    }
    std::stable_sort(lines.begin(), lines.end(), [](const KeptLine* a, const KeptLine* b) {
        if (a->afterValue != b->afterValue) return !a->afterValue;
        return compareNames(a->after, b->after) < 0;
    });
    size_t kept = 0;
    while (kept < lines.size() && !lines[kept]->afterValue) out += lines[kept++]->text;
    for (const RegValue& v : k.values()) {
        while (kept < lines.size() && compareNames(lines[kept]->after, v.name) < 0) out += lines[kept++]->text;
        appendValue(out, v);
        while (kept < lines.size() && compareNames(lines[kept]->after, v.name) == 0) out += lines[kept++]->text;
    }
    while (kept < lines.size()) out += lines[kept++]->text;
    for (const KeptLine* l : orphans) out += l->text;
}

// Keys in Wine's order: each before its subkeys, which follow in their order. The walk keeps its
// own stack, as keys may nest deeper than the call stack allows.
void appendTree(std::string& out, const RegKey& root, const std::string& source) {
    std::vector<const RegKey*> pending{&root};
    while (!pending.empty()) {
        const RegKey& k = *pending.back();
        pending.pop_back();
        if (k.rawValid || k.needsHeader()) {
            // Text that ended the file without a line end gets one once something follows it.
            if (!out.empty() && out.back() != '\n') out.push_back('\n');
            if (k.rawValid) out.append(source, k.rawLead, k.rawEnd - k.rawLead);
            else appendKey(out, k);
        }
        if (!k.subkeys.built() && k.subkeys.made().empty() && !k.subkeys.empty()) {
            // Nothing below was touched: the subtree is one run of the text.
            const KeyIndex& index = *k.subkeys.index();
            const uint32_t from = index.headers[k.subkeys.first()].lead;
            const uint32_t to = index.rawEnd(k.subkeys.last() - 1);
            if (!out.empty() && out.back() != '\n') out.push_back('\n');
            out.append(source, from, to - from);
            continue;
        }
        for (auto it = k.subkeys.rbegin(); it != k.subkeys.rend(); ++it) pending.push_back(it->get());
    }
}

}  // namespace

std::string RegFile::serialize() const {
    std::string out;
    out.reserve(source_.size() + source_.size() / 16 + 256);
    out += preamble_;
    appendTree(out, *root_, source_);
    out += trailer_;
    return out;
}

// ---- changes ---------------------------------------------------------------------------------

int RegFile::splitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    size_t i = 0, endp = path.size();
    while (i < endp && path[i] == u'\\') ++i;
    while (endp > i && path[endp - 1] == u'\\') --endp;
    while (i < endp) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos || j > endp) j = endp;
        if (j == i) return ERROR_BAD_PATHNAME;
        if (j - i > kMaxKeyNameLength) return ERROR_FILENAME_EXCED_RANGE;
        parts->push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return ERROR_SUCCESS;
}

namespace {

// Calls fn for each component of a "\\"-separated path, leading and trailing separators ignored;
// stops at the first nonzero result.
template <class Char, class Fn>
int forEachComponent(std::basic_string_view<Char> path, Fn fn) {
    size_t i = 0, endp = path.size();
    while (i < endp && path[i] == Char('\\')) ++i;
    while (endp > i && path[endp - 1] == Char('\\')) --endp;
    while (i < endp) {
        size_t j = path.find(Char('\\'), i);
        if (j == std::basic_string_view<Char>::npos || j > endp) j = endp;
        if (int st = fn(path.substr(i, j - i))) return st;
        i = j + 1;
    }
    return 0;
}

size_t utf16Length(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80 ? ((c & 0xF8) == 0xF0 ? 2 : 1) : 0;
    return n;
}

}  // namespace

int RegFile::findKey(std::u16string_view path, RegKey** out) const {
    if (int st = forEachComponent(path, [](std::u16string_view c) {
            return c.empty() ? ERROR_BAD_PATHNAME : c.size() > kMaxKeyNameLength ? ERROR_FILENAME_EXCED_RANGE : 0;
        }))
        return st;
    RegKey* k = root_.get();
    if (int st = forEachComponent(path, [&](std::u16string_view c) {
            k = k->subkey(c);
            return k ? 0 : ERROR_FILE_NOT_FOUND;
        }))
        return st;
    *out = k;
    return ERROR_SUCCESS;
}

int RegFile::findKey(const RegKey* from, std::string_view path, RegKey** out) {
    if (int st = forEachComponent(path, [](std::string_view c) {
            return c.empty() ? ERROR_BAD_PATHNAME
                   : utf16Length(c) > kMaxKeyNameLength ? ERROR_FILENAME_EXCED_RANGE : 0;
        }))
        return st;
    RegKey* k = const_cast<RegKey*>(from);
    static thread_local std::u16string name;  // reused: a lookup allocates nothing once warm
    if (int st = forEachComponent(path, [&](std::string_view c) {
            bool ascii = true;
            for (char ch : c) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
            if (ascii) name.assign(c.begin(), c.end());
            else name = utf8ToUtf16(c);
            k = k->subkey(name);
            return k ? 0 : ERROR_FILE_NOT_FOUND;
        }))
        return st;
    *out = k;
    return ERROR_SUCCESS;
}

void RegFile::touch(RegKey* key) {
    key->modif = now();
    key->rawValid = false;
}

std::shared_ptr<const std::u16string> RegFile::journalPath(const RegKey* key) {
    if (key != pathKey_ || !pathOfKey_) {
        pathOfKey_ = std::make_shared<const std::u16string>(key->path());
        pathKey_ = key;
    }
    return pathOfKey_;
}

int RegFile::createKey(std::u16string_view path, RegKey** out, bool link) {
    std::vector<std::u16string_view> parts;
    if (int st = splitPath(path, &parts)) return st;
    RegKey* k = root_.get();
    bool created = false;
    const size_t firstNew = journal_.size();
    size_t len = 0;  // of k's path
    for (auto part : parts) {
        created = false;
        RegKey* existing = k->subkey(part);
        size_t pos = 0;
        if (!existing) {
            bool found;
            pos = k->subkeyPosition(part, &found);
            if (found) existing = k->subkeys[pos].get();
        }
        if (existing) {
            k = existing;
            len += (len ? 1 : 0) + k->name.size();
            continue;
        }
        created = true;
        auto nk = std::make_unique<RegKey>();
        nk->name.assign(part);
        nk->parent = k;
        nk->modif = now();
        RegOp op;
        op.kind = RegOp::CreateKey;
        op.oldModif = k->modif;
        op.oldRaw = k->rawValid;
        touch(k);  // as Wine does: a new subkey is a change of its parent
        RegKey* child = nk.get();
        k->subkeys.insert(k->subkeys.begin() + static_cast<ptrdiff_t>(pos), std::move(nk));
        k = child;
        len += (len ? 1 : 0) + k->name.size();
        op.pathLen = len;
        journal_.push_back(std::move(op));
    }
    // Each level made names a prefix of the deepest one's path.
    if (journal_.size() > firstNew) {
        const std::shared_ptr<const std::u16string> full = journalPath(k);
        for (size_t i = firstNew; i < journal_.size(); ++i) journal_[i].pathText = full;
    }
    // Recorded with the creation, so that a replay onto a file changed meanwhile makes it a link too.
    if (link && created) {
        k->link = true;
        journal_.back().link = true;
    }
    *out = k;
    return ERROR_SUCCESS;
}

int RegFile::setValue(RegKey* key, std::u16string_view name, uint32_t type, std::string_view data) {
    if (name.size() > kMaxValueNameLength) return ERROR_FILENAME_EXCED_RANGE;
    if (data.size() > UINT32_MAX) return ERROR_INVALID_PARAMETER;
    RegOp op = RegOp::make(RegOp::SetValue, journalPath(key), std::u16string(name), type, std::string(data));
    op.oldModif = key->modif;
    op.oldRaw = key->rawValid;
    bool found;
    size_t pos = key->valuePosition(name, &found);
    if (found) {
        RegValue& v = key->values()[pos];
        if (v.type == type && v.data == data) return ERROR_SUCCESS;  // not a change
        op.hadValue = true;
        op.oldType = v.type;
        op.oldData = std::move(v.data);
        v.type = type;
        v.data.assign(data);
    } else {
        key->values().insert(key->values().begin() + static_cast<ptrdiff_t>(pos),
                           RegValue{std::u16string(name), type, std::string(data)});
    }
    touch(key);
    journal_.push_back(std::move(op));
    return ERROR_SUCCESS;
}

int RegFile::deleteValue(RegKey* key, std::u16string_view name) {
    bool found;
    size_t pos = key->valuePosition(name, &found);
    if (!found) return ERROR_FILE_NOT_FOUND;
    RegOp op = RegOp::make(RegOp::DeleteValue, journalPath(key), std::u16string(name));
    op.oldModif = key->modif;
    op.oldRaw = key->rawValid;
    op.hadValue = true;
    op.oldType = key->values()[pos].type;
    op.oldData = std::move(key->values()[pos].data);
    key->values().erase(key->values().begin() + static_cast<ptrdiff_t>(pos));
    touch(key);
    journal_.push_back(std::move(op));
    return ERROR_SUCCESS;
}

int RegFile::deleteKey(RegKey* key) {
    RegKey* parent = key->parent;
    if (!parent) return ERROR_ACCESS_DENIED;
    bool found;
    size_t pos = parent->subkeyPosition(key->name, &found);
    if (!found) return ERROR_KEY_DELETED;
    RegOp op = RegOp::make(RegOp::DeleteKey, journalPath(key));
    forgetJournalPath();
    op.oldModif = parent->modif;
    op.oldRaw = parent->rawValid;
    op.removed = std::shared_ptr<RegKey>(std::move(parent->subkeys[pos]));
    parent->subkeys.erase(parent->subkeys.begin() + static_cast<ptrdiff_t>(pos));
    touch(parent);
    journal_.push_back(std::move(op));
    return ERROR_SUCCESS;
}

void RegFile::rollbackTo(size_t mark) {
    if (journal_.size() > mark) forgetJournalPath();
    // The key of the value op taken back last: the values of one key are not looked up again.
    const std::u16string* lastText = nullptr;
    size_t lastLen = 0;
    RegKey* last = nullptr;
    while (journal_.size() > mark) {
        RegOp op = std::move(journal_.back());
        journal_.pop_back();
        if (op.kind == RegOp::MoveKey) {  // the ops after it are already taken back
            last = nullptr;
            continue;
        }
        // Every later change is already taken back, so the key the op touched is where it was.
        RegKey* k = nullptr;
        const bool keyOp = op.kind == RegOp::CreateKey || op.kind == RegOp::DeleteKey;
        std::u16string_view where = op.path();
        if (keyOp) {
            size_t cut = where.rfind(u'\\');
            where = cut == std::u16string_view::npos ? std::u16string_view() : where.substr(0, cut);
        }
        if (!keyOp && last && op.pathText.get() == lastText && op.pathLen == lastLen) k = last;
        else if (findKey(where, &k) != ERROR_SUCCESS) k = nullptr;
        last = keyOp ? nullptr : k;
        lastText = op.pathText.get(), lastLen = op.pathLen;
        if (!k) continue;
        switch (op.kind) {
        case RegOp::CreateKey: {
            const std::u16string_view path = op.path();
            size_t cut = path.rfind(u'\\');
            std::u16string_view leaf = cut == std::u16string::npos ? path : path.substr(cut + 1);
            bool found;
            size_t pos = k->subkeyPosition(leaf, &found);
            if (found) k->subkeys.erase(k->subkeys.begin() + static_cast<ptrdiff_t>(pos));
            break;
        }
        case RegOp::MoveKey: break;
        case RegOp::DeleteKey: {
            if (!op.removed) break;
            bool found;
            size_t pos = k->subkeyPosition(op.removed->name, &found);
            if (!found) k->subkeys.insert(k->subkeys.begin() + static_cast<ptrdiff_t>(pos), op.removed->clone(k));
            break;
        }
        case RegOp::SetValue:
        case RegOp::DeleteValue: {
            bool found;
            size_t pos = k->valuePosition(op.name, &found);
            auto& vals = k->values();
            if (op.hadValue) {
                if (found) {
                    vals[pos].type = op.oldType;
                    vals[pos].data = std::move(op.oldData);
                } else {
                    vals.insert(vals.begin() + static_cast<ptrdiff_t>(pos),
                                RegValue{std::move(op.name), op.oldType, std::move(op.oldData)});
                }
            } else if (found) {
                vals.erase(vals.begin() + static_cast<ptrdiff_t>(pos));
            }
            break;
        }
        }
        k->modif = op.oldModif;
        k->rawValid = op.oldRaw;
    }
}

int RegFile::moveKey(std::u16string_view from, std::u16string_view to) {
    RegKey* src;
    if (int st = findKey(from, &src)) return st;
    if (!src->parent) return ERROR_ACCESS_DENIED;
    // Take the whole source first, level by level without recursion.
    struct Node {
        std::u16string rel;
        std::vector<RegValue> values;
    };
    std::vector<Node> nodes;
    std::vector<std::pair<const RegKey*, std::u16string>> todo{{src, {}}};
    while (!todo.empty()) {
        auto [k, rel] = std::move(todo.back());
        todo.pop_back();
        nodes.push_back({rel, k->values()});
        for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it)
            todo.emplace_back(it->get(), rel.empty() ? (*it)->name : rel + u"\\" + (*it)->name);
    }
    const size_t mark = journal_.size();
    journal_.push_back(RegOp::make(RegOp::MoveKey, journalPath(src)));
    RegKey* dst;
    int st = createKey(to, &dst);
    for (const RegKey* a = dst; st == ERROR_SUCCESS && a; a = a->parent)
        if (a == src) st = ERROR_INVALID_PARAMETER;
    if (st == ERROR_SUCCESS) journal_[mark].name = dst->path();
    const std::u16string dstPath = st == ERROR_SUCCESS ? dst->path() : std::u16string();
    for (size_t i = 0; st == ERROR_SUCCESS && i < nodes.size(); ++i) {
        RegKey* d = dst;
        if (!nodes[i].rel.empty()) st = createKey(dstPath + u"\\" + nodes[i].rel, &d);
        for (size_t v = 0; st == ERROR_SUCCESS && v < nodes[i].values.size(); ++v) {
            const RegValue& val = nodes[i].values[v];
            st = setValue(d, val.name, val.type, val.data);
        }
    }
    if (st == ERROR_SUCCESS) st = deleteKey(src);
    if (st != ERROR_SUCCESS) {
        rollbackTo(mark);
        return st;
    }
    journal_[mark].type = static_cast<uint32_t>(journal_.size() - mark - 1);
    return ERROR_SUCCESS;
}

void RegFile::replay(const RegJournal& ops) {
    // The key of the value op before, when the op after it names the same one.
    RegKey* last = nullptr;
    for (size_t i = 0; i < ops.size(); ++i) {
        const RegOp& op = ops[i];
        const bool sameKey = last && i > 0 && ops[i - 1].pathText == op.pathText && ops[i - 1].pathLen == op.pathLen;
        RegKey* k = sameKey ? last : nullptr;
        last = nullptr;
        switch (op.kind) {
        case RegOp::MoveKey:
            // Move the key as this copy holds it, values others added included. A source that is
            // gone here is not moved; the recorded copy then still gives the destination.
            if (findKey(op.path(), &k) == ERROR_SUCCESS && moveKey(op.path(), op.name) == ERROR_SUCCESS)
                i += op.type;
            break;
        case RegOp::CreateKey:
            createKey(op.path(), &k, op.link);
            break;
        case RegOp::SetValue:
            if (k || createKey(op.path(), &k) == ERROR_SUCCESS) {
                setValue(k, op.name, op.type, op.data);
                last = k;
            }
            break;
        case RegOp::DeleteValue:
            if (k || findKey(op.path(), &k) == ERROR_SUCCESS) {
                deleteValue(k, op.name);
                last = k;
            }
            break;
        case RegOp::DeleteKey:
            if (findKey(op.path(), &k) == ERROR_SUCCESS) deleteKey(k);
            break;
        }
    }
}

}  // namespace qv::reg
