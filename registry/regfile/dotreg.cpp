#include "registry/regfile/dotreg.h"

#include <cstdio>

#include "registry/text.h"

namespace qv::reg {

namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";

// ---------------------------------------------------------------------------------------------
// 8-bit text

// Well-formed UTF-8 as utf8ToUtf16 reads it back unchanged (surrogates written as three bytes
// count: they are how unpaired UTF-16 units travel through UTF-8 here).
bool isUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        uint32_t cp, min;
        if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
        else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
        else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
        else return false;
        if (i + len > n) return false;
        for (int k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF) return false;
        i += len;
    }
    return true;
}

// Windows-1252; the five unassigned bytes map to the C1 controls of the same number, as Windows
// converts them.
std::u16string fromCp1252(std::string_view s) {
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::u16string r;
    r.reserve(s.size());
    for (unsigned char c : s) r += (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : static_cast<char16_t>(c);
    return r;
}

std::u16string from8bit(std::string_view s) { return isUtf8(s) ? utf8ToUtf16(s) : fromCp1252(s); }

// ---------------------------------------------------------------------------------------------
// Roots

struct Root {
    std::u16string_view full, abbrev;
    int32_t handle;
};

constexpr Root kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", u"HKLM", HKEY_LOCAL_MACHINE},
    {u"HKEY_CURRENT_USER", u"HKCU", HKEY_CURRENT_USER},
    {u"HKEY_CLASSES_ROOT", u"HKCR", HKEY_CLASSES_ROOT},
    {u"HKEY_USERS", u"HKU", HKEY_USERS},
    {u"HKEY_CURRENT_CONFIG", u"HKCC", HKEY_CURRENT_CONFIG},
};

// ---------------------------------------------------------------------------------------------
// Reading

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view skipBlanks(std::u16string_view s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    return s.substr(i);
}

