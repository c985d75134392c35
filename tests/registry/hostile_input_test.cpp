// Registry files built to hurt: keys nested far deeper than a call stack, hundreds of thousands of
// keys and values out of order, megabytes of escapes, and headers Wine refuses. Each heavy case
// runs in a child process with a small stack and a limit of processor time far above what reading
// it takes (a few seconds under the sanitizers) and far below what a reader quadratic in its size
// takes (minutes); its time and memory are printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "registry/api.h"
#include "registry/bounded_child.h"
#include "registry/cli/reg_tool.h"
#include "registry/machine.h"
#include "registry/text.h"
#include "registry/winefile.h"

using namespace qv::reg;
namespace fs = std::filesystem;

namespace {

constexpr size_t kSmallStack = 256 << 10;  // a recursion over thousands of keys does not fit
const char kHead[] = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n";

std::unique_ptr<RegFile> parseOrNull(const std::string& text, std::string* why) {
    std::string error;
    auto f = RegFile::parse(text, "hostile.reg", &error);
    if (!f) *why = "refused: " + error;
    return f;
}

std::string deepPath(size_t levels, const char* sep) {
    std::string p = "k";
    for (size_t i = 1; i < levels; ++i) p.append(sep).append("k");
    return p;
}

std::string keyBlock(const std::string& name) { return "\n[" + name + "] 1700000000\n\"v\"=\"x\"\n"; }

// Wine folds names to lower case to order them: capitals stand among the small letters.
std::string wideName(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%07d", i % 2 ? 'k' : 'K', i);
    return buf;
}

struct HeavyCase {
    const char* name;
    unsigned maxCpuSeconds;
    long maxGrowthMb;
    std::function<std::string()> body;  // "" when it read the file right
};

std::string deepLevels() {
    // One header 200,000 levels deep: every level is a key; reading, querying, changing, writing,
    // copying and freeing the tree must not recurse over it.
    const size_t levels = 200000;
    const std::string text = std::string(kHead) + keyBlock(deepPath(levels, "\\\\"));
    std::string why;
    auto f = parseOrNull(text, &why);
    if (!f) return why;
    const std::u16string path = utf8ToUtf16(deepPath(levels, "\\"));
    RegKey* leaf = nullptr;
    if (f->findKey(path, &leaf) != ERROR_SUCCESS) return "the deepest key is missing";
    if (!leaf->value(u"v")) return "the deepest key lost its value";
    if (f->serialize() != text) return "the unchanged file was not written back as it was";
    f->setValue(leaf, u"w", REG_DWORD, std::string(4, '\1'));
    auto again = parseOrNull(f->serialize(), &why);
    if (!again) return why;
    RegKey* leaf2 = nullptr;
    if (again->findKey(path, &leaf2) != ERROR_SUCCESS || !leaf2->value(u"w")) return "the change did not come back";
    auto copy = f->root().clone(nullptr);
    if (copy->subkeys.size() != 1) return "the copy lost its keys";
    return "";
}

std::string wideKeys() {
    // 700,000 sibling keys, last first (each put in its place, they take minutes).
    const int n = 700000;
    std::string reversed = kHead, sorted = kHead;
    for (int i = n; i >= 1; --i) reversed += keyBlock(wideName(i));
    for (int i = 1; i <= n; ++i) sorted += keyBlock(wideName(i));
    std::string why;
    auto f = parseOrNull(reversed, &why);
    if (!f) return why;
    if (f->root().subkeys.size() != static_cast<size_t>(n)) return "keys were lost or doubled";
    // Each key's own text goes back unchanged, in Wine's order.
    if (f->serialize() != sorted) return "not written back as the same keys in Wine's order";
    RegKey* k = nullptr;
    if (f->findKey(u"k0000777", &k) != ERROR_SUCCESS) return "a key cannot be found";
    return "";
}

std::string wideValues() {
    // 200,000 values of one key, last first, each also named a second time in other capitals:
    // the name keeps its first spelling, the data the last line's.
    const int n = 200000;
    std::string text = std::string(kHead) + "\n[Key] 1700000000\n";
    for (int i = n; i >= 1; --i) text += "\"" + wideName(i) + "\"=dword:00000001\n";
    for (int i = n; i >= 1; i -= 1000) {
        std::string upper = wideName(i);
        upper[0] = upper[0] == 'k' ? 'K' : 'k';
        text += "\"" + upper + "\"=dword:00000002\n";
    }
    std::string why;
    auto f = parseOrNull(text, &why);
    if (!f) return why;
    RegKey* k = nullptr;
    if (f->findKey(u"Key", &k) != ERROR_SUCCESS) return "the key is missing";
    const auto& values = k->values();
    if (values.size() != static_cast<size_t>(n)) return std::to_string(values.size()) + " values instead of 200000";
    for (size_t i = 0; i < values.size(); ++i) {
        const std::u16string want = utf8ToUtf16(wideName(static_cast<int>(i) + 1));
        if (values[i].name != want) return "value " + std::to_string(i) + " is " + utf16ToUtf8(values[i].name);
        const bool renamed = (n - static_cast<int>(i) - 1) % 1000 == 0;
        if (values[i].data[0] != (renamed ? 2 : 1)) return "wrong data for " + utf16ToUtf8(want);
    }
    return "";
}

std::string escapes() {
    // An 8 MB string of escapes, and a value name of half a million more: reading each must take
    // time in proportion to its length.
    const size_t units = 2 << 20;
    std::string data, name;
    for (size_t i = 0; i < units; ++i) data += "\\x41";
    for (size_t i = 0; i < units / 4; ++i) name += "\\\\";
    const std::string text = std::string(kHead) + "\n[Key] 1700000000\n\"v\"=\"" + data + "\"\n\"" + name +
                             "\"=dword:00000001\n";
    std::string why;
    auto f = parseOrNull(text, &why);
    if (!f) return why;
    if (f->warnings().size() != 1) return "the over-long name was not reported";  // longer than Wine takes
    RegKey* k = nullptr;
    if (f->findKey(u"Key", &k) != ERROR_SUCCESS) return "the key is missing";
    const RegValue* v = k->value(u"v");
    if (!v || v->data.size() != units * 2 + 2 || v->data[2] != 'A') return "the string did not read back";
    if (f->serialize() != text) return "not written back as it was";
    return "";
}

std::string linesAfterLongValue() {
    // 50,000 lines Wine skips after a 4 MB value: each is kept after the value it followed.
    const size_t lines = 50000;
    std::string text = std::string(kHead) + "\n[Key] 1700000000\n\"v\"=\"" + std::string(4 << 20, 'a') + "\"\n";
    for (size_t i = 0; i < lines; ++i) text += "junk\n";
    std::string why;
    auto f = parseOrNull(text, &why);
    if (!f) return why;
    if (f->warnings().size() != lines) return std::to_string(f->warnings().size()) + " warnings";
    if (f->serialize() != text) return "not written back as it was";
    RegKey* k = nullptr;
    if (f->findKey(u"Key", &k) != ERROR_SUCCESS) return "the key is missing";
    f->setValue(k, u"a", REG_DWORD, std::string(4, '\0'));  // sorts before "v": the lines stay after "v"
    const std::string out = f->serialize();
    const size_t v = out.find("\"v\"=");
    if (v == std::string::npos || out.find("junk\n", v) == std::string::npos || out.find("junk") < v)
        return "the kept lines moved off their value";
    return "";
}

// A tree of depth levels under HKEY_CURRENT_USER\Deep of a new machine, copied and deleted: the
// copy and the record of what the deletion removed walk all of it.
std::string deepMachineKeys() {
    const size_t levels = 3000;
    const fs::path dir = fs::temp_directory_path() / ("qv-hostile-" + std::to_string(getpid()));
    std::string result;
    try {
        auto m = Machine::openOwn(dir);
        HKey k = nullptr;
        const std::string path = "Deep\\" + deepPath(levels, "\\");
        if (m->createKey(HKEY_CURRENT_USER, path, &k) != ERROR_SUCCESS) throw std::runtime_error("no deep key");
        m->setValue(k, "v", REG_SZ, std::string("x\0", 2));
        m->closeKey(k);
        if (m->copyKey(HKEY_CURRENT_USER, "Deep", HKEY_CURRENT_USER, "Copy") != ERROR_SUCCESS)
            throw std::runtime_error("copy failed");
        if (m->openKey(HKEY_CURRENT_USER, "Copy\\" + deepPath(levels, "\\"), &k) != ERROR_SUCCESS)
            throw std::runtime_error("the copy's deepest key is missing");
        uint32_t type = 0;
        std::string data;
        if (m->queryValue(k, "v", &type, &data) != ERROR_SUCCESS || data != std::string("x\0", 2))
            throw std::runtime_error("the copy's deepest value is missing");
        m->closeKey(k);
        if (m->deleteKey(HKEY_CURRENT_USER, "Deep") != ERROR_SUCCESS) throw std::runtime_error("delete failed");
        const ChangeSet pending = m->pendingChanges();
        size_t removed = 0;
        for (const ChangeOp& op : pending.ops) removed += op.oldTree.size();
        if (removed != levels + 1) throw std::runtime_error(std::to_string(removed) + " removed keys recorded");
    } catch (const std::exception& e) {
        result = e.what();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return result;
}

// quorvel-reg query /s and query /v /s over a key 3,000 levels deep: every level listed or
// searched without the call stack growing with the depth.
std::string deepQuery() {
    const size_t levels = 3000;
    const fs::path dir = fs::temp_directory_path() / ("qv-hostile-q-" + std::to_string(getpid()));
    std::string result;
    try {
        {
            auto m = Machine::openOwn(dir);
            HKey k = nullptr;
            if (m->createKey(HKEY_CURRENT_USER, "Deep\\" + deepPath(levels, "\\"), &k) != ERROR_SUCCESS)
                throw std::runtime_error("no deep key");
            m->setValue(k, "v", REG_SZ, std::string("x\0", 2));
            m->closeKey(k);
            m->commit();
        }
        for (const bool byName : {false, true}) {
            std::ostringstream out, err;
            std::vector<std::string> args = {"--machine", dir.string(), "query", "HKCU\\Deep", "/s"};
            if (byName) args.insert(args.end(), {"/v", "v"});
            if (qv::reg::cli::runRegTool(args, out, err) != 0) throw std::runtime_error(err.str());
            const std::string text = out.str();
            const size_t lines = size_t(std::count(text.begin(), text.end(), '\n'));
            if (!byName && lines < 2 * levels) throw std::runtime_error("query /s listed " + std::to_string(lines) + " lines");
            if (byName && text.find("Number of matches found: 1") == std::string::npos)
                throw std::runtime_error("query /v /s did not find the deepest value");
        }
    } catch (const std::exception& e) {
        result = e.what();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return result;
}

}  // namespace

TEST(HostileInput, HeavyFilesReadInBoundedTimeMemoryAndStack) {
    const HeavyCase cases[] = {
        {"deep: 200,000 levels", 60, 1536, deepLevels},
        {"deep: copied and deleted in a machine", 60, 1024, deepMachineKeys},
        {"deep: quorvel-reg query /s", 60, 1024, deepQuery},
        {"wide: 700,000 keys out of order", 45, 1536, wideKeys},
        {"wide: 200,000 values out of order", 60, 1024, wideValues},
        {"escapes: 8 MB", 60, 1024, escapes},
        {"kept lines: 50,000 after a 4 MB value", 60, 1024, linesAfterLongValue},
    };
    for (const HeavyCase& c : cases) {
        const qv::test::ChildResult r = qv::test::runBounded(c.maxCpuSeconds, kSmallStack, c.body);
        std::printf("[ hostile  ] %-40s %6.2f s (%.2f s processor), peak memory +%ld MB\n", c.name, r.seconds,
                    r.cpuSeconds, r.peakGrowthMb);
        EXPECT_EQ(r.failure, "") << c.name;
        EXPECT_LE(r.peakGrowthMb, c.maxGrowthMb) << c.name;
    }
}

TEST(HostileInput, RefusedHeadersMakeNoKeys) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::u16string> keys;  // the root's subkeys, as named
    };
    const std::string longName(256, 'n');
    const Case cases[] = {
        // Found by the fuzzer: the refused header made "Software", which the next header then
        // renamed on writing back.
        {"an empty component after a key named later",
         "WINE REGISTRY Version 2\n[]\n[Software\\\\\\\\x]\n[SoftwarE]\n", {u"SoftwarE"}},
        {"an empty component", "WINE REGISTRY Version 2\n[A\\\\\\\\B]\n[b]\n", {u"b"}},
        {"an over-long component", "WINE REGISTRY Version 2\n[P\\\\" + longName + "]\n[q]\n", {u"q"}},
    };
    for (const Case& c : cases) {
        std::string why;
        auto f = parseOrNull(c.text, &why);
        ASSERT_TRUE(f) << c.what << ": " << why;
        std::vector<std::u16string> names;
        for (const auto& k : f->root().subkeys) names.push_back(k->name);
        EXPECT_EQ(names, c.keys) << c.what;
        EXPECT_EQ(f->serialize(), c.text) << c.what;
        EXPECT_EQ(f->warnings().size(), 1u) << c.what;
    }
}
