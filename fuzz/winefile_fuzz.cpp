// libFuzzer target for the Wine registry file reader and writer (registry/winefile.*).
//
// For any input that the reader accepts:
//  -. when the key index took it (in one pass or, for half the inputs, in two halves), the
//     whole-file reader reads the same tree without a warning;
//  0. a key header Wine refuses makes no key: with each such header made into a bare "[" line the
//     file reads into the same keys and values;
//  1. what the writer gives back for the unchanged file parses again into the same tree (same
//     keys with the same names and case, values with the same names, types and bytes, classes,
//     links, and the same kept lines);
//  2. the writer, made to write every key anew in Wine's form, gives text that parses into the
//     same tree again, timestamps included, and writing that anew once more gives the same bytes.
// A difference aborts with a description of it; crashes, hangs and sanitizer reports are found by
// libFuzzer itself.
//
// QV_FUZZ_LEVEL in the environment narrows the checks, to look for other faults while a known one
// is open: 0 only runs the steps (crashes, hangs, sanitizer reports); 1 also compares keys and
// values, classes and links; 2 (the default) also the kept lines and the rewrite's bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry/text.h"
#include "registry/wine/winefile.h"

namespace {

using qv::reg::RegFile;
using qv::reg::RegKey;

int g_level = 2;

std::string show(const std::u16string& s) { return qv::reg::utf16ToUtf8(s); }

[[noreturn]] void fail(const std::string& what, const std::string& where) {
    std::fprintf(stderr, "winefile_fuzz: %s at [%s]\n", what.c_str(), where.c_str());
    std::abort();
}

// The key's class and kept lines (both kept out of line, and absent in most keys).
std::u16string classOf(const RegKey& k) { return k.cls ? std::u16string(*k.cls) : u"<none>"; }
// Kept lines in the order a rewrite gives them: by the value they follow (the values themselves
// are sorted on writing), lines under a refused key header last; equal places keep their order.
std::vector<qv::reg::KeptLine> keptOf(const RegKey& k) {
    std::vector<qv::reg::KeptLine> lines = k.kept ? *k.kept : std::vector<qv::reg::KeptLine>{};
    std::stable_sort(lines.begin(), lines.end(), [](const qv::reg::KeptLine& a, const qv::reg::KeptLine& b) {
        if (a.orphan != b.orphan) return b.orphan;
        if (a.orphan) return false;
        if (a.afterValue != b.afterValue) return !a.afterValue;
        return qv::reg::compareNames(a.after, b.after) < 0;
    });
    return lines;
}

// Walks with a stack of its own: inputs may nest keys deeper than calls can.
void markAllChanged(RegKey& top) {
    std::vector<RegKey*> pending{&top};
    while (!pending.empty()) {
        RegKey* k = pending.back();
        pending.pop_back();
        k->rawValid = false;
        for (auto& sub : k->subkeys) pending.push_back(sub.get());
    }
}

void compareKey(const RegKey& a, const RegKey& b, bool times, bool kept, const char* step);

// Compares two trees; `times` also compares the timestamps of keys that have a header, `kept` the
// lines kept with the keys.
void compare(const RegKey& a, const RegKey& b, bool times, const char* step, bool kept = true) {
    std::vector<std::pair<const RegKey*, const RegKey*>> pending{{&a, &b}};
    while (!pending.empty()) {
        auto [x, y] = pending.back();
        pending.pop_back();
        compareKey(*x, *y, times, kept, step);
        for (size_t i = 0; i < x->subkeys.size(); ++i) pending.emplace_back(x->subkeys[i].get(), y->subkeys[i].get());
    }
}

void compareKey(const RegKey& a, const RegKey& b, bool times, bool kept, const char* step) {
    const std::string where = show(a.path());
    auto differ = [&](const std::string& what) { fail(std::string(step) + ": " + what, where); };
    if (a.name != b.name) differ("key name \"" + show(a.name) + "\" became \"" + show(b.name) + "\"");
    if (a.values().size() != b.values().size())
        differ(std::to_string(a.values().size()) + " values became " + std::to_string(b.values().size()));
    for (size_t i = 0; i < a.values().size(); ++i) {
        const auto& x = a.values()[i];
        const auto& y = b.values()[i];
        if (x.name != y.name) differ("value name \"" + show(x.name) + "\" became \"" + show(y.name) + "\"");
        if (x.type != y.type) differ("type of \"" + show(x.name) + "\" changed");
        if (x.data != y.data) differ("data of \"" + show(x.name) + "\" changed");
    }
    if (classOf(a) != classOf(b)) differ("class changed");
    if (a.link != b.link) differ("link flag changed");
    const auto ka = kept ? keptOf(a) : std::vector<qv::reg::KeptLine>{};
    const auto kb = kept ? keptOf(b) : std::vector<qv::reg::KeptLine>{};
    if (g_level >= 2 && ka.size() != kb.size())
        differ(std::to_string(ka.size()) + " kept lines became " + std::to_string(kb.size()));
    for (size_t i = 0; g_level >= 2 && i < ka.size(); ++i) {
        if (ka[i].text != kb[i].text) differ("kept line changed: " + ka[i].text);
        // The value a kept line follows is named as the value is, whose case the first mention set.
        if (ka[i].afterValue != kb[i].afterValue || qv::reg::compareNames(ka[i].after, kb[i].after) != 0)
            differ("kept line moved: " + ka[i].text);
    }
    if (times && a.parent && a.needsHeader() && a.modif != b.modif) differ("timestamp changed");
    if (a.subkeys.size() != b.subkeys.size())
        differ(std::to_string(a.subkeys.size()) + " subkeys became " + std::to_string(b.subkeys.size()));
}

// The input with every key header the reader refused made into a bare "[", which names no key;
// empty when no header was refused.
std::string withoutRefusedHeaders(const RegFile& f, const std::string& text) {
    std::vector<size_t> lines;
    for (const std::string& w : f.warnings()) {
        const size_t reason = w.find(": malformed key");
        const size_t colon = w.rfind(':', reason == std::string::npos ? 0 : reason - 1);
        if (reason == std::string::npos || colon == std::string::npos) continue;
        lines.push_back(std::strtoul(w.c_str() + colon + 1, nullptr, 10));
    }
    if (lines.empty()) return {};
    std::sort(lines.begin(), lines.end());
    std::string out;
    size_t lineNo = 1, at = 0, next = 0;
    for (; at < text.size(); at = next, ++lineNo) {
        const size_t nl = text.find('\n', at);
        next = nl == std::string::npos ? text.size() : nl + 1;
        if (!std::binary_search(lines.begin(), lines.end(), lineNo)) {
            out.append(text, at, next - at);
            continue;
        }
        const size_t cr = nl != std::string::npos && nl > at && text[nl - 1] == '\r' ? nl - 1 : nl;
        out += "[";
        if (nl != std::string::npos) out.append(text, cr, next - cr);
    }
    return out;
}

std::unique_ptr<RegFile> reparse(const std::string& text, const char* step) {
    std::string error;
    auto f = RegFile::parse(text, "again.reg", &error);
    if (!f) fail(std::string(step) + ": the written text is refused: " + error, "");
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* v = std::getenv("QV_FUZZ_LEVEL"); v && *v >= '0' && *v <= '2') g_level = *v - '0';
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Half the inputs are checked as large files are, in two halves at once; the whole-file
    // reader of the index check below then tells a seam that loses or adds anything.
    qv::reg::setSplitScanSize(size % 2 ? 0 : SIZE_MAX);
    std::string error;
    auto first = RegFile::parse(std::string(reinterpret_cast<const char*>(data), size), "fuzz.reg", &error);
    if (!first) return 0;  // refused as Wine would refuse it: nothing more to check

