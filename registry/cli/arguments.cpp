// quorvel-reg's arguments: key names, options, and the data of `add` and of listings as text.
#include <cstdio>

#include "registry/cli/tool.h"
#include "registry/text.h"

namespace qv::reg::cli {

std::string upperAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && upperAscii(a) == upperAscii(b);
}

std::optional<std::string_view> parseKey(std::string_view arg, KeyArg* key) {
    if (arg.empty() || arg[0] == '/' || arg[0] == '-' ||
        (arg.size() >= 2 && arg.substr(arg.size() - 2) == "\\\\"))
        return kInvalidKey;
    const size_t slash = arg.find('\\');
    const std::string_view rootPart = arg.substr(0, slash);
    for (const RootName& r : kRoots) {
        if (equalsNoCase(rootPart, r.full) || equalsNoCase(rootPart, r.abbrev)) key->root = &r;
    }
    if (!key->root) return kInvalidRoot;
    std::string_view sub;
    if (slash != std::string_view::npos) {
        sub = arg.substr(slash + 1);
        if (sub.empty()) return kInvalidRoot;
        if (sub.back() == '\\') sub.remove_suffix(1);
    }
    key->shown = key->root->full;
    if (!sub.empty()) {
        key->shown += '\\';
        key->shown += sub;
    }
    key->leadingEmpty = !sub.empty() && sub[0] == '\\';
    size_t i = 0;
    while (i <= sub.size()) {
        size_t j = sub.find('\\', i);
        if (j == std::string_view::npos) j = sub.size();
        if (j > i) {
            if (!key->path.empty()) key->path += '\\';
            key->path += sub.substr(i, j - i);
        }
        i = j + 1;
    }
    return std::nullopt;
}

// The roots Wine knows that no machine here has.
std::optional<std::string> rootOutside(const KeyArg& key) {
    if (key.root->handle != 0) return std::nullopt;
    return std::string("quorvel-reg: ") + key.root->full +
           " is not part of this registry; use HKEY_LOCAL_MACHINE (HKLM), "
           "HKEY_CURRENT_USER (HKCU) or HKEY_CLASSES_ROOT (HKCR)";
}

std::string key0Path(std::string_view arg) {
    const size_t slash = arg.find('\\');
    if (slash == std::string_view::npos) return {};
    std::string_view sub = arg.substr(slash + 1);
    if (!sub.empty() && sub.back() == '\\') sub.remove_suffix(1);
    return std::string(sub);
}


namespace {

// ---------------------------------------------------------------------------------------------
// Data: formatting

std::u16string unitsOf(std::string_view data) { return bytesToUtf16(data); }

uint64_t littleEndian(std::string_view data, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width && i < data.size(); ++i)
        v |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    return v;
}

std::string hexNumber(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string hexBytes(std::string_view data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(data.size() * 2);
    for (unsigned char c : data) {
        r += digits[c >> 4];
        r += digits[c & 15];
    }
    return r;
}

// ---------------------------------------------------------------------------------------------
// Data: parsing

bool isBlank(char16_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

int digitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// The number rules of /d for REG_DWORD (bits 32) and REG_QWORD (bits 64).
std::optional<uint64_t> parseNumber(std::u16string_view s, int bits) {
    if (s.empty()) return 0;
    if (bits == 32 && s[0] == u'-') return std::nullopt;
    const bool hex = s.size() >= 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X');
    const unsigned base = hex ? 16 : 10;
    const uint64_t max = bits == 64 ? UINT64_MAX : UINT32_MAX;
    size_t i = 0;
    bool negative = false;
    if (hex) {
        i = 2;
    } else {
        while (i < s.size() && isBlank(s[i])) ++i;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    }
    if (i == s.size()) return std::nullopt;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const int d = digitValue(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base) return std::nullopt;
        if (v > (max - static_cast<uint64_t>(d)) / base) return std::nullopt;
        v = v * base + static_cast<uint64_t>(d);
    }
    if (negative) v = (~v + 1) & max;
    return v;
}

std::string numberBytes(uint64_t v, size_t width) {
    std::string r(width, '\0');
    for (size_t i = 0; i < width; ++i) r[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    return r;
}

std::optional<std::string> parseMultiString(std::u16string_view data, std::u16string_view sep) {
    std::u16string out;
    if (data.empty()) return utf16ToBytes(std::u16string(1, u'\0'));
    bool endsWithSeparator = false;
    size_t i = 0;
    while (i < data.size()) {
        if (data.substr(i, sep.size()) == sep) {
            const size_t next = i + sep.size();
            if (i == 0 && next < data.size()) return std::nullopt;       // an empty first string
            if (data.substr(next, sep.size()) == sep) return std::nullopt;  // an empty string
            out += u'\0';
            i = next;
            endsWithSeparator = true;
        } else {
            out += data[i++];
            endsWithSeparator = false;
        }
    }
    out += u'\0';
    if (!endsWithSeparator) out += u'\0';
    return utf16ToBytes(out);
}


const char* opWord(Op op) {
    switch (op) {
    case Op::Query: return "QUERY";
    case Op::Add: return "ADD";
    case Op::Delete: return "DELETE";
    case Op::Copy: return "COPY";
    case Op::Export: return "EXPORT";
    case Op::Import: return "IMPORT";
    }
    return "";
}

}  // namespace

std::string syntaxError(Op op) {
    return std::string("reg: Invalid syntax. Type \"REG ") + opWord(op) + " /?\" for help.";
}

bool takeView(std::string_view upperName, int* view) {
    if (*view) return false;
    *view = upperName == "REG:32" ? 32 : 64;
    return true;
}

bool parseOptions(Op op, const std::vector<std::string>& args, size_t from, Options* o) {
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) return false;
        const std::string name = upperAscii(std::string_view(a).substr(1));
        auto takeWord = [&](std::optional<std::string>* slot) {
            if (*slot || i + 1 >= args.size()) return false;
            *slot = args[++i];
            return true;
        };
        auto takeFlag = [](bool* flag) {
            if (*flag) return false;
            *flag = true;
            return true;
        };
        bool ok;
        if (name == "V") ok = takeWord(&o->valueName);
        else if (name == "VE") ok = takeFlag(&o->defaultValue);
        else if (name == "VA" && op == Op::Delete) ok = takeFlag(&o->allValues);
        else if (name == "S" && op == Op::Query) ok = takeFlag(&o->recurse);
        else if (name == "S" && op == Op::Add) ok = takeWord(&o->separator);
        else if (name == "T" && op == Op::Add) ok = takeWord(&o->type);
        else if (name == "D" && op == Op::Add) ok = takeWord(&o->data);
        else if (name == "F" && op != Op::Query) ok = takeFlag(&o->force);
        else if (name == "REG:32" || name == "REG:64") ok = takeView(name, &o->view);
        else ok = false;
        if (!ok) return false;
    }
    const int which = (o->valueName ? 1 : 0) + (o->defaultValue ? 1 : 0) + (o->allValues ? 1 : 0);
    if (which > 1) return false;
    if (o->separator && utf8ToUtf16(*o->separator).size() != 1) return false;
    return true;
}

