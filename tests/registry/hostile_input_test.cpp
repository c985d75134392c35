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
#include "registry/machines/machine.h"
#include "registry/test_files.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

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

// The sanitizers' shadow memory, redzones and quarantine come on top of what a case takes itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kSanitizerMb = 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr long kSanitizerMb = 1024;
#else
constexpr long kSanitizerMb = 0;
#endif
#else
constexpr long kSanitizerMb = 0;
#endif

std::string runTool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int rc = qv::reg::cli::runRegTool(args, out, err);
    return rc == 0 ? std::string() : "exit " + std::to_string(rc) + ": " + err.str().substr(0, 300);
}

// A .reg file's imports, by quorvel-reg (its own reading, link resolution and commit) or by the
// scripting mode's Machine::applyRegFile, into a new machine; check() then looks at it.
std::string importInto(const std::string& tag, const std::string& text, bool tool,
                       const std::function<std::string(Machine&)>& check) {
    const fs::path dir = fs::temp_directory_path() / ("qv-hostile-" + tag + "-" + std::to_string(getpid()));
    const fs::path file = dir.string() + ".reg";
    std::string result;
    try {
        qvtest::writeFile(file, text);
        Machine::openOwn(dir);  // seeded before the import, so that only the import is measured
        if (tool) {
            result = runTool({"--machine", dir.string(), "import", file.string()});
        } else {
            auto m = Machine::openOwn(dir);
            std::string error;
            if (m->applyRegFile(text, file.string(), &error) != ERROR_SUCCESS) result = error;
            else m->commit();
        }
        if (result.empty()) result = check(*Machine::openOwn(dir));
    } catch (const std::exception& e) {
        result = e.what();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::remove(file, ec);
    return result;
}

// A key 512 levels down (names of 64 characters: a path of 33,000) holding 20,000 values, and
// 5,000 keys 512 levels down below another: each line costs its own length, not its key's again
// (a value's operation once copied its key's path: 1.3 GB for the values alone, three times over).
const size_t kDeepValues = 20000, kDeepKeys = 5000;
std::string deepKey() {
    std::string key = "HKEY_CURRENT_USER\\Deep";
    for (size_t i = 1; i < kMaxKeyDepth; ++i) key += "\\" + std::string(64, char('a' + i % 26));
    return key;
}
std::string deepRegFile() {
    std::string text = "REGEDIT4\n\n[" + deepKey() + "]\n";
    char line[64];
    for (size_t i = 0; i < kDeepValues; ++i) {
        std::snprintf(line, sizeof line, "\"v%06zu\"=dword:%08zx\n", i, i);
        text += line;
    }
    const std::string below = "\n[HKEY_CURRENT_USER\\Many\\" + deepPath(kMaxKeyDepth - 2, "\\") + "\\x";
    for (size_t i = 0; i < kDeepKeys; ++i) {
        std::snprintf(line, sizeof line, "%06zu]\n@=\"x\"\n", i);
        text += below + line;
    }
    return text;
}
std::string checkDeep(Machine& m) {
    HKey k;
    KeyInfo info;
    if (m.openKey(HKEY_CURRENT_USER, deepKey().substr(18), &k) != ERROR_SUCCESS) return "the deep key is missing";
    if (m.queryInfoKey(k, &info) != ERROR_SUCCESS || info.values != kDeepValues)
        return "the deep key holds " + std::to_string(info.values) + " values";
    std::string data;
    if (m.queryValue(k, "v019999", nullptr, &data) != ERROR_SUCCESS || data != std::string("\x1f\x4e\0\0", 4))
        return "the last value is wrong";
    if (m.openKey(HKEY_CURRENT_USER, "Many\\" + deepPath(kMaxKeyDepth - 2, "\\"), &k) != ERROR_SUCCESS ||
        m.queryInfoKey(k, &info) != ERROR_SUCCESS || info.subkeys != kDeepKeys)
        return "the keys 512 levels down are missing";
    return "";
}

// 300,000 keys with a value each (18 MB): a change set of it, a copy of that and the store's
// journal grown by doubling once took twice the memory the store itself takes.
const int kWideKeys = 300000;
std::string wideRegFile() {
    std::string text = "REGEDIT4\n";
    char line[96];
    for (int i = 0; i < kWideKeys; ++i) {
        std::snprintf(line, sizeof line, "\n[HKEY_CURRENT_USER\\Software\\Wide\\%s]\n\"v\"=\"value %d\"\n",
                      wideName(i).c_str(), i);
        text += line;
    }
    return text;
}
std::string checkWide(Machine& m) {
    HKey k;
    KeyInfo info;
    if (m.openKey(HKEY_CURRENT_USER, "Software\\Wide", &k) != ERROR_SUCCESS || m.queryInfoKey(k, &info) != ERROR_SUCCESS ||
        info.subkeys != static_cast<uint32_t>(kWideKeys))
        return "keys were lost";
    std::string data;
    if (m.openKey(HKEY_CURRENT_USER, "Software\\Wide\\" + wideName(kWideKeys - 1), &k) != ERROR_SUCCESS ||
        m.queryValue(k, "v", nullptr, &data) != ERROR_SUCCESS || data.size() != 26)
        return "the last key's value is wrong";
    return "";
}

// Processor time for reading about `bytes` of .reg text three times and applying it: a few times
// what that takes under the sanitizers, a small part of what an import quadratic in it takes.
unsigned importSeconds(size_t bytes) { return static_cast<unsigned>(30 + bytes / (192 << 10)); }

// Each case in its bounded child; its time and memory are printed.
template <size_t N>
void runHeavy(const HeavyCase (&cases)[N]) {
    for (const HeavyCase& c : cases) {
        const qv::test::ChildResult r = qv::test::runBounded(c.maxCpuSeconds, kSmallStack, c.body);
        std::printf("[ hostile  ] %-40s %6.2f s (%.2f s processor), peak memory +%ld MB\n", c.name, r.seconds,
                    r.cpuSeconds, r.peakGrowthMb);
        EXPECT_EQ(r.failure, "") << c.name;
        EXPECT_LE(r.peakGrowthMb, c.maxGrowthMb) << c.name;
    }
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
    runHeavy(cases);
}

TEST(HostileInput, LargeRegFilesImportInTimeAndMemoryOfTheirSize) {
    const std::string deep = deepRegFile(), wide = wideRegFile();
    const HeavyCase cases[] = {
        {"deep .reg: quorvel-reg import", importSeconds(deep.size()), 256 + kSanitizerMb,
         [&] { return importInto("deep", deep, true, checkDeep); }},
        {"deep .reg: scripting import", importSeconds(deep.size()), 256 + kSanitizerMb,
         [&] { return importInto("deep-s", deep, false, checkDeep); }},
        {"wide .reg: quorvel-reg import", importSeconds(wide.size()), 384 + kSanitizerMb,
         [&] { return importInto("wide", wide, true, checkWide); }},
    };
    runHeavy(cases);
}

// Windows stops keys at 512 levels: deeper ones are not made by add, import or a change set,
// while one that is already there can still be deleted.
TEST(HostileInput, KeysDeeperThanWindowsAllowsAreNotMade) {
    const fs::path dir = fs::temp_directory_path() / ("qv-hostile-depth-" + std::to_string(getpid()));
    const fs::path file = dir.string() + ".reg";
    Machine::openOwn(dir);
    const std::string atLimit = "Lim\\" + deepPath(kMaxKeyDepth - 1, "\\");
    const std::string over = "Over\\" + deepPath(kMaxKeyDepth, "\\");
    const std::string refused = "The key is deeper than the 512 levels Windows allows";
    struct Case {
        const char* what;
        std::vector<std::string> args;  // quorvel-reg's, after --machine DIR
        std::string file;               // written to FILE first, when not empty
        std::string error;              // "" when it must pass, else a part of its message
    };
    const Case cases[] = {
        {"add at the limit", {"add", "HKCU\\" + atLimit, "/f"}, "", ""},
        {"add one deeper", {"add", "HKCU\\" + over, "/f"}, "", "reg: " + refused},
        {"import one deeper", {"import", file.string()},
         "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\n[HKEY_CURRENT_USER\\" + over + "]\n\"v\"=\"x\"\n",
         file.string() + ":5: " + refused},
        {"import at the limit", {"import", file.string()},
         "REGEDIT4\n\n[HKEY_CURRENT_USER\\" + atLimit + "]\n\"v\"=\"x\"\n", ""},
        {"import deleting one deeper", {"import", file.string()}, "REGEDIT4\n\n[-HKEY_CURRENT_USER\\" + over + "]\n", ""},
    };
    for (const Case& c : cases) {
        if (!c.file.empty()) qvtest::writeFile(file, c.file);
        std::vector<std::string> args = {"--machine", dir.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::ostringstream out, err;
        const int rc = qv::reg::cli::runRegTool(args, out, err);
        if (c.error.empty()) {
            EXPECT_EQ(rc, 0) << c.what << ": " << err.str();
        } else {
            EXPECT_EQ(rc, 1) << c.what;
            EXPECT_NE(err.str().find(c.error), std::string::npos) << c.what << ": " << err.str();
        }
    }
    auto m = Machine::openOwn(dir);
    HKey k;
    EXPECT_EQ(m->openKey(HKEY_CURRENT_USER, atLimit, &k), ERROR_SUCCESS);
    EXPECT_NE(m->openKey(HKEY_CURRENT_USER, "Over", &k), ERROR_SUCCESS);
    EXPECT_NE(m->openKey(HKEY_CURRENT_USER, "A", &k), ERROR_SUCCESS);  // nothing of a refused file is made

    // A change set, and the scripting import, refuse to make one too: nothing of them stays.
    const std::u16string deeper = utf8ToUtf16(over);
    for (const ChangeOp& op : {keyOp(ChangeOp::Kind::CreateKey, HKEY_CURRENT_USER, deeper),
                               setValueOp(HKEY_CURRENT_USER, deeper, u"v", REG_DWORD, std::string(4, '\0'))}) {
        ChangeSet cs;
        cs.ops = {keyOp(ChangeOp::Kind::CreateKey, HKEY_CURRENT_USER, u"B"), op};
        std::string why;
        EXPECT_EQ(m->apply(cs, &why), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(why, "HKEY_CURRENT_USER\\" + over + ": the key is deeper than the 512 levels Windows allows");
    }
    std::string why;
    bool unreadable = true;
    EXPECT_EQ(m->applyRegFile("REGEDIT4\n[HKEY_CURRENT_USER\\B]\n[HKEY_CURRENT_USER\\" + over + "]\n", "f.reg", &why, &unreadable),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(unreadable);
    EXPECT_FALSE(m->hasChanges()) << "a refused change left something behind";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::remove(file, ec);
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