    const std::string input(reinterpret_cast<const char*>(data), size);
    // A file taken by the key index is one the whole-file reader reads alike and without a
    // warning (a comment after the last key makes the reader read it whole).
    if (!first->root().subkeys.built()) {
        std::string whyNot;
        auto whole = RegFile::parse(input + "\n; read whole\n", "fuzz.reg", &whyNot);
        if (!whole) fail("indexed a file the whole-file reader refuses: " + whyNot, "");
        if (!whole->warnings().empty()) fail("indexed a file with a warning: " + whole->warnings()[0], "");
        if (g_level >= 1) compare(first->root(), whole->root(), false, "index", false);
    }

    // 0. Refused headers make no key.
    if (const std::string bare = withoutRefusedHeaders(*first, input); g_level >= 1 && !bare.empty()) {
        auto plain = reparse(bare, "refused headers");
        compare(first->root(), plain->root(), false, "refused headers", false);
    }

    // 1. The unchanged file written back reads the same.
    const std::string same = first->serialize();
    auto second = reparse(same, "write-back");
    if (g_level >= 1) compare(first->root(), second->root(), false, "write-back");

    // 2. Every key written anew, in Wine's form.
    markAllChanged(first->root());
    const std::string fresh = first->serialize();
    auto third = reparse(fresh, "rewrite");
    if (g_level >= 1) compare(first->root(), third->root(), true, "rewrite");
    // (A file whose last line has no line end is left out: its text before the first key is
    // kept as it is, and a key written after it starts a line of its own.)
    markAllChanged(third->root());
    if (g_level >= 2 && size && data[size - 1] == '\n' && third->serialize() != fresh)
        fail("rewrite: writing the rewritten file anew changed it", "");
    return 0;
}
