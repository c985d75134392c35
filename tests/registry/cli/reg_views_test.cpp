// quorvel-reg beyond the plain keys of a machine. /reg:32 and /reg:64 on a machine laid out as a
// 64-bit Wine prefix is: the listings are what Wine 8's `wine reg ... /reg:32` printed for the
// same keys, and changes land where Wine put them; on a 32-bit prefix both switches are the one
// view. In .reg files the user's branch of HKEY_USERS is HKEY_CURRENT_USER (a whole-registry
// export has it), other branches are refused by name, and on a Wine prefix what a file sets in
// keys Wine keeps only in memory stays out of the files.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "registry/test_files.h"
#include "registry/machines/branches.h"
#include "registry/cli/reg_tool.h"
#include "registry/machines/machine.h"
#include "registry/text.h"

using namespace qv::reg;
namespace fs = std::filesystem;
using qvtest::readFile;
using qvtest::writeFile;

namespace {

std::string key(const std::string& name, const std::string& values = {}) {
    return "\n[" + name + "] 1796630155\n#time=1dd8620637331ae\n" + values;
}

// What a fresh 64-bit prefix has of the two views (shared keys are links in Wow6432Node), and
// keys with Wow6432Node subkeys at other depths.
std::string systemReg(const char* arch) {
    return std::string("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=") + arch +
           "\n" + key("Software\\\\Classes\\\\.txt", "@=\"txtfile\"\n") +
           key("Software\\\\Classes\\\\AppId\\\\{x}", "\"a\"=\"shared\"\n") +
           qvtest::wineLinkKey("Software\\\\Classes\\\\Wow6432Node\\\\AppId", u"\\Registry\\Machine\\Software\\Classes\\AppId") +
           key("Software\\\\Classes\\\\Wow6432Node\\\\CLSID") + key("Software\\\\Policies") +
           qvtest::wineLinkKey("Software\\\\Wow6432Node\\\\Classes", u"\\Registry\\Machine\\Software\\Classes\\Wow6432Node") +
           key("Software\\\\Wow6432Node\\\\Only32", "\"v\"=\"32\"\n") +
           qvtest::wineLinkKey("Software\\\\Wow6432Node\\\\Policies", u"\\Registry\\Machine\\Software\\Policies") +
           key("System\\\\P1\\\\Q", "\"q\"=\"1\"\n") + key("System\\\\P1\\\\Q\\\\Wow6432Node\\\\R", "\"r\"=\"1\"\n") +
           key("System\\\\P2\\\\Wow6432Node\\\\Q\\\\C", "\"c\"=\"1\"\n") +
           key("System\\\\P2\\\\Wow6432Node\\\\Q\\\\Wow6432Node\\\\R", "\"r\"=\"1\"\n");
}

const char* const kUserReg =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n"
    "\n[Software] 1796630155\n#time=1dd8620637331ae\n";

struct Result {
    int rc;
    std::string out, err;
};

class RegViewsTest : public ::testing::Test {
protected:
    void SetUp() override { make("win64"); }
    void make(const char* arch) {
        writeFile(dir_ / "system.reg", systemReg(arch));
        writeFile(dir_ / "user.reg", kUserReg);
    }
    Result run(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--machine", dir_.string()});
        std::istringstream in(input);
        std::ostringstream out, err;
        cli::ToolIo io{in, out, err, false};
        const int rc = cli::runRegTool(args, io);
        return {rc, out.str(), err.str()};
    }
    // The same on the folder as a Wine prefix.
    int import(const std::string& text, std::string* err) {
        const fs::path file = tmp_.path() / "in.reg";
        writeFile(file, text);
        std::ostringstream out, e;
        const int rc = cli::runRegTool({"--wine-prefix", dir_.string(), "import", file.string()}, out, e);
        *err = e.str();
        return rc;
    }
    bool has(int32_t root, const std::string& path, const std::string& value = {}) {
        auto m = Machine::openWinePrefix(dir_);
        HKey k;
        if (m->openKey(root, path, &k) != 0) return false;
        const bool found = value.empty() || m->queryValue(k, value, nullptr, nullptr) == 0;
        m->closeKey(k);
        return found;
    }

