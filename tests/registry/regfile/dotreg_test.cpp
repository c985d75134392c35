// .reg files: what the reader accepts in both encodings (Wine's syntax), what it refuses and how it
// says so, the writer's round trip, and Wine's export layout as observed from Wine 8.
#include <gtest/gtest.h>

#include "registry/regfile/dotreg.h"
#include "registry/text.h"

using namespace qv::reg;

namespace {

std::string crlf(std::string_view text) {
    std::string r;
    for (char c : text) {
        if (c == '\n') r += '\r';
        r += c;
    }
    return r;
}

std::string unicodeFile(std::string_view utf8) { return "\xFF\xFE" + utf16ToBytes(utf8ToUtf16(crlf(utf8))); }

std::string hexOf(std::string_view data) {
    static const char d[] = "0123456789abcdef";
    std::string r;
    for (unsigned char c : data) {
        r += d[c >> 4];
        r += d[c & 15];
    }
    return r;
}

std::string shortRoot(int32_t root) {
    switch (root) {
    case HKEY_LOCAL_MACHINE: return "LM";
    case HKEY_CURRENT_USER: return "CU";
    case HKEY_CLASSES_ROOT: return "CR";
    case HKEY_USERS: return "U";
    case HKEY_CURRENT_CONFIG: return "CC";
    default: return "?";
    }
}

// One line per operation: "+K CU a\b", "-K ...", "=V CU a|name|type|hex", "-V CU a|name".
std::string describe(const ChangeSet& cs) {
    std::string r;
    for (const ChangeOp& op : cs.ops) {
        const std::string where = shortRoot(op.root) + " " + utf16ToUtf8(op.key);
        switch (op.kind) {
        case ChangeOp::Kind::CreateKey: r += "+K " + where; break;
        case ChangeOp::Kind::DeleteKey: r += "-K " + where; break;
        case ChangeOp::Kind::SetValue:
            r += "=V " + where + "|" + utf16ToUtf8(op.name) + "|" + std::to_string(op.type) + "|" + hexOf(op.data);
            break;
        case ChangeOp::Kind::DeleteValue: r += "-V " + where + "|" + utf16ToUtf8(op.name); break;
        }
        r += "\n";
    }
    return r;
}

std::string sz(std::u16string_view s) { return hexOf(utf16ToBytes(s)) + "0000"; }

}  // namespace

