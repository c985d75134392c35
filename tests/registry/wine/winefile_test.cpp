// The Wine registry file reader and writer: byte-exact round trips, Wine's escaping and order,
// lines Wine would skip, refused files, and how changes show in the written text.
#include <gtest/gtest.h>

#include <functional>

#include "registry/api.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

using namespace qv::reg;

namespace {

// Written by Wine 8 (keys taken from a fresh prefix), with every value form it writes.
const char* const kWineText =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\Machine\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Classes\\\\*\\\\shellex\\\\ContextMenuHandlers] 1796630156\n"
    "#time=1dd862063aa4798\n"
    "\n"
    "[Software\\\\Classes\\\\.bmp] 1796630155\n"
    "#time=1dd8620637331ae\n"
    "\"Content Type\"=\"image/bmp\"\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{083863F1}\\\\Instance] 1796630155\n"
    "#time=1dd86206395ab1c\n"
    "\"CLSID\"=\"{1B544C20-FD0B-11CE-8C63-00AA0044B51E}\"\n"
    "\"FilterData\"=hex:02,00,00,00,00,00,60,00,02,00,00,00,00,00,00,00,30,70,69,33,\\\n"
    "  00,00,00,00,00,00,00,00,01,00,00,00,00,00,00,00,00,00,00,00,30,74,79,33,00,\\\n"
    "  00,00,00,60\n"
    "\n"
    "[Software\\\\Classes\\\\Wow6432Node\\\\AppId] 1796630149\n"
    "#time=1dd86205fe15a34\n"
    "#link\n"
    "\"SymbolicLinkValue\"=hex(6):5c,00,52,00,65,00,67,00,69,00,73,00,74,00,72,00,79,\\\n"
    "  00,5c,00,4d,00\n"
    "\n"
    "[System\\\\Enum\\\\WINEBUS] 1796630156\n"
    "#time=1dd862063d4deea\n"
    "@=\"\"\n"
    "\"ConfigFlags\"=dword:00000000\n"
    "\"Driver\"=\"{4D36E97D-E325-11CE-BFC1-08002BE10318}\\\\0000\"\n"
    "\"Exp\"=str(2):\"%SystemRoot%\\\\system32\"\n"
    "\"HardwareId\"=hex(7):72,00,6f,00,6f,00,74,00,00,00,61,00\n"
    "\"Multi\"=str(7):\"a\\0b\\0\"\n"
    "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n";

std::unique_ptr<RegFile> parseOk(const std::string& text, const char* name = "test.reg") {
    std::string error;
    auto f = RegFile::parse(text, name, &error);
    EXPECT_TRUE(f) << error;
    return f;
}

void forEachKey(RegKey& k, const std::function<void(RegKey&)>& fn) {
    fn(k);
    for (auto& s : k.subkeys) forEachKey(*s, fn);
}

RegKey* key(RegFile& f, std::u16string_view path) {
    RegKey* k = nullptr;
    EXPECT_EQ(f.findKey(path, &k), 0) << utf16ToUtf8(path);
    return k;
}

uint64_t fixedClock() { return 0x1dd870000000000ULL; }

struct FixedClock {
    FixedClock() { RegFile::setClock(fixedClock); }
    ~FixedClock() { RegFile::setClock(nullptr); }
};

std::string valueLine(std::u16string name, uint32_t type, std::string data) {
    auto f = RegFile::create(";; All keys relative to REGISTRY\\\\Machine", "win64");
    RegKey* k;
    f->createKey(u"K", &k);
    f->setValue(k, name, type, data);
    std::string text = f->serialize();
    size_t start = text.find("#time=");
    start = text.find('\n', start) + 1;
    return text.substr(start);
}

}  // namespace