    qvtest::TempDir tmp_;
    fs::path dir_ = tmp_.path();
};

constexpr const char* kNotFound = "reg: Unable to find the specified registry key\n";

// Wine 8's own output for these keys (the lines it printed, CR dropped).
TEST_F(RegViewsTest, ListingsMatchWinesThirtyTwoBitView) {
    struct Case {
        std::vector<std::string> args;
        std::string out;  // empty: the key is not found
    };
    const Case cases[] = {
        {{"query", "HKLM\\Software\\Only32", "/reg:32"}, "\nHKEY_LOCAL_MACHINE\\Software\\Only32\n    v    REG_SZ    32\n\n"},
        {{"query", "HKLM\\Software\\Only32", "/reg:64"}, ""},
        {{"query", "HKLM\\Software\\Only32"}, ""},
        // The key's own Wow6432Node when nothing on the way had one; one step only.
        {{"query", "HKLM\\System\\P1\\Q", "/reg:32"}, "\nHKEY_LOCAL_MACHINE\\System\\P1\\Q\\R\n"},
        {{"query", "HKLM\\System\\P1\\Q", "/reg:64"},
         "\nHKEY_LOCAL_MACHINE\\System\\P1\\Q\n    q    REG_SZ    1\n\nHKEY_LOCAL_MACHINE\\System\\P1\\Q\\Wow6432Node\n"},
        {{"query", "HKLM\\System\\P1\\Q\\R", "/reg:32"}, "\nHKEY_LOCAL_MACHINE\\System\\P1\\Q\\R\n    r    REG_SZ    1\n\n"},
        {{"query", "HKLM\\System\\P2\\Q", "/reg:32"},
         "\nHKEY_LOCAL_MACHINE\\System\\P2\\Q\\C\nHKEY_LOCAL_MACHINE\\System\\P2\\Q\\Wow6432Node\n"},
        {{"query", "HKLM\\System\\P2\\Q\\R", "/reg:32"}, ""},
        {{"query", "HKLM\\System\\P2\\Wow6432Node\\Q", "/reg:32"},
         "\nHKEY_LOCAL_MACHINE\\System\\P2\\Wow6432Node\\Q\\C\nHKEY_LOCAL_MACHINE\\System\\P2\\Wow6432Node\\Q\\Wow6432Node\n"},
        // Each key of a walk is opened anew and may step into its own Wow6432Node.
        {{"query", "HKLM\\System\\P2", "/s", "/reg:32"},
         "\nHKEY_LOCAL_MACHINE\\System\\P2\\Q\n\nHKEY_LOCAL_MACHINE\\System\\P2\\Q\\R\n    r    REG_SZ    1\n\n"},
        // HKCR is Classes\Wow6432Node: unshared classes are missing, links lead to shared ones.
        {{"query", "HKCR\\.txt", "/reg:32"}, ""},
        {{"query", "HKCR\\AppId\\{x}", "/reg:32"}, "\nHKEY_CLASSES_ROOT\\AppId\\{x}\n    a    REG_SZ    shared\n\n"},
        {{"query", "HKLM\\Software\\Classes\\AppId\\{x}", "/reg:32"},
         "\nHKEY_LOCAL_MACHINE\\Software\\Classes\\AppId\\{x}\n    a    REG_SZ    shared\n\n"},
        {{"query", "HKCR\\Wow6432Node", "/reg:32"}, ""},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        const Result r = run(c.args);
        EXPECT_EQ(r.rc, c.out.empty() ? 1 : 0) << shown;
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err, c.out.empty() ? kNotFound : "") << shown;
    }
}