std::u16string_view trimEnd(std::u16string_view s) {
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Nothing but blanks, or a comment, is left.
bool restIsEmpty(std::u16string_view s) {
    s = skipBlanks(s);
    return s.empty() || s[0] == u';';
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

class Reader {
public:
    Reader(const std::string& name, std::string* error, const RegOpSink& each)
        : name_(name), error_(error), each_(each) {}

    bool read(std::string_view bytes);

private:
    bool fail(size_t line, const std::string& what) {
        if (error_) *error_ = name_ + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    bool nextLine(std::u16string_view* line);
    bool keyLine(std::u16string_view rest);
    bool valueLine(std::u16string_view rest);
    // A quoted string after its opening quote: the text, and what follows the closing quote.
    bool unquote(std::u16string_view s, std::u16string* text, std::u16string_view* after, const char* what);
    bool parseData(std::u16string_view s, ChangeOp* op);
    bool parseHex(std::u16string_view s, std::string* bytes);

    bool emit(const ChangeOp& op) { return each_(op, opLine_); }

    std::string name_;
    std::string* error_;
    const RegOpSink& each_;
    size_t opLine_ = 0;  // where the operation being read starts (a hex list may go on)
    // The file's bytes, turned into text a line at a time: a large file is never held twice.
    std::string_view bytes_;
    enum class Encoding { Utf16, Utf8, Cp1252 } encoding_ = Encoding::Utf16;
    std::u16string line_;
    size_t pos_ = 0, lineNo_ = 0;
    bool unicode_ = false;
    bool haveKey_ = false;
    int32_t root_ = 0;
    std::u16string key_;  // lent to the value operations below it
};

bool Reader::nextLine(std::u16string_view* line) {
    const size_t n = bytes_.size();
    if (pos_ >= n) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes_.data());
    // The unit (UTF-16) or byte at i, and how wide one is.
    const size_t w = encoding_ == Encoding::Utf16 ? 2 : 1;
    auto at = [&](size_t i) -> char16_t { return w == 2 ? char16_t(b[i] | b[i + 1] << 8) : char16_t(b[i]); };
    size_t stop = pos_;
    bool ascii = true;
    while (stop < n && at(stop) != u'\r' && at(stop) != u'\n') {
        ascii = ascii && at(stop) < 0x80;
        stop += w;
    }
    const std::string_view raw = bytes_.substr(pos_, stop - pos_);
    if (w == 2 || ascii) {
        line_.resize(raw.size() / w);
        for (size_t i = 0; i < line_.size(); ++i) line_[i] = at(pos_ + i * w);
    } else {
        line_ = encoding_ == Encoding::Utf8 ? utf8ToUtf16(raw) : fromCp1252(raw);
    }
    *line = line_;
    pos_ = stop;
    if (pos_ < n) {
        if (at(pos_) == u'\r' && pos_ + w < n && at(pos_ + w) == u'\n') pos_ += w;
        pos_ += w;
    }
    ++lineNo_;
    return true;
}

bool Reader::read(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        unicode_ = true;
        bytes.remove_prefix(2);
        if (bytes.size() % 2) bytes.remove_suffix(1);  // half a character at the end is no text
        encoding_ = Encoding::Utf16;
    } else {
        if (bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0)
            return fail(1, "UTF-16 text without a byte order mark (save it as Unicode with a BOM, or as 8-bit text)");
        if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
        encoding_ = isUtf8(bytes) ? Encoding::Utf8 : Encoding::Cp1252;
    }
    bytes_ = bytes;
    std::u16string_view line;
    if (!nextLine(&line))
        return fail(1, "empty file; a .reg file starts with \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    line = skipBlanks(line);
    if (line != kHeader5 && line != kHeader4)
        return fail(1, "not a .reg file: the first line must be \"Windows Registry Editor Version 5.00\" or "
                       "\"REGEDIT4\"");
    while (nextLine(&line)) {
        if (line.find(u'\0') != std::u16string_view::npos) return fail(lineNo_, "a NUL character in the text");
        const std::u16string_view rest = skipBlanks(line);
        opLine_ = lineNo_;
        bool ok = true;
        if (rest.empty() || rest[0] == u';') continue;
        if (rest[0] == u'[') ok = keyLine(rest.substr(1));
        else if (rest[0] == u'@' || rest[0] == u'"') ok = valueLine(rest);
        else ok = fail(lineNo_, "expected [KEY], [-KEY], a value (\"name\"=... or @=...) or a ; comment");
        if (!ok) return false;
    }
    return true;
}

bool Reader::keyLine(std::u16string_view s) {
    const size_t close = s.rfind(u']');
    if (close == std::u16string_view::npos) return fail(lineNo_, "a key name without its closing ]");
    if (!s.empty() && isBlank(s[0])) return fail(lineNo_, "a blank after [ (key names start right after it)");
    std::u16string_view name = s.substr(0, close);
    const bool remove = !name.empty() && name[0] == u'-';
    if (remove) name.remove_prefix(1);
    const size_t slash = name.find(u'\\');
    const std::u16string_view rootPart = name.substr(0, slash);
    const Root* root = nullptr;
    for (const Root& r : kRoots)
        if (namesEqual(rootPart, r.full) || namesEqual(rootPart, r.abbrev)) root = &r;
    if (!root)
        return fail(lineNo_, "\"" + utf16ToUtf8(rootPart) +
                                 "\" is not a registry root (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
                                 "HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_CONFIG or HKLM, HKCU, "
                                 "HKCR, HKU, HKCC)");
    std::u16string path;
    if (slash != std::u16string_view::npos) {
        std::u16string_view sub = name.substr(slash + 1);
        if (!sub.empty() && sub[0] == u'\\') return fail(lineNo_, "an empty key name after the root");
        size_t i = 0;
        while (i < sub.size()) {
            size_t j = sub.find(u'\\', i);
            if (j == std::u16string_view::npos) j = sub.size();
            if (j > i) {
                if (!path.empty()) path += u'\\';
                path.append(sub.substr(i, j - i));
            }
            i = j + 1;
        }
    }
    if (remove && path.empty()) return fail(lineNo_, "a root key cannot be deleted");
    ChangeOp op;
    op.root = root->handle;
    op.key = std::move(path);
    op.kind = remove ? ChangeOp::Kind::DeleteKey : ChangeOp::Kind::CreateKey;
    haveKey_ = false;  // values after [-KEY] belong to no key
    if (!emit(op)) return false;
    if (!remove) {
        haveKey_ = true;
        root_ = root->handle;
        key_ = std::move(op.key);
    }
    return true;
}

bool Reader::unquote(std::u16string_view s, std::u16string* text, std::u16string_view* after, const char* what) {
    text->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'"') {
            *after = s.substr(i + 1);
            return true;
        }
        if (c != u'\\') {
            *text += c;
            continue;
        }
        if (++i == s.size()) break;
        switch (s[i]) {
        case u'n': *text += u'\n'; break;
        case u'r': *text += u'\r'; break;
        case u'0': return fail(lineNo_, std::string("\\0 in ") + what + " (a NUL cannot be written in quotes; use hex(1):)");
        default: *text += s[i]; break;  // \\, \" and, as Wine takes them, any other character
        }
    }
    return fail(lineNo_, std::string(what) + " without its closing quote");
}

