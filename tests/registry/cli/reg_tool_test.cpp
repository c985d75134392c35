// quorvel-reg against an own machine in a temporary folder: argument errors, the listing of every
// type, the /s layout, add's data rules, round trips, questions, and that nothing is written when
// nothing changed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "registry/test_files.h"
#include "registry/cli/reg_tool.h"
#include "registry/machines/machine.h"
#include "registry/text.h"

using namespace qv::reg;
namespace fs = std::filesystem;
using qvtest::readFile;
using qvtest::writeFile;

namespace {

const char* const kSystemReg =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n"
    "\n[Software\\\\Classes\\\\.txt] 1796630155\n#time=1dd8620637331ae\n@=\"txtfile\"\n"
    "\"Content Type\"=\"text/plain\"\n";
const char* const kUserReg =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
    "#arch=win64\n\n[Control Panel\\\\Desktop] 1796630155\n#time=1dd8620637331ae\n"
    "\"MenuShowDelay\"=\"400\"\n";

std::string le16(std::u16string_view s) { return utf16ToBytes(s); }

struct Result {
    int rc;
    std::string out, err;
};

class RegToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "qv-regtool-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        tmp_ = tmpl;
        dir_ = tmp_ / "machine";
        fs::create_directories(dir_);
        writeFile(dir_ / "system.reg", kSystemReg);
        writeFile(dir_ / "user.reg", kUserReg);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(tmp_, ec);
    }

    Result run(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--machine", dir_.string()});
        return runRaw(args, input);
    }
    // The command fails with exactly this message and prints nothing else.
    void expectRefused(const std::vector<std::string>& args, const std::string& err) {
        const Result r = run(args);
        std::string shown;
        for (const auto& a : args) shown += "[" + a + "] ";
        EXPECT_EQ(r.rc, 1) << shown;
        EXPECT_EQ(r.err, err) << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
    static Result runRaw(const std::vector<std::string>& args, const std::string& input = {}) {
        std::istringstream in(input);
        std::ostringstream out, err;
        cli::ToolIo io{in, out, err, false};
        const int rc = cli::runRegTool(args, io);
        return {rc, out.str(), err.str()};
    }

    // Values are written straight through the store so that any bytes can be listed.
    void put(int32_t root, const std::string& path, const std::string& name, uint32_t type,
             const std::string& data) {
        auto m = Machine::openOwn(dir_);
        HKey k;
        ASSERT_EQ(m->createKey(root, path, &k), 0);
        ASSERT_EQ(m->setValue(k, name, type, data), 0);
        m->closeKey(k);
        m->commit();
    }
    std::optional<std::pair<uint32_t, std::string>> get(int32_t root, const std::string& path,
                                                        const std::string& name) {
        auto m = Machine::openOwn(dir_);
        HKey k;
        if (m->openKey(root, path, &k) != 0) return std::nullopt;
        uint32_t type = 0;
        std::string data;
        const int32_t st = m->queryValue(k, name, &type, &data);
        m->closeKey(k);
        if (st != 0) return std::nullopt;
        return std::make_pair(type, data);
    }
    bool keyExists(int32_t root, const std::string& path) {
        auto m = Machine::openOwn(dir_);
        HKey k;
        return m->openKey(root, path, &k) == 0;
    }

    fs::path tmp_, dir_;
};

constexpr const char* kSyntaxQuery = "reg: Invalid syntax. Type \"REG QUERY /?\" for help.\n";
constexpr const char* kSyntaxAdd = "reg: Invalid syntax. Type \"REG ADD /?\" for help.\n";
constexpr const char* kSyntaxDelete = "reg: Invalid syntax. Type \"REG DELETE /?\" for help.\n";
constexpr const char* kOk = "reg: The operation completed successfully\n";

TEST_F(RegToolTest, ArgumentErrorsAreReportedBeforeTheMachineIsTouched) {
    const std::string before = readFile(dir_ / "system.reg");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{}, "reg: Invalid syntax. Type \"REG /?\" for help.\n"},
        {{"frobnicate"}, "reg: Invalid option [frobnicate]. Type \"REG /?\" for help.\n"},
        {{"query"}, kSyntaxQuery},
        {{"QUERY", "HKCU", "/x"}, kSyntaxQuery},
        {{"query", "HKCU", "/v"}, kSyntaxQuery},
        {{"query", "HKCU", "/v", "a", "/ve"}, kSyntaxQuery},
        {{"query", "HKCU", "/s", "/s"}, kSyntaxQuery},
        {{"query", "HKCU", "/f"}, kSyntaxQuery},
        {{"query", "HKCU", "extra"}, kSyntaxQuery},
        {{"query", "HKCU", "/reg:32", "/reg:64"}, kSyntaxQuery},
        {{"query", "HKCU", "/?"}, kSyntaxQuery},
        {{"add", "HKCU\\x", "/d", "a", "/d", "b"}, kSyntaxAdd},
        {{"add", "HKCU\\x", "/t", "REG_MULTI_SZ", "/s", "ab"}, kSyntaxAdd},
        {{"add", "HKCU\\x", "/t", "REG_MULTI_SZ", "/s", ""}, kSyntaxAdd},
        {{"add", "HKCU\\x", "/va"}, kSyntaxAdd},
        {{"delete", "HKCU\\x", "/v", "a", "/va"}, kSyntaxDelete},
        {{"delete", "HKCU\\x", "/s"}, kSyntaxDelete},
        // The key is judged before the options.
        {{"query", "HKXX", "/x"}, "reg: Invalid system key\n"},
        {{"query", "Software"}, "reg: Invalid system key\n"},
        {{"query", "HKCU\\"}, "reg: Invalid system key\n"},
        {{"query", "\\HKCU\\Software"}, "reg: Invalid system key\n"},
        {{"query", "HKCUX\\Software"}, "reg: Invalid system key\n"},
        {{"query", "HKCU\\\\"}, "reg: Invalid registry key\n"},
        {{"query", "HKCU\\Software\\\\"}, "reg: Invalid registry key\n"},
        {{"query", ""}, "reg: Invalid registry key\n"},
        {{"query", "/v", "x"}, "reg: Invalid registry key\n"},
        {{"delete", "-x"}, "reg: Invalid registry key\n"},
        {{"add", "HKCU\\x", "/t", "REG_FOO"}, "reg: Unsupported registry data type [REG_FOO]\n"},
        {{"add", "HKCU\\x", "/t", "REG_LINK", "/d", "1"}, "reg: Unsupported registry data type [REG_LINK]\n"},
        {{"add", "HKCU\\x", "/t", "REG_DWORD"}, "reg: Invalid command line parameters\n"},
    };
    for (const Case& c : cases) expectRefused(c.args, c.err);
    EXPECT_EQ(readFile(dir_ / "system.reg"), before);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "x"));

    // Options of the tool itself.
    EXPECT_EQ(runRaw({"--machine"}).rc, 1);
    EXPECT_EQ(runRaw({"--machine", "a", "--wine-prefix", "b", "query", "HKCU"}).rc, 1);
    EXPECT_EQ(runRaw({"--bogus", "query", "HKCU"}).rc, 1);
    const Result help = runRaw({"--help"});
    EXPECT_EQ(help.rc, 0);
    EXPECT_NE(help.out.find("query KEY"), std::string::npos);
    EXPECT_EQ(runRaw({"add", "/?"}).rc, 0);
}