TEST_F(RegViewsTest, ChangesLandWhereWinePutsThem) {
    const fs::path file = tmp_.path() / "in.reg";
    writeFile(file, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Imp]\n\"i\"=\"1\"\n[HKEY_CLASSES_ROOT\\.imp]\n@=\"x\"\n");
    const std::vector<std::vector<std::string>> commands = {
        {"add", "HKLM\\Software\\New", "/v", "a", "/d", "1", "/reg:32", "/f"},
        {"add", "HKCR\\.new", "/reg:32", "/f"},
        {"add", "HKCR\\AppId\\{y}", "/v", "a", "/d", "1", "/reg:32", "/f"},
        {"add", "HKLM\\Software\\Policies\\P", "/v", "a", "/d", "1", "/reg:32", "/f"},
        {"add", "HKCU\\Software\\U", "/v", "a", "/d", "1", "/reg:32", "/f"},
        {"add", "HKLM\\System\\P1\\Q", "/v", "viaadd", "/d", "1", "/reg:32", "/f"},
        {"add", "HKLM\\System\\P2\\Q\\New", "/v", "n", "/d", "1", "/reg:32", "/f"},
        {"copy", "HKLM\\System\\P2", "HKLM\\Software\\Cp", "/s", "/reg:32", "/f"},
        {"import", file.string(), "/reg:32"},
        {"delete", "HKLM\\Software\\Only32", "/v", "v", "/reg:32", "/f"},
    };
    for (const auto& c : commands) {
        const Result r = run(c);
        EXPECT_EQ(r.rc, 0) << c[0] << " " << c[1] << ": " << r.err;
    }
    const int32_t LM = HKEY_LOCAL_MACHINE;
    struct Where {
        int32_t root;
        const char* path;
        const char* value;
        bool there;
    };
    const Where where[] = {
        {LM, "Software\\Wow6432Node\\New", "a", true},
        {LM, "Software\\New", "", false},
        {LM, "Software\\Classes\\Wow6432Node\\.new", "", true},
        {LM, "Software\\Classes\\.new", "", false},
        {LM, "Software\\Classes\\AppId\\{y}", "a", true},
        {LM, "Software\\Policies\\P", "a", true},
        {HKEY_CURRENT_USER, "Software\\U", "a", true},
        {LM, "System\\P1\\Q\\Wow6432Node", "viaadd", true},
        {LM, "System\\P1\\Q", "viaadd", false},
        {LM, "System\\P2\\Wow6432Node\\Q\\New", "n", true},
        {LM, "Software\\Wow6432Node\\Cp\\Q\\R", "r", true},
        {LM, "Software\\Wow6432Node\\Cp\\Q\\C", "", false},
        {LM, "Software\\Wow6432Node\\Imp", "i", true},
        {LM, "Software\\Classes\\Wow6432Node\\.imp", "", true},
        {LM, "Software\\Wow6432Node\\Only32", "v", false},
    };
    for (const Where& w : where) EXPECT_EQ(has(w.root, w.path, w.value), w.there) << w.path << " " << w.value;

    // Deleting the key takes its own Wow6432Node, as Wine does; the 64-bit key stays.
    EXPECT_EQ(run({"delete", "HKLM\\System\\P1\\Q", "/reg:32", "/f"}).rc, 0);
    EXPECT_FALSE(has(LM, "System\\P1\\Q\\Wow6432Node"));
    EXPECT_TRUE(has(LM, "System\\P1\\Q", "q"));

    // Export writes the 32-bit keys under the name as typed.
    const fs::path out = tmp_.path() / "out.reg";
    ASSERT_EQ(run({"export", "HKLM\\Software\\New", out.string(), "/reg:32"}).rc, 0);
    EXPECT_EQ(utf16ToUtf8(bytesToUtf16(readFile(out).substr(2))),
              "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\New]\r\n\"a\"=\"1\"\r\n\r\n");

    // A 32-bit prefix has the one view: its keys are where the path names them.
    make("win32");
    EXPECT_EQ(run({"query", "HKLM\\Software\\Only32", "/reg:32"}).rc, 1);
    EXPECT_EQ(run({"add", "HKLM\\Software\\New", "/v", "a", "/d", "1", "/reg:32", "/f"}).rc, 0);
    EXPECT_TRUE(has(LM, "Software\\New", "a"));
}

const std::string kDevices = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\{g}\\";

// The shape of `regedit /E` of a running prefix: HKEY_USERS with the user's branch, and keys
// Wine made in memory.
TEST_F(RegViewsTest, WholeRegistryExportImportsIntoThePrefixFiles) {
    const std::string text =
        "REGEDIT4\n[HKEY_LOCAL_MACHINE]\n[HKEY_LOCAL_MACHINE\\Software\\QvB]\n\"a\"=\"1\"\n"
        "[HKEY_LOCAL_MACHINE\\Hardware\\Description\\System]\n\"Identifier\"=\"AT compatible\"\n"
        "[" + kDevices + "##?#DISPLAY#Default_Monitor#0000&0000#{g}\\#]\n\"SymbolicLink\"=\"x\"\n"
        "[" + kDevices + "##?#hid#vid_1#{g}\\#]\n\"SymbolicLink\"=\"kept\"\n"
        "[" + kDevices + "##?#hid#vid_1#{g}\\#\\Control]\n\"Linked\"=dword:00000001\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName]\n"
        "\"ComputerName\"=\"OLD\"\n"
        "[HKEY_USERS]\n[HKEY_USERS\\S-1-5-21-0-0-0-1000]\n"
        "[HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\QvU]\n\"u\"=\"1\"\n"
        "[hku\\s-1-5-21-0-0-0-1000\\Software\\Wine\\Fonts\\Cache]\n\"x\"=hex:01\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\Temporary System Parameters]\n\"y\"=\"1\"\n";
    std::string err;
    ASSERT_EQ(import(text, &err), 0) << err;
    const int32_t LM = HKEY_LOCAL_MACHINE, CU = HKEY_CURRENT_USER;
    const std::string devices = kDevices.substr(sizeof "HKEY_LOCAL_MACHINE");
    struct Where {
        int32_t root;
        std::string path, value;
        bool there;
    };
    const Where where[] = {
        {LM, "Software\\QvB", "a", true},
        {CU, "Software\\QvU", "u", true},
        {LM, "Hardware", "", false},
        {LM, devices + "##?#DISPLAY#Default_Monitor#0000&0000#{g}\\#", "", false},
        {LM, devices + "##?#hid#vid_1#{g}\\#", "SymbolicLink", true},
        {LM, devices + "##?#hid#vid_1#{g}\\#\\Control", "", false},
        {LM, "System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName", "", false},
        {CU, "Software\\Wine\\Fonts\\Cache", "", false},
        {CU, "Software\\Wine\\Temporary System Parameters", "", false},
    };
    for (const Where& w : where) EXPECT_EQ(has(w.root, w.path, w.value), w.there) << w.path;
    EXPECT_EQ(readFile(dir_ / "system.reg").find("Hardware"), std::string::npos);
    // The note names each key left out once.
    for (const char* k : {"\n  HKEY_LOCAL_MACHINE\\Hardware\n", "\n  HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Cache\n",
                          "\\##?#hid#vid_1#{g}\\#\\Control\n"})
        EXPECT_NE(err.find(k), std::string::npos) << k << " in " << err;
    EXPECT_EQ(err.find("Hardware", err.find("Hardware") + 1), std::string::npos) << err;
}