TEST(WineFile, RoundTripsWineTextByteForByteAndWritesKeysAsWineDoes) {
    auto f = parseOk(kWineText);
    EXPECT_TRUE(f->warnings().empty());
    EXPECT_EQ(f->serialize(), kWineText);
    // The writer alone, with no source text to copy, must give the same bytes.
    forEachKey(f->root(), [](RegKey& k) { k.rawValid = false; });
    EXPECT_EQ(f->serialize(), kWineText);

    RegKey* k = key(*f, u"System\\Enum\\WINEBUS");
    ASSERT_TRUE(k);
    const RegValue* multi = k->value(u"multi");
    ASSERT_TRUE(multi);
    EXPECT_EQ(multi->type, REG_MULTI_SZ);
    EXPECT_EQ(multi->data, std::string("a\0\0\0b\0\0\0\0\0", 10));
    EXPECT_EQ(k->value(u"ConfigFlags")->data, std::string(4, '\0'));
    EXPECT_EQ(k->value(u"Q")->type, 11u);
    EXPECT_EQ(k->value(u"Driver")->data, utf16ToBytes(u"{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0000") + std::string(2, '\0'));
    RegKey* link = key(*f, u"Software\\Classes\\Wow6432Node\\AppId");
    EXPECT_TRUE(link->link);
    EXPECT_EQ(link->modif, 0x1dd86205fe15a34ULL);
    EXPECT_EQ(key(*f, u"Software\\Classes\\CLSID\\{083863F1}\\Instance")->value(u"FilterData")->data.size(), 49u);
}

TEST(WineFile, EscapesAsWineDoes) {
    std::string out;
    appendEscaped(out, u"caf\u00e9 \u4e2d 1\u00e9F \U0001F600", '"', '"');
    EXPECT_EQ(out, "caf\\xe9 \\x4e2d 1\\x00e9F \\xd83d\\xde00");
    out.clear();
    appendEscaped(out, std::u16string(u"\x01" u"1\x01x\a\b\t\n\v\f\r\x1b\"\\[]= ;", 19), '"', '"');
    EXPECT_EQ(out, "\\0011\\1x\\a\\b\\t\\n\\v\\f\\r\\e\\\"\\\\[]= ;");
    out.clear();
    appendEscaped(out, u"a[b]\"", '[', ']');
    EXPECT_EQ(out, "a\\[b\\]\"");
    // A NUL before a digit keeps three octal digits, so the reader does not swallow the digit.
    out.clear();
    appendEscaped(out, std::u16string(u"\0" u"7", 2), '"', '"');
    EXPECT_EQ(out, "\\0007");
}

TEST(WineFile, ReadsEscapesAndTheirEdges) {
    auto f = parseOk(
        "WINE REGISTRY Version 2\n\n[K] 0\n"
        "\"a\"=\"\\x4e2d\\x41G\\xq\\101\\0\\q\\\\\"\n"
        "\"caf\\xe9\"=\"UTF-8 raw: \xc3\xa9\xe4\xb8\xad\"\n"
        "\"long\"=\"\\x123456\"\n");
    RegKey* k = key(*f, u"K");
    EXPECT_EQ(bytesToUtf16(k->value(u"a")->data), std::u16string(u"\u4e2d\u0041Gxq" u"A\0q\\\0", 10));
    EXPECT_EQ(bytesToUtf16(k->value(u"CAF\u00c9")->data), std::u16string(u"UTF-8 raw: \u00e9\u4e2d\0", 14));
    // \x takes at most four digits; the rest is text.
    EXPECT_EQ(bytesToUtf16(k->value(u"long")->data), std::u16string(u"\u123456\0", 4));
}