TEST(RegFileRead, AcceptsWhatWineAcceptsInBothEncodings) {
    struct Case {
        const char* body;      // after the header line
        std::string expected;  // describe() of the result
        std::string regedit4 = {};  // when an 8-bit file reads differently
    };
    const Case cases[] = {
        {"[HKEY_CURRENT_USER\\Software\\A]\n\"s\"=\"a\\\"b\\\\c\"\n",
         "+K CU Software\\A\n=V CU Software\\A|s|1|" + sz(u"a\"b\\c") + "\n"},
        // Short and long roots in any case; empty components and a trailing backslash drop out.
        {"[hklm\\x]\n[HKCR\\.txt]\n[HKU\\.Default\\x]\n[hkey_current_config\\x]\n[HKCU\\a\\\\b\\]\n[HKCU]\n",
         "+K LM x\n+K CR .txt\n+K U .Default\\x\n+K CC x\n+K CU a\\b\n+K CU \n"},
        // The key ends at the last ']' on the line; anything after it is ignored, as by Wine.
        {"[HKCU\\a]x]\n[HKCU\\b] trailing words\n", "+K CU a]x\n+K CU b\n"},
        {"[HKCU\\k]\n@=\"d\"\n\"\"=\"e\"\n  \"n\" =  \"v\"  ; comment\n\t\"t\"=\"\"\n",
         "+K CU k\n=V CU k||1|" + sz(u"d") + "\n=V CU k||1|" + sz(u"e") + "\n=V CU k|n|1|" + sz(u"v") +
             "\n=V CU k|t|1|0000\n"},
        {"[HKCU\\k]\n\"a\"=dword:0000002a\n\"b\"=dword:FFFFFFFF\n\"c\"=dword:  ;x\n\"d\"=dword:7\n",
         "+K CU k\n=V CU k|a|4|2a000000\n=V CU k|b|4|ffffffff\n=V CU k|c|4|00000000\n=V CU k|d|4|07000000\n"},
        // Continuations: blank and comment lines inside are passed over; a trailing comma is fine.
        {"[HKCU\\k]\n\"b\"=hex:01,02,\\\n\n  ; note\n  03,\\\n  04\n\"e\"=hex:\n\"f\"=hex:0x41,+42,\n"
         "\"g\"=hex:\\\n  ff\n",
         "+K CU k\n=V CU k|b|3|01020304\n=V CU k|e|3|\n=V CU k|f|3|4142\n=V CU k|g|3|ff\n"},
        // Strings in hex get their NUL; an 8-bit file holds them as 8-bit text.
        {"[HKCU\\k]\n\"x\"=hex(2):41,00\n\"m\"=hex(7):41,00,00,00\n\"y\"=hex(1):41,42\n",
         "+K CU k\n=V CU k|x|2|41000000\n=V CU k|m|7|41000000\n=V CU k|y|1|41420000\n",
         "+K CU k\n=V CU k|x|2|41000000\n=V CU k|m|7|4100000000000000\n=V CU k|y|1|410042000000\n"},
        {"[HKCU\\k]\n\"q\"=hex(b):2a,00,00,00,00,00,00,00\n\"n\"=hex(0):\n\"u\"=hex(ffffffff):01\n",
         "+K CU k\n=V CU k|q|11|2a00000000000000\n=V CU k|n|0|\n=V CU k|u|4294967295|01\n"},
        {"[HKCU\\k]\n\"v\"=-\n@=-\n\"w\" = - ; gone\n[-HKCU\\k\\sub]\n[-hkcu\\other]\n[HKCU\\y]\n",
         "+K CU k\n-V CU k|v\n-V CU k|\n-V CU k|w\n-K CU k\\sub\n-K CU other\n+K CU y\n"},
        // \n and \r escapes; an unknown escape keeps its character, as Wine does.
        {"[HKCU\\k]\n\"a\\\\b\"=\"1\\n2\\r\\q\"\n", "+K CU k\n=V CU k|a\\b|1|" + sz(u"1\n2\rq") + "\n"},
    };
    for (const Case& c : cases) {
        for (const bool unicode : {true, false}) {
            const std::string header = unicode ? "Windows Registry Editor Version 5.00\n" : "REGEDIT4\n";
            const std::string text = header + c.body;
            const std::string bytes = unicode ? unicodeFile(text) : crlf(text);
            std::string error;
            const auto cs = readRegFile(bytes, "t.reg", &error);
            ASSERT_TRUE(cs) << c.body << "\n" << error;
            const std::string& want = !unicode && !c.regedit4.empty() ? c.regedit4 : c.expected;
            EXPECT_EQ(describe(*cs), want) << (unicode ? "unicode: " : "regedit4: ") << c.body;
        }
    }
}

