#include "registry/text.h"

#include <array>
#include <clocale>
#include <cwctype>
#include <locale.h>
#include <mutex>

namespace qv::reg {

std::u16string utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        int len = 0;
        uint32_t cp = 0, min = 0;
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
        bool ok = len > 0 && i + len <= n;
        for (int k = 1; ok && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF) {
            out.push_back(u'\xFFFD');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));  // lone surrogates pass through as themselves
        }
        i += len;
    }
    return out;
}

static void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::string utf16ToBytes(std::u16string_view s) {
    std::string out(s.size() * 2, '\0');
    for (size_t i = 0; i < s.size(); ++i) {
        out[2 * i] = static_cast<char>(s[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>(s[i] >> 8);
    }
    return out;
}

std::u16string bytesToUtf16(std::string_view b) {
    std::u16string out((b.size() + 1) / 2, u'\0');
    for (size_t i = 0; i < b.size(); ++i) {
        auto byte = static_cast<unsigned char>(b[i]);
        if (i % 2 == 0) out[i / 2] = byte;
        else out[i / 2] |= static_cast<char16_t>(byte << 8);
    }
    return out;
}

namespace {
// Lower-case table for the BMP, filled from the C library's Unicode tables on first use of a
// non-ASCII character. Mappings that leave the BMP (none in practice) keep the character.
struct FoldTable {
    std::array<char16_t, 0x10000> map{};
    FoldTable() {
        locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
        for (uint32_t c = 0; c < 0x10000; ++c) {
            wint_t l = c;
            if (c >= 'A' && c <= 'Z') l = c + 32;
            else if (loc && c >= 0x80 && (c < 0xD800 || c > 0xDFFF)) l = towlower_l(c, loc);
            map[c] = l <= 0xFFFF ? static_cast<char16_t>(l) : static_cast<char16_t>(c);
        }
        if (loc) freelocale(loc);
    }
};
const FoldTable& foldTable() {
    static const FoldTable table;
    return table;
}
}  // namespace

std::u16string foldName(std::u16string_view s) {
    std::u16string r(s);
    for (char16_t& c : r) c = foldLower(c);
    return r;
}

char16_t foldLower(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    return foldTable().map[c];
}

int compareNames(std::u16string_view a, std::u16string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = a[i], y = b[i];
        if (x == y) continue;
        x = foldLower(x);
        y = foldLower(y);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string shellQuote(std::string_view s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'') r += "'\\''";
        else r += c;
    }
    return r + "'";
}

}  // namespace qv::reg