bool Reader::valueLine(std::u16string_view s) {
    ChangeOp op;
    std::u16string_view rest;
    if (s[0] == u'@') {
        rest = s.substr(1);
    } else if (!unquote(s.substr(1), &op.name, &rest, "a value name")) {
        return false;
    }
    rest = skipBlanks(rest);
    if (rest.empty() || rest[0] != u'=') return fail(lineNo_, "expected = after the value name");
    rest = trimEnd(skipBlanks(rest.substr(1)));
    if (!haveKey_) return fail(lineNo_, "a value before any [KEY] line (or after [-KEY])");
    op.root = root_;
    if (!rest.empty() && rest[0] == u'-') {
        if (!restIsEmpty(rest.substr(1))) return fail(lineNo_, "unexpected text after =-");
        op.kind = ChangeOp::Kind::DeleteValue;
    } else {
        op.kind = ChangeOp::Kind::SetValue;
        if (!parseData(rest, &op)) return false;
    }
    // The key is lent, not copied: a key of many values is held once.
    op.key = std::move(key_);
    const bool go = emit(op);
    key_ = std::move(op.key);
    return go;
}

bool Reader::parseData(std::u16string_view s, ChangeOp* op) {
    auto startsWith = [&](std::u16string_view tag) { return s.substr(0, tag.size()) == tag; };
    if (startsWith(u"\"")) {
        std::u16string text;
        std::u16string_view after;
        if (!unquote(s.substr(1), &text, &after, "a string")) return false;
        if (!restIsEmpty(after)) return fail(lineNo_, "unexpected text after the closing quote");
        text += u'\0';
        op->type = REG_SZ;
        op->data = utf16ToBytes(text);
        return true;
    }
    if (startsWith(u"dword:")) {
        std::u16string_view d = skipBlanks(s.substr(6));
        if (d.empty()) return fail(lineNo_, "dword: without a number");
        size_t n = 0;
        uint32_t v = 0;
        while (n < d.size() && hexDigit(d[n]) >= 0) v = v * 16 + static_cast<uint32_t>(hexDigit(d[n++]));
        if (n > 8) return fail(lineNo_, "dword: takes at most 8 hex digits");
        if (!restIsEmpty(d.substr(n))) return fail(lineNo_, "dword: takes hex digits only (no 0x, no sign)");
        op->type = REG_DWORD;
        op->data = std::string(4, '\0');
        for (int i = 0; i < 4; ++i) op->data[i] = static_cast<char>((v >> (8 * i)) & 0xff);
        return true;
    }
    std::u16string_view list;
    if (startsWith(u"hex:")) {
        op->type = REG_BINARY;
        list = s.substr(4);
    } else if (startsWith(u"hex(")) {
        std::u16string_view t = s.substr(4);
        size_t n = 0;
        uint64_t v = 0;
        while (n < t.size() && hexDigit(t[n]) >= 0 && v <= 0xffffffffu)
            v = v * 16 + static_cast<uint64_t>(hexDigit(t[n++]));
        if (n == 0 || v > 0xffffffffu || t.substr(n, 2) != u"):")
            return fail(lineNo_, "hex(N): needs a type number in hex digits, like hex(2):");
        op->type = static_cast<uint32_t>(v);
        list = t.substr(n + 2);
    } else {
        return fail(lineNo_, "unknown data: expected \"text\", dword:, hex: or hex(N):, or - to delete");
    }
    if (!parseHex(list, &op->data)) return false;
    const uint32_t t = op->type;
    if ((t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ) && !op->data.empty()) {
        // Strings in hex get their terminating NUL when it is missing, as Wine's import adds it;
        // an 8-bit file holds them as 8-bit text.
        std::string& d = op->data;
        if (unicode_) {
            if (d.size() % 2 == 0 && (d[d.size() - 1] != 0 || d[d.size() - 2] != 0)) d.append(2, '\0');
        } else {
            if (d.back() != 0) d += '\0';
            d = utf16ToBytes(from8bit(d));
        }
    }
    return true;
}