TEST_F(RegViewsTest, OtherBranchesOfUsersAreRefusedByName) {
    const std::string sys = readFile(dir_ / "system.reg"), user = readFile(dir_ / "user.reg");
    struct Case {
        std::string text, says;
    };
    const Case cases[] = {
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\QvB]\n\"a\"=\"1\"\n[HKEY_USERS\\.Default\\Software\\X]\n\"b\"=\"2\"\n",
         "in.reg:4: HKEY_USERS\\.Default (the profile new users start from; Wine keeps it in userdef.reg) is not part "
         "of this machine"},
        {"REGEDIT4\n[HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software]\n",
         "in.reg:2: HKEY_USERS\\S-1-5-21-1-2-3-1001 is not part of this machine; its user is "
         "HKEY_USERS\\S-1-5-21-0-0-0-1000 (HKEY_CURRENT_USER)"},
        {"REGEDIT4\n[HKEY_USERS\\S-1-5-18]\n", "in.reg:2: HKEY_USERS\\S-1-5-18 is not part"},
        {"REGEDIT4\n[HKEY_CURRENT_CONFIG\\Software]\n", "in.reg:2: HKEY_CURRENT_CONFIG is not part of this registry"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(import(c.text, &err), 1) << c.text;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_NE(err.find("nothing was imported"), std::string::npos) << err;
        EXPECT_EQ(readFile(dir_ / "system.reg"), sys);
        EXPECT_EQ(readFile(dir_ / "user.reg"), user);
    }
}

// What Quorvel's --import does with a file before applying it.
TEST_F(RegViewsTest, PreparedImportMapsTheUserAndLeavesOutMemoryKeys) {
    const auto m = Machine::openWinePrefix(dir_);
    ChangeSet cs;
    cs.ops = {
        keyOp(ChangeOp::Kind::CreateKey, HKEY_USERS, u""),
        setValueOp(HKEY_USERS, u"S-1-5-21-0-0-0-1000\\Control Panel\\Desktop", u"a", REG_SZ, "x"),
        setValueOp(HKEY_CURRENT_USER, u"Control Panel\\International\\\U0001F30E\U0001F30F\U0001F30D", u"b", REG_SZ, "y"),
        setValueOp(HKEY_LOCAL_MACHINE, u"hardware\\x", u"c", REG_SZ, "z"),
        keyOp(ChangeOp::Kind::DeleteKey, HKEY_LOCAL_MACHINE, u"System\\MountedDevices"),
    };
    std::string error;
    std::vector<std::string> skipped;
    ASSERT_TRUE(prepareImport(*m, &cs, &error, &skipped)) << error;
    ASSERT_EQ(cs.ops.size(), 1u);
    EXPECT_EQ(cs.ops[0].root, HKEY_CURRENT_USER);
    EXPECT_EQ(cs.ops[0].key, u"Control Panel\\Desktop");
    EXPECT_EQ(skipped, (std::vector<std::string>{"HKEY_CURRENT_USER\\Control Panel\\International\\\xF0\x9F\x8C\x8E\xF0\x9F\x8C\x8F\xF0\x9F\x8C\x8D",
                                                 "HKEY_LOCAL_MACHINE\\hardware", "HKEY_LOCAL_MACHINE\\System\\MountedDevices"}));

    // An own machine is no prefix Wine runs: every key is written there.
    ChangeSet own;
    own.ops = {setValueOp(HKEY_LOCAL_MACHINE, u"Hardware\\x", u"c", REG_SZ, "z")};
    const auto o = Machine::openOwn(tmp_.path() / "own");
    ASSERT_TRUE(prepareImport(*o, &own, &error, &skipped)) << error;
    EXPECT_EQ(own.ops.size(), 1u);
}

}  // namespace
