// What a line of Wine's text holds: escaped strings and value lines, read or only checked, in one
// place for the full reader, the quick scan and the keys that read their values late.
#include "registry/wine/winetext.h"

#include <vector>

#include "registry/api.h"

namespace qv::reg::wine {

namespace {

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

}  // namespace

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

const char* skipString(const char* p, const char* end, char delim) {
    while (p < end) {
        p = findAny(p, end, delim, '\\', delim);
        if (p >= end) return nullptr;
        if (*p == delim) return p + 1;
        p += 2;  // an escape takes at least the character after the backslash
    }
    return nullptr;
}

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

}  // namespace qv::reg::wine