// A list of hex bytes separated by commas, as Wine reads them: each byte may have blanks, a + or
// a 0x before it; a line ending in ",\" (or starting with "\" for an empty first line) goes on in
// the next line that is not blank or a comment.
bool Reader::parseHex(std::u16string_view s, std::string* bytes) {
    bytes->clear();
    for (;;) {
        size_t i = 0;
        bool more = false;
        while (i < s.size()) {
            size_t j = i;
            while (j < s.size() && (isBlank(s[j]) || s[j] == u'\v' || s[j] == u'\f')) ++j;
            bool negative = false;
            if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) negative = s[j++] == u'-';
            if (j + 2 < s.size() && s[j] == u'0' && (s[j + 1] == u'x' || s[j + 1] == u'X') &&
                hexDigit(s[j + 2]) >= 0)
                j += 2;
            size_t digits = 0;
            uint64_t v = 0;
            while (j < s.size() && hexDigit(s[j]) >= 0) {
                if (v <= 0xff) v = v * 16 + static_cast<uint64_t>(hexDigit(s[j]));
                ++j;
                ++digits;
            }
            if (digits == 0) {
                const std::u16string_view r = skipBlanks(s.substr(i));
                if (!r.empty() && r[0] == u'\\') {
                    if (!restIsEmpty(r.substr(1))) return fail(lineNo_, "unexpected text after the \\ that continues the line");
                    more = true;
                    break;
                }
                if (!r.empty() && r[0] == u';') break;
                return fail(lineNo_, "expected a hex byte (two hex digits) in the list");
            }
            if (negative && v != 0) v = 0x100;  // wraps far beyond a byte
            if (v > 0xff) return fail(lineNo_, "a hex byte greater than ff");
            *bytes += static_cast<char>(v);
            if (j < s.size() && s[j] != u',') {
                if (!restIsEmpty(s.substr(j))) return fail(lineNo_, "hex bytes must be separated by commas");
                break;
            }
            i = j < s.size() ? j + 1 : j;
        }
        if (!more) return true;
        // The continuation: blank and comment lines are passed over; the end of the file ends it.
        std::u16string_view line;
        for (;;) {
            if (!nextLine(&line)) return true;
            line = skipBlanks(line);
            if (line.find(u'\0') != std::u16string_view::npos) return fail(lineNo_, "a NUL character in the text");
            if (!line.empty() && line[0] != u';') break;
        }
        if (hexDigit(line[0]) < 0) return fail(lineNo_, "the continued hex list goes on with something else");
        s = trimEnd(line);
    }
}