std::string childPath(const std::string& path, std::string_view name) {
    return path.empty() ? std::string(name) : path + '\\' + std::string(name);
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('\\', i);
        if (j == std::string::npos) j = path.size();
        parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

std::optional<Place> linkPlace(std::string_view target) {
    static const std::pair<std::string_view, int32_t> kBranches[] = {
        {"\\Registry\\Machine", HKEY_LOCAL_MACHINE},
        {"\\Registry\\User\\S-1-5-21-0-0-0-1000", HKEY_CURRENT_USER},
    };
    for (const auto& [prefix, root] : kBranches) {
        if (target.size() < prefix.size() || !equalsNoCase(target.substr(0, prefix.size()), prefix)) continue;
        std::string_view rest = target.substr(prefix.size());
        if (!rest.empty() && rest[0] != '\\') continue;
        Place p{root, {}};
        for (const std::string& c : components(std::string(rest)))
            if (!c.empty()) p.path = childPath(p.path, c);
        return p;
    }
    return std::nullopt;
}

std::string typeName(uint32_t type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "REG_UNKNOWN(0x%x)", type);
        return buf;
    }
    }
}

std::string formatData(uint32_t type, std::string_view data) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::u16string s = unitsOf(data);
        const size_t nul = s.find(u'\0');
        if (nul != std::u16string::npos) s.resize(nul);
        return utf16ToUtf8(s);
    }
    case REG_MULTI_SZ: {
        std::u16string s = unitsOf(data);
        // The list's terminator and the last string's; a list missing them keeps every character.
        for (int n = 0; n < 2 && !s.empty() && s.back() == u'\0'; ++n) s.pop_back();
        std::string r;
        size_t start = 0;
        for (;;) {
            const size_t nul = s.find(u'\0', start);
            r += utf16ToUtf8(std::u16string_view(s).substr(start, nul - start));
            if (nul == std::u16string::npos) break;
            r += "\\0";
            start = nul + 1;
        }
        return r;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: return hexNumber(littleEndian(data, 4));
    case REG_QWORD: return hexNumber(littleEndian(data, 8));
    default: return hexBytes(data);
    }
}

std::optional<std::string> parseData(uint32_t type, const std::optional<std::string>& data,
                                     std::string_view sep, DataError* error) {
    auto failWith = [&](std::string_view msg) -> std::optional<std::string> {
        if (error) error->message = std::string(msg);
        return std::nullopt;
    };
    const std::string text = data ? *data : std::string();
    switch (type) {
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
        if (!data) return failWith(kBadParameters);
        const auto v = parseNumber(utf8ToUtf16(text), 32);
        if (!v) return failWith(kBadNumber);
        return numberBytes(*v, 4);
    }
    case REG_QWORD: {
        const auto v = parseNumber(utf8ToUtf16(text), 64);
        if (!v) return failWith(kBadNumber);
        return numberBytes(*v, 8);
    }
    case REG_BINARY: {
        std::string hex = text;
        for (char c : hex)
            if (!std::isxdigit(static_cast<unsigned char>(c))) return failWith(kBadHex);
        if (hex.size() % 2) hex.insert(hex.begin(), '0');
        std::string bytes;
        for (size_t i = 0; i < hex.size(); i += 2)
            bytes += static_cast<char>(digitValue(static_cast<char16_t>(hex[i])) * 16 +
                                       digitValue(static_cast<char16_t>(hex[i + 1])));
        return bytes;
    }
    case REG_MULTI_SZ: {
        auto bytes = parseMultiString(utf8ToUtf16(text), utf8ToUtf16(sep));
        if (!bytes) return failWith(kBadString);
        return bytes;
    }
    default: {  // REG_SZ, REG_EXPAND_SZ, REG_NONE: the text with its NUL
        std::u16string s = utf8ToUtf16(text);
        s += u'\0';
        return utf16ToBytes(s);
    }
    }
}

}  // namespace qv::reg::cli
