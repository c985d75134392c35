// Writing a file back: keys nobody changed go out as the text they were read from, changed keys
// the way Wine writes them.
#include <algorithm>
#include <vector>

#include "registry/api.h"
#include "registry/text.h"
#include "registry/wine/keyindex.h"

namespace qv::reg {

using namespace wine;

namespace {

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

}  // namespace

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
        if (k.subkeys.index() && k.subkeys.made().empty() && !k.subkeys.empty()) {
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

}  // namespace qv::reg