// ---------------------------------------------------------------------------------------------
// Writing

constexpr size_t kMaxHexColumn = 77;  // Wine breaks a hex list once a line reaches this column

void appendAscii(std::u16string& out, std::string_view s) {
    for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
}

// Wine's escapes: backslash, quote, CR and LF; stops at a NUL as Wine does.
void appendEscaped(std::u16string& out, std::u16string_view s) {
    for (char16_t c : s) {
        switch (c) {
        case u'\0': return;
        case u'\\': out += u"\\\\"; break;
        case u'"': out += u"\\\""; break;
        case u'\r': out += u"\\r"; break;
        case u'\n': out += u"\\n"; break;
        default: out += c;
        }
    }
}

void appendHexList(std::u16string& out, uint32_t type, size_t column, std::string_view data, bool wrap) {
    static const char16_t digits[] = u"0123456789abcdef";
    const size_t start = out.size();
    if (type == REG_BINARY) {
        out += u"hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", type);
        appendAscii(out, buf);
    }
    column += out.size() - start;
    for (size_t i = 0; i < data.size(); ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
        if (i + 1 == data.size()) break;
        out += u',';
        column += 3;
        if (wrap && column >= kMaxHexColumn) {
            out += u"\\\r\n  ";
            column = 2;
        }
    }
}

// An 8-bit file holds REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ hex lists as 8-bit text.
std::string hexPayload(uint32_t type, std::string_view data, RegFormat format) {
    if (format != RegFormat::Regedit4 || (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ))
        return std::string(data);
    return utf16ToUtf8(bytesToUtf16(data));
}

bool cleanString(std::string_view data) {
    if (data.size() < 2 || data.size() % 2) return false;
    const std::u16string u = bytesToUtf16(data);
    return u.find(u'\0') == u.size() - 1;
}

// A value spelled without loss: "text" only for a string with exactly its one terminating NUL,
// dword: only for four bytes, hex(N): for the rest. Wine's own export writes any REG_SZ in quotes
// (cut at its first NUL, and short of its last unit when that is no terminator) and any DWORD
// with data as dword:, losing bytes; hex(1): and hex(4): bring every byte back through Wine's
// import and ours (which add a terminator only to a string that lacks one).
void appendValue(std::u16string& out, std::u16string_view name, uint32_t type, std::string_view data,
                 RegFormat format, bool wrap) {
    const size_t start = out.size();
    if (name.empty()) {
        out += u"@=";
    } else {
        out += u'"';
        appendEscaped(out, name);
        out += u"\"=";
    }
    const size_t column = out.size() - start;
    if (type == REG_SZ && cleanString(data)) {
        const std::u16string u = bytesToUtf16(data);
        out += u'"';
        appendEscaped(out, std::u16string_view(u).substr(0, u.size() - 1));
        out += u'"';
    } else if (type == REG_DWORD && data.size() == 4) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
        char buf[24];
        std::snprintf(buf, sizeof buf, "dword:%08x", v);
        appendAscii(out, buf);
    } else {
        appendHexList(out, type, column, hexPayload(type, data, format), wrap);
    }
    out += u"\r\n";
}

void appendKeyHeader(std::u16string& out, int32_t root, std::u16string_view key, bool remove) {
    out += u"\r\n[";
    if (remove) out += u'-';
    appendAscii(out, rootName(root));
    if (!key.empty()) {
        out += u'\\';
        out += key;
    }
    out += u"]\r\n";
}

