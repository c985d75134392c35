// Keys built when first used must be the keys the whole-file reader builds. A file the lazy
// reader declines (here: a comment after the last key) is read whole, so each text is read both
// ways and the trees, lookups and written text compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "registry/api.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

using namespace qv::reg;

namespace {

const char* const kTrailer = "\n; read whole\n";

std::string seed(const char* name) {
    std::ifstream in(std::string(QV_SOURCE_DIR) + "/resources/seed/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::pair<const char*, std::string>> inputs() {
    return {
        {"seed system.reg", seed("system.reg")},
        {"seed user.reg", seed("user.reg")},
        // Implied keys at several depths, a class, a link, escapes and non-ASCII names, a key with
        // neither values nor subkeys, no #arch and no final line end.
        {"hand-made",
         "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n"
         "[A\\\\B\\\\C] 1700000000\n#time=1da0000000000001\n#class=\"cl\\\"ass\"\n@=\"x\"\n\n"
         "[A\\\\B\\\\C\\\\b\\\\x] 1700000005\n\"w\"=\"\"\n\n"
         "[A\\\\B\\\\C\\\\caf\\xe9\\\\x] 1700000001\n\"v\"=dword:00000001\n\n"
         "[A\\\\B\\\\C-d] 1700000002\n\n"
         "[A\\\\b2\\\\Link] 1700000003\n#link\n\"SymbolicLinkValue\"=hex(6):5c,00\n\n"
         "[Z\\\\\\x4e2d\\\\[x\\]] 1700000004\n\"a\"=hex:01,02,\\\n  03\n\"b\"=\"q\""},
    };
}

// Files are read in one pass, and again split at their middle as large files are.
const size_t kSplits[] = {SIZE_MAX, 0};
struct DefaultSplit {
    ~DefaultSplit() { setSplitScanSize(4u << 20); }
};

std::unique_ptr<RegFile> parse(const std::string& text) {
    std::string error;
    auto f = RegFile::parse(text, "t.reg", &error);
    EXPECT_TRUE(f) << error;
    return f;
}

// Compares two trees key by key; the lazy one is asked for counts and names before its lists are
// built, so that the index answers them.
void expectSame(const RegKey& lazy, const RegKey& whole, const std::string& where) {
    std::vector<std::pair<const RegKey*, const RegKey*>> pending{{&lazy, &whole}};
    while (!pending.empty()) {
        auto [a, b] = pending.back();
        pending.pop_back();
        const std::string path = where + ":" + utf16ToUtf8(b->path());
        ASSERT_EQ(a->subkeys.size(), b->subkeys.size()) << path;
        for (size_t i = 0; i < b->subkeys.size(); ++i) ASSERT_EQ(a->subkeys.nameAt(i), b->subkeys[i]->name) << path;
        EXPECT_EQ(a->name, b->name) << path;
        EXPECT_EQ(a->modif, b->modif) << path;
        EXPECT_EQ(a->link, b->link) << path;
        EXPECT_EQ(a->cls ? *a->cls : u"-", b->cls ? *b->cls : u"-") << path;
        ASSERT_EQ(a->values().size(), b->values().size()) << path;
        for (size_t i = 0; i < a->values().size(); ++i) {
            EXPECT_EQ(a->values()[i].name, b->values()[i].name) << path;
            EXPECT_EQ(a->values()[i].type, b->values()[i].type) << path;
            EXPECT_EQ(a->values()[i].data, b->values()[i].data) << path;
        }
        for (size_t i = 0; i < b->subkeys.size(); ++i) {
            // Found by name in other capitals, before the list is built, it is the key the list holds.
            std::u16string upper = b->subkeys[i]->name;
            for (char16_t& c : upper)
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
            RegKey* found = a->subkey(upper);
            ASSERT_TRUE(found) << path << " / " << utf16ToUtf8(upper);
            EXPECT_EQ(found, a->subkeys[i].get()) << path;
            pending.emplace_back(found, b->subkeys[i].get());
        }
    }
}

TEST(LazyTree, BuildsTheTreeTheWholeFileReaderBuilds) {
    RegFile::setClock([] { return uint64_t(133000000000000000); });
    DefaultSplit restore;
    for (const size_t split : kSplits)
    for (const auto& [what, text] : inputs()) {
        setSplitScanSize(split);
        auto lazy = parse(text);
        auto whole = parse(text + kTrailer);
        ASSERT_TRUE(lazy && whole) << what;
        EXPECT_TRUE(lazy->warnings().empty()) << what;
        EXPECT_FALSE(lazy->root().subkeys.built()) << what << ": read whole";
        EXPECT_TRUE(whole->root().subkeys.built()) << what << ": not read whole";
        EXPECT_EQ(lazy->serialize(), text) << what;  // untouched: the text itself
        expectSame(lazy->root(), whole->root(), what);
        EXPECT_EQ(lazy->serialize(), text) << what;  // built: still the text itself
    }
    RegFile::setClock(nullptr);
}

// The same changes through both trees write the same text; lookups go by path from the root and
// relative to a key, in UTF-8, before anything around them is built.
TEST(LazyTree, ChangesWriteWhatTheWholeFileReaderWrites) {
    RegFile::setClock([] { return uint64_t(133000000000000000); });
    DefaultSplit restore;
    for (const size_t split : kSplits)
    for (const auto& [what, text] : inputs()) {
        setSplitScanSize(split);
        auto lazy = parse(text);
        auto whole = parse(text + kTrailer);
        ASSERT_TRUE(lazy && whole) << what;
        // The second key header of the file names a key deep enough to have implied parents.
        const size_t open = text.find("\n[", text.find("\n[") + 1) + 2;
        std::string path = text.substr(open, text.find(']', open) - open);
        for (size_t i; (i = path.find("\\\\")) != std::string::npos;) path.replace(i, 2, "\\");
        const std::u16string wpath = utf8ToUtf16(path);  // plain in every input here
        RegKey *a = nullptr, *b = nullptr;
        ASSERT_EQ(lazy->findKey(&lazy->root(), path, &a), ERROR_SUCCESS) << what << " " << path;
        ASSERT_EQ(whole->findKey(wpath, &b), ERROR_SUCCESS) << what;
        const size_t cut = path.find('\\');
        RegKey* top = nullptr;
        RegKey* rel = nullptr;
        ASSERT_EQ(lazy->findKey(path.substr(0, cut) == path ? u"" : utf8ToUtf16(path.substr(0, cut)), &top), ERROR_SUCCESS);
        ASSERT_EQ(lazy->findKey(top, cut == std::string::npos ? "" : path.substr(cut + 1), &rel), ERROR_SUCCESS);
        EXPECT_EQ(rel, a) << what;
        EXPECT_EQ(lazy->findKey(&lazy->root(), path + "\\no such key", &rel), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(lazy->findKey(&lazy->root(), "a\\\\b", &rel), ERROR_BAD_PATHNAME);

        for (RegFile* f : {lazy.get(), whole.get()}) {
            RegKey* k = f == lazy.get() ? a : b;
            ASSERT_EQ(f->setValue(k, u"New", REG_DWORD, std::string(4, '\2')), ERROR_SUCCESS);
            RegKey* made = nullptr;
            ASSERT_EQ(f->createKey(wpath + u"\\Made\\Deeper", &made), ERROR_SUCCESS);
            ASSERT_EQ(f->moveKey(wpath + u"\\Made", wpath + u"\\Moved"), ERROR_SUCCESS);
            RegKey* parent = k->parent;
            if (parent && parent->parent) {
                ASSERT_EQ(f->deleteKey(parent), ERROR_SUCCESS);
            }
        }
        EXPECT_EQ(lazy->serialize() + kTrailer, whole->serialize()) << what;
        // Taken back, the lazy tree writes the text it read.
        lazy->rollbackTo(0);
        EXPECT_EQ(lazy->serialize(), text) << what;
        whole->rollbackTo(0);
        expectSame(lazy->root(), whole->root(), what);
    }
    RegFile::setClock(nullptr);
}

// Lines as Wine writes them are taken by a quick path, anything else by the general checks; the
// index may only take a file that the whole-file reader reads alike and without a warning, and
// must take the forms Wine writes. Each line stands in a file between two keys.
enum Outcome { Indexed, Warns, ReadWhole };
struct LineRow {
    std::string line;
    Outcome outcome;
};

// Lines of every kind within the key A\B, and what opening makes of a file holding each.
std::vector<LineRow> lineRows() {
    const std::string triples = [] {
        std::string t;
        for (int i = 0; i < 40; ++i) t += "a" + std::to_string(i % 10) + ",";
        return t;
    }();
    return {
        {"\"a\"=\"b\"", Indexed},
        {"@=\"b\"", Indexed},
        {"\"a\"=\"b\" and after", Indexed},
        {"\"a\" = \"b\"", Indexed},
        {"  \"a\"=\"b\"", Indexed},
        {"\"a\"=\"b\\\\\"", Indexed},
        {"\"a\\\"q\"=\"b\\\"\"", Indexed},
        {"\"a\"=\"b\\\"", Warns},
        {"\"a\"=\"b", Warns},
        {"\"a\\\"=\"b\"", Warns},
        {"\"a\"=\"b\"\r", Indexed},
        {"\"a\"=\"b\\\r", Warns},
        {"\"a\"=\"b\\\r\"", Indexed},
        {"\"a\"", Warns},
        {"\"\"=\"empty name\"", Indexed},
        {"\"" + std::string(16383, 'n') + "\"=\"b\"", Indexed},
        {"\"" + std::string(16384, 'n') + "\"=\"b\"", Warns},
        {"\"a\"=str:\"b\"", Indexed},
        {"\"a\"=str(2):\"%b%\"", Indexed},
        {"\"a\"=str(7):\"b\\0c\\0\"", Indexed},
        {"\"a\"=str(3):\"b\"", Warns},
        {"\"a\"=str(2):\"b", Warns},
        {"\"a\"=dword:00000001", Indexed},
        {"\"a\"=dword:0x1f", Indexed},
        {"\"a\"=dword: 1", Indexed},
        {"\"a\"=dword:", Warns},
        {"\"a\"=dword:zz", Warns},
        {"\"a\"=hex:01,02,03", Indexed},
        {"\"a\"=hex:", Indexed},
        {"\"a\"=hex:0", Indexed},
        {"\"a\"=hex:1,2", Indexed},
        {"\"a\"=hex:01, 02 ,03", Indexed},
        {"\"a\"=hex:0x1f", Indexed},
        {"\"a\"=hex:100", Warns},
        {"\"a\"=hex:01,zz", Warns},
        {"\"a\"=hex:01,02,\\\n  03,04", Indexed},
        {"\"a\"=hex:01,02,\\\r\n  03,04\r", Indexed},
        {"\"a\"=hex:01,02,\\ more\n  03", Indexed},
        {"\"a\"=hex:01,02\\\n\t03", Indexed},
        {"\"a\"=hex:01,\\\n\n\"b\"=\"c\"", Indexed},
        {"\"a\"=hex:01,\\\n  0g", Warns},
        {"\"a\"=hex:01,,02", Warns},
        {"\"a\"=hex(2):41,00,00,00", Indexed},
        {"\"a\"=hex(ffffffff):00", Indexed},
        {"\"a\"=hex(100000000):00", Warns},
        {"\"a\"=hex(7)00", Warns},
        {"\"a\"=hex():00", Warns},
        {"\"a\"=hex:" + triples + "\\\n  " + triples + "ff", Indexed},
        {"\"a\"=hex:" + triples.substr(0, 50) + "g" + triples.substr(51), Warns},
        {"\"a\"=hex:" + triples.substr(0, 49) + " " + triples.substr(50), Indexed},
        {"\"a\"=hex:" + triples + "1ff", Warns},
        {"\"a\"=other", Warns},
        {"#time=1da0000000000001", Indexed},
        {"#class=\"x\"", Indexed},
        {"#link", Indexed},
        {"#other", ReadWhole},
        {"; a comment", ReadWhole},
        {"[A\\\\C] 1700000001", Indexed},
        {"[A\\\\C]", Indexed},
        {"[A\\\\c\\\\d] 1700000001", Indexed},
        {"[A\\\\C\\x41] 1700000001", Indexed},
        {"[A\\\\C\\]x] 1700000001", Indexed},
        {"[A\\\\caf\xc3\xa9] 1700000001", Indexed},
        {"[A\\\\" + std::string(255, 'k') + "] 1", Indexed},
        {"[A\\\\" + std::string(256, 'k') + "] 1", Warns},
        {"[A\\\\\\\\C] 1700000001", Warns},
        {"[A\\\\C 1700000001", Warns},
        {"[A\\\\C\\\\] 1700000001", ReadWhole},
        {"[A\\\\B\\\\] 1700000001", ReadWhole},
        {"[A\\\\A] 1700000001", ReadWhole},
        {"[A\\\\B] 1700000001", ReadWhole},
        {"[a\\\\b\\\\x] 1700000001", ReadWhole},
        {"[A\\\\C\xc3\x89] 1\n[A\\\\C\xc3\xa9] 1", ReadWhole},  // the same name in two capitals
        {"[A\\\\C\xc3\x89] 1\n[A\\\\D\xc3\xa9] 1", Indexed},
        {"  [A\\\\C] 1700000001", Indexed},
        {"\"a\"=hex:01,\\\n[A\\\\C] 1700000001", Warns},
        {"\"a\"=hex:01,\\\n\n[A\\\\C] 1700000001", Indexed},
    };
}

std::string lineRowFile(const std::string& line) {
    return "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
           "[A\\\\B] 1700000000\n\"first\"=\"1\"\n" +
           line + "\n\"z\"=\"last\"\n\n[Z] 1700000002\n\"q\"=\"r\"\n";
}

// Calls fn(row, file text, what, split) for every row, the file scanned in one pass and split.
template <class Fn>
void forEachLineRow(Fn fn) {
    RegFile::setClock([] { return uint64_t(133000000000000000); });
    DefaultSplit restore;
    for (const size_t split : kSplits)
    for (const auto& row : lineRows()) {
        setSplitScanSize(split);
        fn(row, lineRowFile(row.line), row.line.substr(0, 60) + (split ? "" : " (split)"), split);
    }
    RegFile::setClock(nullptr);
}

TEST(LazyTree, TakesExactlyTheLinesTheWholeFileReaderReadsWithoutWarning) {
    forEachLineRow([](const LineRow& row, const std::string& text, const std::string& what, size_t split) {
        auto lazy = parse(text);
        auto whole = parse(text + kTrailer);
        ASSERT_TRUE(lazy && whole) << what;
        const bool indexed = !lazy->root().subkeys.built();
        EXPECT_EQ(indexed, row.outcome == Indexed) << what;
        EXPECT_EQ(whole->warnings().empty(), row.outcome != Warns) << what;
        if (!indexed) return;
        EXPECT_EQ(lazy->serialize(), text) << what;
        expectSame(lazy->root(), whole->root(), what);
        // The last key rewritten writes what it writes after a scan in one pass: the blank line
        // before it stays its own, wherever the file was split.
        setSplitScanSize(SIZE_MAX);
        auto onePass = parse(text);
        setSplitScanSize(split);
        std::string written[2];
        for (RegFile* f : {lazy.get(), onePass.get()}) {
            RegKey* z = nullptr;
            ASSERT_EQ(f->findKey(u"Z", &z), ERROR_SUCCESS) << what;
            ASSERT_EQ(f->setValue(z, u"new", REG_DWORD, std::string(4, '\1')), ERROR_SUCCESS);
            written[f == lazy.get()] = f->serialize();
        }
        EXPECT_EQ(written[0], written[1]) << what;
    });
}

// Opened from its headers alone, a file gives the keys it gives opened whole; a key whose lines
// opening would have refused is found out when that key is built, and only then.
TEST(LazyTree, HeaderOnlyReadingChecksTheLinesOfTheKeysItBuilds) {
    forEachLineRow([](const LineRow& row, const std::string& text, const std::string& what, size_t) {
        auto whole = parse(text + kTrailer);
        HeaderOnlyReading quick;
        auto lazy = parse(text);
        ASSERT_TRUE(lazy && whole) << what;
        const bool indexed = !lazy->root().subkeys.built();
        // Only a header opening refuses, or a line that leaves in doubt where keys start, sends
        // the file to the full reader.
        EXPECT_TRUE(indexed || row.outcome != Indexed) << what;
        if (!indexed) {
            EXPECT_TRUE(quick.clean()) << what;
            return;
        }
        RegKey *z = nullptr, *wz = nullptr;
        ASSERT_EQ(lazy->findKey(u"Z", &z), ERROR_SUCCESS) << what;
        ASSERT_EQ(whole->findKey(u"Z", &wz), ERROR_SUCCESS) << what;
        ASSERT_EQ(z->values().size(), wz->values().size()) << what;
        EXPECT_EQ(z->values()[0].data, wz->values()[0].data) << what;
        EXPECT_TRUE(quick.clean()) << what << ": A\\B not built yet";
        EXPECT_EQ(lazy->serialize(), text) << what;
        expectSame(lazy->root(), whole->root(), what);
        EXPECT_EQ(quick.clean(), row.outcome == Indexed) << what;
        EXPECT_EQ(lazy->serialize(), text) << what;
    });
}

// A list looked into many times is searched through a table of hashed names: every name is found
// in other capitals, names that fold alike beyond ASCII too, misses stay misses, and a key found
// twice, or found and then listed, is one key.
TEST(LazyTree, ManyLookupsInALargeListFindTheKeysTheListHolds) {
    std::vector<std::u16string> names;
    for (int i = 0; i < 300; ++i) names.push_back(utf8ToUtf16("Key" + std::to_string(1000 + i)));
    names.push_back(u"caf\u00e9");
    names.push_back(u"x\u4e2d]");  // written escaped
    names.push_back(u"zeta \u03a3");
    names.push_back(u"\u00c5ngstr\u00f6m");
    std::string text;
    {
        auto made = RegFile::create(";; All keys relative to \\\\Machine", "win64");
        for (const auto& n : names) {
            RegKey* k = nullptr;
            ASSERT_EQ(made->createKey(u"C\\" + n, &k), ERROR_SUCCESS);
            ASSERT_EQ(made->setValue(k, u"v", REG_SZ, std::string("x\0", 2)), ERROR_SUCCESS);
        }
        text = made->serialize();
    }
    auto lazy = parse(text);
    ASSERT_TRUE(lazy);
    ASSERT_FALSE(lazy->root().subkeys.built());
    RegKey* c = lazy->root().subkey(u"c");
    ASSERT_TRUE(c);
    auto otherCapitals = [](std::u16string n) {
        for (char16_t& ch : n)
            ch = ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - 32)
               : ch == u'\u00e9'          ? u'\u00c9'
               : ch == u'\u03a3'          ? u'\u03c3'
               : ch == u'\u00c5'          ? u'\u00e5'
                                          : ch;
        return n;
    };
    std::vector<RegKey*> found;
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < names.size(); ++i) {
            RegKey* k = c->subkey(otherCapitals(names[i]));
            ASSERT_TRUE(k) << utf16ToUtf8(names[i]);
            EXPECT_EQ(k->name, names[i]);
            if (round == 0) found.push_back(k);
            else EXPECT_EQ(k, found[i]) << utf16ToUtf8(names[i]);
        }
        EXPECT_EQ(c->subkey(u"Key0999"), nullptr);
        EXPECT_EQ(c->subkey(u"Key1000 "), nullptr);
        EXPECT_EQ(c->subkey(u"caf"), nullptr);
    }
    EXPECT_FALSE(c->subkeys.built());
    ASSERT_EQ(c->subkeys.size(), names.size());
    std::vector<RegKey*> listed;
    for (const auto& k : c->subkeys) listed.push_back(k.get());
    std::vector<RegKey*> sortedFound = found;
    std::sort(sortedFound.begin(), sortedFound.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, sortedFound);
    EXPECT_EQ(lazy->serialize(), text);
}

}  // namespace