TEST(WineFile, ValueFormsAndLineBreaksMatchWine) {
    EXPECT_EQ(valueLine(u"", REG_SZ, std::string("x\0\0\0", 4)), "@=\"x\"\n");
    EXPECT_EQ(valueLine(u"s", REG_SZ, std::string("x\0\0\0", 4)), "\"s\"=\"x\"\n");
    // Not ending in a NUL unit, odd length, or empty: written as hex so nothing is lost.
    EXPECT_EQ(valueLine(u"s", REG_SZ, "ab"), "\"s\"=hex(1):61,62\n");
    EXPECT_EQ(valueLine(u"s", REG_EXPAND_SZ, std::string("a\0\0", 3)), "\"s\"=hex(2):61,00,00\n");
    EXPECT_EQ(valueLine(u"s", REG_SZ, ""), "\"s\"=hex(1):\n");
    EXPECT_EQ(valueLine(u"d", REG_DWORD, std::string("\x90\x01\0\0", 4)), "\"d\"=dword:00000190\n");
    EXPECT_EQ(valueLine(u"d", REG_DWORD, std::string("\x90\x01", 2)), "\"d\"=hex(4):90,01\n");
    EXPECT_EQ(valueLine(u"b", REG_BINARY, ""), "\"b\"=hex:\n");
    EXPECT_EQ(valueLine(u"n", REG_NONE, "\x01"), "\"n\"=hex(0):01\n");
    EXPECT_EQ(valueLine(u"n", 0x12345, "\x01"), "\"n\"=hex(12345):01\n");
    // The break comes once the running column passes 76, counting the name.
    std::string line = valueLine(u"FilterData", REG_BINARY, std::string(30, '\x11'));
    EXPECT_EQ(line, "\"FilterData\"=hex:11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,\\\n"
                    "  11,11,11,11,11,11,11,11,11,11\n");
    // Every form reads back to the same type and bytes.
    for (auto [type, data] : std::vector<std::pair<uint32_t, std::string>>{
             {REG_SZ, "ab"}, {REG_MULTI_SZ, std::string("a\0\0\0\0\0", 6)}, {REG_BINARY, std::string(200, '\xfe')},
             {REG_DWORD, "123"}, {7, ""}, {REG_LINK, std::string("\\\0R\0", 4)}}) {
        std::string text = "WINE REGISTRY Version 2\n\n[K] 0\n" + valueLine(u"v", type, data);
        auto f = parseOk(text);
        const RegValue* v = key(*f, u"K")->value(u"v");
        ASSERT_TRUE(v);
        EXPECT_EQ(v->type, type);
        EXPECT_EQ(v->data, data);
    }
}

TEST(WineFile, SortsAsWineDoesFoldingToLowerCase) {
    FixedClock clock;
    auto f = RegFile::create(";; x", "win32");
    RegKey* k;
    for (auto name : {u"b", u"_", u"A", u"[", u"ab", u"\u00c9", u"Z"}) f->createKey(std::u16string(u"P\\") + name, &k);
    std::vector<std::u16string> names;
    for (auto& s : key(*f, u"P")->subkeys) names.push_back(s->name);
    // Folding to upper case (as Windows NT does) would put "_" and "[" after the letters.
    EXPECT_EQ(names, (std::vector<std::u16string>{u"[", u"_", u"A", u"ab", u"b", u"Z", u"\u00c9"}));
    // Names keep the case they were made with; a later spelling finds the same key.
    RegKey* again;
    f->createKey(u"p\\AB", &again);
    EXPECT_EQ(again->name, u"ab");
    EXPECT_EQ(key(*f, u"P")->subkeys.size(), 7u);
    EXPECT_EQ(compareNames(u"\u00e9", u"\u00c9"), 0);
}

TEST(WineFile, KeepsLinesWineWouldSkipInPlaceAndWarns) {
    const std::string text =
        "WINE REGISTRY Version 2\n"
        ";; All keys relative to REGISTRY\\\\Machine\n"
        "\n#arch=win32\n"
        "\n[A] 1796630156\n"
        "#time=1dd862063aa4798\n"
        "#colour=blue\n"
        "\"ok\"=\"1\"\n"
        "\"bad\"=dwrd:1\n"
        "; a comment\n"
        "\"z\"=hex:1,2,\\\n"
        "  zz\n"
        "garbage here\n"
        "\n[B\\\\C 1796630156\n"
        "\"orphan\"=\"x\"\n"
        "\n[D] 1796630156\n"
        "\"v\"=\"unterminated\n";
    auto f = parseOk(text, "system.reg");
    EXPECT_EQ(f->serialize(), text);
    EXPECT_EQ(f->warnings(), (std::vector<std::string>{
                                 "system.reg:10: unrecognized type", "system.reg:12: malformed hex data",
                                 "system.reg:14: unrecognized input", "system.reg:16: malformed key",
                                 "system.reg:17: value without key", "system.reg:20: malformed string"}));
    RegKey* missing = nullptr;
    EXPECT_EQ(f->findKey(u"B", &missing), ERROR_FILE_NOT_FOUND);
    // After a change to the key, its kept lines stay with it, after the value they followed; what
    // stood under a refused header stays last, so that no value of the key falls under it.
    RegKey* a = key(*f, u"A");
    f->setValue(a, u"q", REG_SZ, std::string("n\0\0\0", 4));
    const std::string out = f->serialize();
    const std::string kept = "#colour=blue\n\"ok\"=\"1\"\n\"bad\"=dwrd:1\n; a comment\n\"z\"=hex:1,2,\\\n  zz\n"
                             "garbage here\n\"q\"=\"n\"\n[B\\\\C 1796630156\n\"orphan\"=\"x\"\n";
    EXPECT_NE(out.find(kept), std::string::npos) << out;
    std::string again;
    auto f2 = RegFile::parse(out, "system.reg", &again);
    ASSERT_TRUE(f2);
    EXPECT_EQ(f2->warnings().size(), 6u);
}