std::u16string layout(const ChangeSet& changes, RegFormat format, std::string_view comment) {
    std::u16string out(format == RegFormat::Regedit4 ? kHeader4 : kHeader5);
    out += u"\r\n";
    if (!comment.empty()) {
        size_t i = 0;
        while (i <= comment.size()) {
            size_t j = comment.find('\n', i);
            if (j == std::string_view::npos) j = comment.size();
            std::string_view line = comment.substr(i, j - i);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            out += u"; ";
            out += utf8ToUtf16(line);
            out += u"\r\n";
            i = j + 1;
        }
    }
    bool open = false;
    int32_t root = 0;
    std::u16string key;
    for (const ChangeOp& op : changes.ops) {
        switch (op.kind) {
        case ChangeOp::Kind::DeleteKey:
            appendKeyHeader(out, op.root, op.key, true);
            open = false;
            break;
        case ChangeOp::Kind::CreateKey:
            appendKeyHeader(out, op.root, op.key, false);
            open = true, root = op.root, key = op.key;
            break;
        case ChangeOp::Kind::SetValue:
        case ChangeOp::Kind::DeleteValue:
            if (!open || root != op.root || key != op.key) {
                appendKeyHeader(out, op.root, op.key, false);
                open = true, root = op.root, key = op.key;
            }
            if (op.kind == ChangeOp::Kind::SetValue) {
                appendValue(out, op.name, op.type, op.data, format, true);
            } else {
                if (op.name.empty()) {
                    out += u"@=-\r\n";
                } else {
                    out += u'"';
                    appendEscaped(out, op.name);
                    out += u"\"=-\r\n";
                }
            }
            break;
        }
    }
    out += u"\r\n";
    return out;
}

}  // namespace

std::optional<ChangeSet> readRegFile(std::string_view bytes, const std::string& name, std::string* error) {
    return readRegFile(bytes, name, error, nullptr);
}

std::optional<ChangeSet> readRegFile(std::string_view bytes, const std::string& name, std::string* error,
                                     std::vector<size_t>* lines) {
    if (lines) lines->clear();
    ChangeSet out;
    const bool ok = readRegFileOps(bytes, name, error, [&](const ChangeOp& op, size_t line) {
        out.ops.push_back(op);
        if (lines) lines->push_back(line);
        return true;
    });
    if (ok) return out;
    if (lines) lines->clear();
    return std::nullopt;
}

bool readRegFileOps(std::string_view bytes, const std::string& name, std::string* error, const RegOpSink& each) {
    return Reader(name, error, each).read(bytes);
}

std::string writeRegFile(const ChangeSet& changes, RegFormat format, std::string_view comment) {
    const std::u16string text = layout(changes, format, comment);
    if (format == RegFormat::Regedit4) return utf16ToUtf8(text);
    return "\xFF\xFE" + utf16ToBytes(text);
}

std::string writeRegText(const ChangeSet& changes, std::string_view comment) {
    const std::string crlf = utf16ToUtf8(layout(changes, RegFormat::Unicode, comment));
    std::string r;
    r.reserve(crlf.size());
    for (size_t i = 0; i < crlf.size(); ++i)
        if (!(crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n')) r += crlf[i];
    return r;
}

std::string regDataText(uint32_t type, std::string_view data) {
    std::u16string out;
    appendValue(out, u"", type, data, RegFormat::Unicode, false);
    // Without the "@=" in front and the line end after.
    return utf16ToUtf8(std::u16string_view(out).substr(2, out.size() - 4));
}

RegExportWriter::RegExportWriter() {
    out_.push_back(u'\xFEFF');
    out_ += kHeader5;
    out_ += u"\r\n";
}

void RegExportWriter::key(std::u16string_view fullName) {
    out_ += u"\r\n[";
    out_ += fullName;
    out_ += u"]\r\n";
}

void RegExportWriter::value(std::u16string_view name, uint32_t type, std::string_view data) {
    appendValue(out_, name, type, data, RegFormat::Unicode, true);
}

std::string RegExportWriter::finish() {
    out_ += u"\r\n";
    std::string r = utf16ToBytes(out_);
    out_.clear();
    return r;
}

}  // namespace qv::reg