TEST_F(RegToolTest, RootsOutsideTheMachineAreRefusedClearly) {
    for (const char* key : {"HKU", "HKEY_USERS\\.Default", "hkcc"}) {
        const Result r = run({"query", key});
        EXPECT_EQ(r.rc, 1) << key;
        EXPECT_NE(r.err.find("HKEY_LOCAL_MACHINE (HKLM)"), std::string::npos) << r.err;
    }
}

TEST_F(RegToolTest, ListsEveryTypeAsWineDoes) {
    const std::string k = "Software\\Types";
    put(HKEY_CURRENT_USER, k, "Sz", REG_SZ, le16(u"hello") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, k, "", REG_SZ, le16(u"def") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, k, "Exp", REG_EXPAND_SZ, le16(u"%windir%\\x") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, k, "Multi", REG_MULTI_SZ, le16(std::u16string(u"a\0b\0\0", 5)));
    put(HKEY_CURRENT_USER, k, "MultiEmpty", REG_MULTI_SZ, std::string(2, '\0'));
    put(HKEY_CURRENT_USER, k, "MultiTrail", REG_MULTI_SZ, le16(std::u16string(u"a\0b\0\0\0", 6)));
    put(HKEY_CURRENT_USER, k, "MultiBare", REG_MULTI_SZ, le16(u"ab"));  // no terminators at all
    put(HKEY_CURRENT_USER, k, "Bin", REG_BINARY, "\x01\x02\xff");
    put(HKEY_CURRENT_USER, k, "BinEmpty", REG_BINARY, "");
    put(HKEY_CURRENT_USER, k, "Dw", REG_DWORD, std::string("\x90\x01\0\0", 4));
    put(HKEY_CURRENT_USER, k, "DwShort", REG_DWORD, "\x01\x02\x03");
    put(HKEY_CURRENT_USER, k, "Big", REG_DWORD_BIG_ENDIAN, "\x01\x02\x03\x04");
    put(HKEY_CURRENT_USER, k, "Qw", REG_QWORD, "\xf0\xde\xbc\x9a\x78\x56\x34\x12");
    put(HKEY_CURRENT_USER, k, "None", REG_NONE, le16(u"abc") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, k, "Odd", 0x100, "\xaa\xbb");
    put(HKEY_CURRENT_USER, k, "SzNoNul", REG_SZ, le16(u"AB"));
    put(HKEY_CURRENT_USER, k, "SzEmbedded", REG_SZ, le16(std::u16string(u"a\0b\0", 4)));
    put(HKEY_CURRENT_USER, k, "SzControl", REG_SZ, le16(u"tab\there") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, k, "caf\xc3\xa9 \xe4\xb8\xad", REG_SZ,
        le16(u"caf\u00e9 \u4e2d \U0001F600") + std::string(2, '\0'));

    const Result r = run({"query", "HKCU\\Software\\Types"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\n"
              "HKEY_CURRENT_USER\\Software\\Types\n"
              "    (Default)    REG_SZ    def\n"
              "    Big    REG_DWORD_BIG_ENDIAN    0x4030201\n"
              "    Bin    REG_BINARY    0102FF\n"
              "    BinEmpty    REG_BINARY    \n"
              "    caf\xc3\xa9 \xe4\xb8\xad    REG_SZ    caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80\n"
              "    Dw    REG_DWORD    0x190\n"
              "    DwShort    REG_DWORD    0x30201\n"
              "    Exp    REG_EXPAND_SZ    %windir%\\x\n"
              "    Multi    REG_MULTI_SZ    a\\0b\n"
              "    MultiBare    REG_MULTI_SZ    ab\n"
              "    MultiEmpty    REG_MULTI_SZ    \n"
              "    MultiTrail    REG_MULTI_SZ    a\\0b\\0\n"
              "    None    REG_NONE    6100620063000000\n"
              "    Odd    REG_UNKNOWN(0x100)    AABB\n"
              "    Qw    REG_QWORD    0x123456789abcdef0\n"
              "    Sz    REG_SZ    hello\n"
              "    SzControl    REG_SZ    tab\there\n"
              "    SzEmbedded    REG_SZ    a\n"
              "    SzNoNul    REG_SZ    AB\n"
              "\n");
}

TEST_F(RegToolTest, QueryLayoutWithAndWithoutRecursion) {
    put(HKEY_CURRENT_USER, "Software\\T", "V", REG_SZ, le16(u"v") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, "Software\\T\\A", "", REG_SZ, std::string(2, '\0'));
    put(HKEY_CURRENT_USER, "Software\\T\\A", "V", REG_SZ, le16(u"vA") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, "Software\\T\\A\\X\\Deep", "v", REG_DWORD, std::string("\x05\0\0\0", 4));
    put(HKEY_CURRENT_USER, "Software\\T\\b", "", REG_SZ, le16(u"bdef") + std::string(2, '\0'));
    {
        auto m = Machine::openOwn(dir_);
        HKey k;
        ASSERT_EQ(m->createKey(HKEY_CURRENT_USER, "Software\\T\\C\\Empty", &k), 0);
        m->commit();
    }

    Result r = run({"query", "hkcu\\software\\t"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out,
              "\n"
              "HKEY_CURRENT_USER\\software\\t\n"
              "    V    REG_SZ    v\n"
              "\n"
              "HKEY_CURRENT_USER\\software\\t\\A\n"
              "HKEY_CURRENT_USER\\software\\t\\b\n"
              "HKEY_CURRENT_USER\\software\\t\\C\n");

    // A key without values shows only its subkeys; one trailing backslash is dropped.
    r = run({"query", "HKEY_CURRENT_USER\\Software\\T\\C\\"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\T\\C\\Empty\n");

    r = run({"query", "HKCU\\Software\\T", "/s"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out,
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\n"
              "    V    REG_SZ    v\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\A\n"
              "    (Default)    REG_SZ    \n"
              "    V    REG_SZ    vA\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\A\\X\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\A\\X\\Deep\n"
              "    v    REG_DWORD    0x5\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\b\n"
              "    (Default)    REG_SZ    bdef\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\C\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\C\\Empty\n"
              "\n");

    // The top key is left out of /s when it has no values.
    r = run({"query", "HKCU\\Software\\T\\C", "/s"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\T\\C\\Empty\n\n");

    // A search prints the name as it was asked for.
    r = run({"query", "HKCU\\Software\\T", "/v", "v", "/s"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out,
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\n"
              "    v    REG_SZ    v\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\A\n"
              "    v    REG_SZ    vA\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\A\\X\\Deep\n"
              "    v    REG_DWORD    0x5\n"
              "\n"
              "Search complete. Number of matches found: 3\n");

    r = run({"query", "HKCU\\Software\\T", "/ve", "/s"});
    EXPECT_EQ(r.out,
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\A\n"
              "    (Default)    REG_SZ    \n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\T\\b\n"
              "    (Default)    REG_SZ    bdef\n"
              "\n"
              "Search complete. Number of matches found: 2\n");

    r = run({"query", "HKCU\\Software\\T", "/v", "nothing", "/s"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "\nSearch complete. Number of matches found: 0\n");
}

TEST_F(RegToolTest, SingleValuesMissingValuesAndMissingKeys) {
    put(HKEY_CURRENT_USER, "Software\\S", "Name", REG_SZ, le16(u"x") + std::string(2, '\0'));

    Result r = run({"query", "HKCU\\Software\\S", "/v", "NAME"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\S\n    NAME    REG_SZ    x\n\n");

    r = run({"query", "HKCU\\Software\\S", "/ve"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\S\n    (Default)    REG_SZ    (value not set)\n");
    EXPECT_EQ(run({"query", "HKCU\\Software\\S", "/v", ""}).out, r.out);

    r = run({"query", "HKCU\\Software\\S", "/v", "Nope"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.err, "reg: Unable to find the specified registry value\n");

    for (const char* key : {"HKCU\\Software\\Nope", "HKCU\\\\Software\\S"}) {
        r = run({"query", key});
        EXPECT_EQ(r.rc, 1) << key;
        EXPECT_EQ(r.out, "") << key;
        EXPECT_EQ(r.err, "reg: Unable to find the specified registry key\n") << key;
    }
    // Empty components inside the path are skipped, and the path is shown as typed.
    r = run({"query", "HKCU\\Software\\\\S"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\\\S\n    Name    REG_SZ    x\n\n");

    // HKCR is HKLM\Software\Classes.
    r = run({"query", "HKCR\\.TXT"});
    EXPECT_EQ(r.out,
              "\nHKEY_CLASSES_ROOT\\.TXT\n    (Default)    REG_SZ    txtfile\n"
              "    Content Type    REG_SZ    text/plain\n\n");
}

TEST_F(RegToolTest, AddStoresEachTypeByWinesRules) {
    struct Case {
        std::vector<std::string> opts;
        uint32_t type;
        std::string bytes;
    };
    const std::string nul2(2, '\0');
    const Case cases[] = {
        {{"/d", "hello"}, REG_SZ, le16(u"hello") + nul2},
        {{}, REG_SZ, nul2},
        {{"/t", "reg_expand_sz", "/d", "%windir%"}, REG_EXPAND_SZ, le16(u"%windir%") + nul2},
        {{"/t", "REG_NONE", "/d", "0102"}, REG_NONE, le16(u"0102") + nul2},
        {{"/t", "REG_NONE"}, REG_NONE, nul2},
        {{"/t", "REG_DWORD", "/d", "0x190"}, REG_DWORD, std::string("\x90\x01\0\0", 4)},
        {{"/t", "REG_DWORD", "/d", "010"}, REG_DWORD, std::string("\x0a\0\0\0", 4)},
        {{"/t", "REG_DWORD", "/d", " +12"}, REG_DWORD, std::string("\x0c\0\0\0", 4)},
        {{"/t", "REG_DWORD", "/d", " -1"}, REG_DWORD, "\xff\xff\xff\xff"},
        {{"/t", "REG_DWORD", "/d", "4294967295"}, REG_DWORD, "\xff\xff\xff\xff"},
        {{"/t", "REG_DWORD", "/d", "0X1f"}, REG_DWORD, std::string("\x1f\0\0\0", 4)},
        {{"/t", "REG_DWORD", "/d", ""}, REG_DWORD, std::string(4, '\0')},
        {{"/t", "REG_DWORD_LITTLE_ENDIAN", "/d", "1"}, REG_DWORD, std::string("\x01\0\0\0", 4)},
        {{"/t", "REG_DWORD_BIG_ENDIAN", "/d", "1"}, REG_DWORD_BIG_ENDIAN, std::string("\x01\0\0\0", 4)},
        {{"/t", "REG_QWORD", "/d", "0x123456789abcdef0"}, REG_QWORD, "\xf0\xde\xbc\x9a\x78\x56\x34\x12"},
        {{"/t", "REG_QWORD", "/d", "-1"}, REG_QWORD, std::string(8, '\xff')},
        {{"/t", "REG_QWORD", "/d", "4294967296"}, REG_QWORD, std::string("\0\0\0\0\x01\0\0\0", 8)},
        {{"/t", "REG_QWORD"}, REG_QWORD, std::string(8, '\0')},
        {{"/t", "REG_BINARY", "/d", "0102ff"}, REG_BINARY, "\x01\x02\xff"},
        {{"/t", "REG_BINARY", "/d", "ABC"}, REG_BINARY, "\x0a\xbc"},
        {{"/t", "REG_BINARY"}, REG_BINARY, ""},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\0b"}, REG_MULTI_SZ, le16(std::u16string(u"a\0b\0\0", 5))},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\0b\\0"}, REG_MULTI_SZ, le16(std::u16string(u"a\0b\0\0", 5))},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\\\0b"}, REG_MULTI_SZ, le16(std::u16string(u"a\\\0b\0\0", 6))},
        {{"/t", "REG_MULTI_SZ", "/d", ""}, REG_MULTI_SZ, nul2},
        {{"/t", "REG_MULTI_SZ", "/d", "\\0"}, REG_MULTI_SZ, std::string(4, '\0')},
        {{"/t", "REG_MULTI_SZ", "/s", "#", "/d", "a#b\\0c#"}, REG_MULTI_SZ,
         le16(std::u16string(u"a\0b\\0c\0\0", 8))},
        {{"/t", "REG_MULTI_SZ", "/s", "\xe4\xb8\xad", "/d", "x\xe4\xb8\xady"}, REG_MULTI_SZ,
         le16(std::u16string(u"x\0y\0\0", 5))},
        {{"/d", "caf\xc3\xa9 \xf0\x9f\x98\x80"}, REG_SZ, le16(u"caf\u00e9 \U0001F600") + nul2},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "v" + std::to_string(n++);
        std::vector<std::string> args = {"add", "HKCU\\Software\\Add", "/v", name};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        const Result r = run(args);
        EXPECT_EQ(r.rc, 0) << name << " " << r.err;
        EXPECT_EQ(r.out, kOk) << name;
        const auto v = get(HKEY_CURRENT_USER, "Software\\Add", name);
        ASSERT_TRUE(v) << name;
        EXPECT_EQ(v->first, c.type) << name;
        EXPECT_EQ(v->second, c.bytes) << name;
    }
}

TEST_F(RegToolTest, InvalidDataChangesNothing) {
    const std::string number = "reg: The option [/d] must be followed by a valid numeric value\n";
    const std::string hex = "reg: The option [/d] must be followed by a valid hexadecimal value\n";
    const std::string text = "reg: The option [/d] must be followed by a valid string\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"/t", "REG_DWORD", "/d", "abc"}, number},
        {{"/t", "REG_DWORD", "/d", "0x"}, number},
        {{"/t", "REG_DWORD", "/d", "-1"}, number},
        {{"/t", "REG_DWORD", "/d", "4294967296"}, number},
        {{"/t", "REG_DWORD", "/d", "12 "}, number},
        {{"/t", "REG_DWORD", "/d", " 0x10"}, number},
        {{"/t", "REG_DWORD", "/d", "+0x10"}, number},
        {{"/t", "REG_QWORD", "/d", "18446744073709551616"}, number},
        {{"/t", "REG_BINARY", "/d", "0x0102"}, hex},
        {{"/t", "REG_BINARY", "/d", "01 02"}, hex},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, text},
        {{"/t", "REG_MULTI_SZ", "/d", "\\0a"}, text},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\0\\0"}, text},
        {{"/t", "REG_MULTI_SZ", "/s", "#", "/d", "a##b"}, text},
    };
    const std::string system = readFile(dir_ / "system.reg"), user = readFile(dir_ / "user.reg");
    for (const auto& [opts, message] : cases) {
        std::vector<std::string> args = {"add", "HKCU\\Software\\Bad", "/v", "x"};
        args.insert(args.end(), opts.begin(), opts.end());
        const Result r = run(args);
        EXPECT_EQ(r.rc, 1) << opts.back();
        EXPECT_EQ(r.err, message) << opts.back();
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Bad"));
    EXPECT_EQ(readFile(dir_ / "system.reg"), system);
    EXPECT_EQ(readFile(dir_ / "user.reg"), user);
}

TEST_F(RegToolTest, AddAndDeleteRoundTrips) {
    // A key alone gets an empty default value, as Wine's reg does.
    Result r = run({"add", "HKLM\\Software\\Qv\\Deep\\Er", "/f"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, kOk);
    auto v = get(HKEY_LOCAL_MACHINE, "Software\\Qv\\Deep\\Er", "");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->first, REG_SZ);
    EXPECT_EQ(v->second, std::string(2, '\0'));

    EXPECT_EQ(run({"add", "HKLM\\Software\\Qv", "/v", "a", "/d", "1"}).rc, 0);
    EXPECT_EQ(run({"add", "HKLM\\Software\\Qv", "/v", "b", "/t", "REG_DWORD", "/d", "2"}).rc, 0);
    EXPECT_EQ(run({"add", "HKLM\\Software\\Qv", "/ve", "/d", "dflt"}).rc, 0);
    EXPECT_EQ(run({"add", "HKCR\\.qv", "/ve", "/d", "qvfile"}).rc, 0);
    v = get(HKEY_LOCAL_MACHINE, "Software\\Classes\\.qv", "");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->second, le16(u"qvfile") + std::string(2, '\0'));

    r = run({"query", "HKLM\\Software\\Qv"});
    EXPECT_EQ(r.out,
              "\nHKEY_LOCAL_MACHINE\\Software\\Qv\n"
              "    (Default)    REG_SZ    dflt\n"
              "    a    REG_SZ    1\n"
              "    b    REG_DWORD    0x2\n\n"
              "HKEY_LOCAL_MACHINE\\Software\\Qv\\Deep\n");

    r = run({"delete", "HKLM\\Software\\Qv", "/v", "A", "/f"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, kOk);
    EXPECT_FALSE(get(HKEY_LOCAL_MACHINE, "Software\\Qv", "a"));
    r = run({"delete", "HKLM\\Software\\Qv", "/v", "a", "/f"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "reg: Unable to find the specified registry value\n");

    EXPECT_EQ(run({"delete", "HKLM\\Software\\Qv", "/ve", "/f"}).rc, 0);
    EXPECT_FALSE(get(HKEY_LOCAL_MACHINE, "Software\\Qv", ""));
    EXPECT_TRUE(get(HKEY_LOCAL_MACHINE, "Software\\Qv", "b"));

    // /va empties the key itself and leaves its subkeys alone; on an empty key it still succeeds.
    EXPECT_EQ(run({"delete", "HKLM\\Software\\Qv", "/va", "/f"}).rc, 0);
    EXPECT_FALSE(get(HKEY_LOCAL_MACHINE, "Software\\Qv", "b"));
    EXPECT_TRUE(get(HKEY_LOCAL_MACHINE, "Software\\Qv\\Deep\\Er", ""));
    EXPECT_EQ(run({"delete", "HKLM\\Software\\Qv", "/va", "/f"}).rc, 0);

    r = run({"delete", "HKLM\\Software\\Qv", "/f"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "Software\\Qv"));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "Software\\Qv\\Deep\\Er"));
    r = run({"delete", "HKLM\\Software\\Qv", "/f"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "reg: Unable to find the specified registry key\n");
    r = run({"delete", "HKLM\\Software\\Qv", "/v", "x", "/f"});
    EXPECT_EQ(r.err, "reg: Unable to find the specified registry key\n");
    r = run({"add", "HKCU\\\\Software\\x", "/f"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "reg: Unable to access or create the specified registry key\n");

    // A root is never deleted.
    for (const char* root : {"HKCU", "HKEY_LOCAL_MACHINE", "HKCR"}) {
        r = run({"delete", root, "/f"});
        EXPECT_EQ(r.rc, 1) << root;
        EXPECT_NE(r.err.find("root key"), std::string::npos) << root;
    }
    EXPECT_TRUE(get(HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay"));
    EXPECT_TRUE(get(HKEY_LOCAL_MACHINE, "Software\\Classes\\.txt", ""));
}

TEST_F(RegToolTest, QuestionsDecideAndEndOfInputCancels) {
    put(HKEY_CURRENT_USER, "Software\\P", "a", REG_SZ, le16(u"old") + std::string(2, '\0'));
    const std::string question =
        "The registry value 'a' already exists. Do you want to overwrite it? (Yes|No)\n";

    Result r = run({"add", "HKCU\\Software\\P", "/v", "a", "/d", "new"}, "n\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, question + "reg: The registry operation was cancelled\n");
    EXPECT_EQ(get(HKEY_CURRENT_USER, "Software\\P", "a")->second, le16(u"old") + std::string(2, '\0'));

    r = run({"add", "HKCU\\Software\\P", "/v", "a", "/d", "new"}, "");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, question + "reg: The registry operation was cancelled\n");
    EXPECT_EQ(get(HKEY_CURRENT_USER, "Software\\P", "a")->second, le16(u"old") + std::string(2, '\0'));

    r = run({"add", "HKCU\\Software\\P", "/v", "a", "/d", "new"}, "maybe\n  Yes\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, question + question + "reg: The operation completed successfully\n");
    EXPECT_EQ(get(HKEY_CURRENT_USER, "Software\\P", "a")->second, le16(u"new") + std::string(2, '\0'));

    // A value that does not exist yet is added without a question.
    r = run({"add", "HKCU\\Software\\P", "/v", "b", "/d", "x"});
    EXPECT_EQ(r.out, kOk);
    // Without /v the question is about the default value.
    put(HKEY_CURRENT_USER, "Software\\P", "", REG_SZ, le16(u"d") + std::string(2, '\0'));
    r = run({"add", "HKCU\\Software\\P"}, "n\n");
    EXPECT_EQ(r.out,
              "The registry value '(Default)' already exists. Do you want to overwrite it? (Yes|No)\n"
              "reg: The registry operation was cancelled\n");

    r = run({"delete", "HKCU\\Software\\P"}, "n\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out,
              "Are you sure you want to delete the registry key 'HKEY_CURRENT_USER\\Software\\P'? "
              "(Yes|No)\nreg: The registry operation was cancelled\n");
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\P"));
    r = run({"delete", "HKCU\\Software\\P", "/va"}, "n\n");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "Are you sure you want to delete all registry values in 'HKEY_CURRENT_USER\\Software\\P'? "
              "(Yes|No)");
    r = run({"delete", "HKCU\\Software\\P", "/ve"}, "n\n");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "Are you sure you want to delete the registry value '(Default)'? (Yes|No)");
    // The question comes before the key is looked up, as in Wine.
    r = run({"delete", "HKCU\\Software\\Gone", "/v", "z"}, "y\n");
    EXPECT_EQ(r.out, "Are you sure you want to delete the registry value 'z'? (Yes|No)\n");
    EXPECT_EQ(r.err, "reg: Unable to find the specified registry key\n");
    r = run({"delete", "HKCU\\Software\\P", "/v", "b"}, "y\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(get(HKEY_CURRENT_USER, "Software\\P", "b"));
}

TEST_F(RegToolTest, NothingIsWrittenWhenNothingChanged) {
    ASSERT_EQ(run({"add", "HKCU\\Software\\Same", "/v", "x", "/t", "REG_DWORD", "/d", "7"}).rc, 0);
    struct stat before {};
    ASSERT_EQ(::stat((dir_ / "user.reg").c_str(), &before), 0);
    const std::string user = readFile(dir_ / "user.reg");
    const std::string system = readFile(dir_ / "system.reg");
    ::usleep(20000);  // a rewrite would show in the modification time

    EXPECT_EQ(run({"query", "HKCU", "/s"}).rc, 0);
    Result r = run({"add", "HKCU\\Software\\Same", "/v", "x", "/t", "REG_DWORD", "/d", "0x7", "/f"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, kOk);
    EXPECT_EQ(run({"delete", "HKCU\\Software\\Same", "/v", "x"}, "n\n").rc, 0);
    EXPECT_EQ(run({"delete", "HKCU\\Control Panel\\Desktop", "/v", "nope", "/f"}).rc, 1);
    EXPECT_EQ(run({"add", "HKCU\\Software\\Same", "/v", "y", "/t", "REG_BINARY", "/d", "zz"}).rc, 1);

    struct stat after {};
    ASSERT_EQ(::stat((dir_ / "user.reg").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readFile(dir_ / "user.reg"), user);
    EXPECT_EQ(readFile(dir_ / "system.reg"), system);

    // A real change rewrites user.reg only.
    EXPECT_EQ(run({"add", "HKCU\\Software\\Same", "/v", "x", "/t", "REG_DWORD", "/d", "8", "/f"}).rc, 0);
    EXPECT_NE(readFile(dir_ / "user.reg"), user);
    EXPECT_EQ(readFile(dir_ / "system.reg"), system);
}

TEST_F(RegToolTest, SymbolicLinkKeysAreFollowed) {
    writeFile(dir_ / "system.reg",
              std::string(kSystemReg) +
                  qvtest::wineLinkKey("Software\\\\Link", u"\\Registry\\Machine\\Software\\Target") +
                  "\n[Software\\\\Target] 1796630155\n#time=1dd8620637331ae\n\"t\"=\"target\"\n"
                  "\n[Software\\\\Target\\\\Sub] 1796630155\n#time=1dd8620637331ae\n\"s\"=dword:00000001\n");
    Result r = run({"query", "HKLM\\Software\\Link", "/s"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out,
              "\nHKEY_LOCAL_MACHINE\\Software\\Link\n    t    REG_SZ    target\n\n"
              "HKEY_LOCAL_MACHINE\\Software\\Link\\Sub\n    s    REG_DWORD    0x1\n\n");

    // Writes through the link land in the target; deleting the link leaves the target.
    EXPECT_EQ(run({"add", "HKLM\\Software\\Link\\Sub", "/v", "n", "/d", "new", "/f"}).rc, 0);
    EXPECT_TRUE(get(HKEY_LOCAL_MACHINE, "Software\\Target\\Sub", "n"));
    EXPECT_EQ(run({"delete", "HKLM\\Software\\Link", "/f"}).rc, 0);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "Software\\Link"));
    EXPECT_TRUE(get(HKEY_LOCAL_MACHINE, "Software\\Target", "t"));
}

TEST_F(RegToolTest, LinkLoopsAndLinksLeavingTheRegistryAreSafe) {
    // Two links back to their own parent would make a recursive listing endless (and Wine's is).
    writeFile(dir_ / "system.reg",
              std::string(kSystemReg) + qvtest::wineLinkKey("Software\\\\Loop", u"\\Registry\\Machine\\Software") +
                  qvtest::wineLinkKey("Software\\\\Loop2", u"\\REGISTRY\\MACHINE\\software") +
                  qvtest::wineLinkKey("Software\\\\Outside", u"\\Registry\\User\\.Default\\Software"));
    Result r = run({"query", "HKLM\\Software", "/s"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("HKEY_LOCAL_MACHINE\\Software\\Loop\n\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HKEY_LOCAL_MACHINE\\Software\\Loop2\n\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Loop\\"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Outside"), std::string::npos) << r.out;
    r = run({"query", "HKLM\\Software", "/v", "Content Type", "/s"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("Number of matches found: 1\n"), std::string::npos) << r.out;

    r = run({"query", "HKLM\\Software\\Outside"});
    EXPECT_EQ(r.err, "reg: Unable to find the specified registry key\n");
    r = run({"add", "HKLM\\Software\\Outside\\X", "/v", "a", "/d", "b", "/f"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "reg: Unable to access or create the specified registry key\n");
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "Software\\X"));
}

TEST_F(RegToolTest, WarningsAndUnopenableMachinesGoToStandardError) {
    writeFile(dir_ / "user.reg", std::string(kUserReg) + "\"Broken\"=dword:zz\n");
    Result r = run({"query", "HKCU\\Control Panel\\Desktop"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.err.find("user.reg:9: "), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Control Panel\\Desktop\n    MenuShowDelay    REG_SZ    400\n\n");

    r = runRaw({"--wine-prefix", (tmp_ / "no-such-prefix").string(), "query", "HKCU"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no-such-prefix"), std::string::npos) << r.err;

    writeFile(dir_ / "system.reg", "not a registry\n");
    r = run({"add", "HKLM\\Software\\X", "/f"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(readFile(dir_ / "system.reg"), "not a registry\n");
}

TEST_F(RegToolTest, NewMachineFolderIsSeeded) {
    const fs::path fresh = tmp_ / "fresh";
    const Result r = runRaw({"--machine=" + fresh.string(), "query", "HKCR\\.txt"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(fs::exists(fresh / "system.reg"));
    EXPECT_NE(r.out.find("HKEY_CLASSES_ROOT\\.txt\n"), std::string::npos);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// export, import, copy

constexpr const char* kKeyMissing = "reg: Unable to find the specified registry key\n";

TEST_F(RegToolTest, ExportImportCopyArgumentErrors) {
    const std::string before = readFile(dir_ / "user.reg");
    const std::string file = (tmp_ / "out.reg").string();
    const std::string missing = (tmp_ / "none.reg").string();
    auto syntax = [](const char* op) { return std::string("reg: Invalid syntax. Type \"REG ") + op + " /?\" for help.\n"; };
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"export"}, syntax("EXPORT")},
        {{"export", "HKCU\\Software"}, syntax("EXPORT")},
        {{"export", "HKCU", file, "/x"}, syntax("EXPORT")},
        {{"export", "HKCU", file, "y"}, syntax("EXPORT")},
        {{"export", "HKCU", file, "/reg:32", "/reg:64"}, syntax("EXPORT")},
        {{"export", "HKXX\\a", file, "/x"}, "reg: Invalid system key\n"},
        {{"export", "HKCU\\", file}, "reg: Invalid system key\n"},
        {{"export", "HKCU\\Software\\Nope", file}, kKeyMissing},
        {{"export", "HKCU\\\\Control Panel", file}, kKeyMissing},
        {{"import"}, syntax("IMPORT")},
        {{"import", missing, "/f"}, syntax("IMPORT")},
        {{"import", missing}, "reg: The file '" + missing + "' was not found.\n"},
        {{"copy"}, syntax("COPY")},
        {{"copy", "HKCU\\a"}, syntax("COPY")},
        {{"copy", "HKCU\\a", "HKCU\\b", "/x"}, syntax("COPY")},
        {{"copy", "HKCU\\a", "HKCU\\b", "/s", "/s"}, syntax("COPY")},
        {{"copy", "HKCU\\a", "HKCU\\b", "/f", "-F"}, syntax("COPY")},
        {{"copy", "HKCU\\a", "HKCU\\"}, "reg: Invalid system key\n"},
        {{"copy", "HKCU\\Control Panel", "hkey_current_user\\control panel\\", "/f"},
         "reg: The source and destination keys cannot be the same\n"},
        {{"copy", "HKCU\\Software\\Nope", "HKCU\\b", "/f"}, kKeyMissing},
    };
    for (const Case& c : cases) expectRefused(c.args, c.err);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(readFile(dir_ / "user.reg"), before);
    for (const char* op : {"export", "import", "copy"}) {
        for (const char* help : {"/?", "-?", "/h", "-H"}) {
            const Result r = run({op, help});
            EXPECT_EQ(r.rc, 0) << op << help;
            EXPECT_NE(r.out.find(std::string("quorvel-reg ") + op), std::string::npos) << op;
        }
    }
    EXPECT_NE(runRaw({"--help"}).out.find("all or nothing"), std::string::npos);
}

TEST_F(RegToolTest, ExportedKeysImportBackIdentically) {
    std::string big;
    for (int i = 0; i < 5000; ++i) big += static_cast<char>(i % 251);
    const std::string K = "Software\\Round";
    put(HKEY_CURRENT_USER, K, "", REG_SZ, le16(u"d\"ef\\ault") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, K, "caf\xc3\xa9 \xe4\xb8\xad", REG_EXPAND_SZ, le16(u"%x%\r\n") + std::string(2, '\0'));
    put(HKEY_CURRENT_USER, K, "multi", REG_MULTI_SZ, le16(std::u16string(u"a\0b\0\0", 5)));
    put(HKEY_CURRENT_USER, K, "dw", REG_DWORD, std::string("\x01\x02\x03\x04", 4));
    put(HKEY_CURRENT_USER, K, "qw", REG_QWORD, std::string(8, '\x7f'));
    put(HKEY_CURRENT_USER, K, "big", REG_BINARY, big);
    put(HKEY_CURRENT_USER, K, "none", REG_NONE, "");
    put(HKEY_CURRENT_USER, K + "\\A\\B\\C", "deep", REG_SZ, le16(u"x") + std::string(2, '\0'));
    {
        auto m = Machine::openOwn(dir_);
        HKey k;
        ASSERT_EQ(m->createKey(HKEY_CURRENT_USER, K + "\\Empty", &k), 0);
        m->closeKey(k);
        m->commit();
    }
    const std::string listing = run({"query", "HKCU\\" + K, "/s"}).out;
    const std::string file = (tmp_ / "round.reg").string();
    Result r = run({"export", "HKCU\\" + K, file});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const std::string exported = readFile(file);
    EXPECT_EQ(exported.substr(0, 2), "\xFF\xFE");

    ASSERT_EQ(run({"delete", "HKCU\\" + K, "/f"}).rc, 0);
    r = run({"import", file});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(run({"query", "HKCU\\" + K, "/s"}).out, listing);
    ASSERT_EQ(run({"export", "HKCU\\" + K, file, "/y"}).rc, 0);
    EXPECT_EQ(readFile(file), exported);

    // Standard input, and deletions.
    r = run({"import", "-"},
            "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Round]\n\"dw\"=-\n[-HKEY_CURRENT_USER\\Software\\Round\\A]\n");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_FALSE(get(HKEY_CURRENT_USER, K, "dw"));
    EXPECT_TRUE(get(HKEY_CURRENT_USER, K, "qw"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, K + "\\A"));
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, K + "\\Empty"));
}

TEST_F(RegToolTest, ImportIsAllOrNothing) {
    const std::string sys = readFile(dir_ / "system.reg"), user = readFile(dir_ / "user.reg");
    struct Case {
        std::string text;
        std::string says;
    };
    const Case cases[] = {
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\N]\n\"a\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.txt]\n"
         "\"b\"=dword:xyz\n",
         "bad.reg:5: "},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\N]\n\"a\"=\"1\"\n[HKEY_USERS\\.Default\\x]\n\"b\"=\"2\"\n",
         "bad.reg:4: HKEY_USERS\\.Default"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\N]\n\"a\"=\"1\"\n\n[HKCU\\" + std::string(256, 'k') + "]\n",
         "bad.reg:5: A key name is longer than 255"},
        {"Windows Registry Editor\n[HKEY_CURRENT_USER\\Software\\N]\n", "bad.reg:1: "},
    };
    const fs::path file = tmp_ / "bad.reg";
    for (const Case& c : cases) {
        writeFile(file, c.text);
        const Result r = run({"import", file.string()});
        EXPECT_EQ(r.rc, 1) << c.text;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r.err;
        EXPECT_EQ(readFile(dir_ / "system.reg"), sys);
        EXPECT_EQ(readFile(dir_ / "user.reg"), user);
    }
}

TEST_F(RegToolTest, ExportAsksBeforeOverwriting) {
    const fs::path file = tmp_ / "x.reg";
    writeFile(file, "keep");
    const std::string question =
        "The file '" + file.string() + "' already exists. Do you want to overwrite it? (Yes|No)\n";
    Result r = run({"export", "HKCU\\Control Panel", file.string()}, "n\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, question + "reg: The registry operation was cancelled\n");
    EXPECT_EQ(readFile(file), "keep");
    r = run({"export", "HKCU\\Control Panel", file.string()});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(readFile(file), "keep");
    r = run({"export", "HKCU\\Control Panel", file.string()}, "y\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, question);
    const std::string text = utf16ToUtf8(bytesToUtf16(readFile(file).substr(2)));
    EXPECT_EQ(text,
              "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n"
              "\r\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"MenuShowDelay\"=\"400\"\r\n\r\n");
    // A folder that does not exist: Windows' words, nothing made.
    r = run({"export", "HKCU\\Control Panel", (tmp_ / "no" / "x.reg").string(), "/y"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "Path not found.\n");
}

TEST_F(RegToolTest, CopyValuesSubtreesAndQuestions) {
    const std::string S = "Software\\Src", D = "Software\\Dst";
    auto text = [](std::u16string_view s) { return le16(s) + std::string(2, '\0'); };
    put(HKEY_CURRENT_USER, S, "a", REG_SZ, text(u"src-a"));
    put(HKEY_CURRENT_USER, S, "b", REG_BINARY, "\x01\x02");
    put(HKEY_CURRENT_USER, S + "\\Sub", "c", REG_DWORD, std::string("\x05\0\0\0", 4));
    put(HKEY_CURRENT_USER, D, "a", REG_SZ, text(u"dst-a"));
    put(HKEY_CURRENT_USER, D, "only", REG_SZ, text(u"stays"));
    put(HKEY_CURRENT_USER, D + "\\Sub", "c", REG_DWORD, std::string("\x09\0\0\0", 4));

    const std::string qa = "The value 'Software\\Src\\a' already exists in the destination key. Do you "
                           "want to overwrite it? (Yes|No|All)\n";
    const std::string qc = "The value 'Software\\Src\\Sub\\c' already exists in the destination key. Do "
                           "you want to overwrite it? (Yes|No|All)\n";
    // End of input at a question: nothing is copied at all.
    Result r = run({"copy", "HKCU\\Software\\Src", "HKCU\\Software\\Dst", "/s"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, qa + "reg: The registry operation was cancelled\n");
    EXPECT_FALSE(get(HKEY_CURRENT_USER, D, "b"));

    // No keeps that value; the others are copied. Values only without /s.
    r = run({"copy", "HKCU\\Software\\Src", "HKCU\\Software\\Dst"}, "n\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, qa);
    EXPECT_EQ(get(HKEY_CURRENT_USER, D, "a")->second, text(u"dst-a"));
    EXPECT_EQ(get(HKEY_CURRENT_USER, D, "b")->second, "\x01\x02");
    EXPECT_EQ(get(HKEY_CURRENT_USER, D + "\\Sub", "c")->second, std::string("\x09\0\0\0", 4));

    // All answers every later question too.
    r = run({"copy", "HKCU\\Software\\Src", "HKCU\\Software\\Dst", "/s"}, "a\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, qa);
    EXPECT_EQ(get(HKEY_CURRENT_USER, D, "a")->second, text(u"src-a"));
    EXPECT_EQ(get(HKEY_CURRENT_USER, D + "\\Sub", "c")->second, std::string("\x05\0\0\0", 4));
    EXPECT_EQ(get(HKEY_CURRENT_USER, D, "only")->second, text(u"stays"));

    put(HKEY_CURRENT_USER, D + "\\Sub", "c", REG_DWORD, std::string("\x09\0\0\0", 4));
    r = run({"copy", "HKCU\\Software\\Src", "HKCU\\Software\\Dst", "/s"}, "y\ny\nyes\n");
    EXPECT_EQ(r.out, qa + "The value 'Software\\Src\\b' already exists in the destination key. Do you "
                          "want to overwrite it? (Yes|No|All)\n" + qc);
    EXPECT_EQ(get(HKEY_CURRENT_USER, D + "\\Sub", "c")->second, std::string("\x05\0\0\0", 4));

    // Into a new key with /f; and into its own subtree, which copies what was there once.
    r = run({"copy", "HKCU\\Software\\Src", "HKCU\\Software\\Src\\Sub\\In", "/s", "/f"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(get(HKEY_CURRENT_USER, S + "\\Sub\\In\\Sub", "c")->second, std::string("\x05\0\0\0", 4));
    EXPECT_EQ(get(HKEY_CURRENT_USER, S + "\\Sub\\In", "a")->second, text(u"src-a"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, S + "\\Sub\\In\\Sub\\In"));
}