TEST(WineFile, RefusesFilesWineWouldRefuse) {
    std::string error;
    EXPECT_FALSE(RegFile::parse("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n", "x.reg", &error));
    EXPECT_NE(error.find("not a Wine registry file"), std::string::npos);
    EXPECT_FALSE(RegFile::parse("", "x.reg", &error));
    EXPECT_FALSE(RegFile::parse("WINE REGISTRY Version 2\n#arch=arm64\n\n[A] 0\n", "x.reg", &error));
    EXPECT_NE(error.find("x.reg:2"), std::string::npos);
    EXPECT_NE(error.find("arm64"), std::string::npos);
    // A trailing CR on the header and CRLF line ends are fine.
    auto f = parseOk("WINE REGISTRY Version 2\r\n\r\n[A] 0\r\n\"v\"=\"1\"\r\n");
    EXPECT_TRUE(key(*f, u"A")->value(u"v"));
}

TEST(WineFile, AChangeRewritesOnlyTheChangedKeysLines) {
    FixedClock clock;
    auto f = parseOk(kWineText);
    RegKey* bmp = key(*f, u"Software\\Classes\\.bmp");
    // Setting what is stored is no change at all.
    EXPECT_EQ(f->setValue(bmp, u"content type", REG_SZ, utf16ToBytes(u"image/bmp") + std::string(2, '\0')), 0);
    EXPECT_FALSE(f->changed());
    EXPECT_EQ(f->serialize(), kWineText);

    EXPECT_EQ(f->setValue(bmp, u"", REG_SZ, utf16ToBytes(u"Paint.Picture") + std::string(2, '\0')), 0);
    EXPECT_TRUE(f->changed());
    std::string expected = kWineText;
    const std::string before = "[Software\\\\Classes\\\\.bmp] 1796630155\n#time=1dd8620637331ae\n";
    const std::string after = "[Software\\\\Classes\\\\.bmp] 1796726196\n#time=1dd870000000000\n@=\"Paint.Picture\"\n";
    expected.replace(expected.find(before), before.size(), after);
    EXPECT_EQ(f->serialize(), expected);
}