TEST(RegFileRead, LineEndsHeadersAndEightBitText) {
    struct Case {
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"REGEDIT4\r[HKCU\\a]\r\"v\"=\"x\"\r", "+K CU a\n=V CU a|v|1|" + sz(u"x") + "\n"},
        {"  REGEDIT4\n[HKCU\\a]\n", "+K CU a\n"},
        // Wine's 5.00 header in an 8-bit file is fine too, and so is a 4 header in UTF-16.
        {"Windows Registry Editor Version 5.00\n[HKCU\\a]\n", "+K CU a\n"},
        {unicodeFile("REGEDIT4\n[HKCU\\a]\n"), "+K CU a\n"},
        // 8-bit text is UTF-8 when it is valid UTF-8, else Windows-1252.
        {"REGEDIT4\n[HKCU\\a]\n\"v\"=\"caf\xc3\xa9\"\n", "+K CU a\n=V CU a|v|1|" + sz(u"caf\u00e9") + "\n"},
        {"REGEDIT4\n[HKCU\\a]\n\"v\"=\"caf\xe9 \x80\"\n", "+K CU a\n=V CU a|v|1|" + sz(u"caf\u00e9 \u20ac") + "\n"},
        {"\xEF\xBB\xBFREGEDIT4\n[HKCU\\a]\n", "+K CU a\n"},
        {unicodeFile("Windows Registry Editor Version 5.00\n[HKCU\\\u4e2d]\n\"\U0001F600\"=\"\u00e9\"\n"),
         "+K CU \xe4\xb8\xad\n=V CU \xe4\xb8\xad|\xf0\x9f\x98\x80|1|" + sz(u"\u00e9") + "\n"},
        // The end of the file ends a continued list.
        {"REGEDIT4\n[HKCU\\a]\n\"b\"=hex:01,\\", "+K CU a\n=V CU a|b|3|01\n"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto cs = readRegFile(c.bytes, "t.reg", &error);
        ASSERT_TRUE(cs) << c.bytes << "\n" << error;
        EXPECT_EQ(describe(*cs), c.expected) << c.bytes;
    }
}

TEST(RegFileRead, ErrorsNameTheLineAndGiveNothing) {
    struct Case {
        std::string body;  // after "REGEDIT4\n[HKCU\k]\n" (lines 1 and 2)
        int line;
        const char* says;
    };
    const Case cases[] = {
        {"garbage\n", 3, "expected [KEY]"},
        {"\"a\"=\"x\"\n[-HKCU\\k]\n\"b\"=\"y\"\n", 5, "before any [KEY]"},
        {"[ HKCU\\x]\n", 3, "blank after ["},
        {"[HKCU\\x\n", 3, "closing ]"},
        {"[HKXX\\x]\n", 3, "not a registry root"},
        {"[HKCUX\\x]\n", 3, "not a registry root"},
        {"[HKCU\\\\x]\n", 3, "empty key name"},
        {"[-HKCU]\n", 3, "root key"},
        {"\"a\"=\"x\n", 3, "closing quote"},
        {"\"a\"=\"x\" junk\n", 3, "after the closing quote"},
        {"\"a\" \"x\"\n", 3, "expected ="},
        {"\"a\"=dword:123456789\n", 3, "at most 8"},
        {"\"a\"=dword:0x1\n", 3, "hex digits only"},
        {"\"a\"=dword:\n", 3, "without a number"},
        {"\"a\"=hex:41 42\n", 3, "separated by commas"},
        {"\"a\"=hex:41 ,42\n", 3, "separated by commas"},
        {"\"a\"=hex:100\n", 3, "greater than ff"},
        {"\"a\"=hex:-1\n", 3, "greater than ff"},
        {"\"a\"=hex:zz\n", 3, "expected a hex byte"},
        {"\"a\"=hex(0x2):41\n", 3, "type number"},
        {"\"a\"=hex(2)41\n", 3, "type number"},
        {"\"a\"=hex(100000000):41\n", 3, "type number"},
        {"\"a\"=HEX:41\n", 3, "unknown data"},
        {"\"a\"=str:\"x\"\n", 3, "unknown data"},
        {"\"a\"=\"x\\0y\"\n", 3, "\\0"},
        {"\"a\"=-x\n", 3, "after =-"},
        {"\"a\"=hex:01,\\ x\n", 3, "after the \\"},
        {"\"a\"=hex:01,\\\n\n[HKCU\\y]\n", 5, "continued hex list"},
        {std::string("\"a\"=\"x\0y\"\n", 10), 3, "NUL"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto cs = readRegFile(crlf("REGEDIT4\n[HKCU\\k]\n" + c.body), "dir/t.reg", &error);
        EXPECT_FALSE(cs) << c.body;
        const std::string prefix = "dir/t.reg:" + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix) << c.body << " -> " << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.body << " -> " << error;
    }
    for (const std::string& bytes : {std::string(), std::string("REGEDIT5\n[HKCU\\a]\n"),
                                     std::string("REGEDIT\n"), std::string("REGEDIT4 \n"),
                                     utf16ToBytes(u"REGEDIT4\r\n[HKCU\\a]\r\n")}) {
        std::string error;
        EXPECT_FALSE(readRegFile(bytes, "h.reg", &error)) << bytes;
        EXPECT_EQ(error.substr(0, 7), "h.reg:1") << error;
    }
}