TEST(WineFile, KeysComeAndGoAsWineWritesThem) {
    FixedClock clock;
    auto f = parseOk(kWineText);
    RegKey* k;
    // A new key under an implied one: the new key gets a header; the implied parent stays implied.
    ASSERT_EQ(f->createKey(u"\\Software\\Classes\\.new\\ShellNew\\", &k), 0);
    std::string out = f->serialize();
    EXPECT_NE(out.find("\n\n[Software\\\\Classes\\\\.new\\\\ShellNew] 1796726196\n#time=1dd870000000000\n\n"
                       "[Software\\\\Classes\\\\CLSID"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("[Software\\\\Classes\\\\.new]"), std::string::npos);
    // A new subkey is a change of its parent, as for Wine.
    RegKey* bmp = key(*f, u"Software\\Classes\\.bmp");
    f->createKey(u"Software\\Classes\\.bmp\\x", &k);
    EXPECT_EQ(bmp->modif, fixedClock());

    // Deleting a key takes its subtree; an emptied implied parent then gets a header of its own.
    RegKey* clsid = key(*f, u"Software\\Classes\\CLSID");
    EXPECT_EQ(f->deleteKey(key(*f, u"Software\\Classes\\CLSID\\{083863F1}")), 0);
    EXPECT_TRUE(clsid->subkeys.empty());
    out = f->serialize();
    EXPECT_EQ(out.find("Instance"), std::string::npos);
    EXPECT_NE(out.find("\n[Software\\\\Classes\\\\CLSID] 1796726196\n"), std::string::npos);
    EXPECT_EQ(f->deleteKey(&f->root()), ERROR_ACCESS_DENIED);

    auto again = parseOk(out);
    EXPECT_EQ(again->serialize(), out);
}

TEST(WineFile, RefusesOverlongNamesAndEmptyComponents) {
    auto f = RegFile::create(";; x", "win64");
    RegKey* k;
    EXPECT_EQ(f->createKey(std::u16string(255, u'k'), &k), 0);
    EXPECT_EQ(f->createKey(std::u16string(256, u'k'), &k), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(f->createKey(u"a\\\\b", &k), ERROR_BAD_PATHNAME);
    EXPECT_EQ(f->setValue(k, std::u16string(16383, u'v'), REG_BINARY, ""), 0);
    EXPECT_EQ(f->setValue(k, std::u16string(16384, u'v'), REG_BINARY, ""), ERROR_FILENAME_EXCED_RANGE);
    RegKey* rootKey;
    EXPECT_EQ(f->findKey(u"\\", &rootKey), 0);
    EXPECT_EQ(rootKey, &f->root());
}

TEST(WineFile, ReplaysChangesOntoAnotherCopy) {
    auto mine = parseOk(kWineText);
    RegKey* k;
    mine->createKey(u"Software\\Mine", &k);
    mine->setValue(k, u"v", REG_DWORD, std::string("\1\0\0\0", 4));
    mine->deleteValue(key(*mine, u"Software\\Classes\\.bmp"), u"Content Type");
    mine->deleteKey(key(*mine, u"System"));

    std::string theirsText = kWineText;
    theirsText += "\n[Software\\\\Theirs] 1796630156\n\"t\"=\"1\"\n";
    auto theirs = parseOk(theirsText);
    theirs->replay(mine->journal());
    EXPECT_TRUE(key(*theirs, u"Software\\Theirs"));
    EXPECT_EQ(key(*theirs, u"Software\\Mine")->value(u"v")->data, std::string("\1\0\0\0", 4));
    EXPECT_FALSE(key(*theirs, u"Software\\Classes\\.bmp")->value(u"Content Type"));
    RegKey* gone = nullptr;
    EXPECT_EQ(theirs->findKey(u"System", &gone), ERROR_FILE_NOT_FOUND);
}

TEST(WineFile, OddInputSurvivesARewriteWithNothingLostOrRenamed) {
    // No final line end, a key that only holds a kept line and gets a subkey, a hex list that asks
    // for a line past the end, and a header spelling a known key in another case.
    const std::string text =
        "WINE REGISTRY Version 2\n"
        "[b\\\\x]\n\"v\"=\"1\"\n"
        "[B]\n\"c\"=\"2\"\n"
        "[K]\n#colour=blue\n"
        "[Z]\n\"h\"=hex:01,\\";
    auto f = parseOk(text);
    RegKey* k;
    ASSERT_EQ(f->createKey(u"K\\Sub", &k), 0);
    forEachKey(f->root(), [](RegKey& key) { key.rawValid = false; });
    const std::string out = f->serialize();
    auto again = parseOk(out);
    EXPECT_EQ(again->serialize(), out);
    EXPECT_EQ(key(*again, u"b")->name, u"b");
    EXPECT_EQ(key(*again, u"b")->values().size(), 1u);
    ASSERT_TRUE(key(*again, u"K")->kept);
    EXPECT_EQ(key(*again, u"K")->kept->front().text, "#colour=blue\n");
    EXPECT_TRUE(key(*again, u"Z")->values().empty());  // Wine skips the dangling list, and still does
    EXPECT_TRUE(key(*again, u"b\\x"));
}