namespace {

std::string u16z(std::u16string_view s) { return utf16ToBytes(s) + std::string(2, '\0'); }

}  // namespace

TEST(RegFileWrite, ChangeSetsComeBackUnchangedInBothFormats) {
    std::string big;
    for (int i = 0; i < 1000; ++i) big += static_cast<char>(i * 7);
    using K = ChangeOp::Kind;
    const int32_t CU = HKEY_CURRENT_USER, LM = HKEY_LOCAL_MACHINE;
    ChangeSet cs;
    cs.ops = {
        keyOp(K::CreateKey, CU, u"Software\\A"),
        setValueOp(CU, u"Software\\A", u"", REG_SZ, u16z(u"default")),
        setValueOp(CU, u"Software\\A", u"quote\"back\\slash\nline\rret", REG_SZ, u16z(u"a\"b\\c\r\nd")),
        setValueOp(CU, u"Software\\A", u"empty", REG_SZ, u16z(u"")),
        setValueOp(CU, u"Software\\A", u"noData", REG_SZ, ""),
        setValueOp(CU, u"Software\\A", u"innerNul", REG_SZ, utf16ToBytes(std::u16string(u"a\0b\0", 4))),
        setValueOp(CU, u"Software\\A", u"dw", REG_DWORD, std::string("\x2a\0\0\0", 4)),
        setValueOp(CU, u"Software\\A", u"dwShort", REG_DWORD, std::string("\x2a\0", 2)),
        setValueOp(CU, u"Software\\A", u"qw", REG_QWORD, std::string("\1\2\3\4\5\6\7\x08", 8)),
        setValueOp(CU, u"Software\\A", u"big", REG_BINARY, big),
        setValueOp(CU, u"Software\\A", u"exp", REG_EXPAND_SZ, u16z(u"%windir%\\x")),
        setValueOp(CU, u"Software\\A", u"multi", REG_MULTI_SZ, utf16ToBytes(std::u16string(u"a\0bc\0\0", 6))),
        setValueOp(CU, u"Software\\A", u"odd type", 0x12345, "\x01\xff"),
        deleteValueOp(CU, u"Software\\A", u"gone"),
        deleteValueOp(CU, u"Software\\A", u""),
        keyOp(K::DeleteKey, LM, u"Software\\Old"),
        keyOp(K::CreateKey, HKEY_CLASSES_ROOT, u".qv"),
        keyOp(K::CreateKey, CU, u"Software\\B]x"),
        setValueOp(CU, u"Software\\B]x", u"caf\u00e9", REG_SZ, u16z(u"\u4e2d")),
        keyOp(K::CreateKey, CU, u""),
        setValueOp(CU, u"", u"atRoot", REG_DWORD, std::string(4, '\0')),
    };
    const std::string file = writeRegFile(cs, RegFormat::Unicode, "made by a test\nsecond line");
    std::string error;
    auto back = readRegFile(file, "w.reg", &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(describe(*back), describe(cs));

    // REGEDIT4 holds the same as long as the strings are clean text.
    ChangeSet ascii;
    for (const ChangeOp& op : cs.ops)
        if (op.name != u"innerNul" && op.name != u"noData") ascii.ops.push_back(op);
    back = readRegFile(writeRegFile(ascii, RegFormat::Regedit4), "w4.reg", &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(describe(*back), describe(ascii));
}

TEST(RegFileWrite, LayoutSharesHeadersAndWritesDeletions) {
    using K = ChangeOp::Kind;
    const int32_t CU = HKEY_CURRENT_USER;
    ChangeSet cs;
    cs.ops = {
        setValueOp(CU, u"a", u"x", REG_SZ, u16z(u"1")),
        setValueOp(CU, u"a", u"y", REG_DWORD, std::string("\1\0\0\0", 4)),
        deleteValueOp(CU, u"a", u"z"),
        keyOp(K::DeleteKey, CU, u"b"),
        setValueOp(CU, u"c", u"", REG_EXPAND_SZ, u16z(u"%x%")),
        setValueOp(CU, u"a", u"w", REG_BINARY, "\xab"),
    };
    EXPECT_EQ(writeRegText(cs, "note"),
              "Windows Registry Editor Version 5.00\n"
              "; note\n"
              "\n[HKEY_CURRENT_USER\\a]\n\"x\"=\"1\"\n\"y\"=dword:00000001\n\"z\"=-\n"
              "\n[-HKEY_CURRENT_USER\\b]\n"
              "\n[HKEY_CURRENT_USER\\c]\n@=hex(2):25,00,78,00,25,00,00,00\n"
              "\n[HKEY_CURRENT_USER\\a]\n\"w\"=hex:ab\n\n");
    const std::string file = writeRegFile(cs, RegFormat::Unicode);
    EXPECT_EQ(file.substr(0, 4), std::string("\xFF\xFE" "W\0", 4));
    EXPECT_NE(file.find(utf16ToBytes(u"\r\n")), std::string::npos);
    EXPECT_EQ(writeRegFile(cs, RegFormat::Regedit4).substr(0, 10), "REGEDIT4\r\n");
}

TEST(RegFileWrite, DataTextIsOneLine) {
    std::string long1;
    for (int i = 0; i < 100; ++i) long1 += static_cast<char>(i);
    struct Case {
        uint32_t type;
        std::string data;
        std::string text;
    };
    const Case cases[] = {
        {REG_SZ, u16z(u"say \"hi\""), "\"say \\\"hi\\\"\""},
        {REG_SZ, u16z(u"caf\u00e9"), "\"caf\xc3\xa9\""},
        {REG_SZ, "A", "hex(1):41"},
        {REG_DWORD, std::string("\x2a\0\0\0", 4), "dword:0000002a"},
        {REG_EXPAND_SZ, u16z(u"A"), "hex(2):41,00,00,00"},
        {REG_BINARY, "", "hex:"},
        {REG_NONE, "\x01", "hex(0):01"},
    };
    for (const Case& c : cases) EXPECT_EQ(regDataText(c.type, c.data), c.text);
    const std::string t = regDataText(REG_BINARY, long1);
    EXPECT_EQ(t.find('\n'), std::string::npos);
    EXPECT_EQ(t.size(), 4 + 100 * 3 - 1);
}

// What Wine 8's `reg export` wrote for a key made with `reg add` (the values in Wine's order).
TEST(RegExportLayout, MatchesWhatWineWrote) {
    std::string bin;
    for (int i = 0; i <= 0x32; ++i) bin += static_cast<char>(i);
    RegExportWriter w;
    w.key(u"HKEY_CURRENT_USER\\Software\\T");
    w.value(u"", REG_SZ, u16z(u"def"));
    w.value(u"a very long value name that is long", REG_BINARY, bin);
    w.value(u"b", REG_BINARY, bin);
    w.value(u"d", REG_DWORD, std::string("\x2a\0\0\0", 4));
    w.value(u"e", REG_EXPAND_SZ, u16z(u"%PATH%x"));
    w.value(u"emptyb", REG_BINARY, "");
    w.value(u"m", REG_MULTI_SZ, utf16ToBytes(std::u16string(u"a\0b\0\0", 5)));
    w.value(u"n", REG_NONE, u16z(u"x"));
    w.value(u"q", REG_QWORD, std::string("\x2a\0\0\0\0\0\0\0", 8));
    w.value(u"s", REG_SZ, u16z(u"a\"b\\c"));
    w.key(u"HKEY_CURRENT_USER\\Software\\T\\sub");
    const std::string wine =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\T]\n"
        "@=\"def\"\n"
        "\"a very long value name that is long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,\\\n"
        "  0c,0d,0e,0f,10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,\\\n"
        "  25,26,27,28,29,2a,2b,2c,2d,2e,2f,30,31,32\n"
        "\"b\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
        "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\n"
        "  30,31,32\n"
        "\"d\"=dword:0000002a\n"
        "\"e\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,78,00,00,00\n"
        "\"emptyb\"=hex:\n"
        "\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
        "\"n\"=hex(0):78,00,00,00\n"
        "\"q\"=hex(b):2a,00,00,00,00,00,00,00\n"
        "\"s\"=\"a\\\"b\\\\c\"\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\T\\sub]\n"
        "\n";
    EXPECT_EQ(w.finish(), utf16ToBytes(utf8ToUtf16(crlf(wine))));
}

// Data Wine's exporter would cut (a string without its terminator or with bytes after its first
// NUL, an empty string, a DWORD of another size) is written in hex, and reads back with every
// byte: only a string missing its terminator gains one, as Wine's import adds it.
TEST(RegExportLayout, OddDataKeepsEveryByte) {
    struct Case {
        uint32_t type;
        std::string data;
        const char* line;
        std::string readBack;
    };
    const std::string abc = utf16ToBytes(u"abc");
    const std::string inner = utf16ToBytes(std::u16string(u"a\0b\0", 4));
    const Case cases[] = {
        {REG_SZ, abc, "\"v\"=hex(1):61,00,62,00,63,00", abc + std::string(2, '\0')},
        {REG_SZ, inner, "\"v\"=hex(1):61,00,00,00,62,00,00,00", inner},
        {REG_SZ, "", "\"v\"=hex(1):", ""},
        {REG_SZ, std::string("a\0b", 3), "\"v\"=hex(1):61,00,62", std::string("a\0b", 3)},
        {REG_EXPAND_SZ, abc, "\"v\"=hex(2):61,00,62,00,63,00", abc + std::string(2, '\0')},
        {REG_SZ, u16z(u"ok"), "\"v\"=\"ok\"", u16z(u"ok")},
        {REG_DWORD, "", "\"v\"=hex(4):", ""},
        {REG_DWORD, std::string("\1\0\0\0\2", 5), "\"v\"=hex(4):01,00,00,00,02", std::string("\1\0\0\0\2", 5)},
        {REG_DWORD, std::string("\1\2", 2), "\"v\"=hex(4):01,02", std::string("\1\2", 2)},
    };
    for (const Case& c : cases) {
        RegExportWriter w;
        w.key(u"HKEY_CURRENT_USER\\k");
        w.value(u"v", c.type, c.data);
        const std::string bytes = w.finish();
        const std::string text = utf16ToUtf8(bytesToUtf16(bytes.substr(2)));
        EXPECT_NE(text.find(std::string("\r\n") + c.line + "\r\n"), std::string::npos) << c.line << " in " << text;
        std::string error;
        const auto back = readRegFile(bytes, "x.reg", &error);
        ASSERT_TRUE(back) << error;
        ASSERT_EQ(back->ops.size(), 2u) << c.line;
        EXPECT_EQ(back->ops[1].type, c.type) << c.line;
        EXPECT_EQ(back->ops[1].data, c.readBack) << c.line;
    }
}

TEST(RegFileRead, EachOperationKnowsItsLine) {
    const std::string text = "REGEDIT4\n\n[HKCU\\a]\n; c\n\"b\"=hex:01,\\\n  02\n\"c\"=-\n[-HKCU\\d]\n[HKCU\\e]\n@=\"x\"\n";
    std::string error;
    std::vector<size_t> lines = {99};
    auto cs = readRegFile(crlf(text), "l.reg", &error, &lines);
    ASSERT_TRUE(cs) << error;
    EXPECT_EQ(lines, (std::vector<size_t>{3, 5, 7, 8, 9, 10}));
    EXPECT_FALSE(readRegFile(text + "junk\n", "l.reg", &error, &lines));
    EXPECT_TRUE(lines.empty());
}
