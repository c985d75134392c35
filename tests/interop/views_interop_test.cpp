// Wine 8's registry views and branches against quorvel-reg: /reg:32 and /reg:64 on a 64-bit prefix
// (Wine's 64-bit reg takes /reg:32 itself, so no 32-bit loader is needed); HKEY_USERS in
// whole-registry exports; the keys Wine keeps only in memory, which an import leaves out of the
// files as Wine's own import does; and data Wine's own export would cut, which ours writes so
// that Wine's import brings it back.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "registry/machines/machine.h"
#include "registry/text.h"
#include "wine_support.h"

using namespace qv::interop;
using namespace qv::reg;

namespace {

void writeUtf16(const fs::path& p, const std::string& text) {
    std::string crlf;
    for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    std::ofstream(p, std::ios::binary) << "\xFF\xFE" + utf16ToBytes(utf8ToUtf16(crlf));
}

class ViewsInterop : public WineTest {
protected:
    Proc ours(const fs::path& prefix, std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--wine-prefix", prefix.string()});
        return tool(args, input);
    }
    static std::string joined(const std::vector<std::string>& args) {
        std::string r;
        for (const auto& a : args) r += a + " ";
        return r;
    }
};

TEST_F(ViewsInterop, ThirtyTwoBitViewActsAsInWine) {
    const fs::path byWine = w.copy("views-wine"), byUs = w.copy("views-ours");
    const fs::path dir = byWine.parent_path();
    const fs::path in = dir / "views-in.reg";
    writeUtf16(in, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\QvImp32]\n\"i\"=\"1\"\n"
                   "[HKEY_CLASSES_ROOT\\.qvimp]\n@=\"x\"\n[HKEY_CLASSES_ROOT\\CLSID\\{qv-imp}]\n\"c\"=dword:00000002\n");
    // Wow6432Node subkeys at other depths, made in the 64-bit view.
    const std::vector<std::vector<std::string>> setup = {
        {"add", "HKLM\\System\\QvV\\P1\\Q\\Wow6432Node\\R", "/v", "r", "/d", "1", "/f"},
        {"add", "HKLM\\System\\QvV\\P1\\Q", "/v", "q", "/d", "1", "/f"},
        {"add", "HKLM\\System\\QvV\\P2\\Wow6432Node\\Q\\Wow6432Node\\R", "/v", "r", "/d", "1", "/f"},
        {"add", "HKLM\\System\\QvV\\P2\\Wow6432Node\\Q\\C", "/v", "c", "/d", "1", "/f"},
    };
    const std::vector<std::vector<std::string>> steps = {
        {"add", "HKLM\\Software\\QvView", "/v", "a", "/d", "32", "/reg:32", "/f"},
        {"add", "HKLM\\Software\\QvView", "/v", "a", "/d", "64", "/reg:64", "/f"},
        {"query", "HKLM\\Software\\QvView", "/reg:32"},
        {"query", "HKLM\\Software\\QvView", "/reg:64"},
        {"query", "HKLM\\Software\\Wow6432Node\\QvView"},
        {"add", "HKCR\\.qvview", "/ve", "/d", "x", "/reg:32", "/f"},
        {"query", "HKCR\\.qvview", "/reg:32"},
        {"query", "HKCR\\.qvview"},
        {"query", "HKCR\\.txt", "/reg:32"},
        {"query", "HKCR\\txtfile", "/s", "/reg:64"},
        {"add", "HKCR\\AppID\\{qv-view}", "/v", "a", "/d", "1", "/reg:32", "/f"},
        {"query", "HKLM\\Software\\Classes\\AppID\\{qv-view}"},
        {"add", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\qv.exe", "/ve", "/d", "x", "/reg:32", "/f"},
        {"query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\qv.exe"},
        {"add", "HKCU\\Software\\QvView", "/v", "u", "/d", "1", "/reg:32", "/f"},
        {"query", "HKCU\\Software\\QvView"},
        {"query", "HKLM\\System\\QvV\\P1\\Q", "/reg:32"},
        {"query", "HKLM\\System\\QvV\\P2\\Q", "/reg:32"},
        {"query", "HKLM\\System\\QvV\\P2\\Q\\R", "/reg:32"},
        {"query", "HKLM\\System\\QvV\\P2\\Wow6432Node\\Q", "/reg:32"},
        {"query", "HKLM\\System\\QvV", "/s", "/reg:32"},
        {"query", "HKLM\\System\\QvV", "/s", "/v", "r", "/reg:32"},
        {"add", "HKLM\\System\\QvV\\P1\\Q", "/v", "viaadd", "/d", "1", "/reg:32", "/f"},
        {"add", "HKLM\\System\\QvV\\P2\\Q\\New", "/v", "n", "/d", "1", "/reg:32", "/f"},
        {"copy", "HKLM\\System\\QvV", "HKLM\\Software\\QvViewCopy", "/s", "/reg:32", "/f"},
        {"delete", "HKLM\\System\\QvV\\P1\\Q", "/va", "/reg:32", "/f"},
        {"delete", "HKLM\\System\\QvV\\P1\\Q", "/reg:32", "/f"},
        {"import", in.string(), "/reg:32"},
        {"query", "HKLM\\Software", "/reg:32"},
        {"query", "HKLM\\Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Fonts", "/reg:32"},
        {"query", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\UTC", "/reg:32"},
    };
    std::vector<Proc> wine;
    for (const auto& s : setup) ASSERT_EQ(w.reg(byWine, s).status, 0);
    for (const auto& s : steps) wine.push_back(w.reg(byWine, s));
    w.stop(byWine);
    for (const auto& s : setup) ASSERT_EQ(ours(byUs, s).status, 0);
    for (size_t i = 0; i < steps.size(); ++i) {
        const Proc q = ours(byUs, steps[i]);
        EXPECT_EQ(q.status, wine[i].status) << joined(steps[i]);
        EXPECT_EQ(q.out + q.err, withoutCr(wine[i].out)) << joined(steps[i]);
    }
    // Both prefixes now hold the same keys, each written in the view Wine wrote it.
    for (const char* key : {"HKLM\\Software\\Wow6432Node\\QvView", "HKLM\\Software\\QvView", "HKLM\\System\\QvV",
                            "HKLM\\Software\\Wow6432Node\\QvViewCopy", "HKLM\\Software\\Wow6432Node\\QvImp32",
                            "HKLM\\Software\\Classes\\Wow6432Node\\CLSID", "HKLM\\Software\\Classes\\Wow6432Node\\.qvimp",
                            "HKCU\\Software\\QvView", "HKLM\\Software\\Classes\\AppID\\{qv-view}"}) {
        const fs::path fw = dir / "views-wine.reg", fo = dir / "views-ours.reg";
        const Proc ew = ours(byWine, {"export", key, fw.string(), "/y"});
        const Proc eo = ours(byUs, {"export", key, fo.string(), "/y"});
        EXPECT_EQ(ew.status, 0) << key << ew.err;
        EXPECT_EQ(eo.status, 0) << key << eo.err;
        EXPECT_TRUE(readFile(fw) == readFile(fo)) << key;
    }
    // An export in the 32-bit view names the keys as typed, to the byte.
    for (const char* key : {"HKLM\\Software\\QvViewCopy", "HKLM\\System\\QvV", "HKCR\\CLSID\\{qv-imp}"}) {
        const fs::path fw = dir / "views32-wine.reg", fo = dir / "views32-ours.reg";
        const Proc ew = w.reg(byWine, {"export", key, fw.string(), "/reg:32", "/y"});
        w.stop(byWine);
        const Proc eo = ours(byUs, {"export", key, fo.string(), "/reg:32", "/y"});
        EXPECT_EQ(ew.status, 0) << key;
        EXPECT_EQ(eo.status, 0) << key << eo.err;
        EXPECT_TRUE(readFile(fw) == readFile(fo)) << key;
    }
}

// The keys of a prefix's registry file, folded, with their root.
std::set<std::string> keysOf(const fs::path& file, const std::string& root) {
    std::set<std::string> keys;
    for (const std::string& k : splitKeys(readFile(file)).order) {
        std::string name = root + "\\";
        for (size_t i = 0; i < k.size(); ++i) {
            if (k[i] == '\\' && i + 1 < k.size() && k[i + 1] == '\\') ++i;
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(k[i])));
        }
        keys.insert(name);
    }
    return keys;
}

std::string firstFew(const std::set<std::string>& s) {
    std::string r;
    int n = 0;
    for (const std::string& k : s) {
        if (++n > 5) break;
        r += "\n  " + k;
    }
    return r;
}

// `regedit /E` of a running prefix holds HKLM and HKEY_USERS, with the keys Wine makes in memory.
// Imported into a copy of the prefix as it was before, it gives the keys that prefix saved: the
// user's branch lands in user.reg, and nothing Wine keeps in memory reaches the files, as with
// Wine's own import.
TEST_F(ViewsInterop, WholeRegistryExportRestoresThePrefix) {
    const fs::path ran = w.copy("whole-ran"), byUs = w.copy("whole-ours");
    const fs::path dir = ran.parent_path();
    const fs::path all = dir / "whole-all.reg", noDefault = dir / "whole-nodefault.reg";
    const Proc e = w.wine(ran, {"regedit", "/E", winPath(all)});
    w.stop(ran);
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    std::string text = utf16ToUtf8(bytesToUtf16(readFile(all).substr(2)));
    ASSERT_NE(text.find("[HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software]"), std::string::npos);
    ASSERT_NE(text.find("[HKEY_LOCAL_MACHINE\\Hardware]"), std::string::npos);

    // HKEY_USERS\.Default (userdef.reg) is no part of the machine: refused by name.
    const std::string sys = readFile(byUs / "system.reg");
    const std::set<std::string> before[] = {keysOf(byUs / "system.reg", "system.reg"), keysOf(byUs / "user.reg", "user.reg")};
    Proc r = ours(byUs, {"import", all.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("HKEY_USERS\\.Default"), std::string::npos) << r.err;
    EXPECT_TRUE(readFile(byUs / "system.reg") == sys);

    // Without those sections the rest imports.
    std::istringstream lines(text);
    std::string line, kept;
    bool skip = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '[') skip = line.rfind("[HKEY_USERS\\.Default", 0) == 0;
        if (!skip) kept += line + "\n";
    }
    std::ofstream(noDefault, std::ios::binary) << "\xFF\xFE" + utf16ToBytes(utf8ToUtf16(kept));
    r = ours(byUs, {"import", noDefault.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* k : {"HKEY_LOCAL_MACHINE\\Hardware", "ActiveComputerName", "HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Cache"})
        EXPECT_NE(r.err.find(k), std::string::npos) << k << " in " << r.err;

    // Keys the run took out of the files stay as the copy had them (a new prefix saves
    // NetworkCards once, until Wine's first start makes it anew in memory).
    for (int f = 0; f < 2; ++f) {
        const char* file = f ? "user.reg" : "system.reg";
        const std::set<std::string> want = keysOf(ran / file, file), have = keysOf(byUs / file, file);
        std::set<std::string> extra, missing;
        for (const std::string& k : have)
            if (!want.count(k) && !before[f].count(k)) extra.insert(k);
        for (const std::string& k : want)
            if (!have.count(k)) missing.insert(k);
        EXPECT_TRUE(extra.empty()) << file << ": keys Wine never saves were written:" << firstFew(extra);
        EXPECT_TRUE(missing.empty()) << file << ": keys not restored:" << firstFew(missing);
        EXPECT_GT(have.size(), 40u) << file;
    }
}

// Values and keys a file sets in keys Wine keeps only in memory: Wine's own import of it into a
// running prefix leaves the files without them; ours does too.
TEST_F(ViewsInterop, KeysWineKeepsInMemoryStayOutOfTheFiles) {
    const fs::path byWine = w.copy("memory-wine"), byUs = w.copy("memory-ours");
    const fs::path file = byWine.parent_path() / "memory.reg";
    writeUtf16(file, "Windows Registry Editor Version 5.00\n\n"
                     "[HKEY_LOCAL_MACHINE\\Hardware\\Description\\System]\n\"QvMem\"=\"1\"\n"
                     "[HKEY_LOCAL_MACHINE\\Hardware\\QvMemKey]\n\"a\"=\"1\"\n"
                     "[HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\Wine\\Fonts\\Cache\\QvMemSub]\n\"b\"=\"2\"\n"
                     "[HKEY_CURRENT_USER\\Software\\Wine\\Temporary System Parameters]\n\"QvMemTsp\"=\"3\"\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\QvMemKept]\n\"c\"=\"4\"\n"
                     "[HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\QvMemUser]\n\"d\"=\"5\"\n");
    w.reg(byWine, {"import", file.string()});
    w.stop(byWine);
    const Proc r = ours(byUs, {"import", file.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const fs::path& p : {byWine, byUs}) {
        const std::string sys = readFile(p / "system.reg"), user = readFile(p / "user.reg");
        EXPECT_NE(sys.find("[Software\\\\QvMemKept]"), std::string::npos) << p;
        EXPECT_NE(user.find("[Software\\\\QvMemUser]"), std::string::npos) << p;
        for (const char* gone : {"QvMem\"", "QvMemKey", "QvMemSub", "QvMemTsp"})
            EXPECT_EQ((sys + user).find(gone), std::string::npos) << gone << " in " << p;
    }
}

TEST_F(ViewsInterop, OddStringsAndDwordsComeBackThroughWinesImport) {
    const fs::path from = w.copy("odd-from"), into = w.copy("odd-into");
    const std::string abc = utf16ToBytes(u"abc"), nul(2, '\0');
    const std::string inner = utf16ToBytes(std::u16string(u"a\0b\0", 4));
    struct Case {
        const char* name;
        uint32_t type;
        std::string data, back;  // back: what Wine's import of our export stores
    };
    const Case cases[] = {
        {"NoNul", REG_SZ, abc, abc + nul},
        {"Inner", REG_SZ, inner, inner},
        {"Empty", REG_SZ, "", ""},
        {"Clean", REG_SZ, abc + nul, abc + nul},
        {"ExpNoNul", REG_EXPAND_SZ, abc, abc + nul},
        {"Dw2", REG_DWORD, "\x01\x02", "\x01\x02"},
        {"Dw8", REG_DWORD, "12345678", "12345678"},
        {"Dw0", REG_DWORD, "", ""},
    };
    {
        auto m = Machine::openWinePrefix(from);
        HKey k;
        ASSERT_EQ(m->createKey(HKEY_CURRENT_USER, "Software\\QvOdd", &k), ERROR_SUCCESS);
        for (const Case& c : cases) ASSERT_EQ(m->setValue(k, c.name, c.type, c.data), ERROR_SUCCESS);
        m->closeKey(k);
        m->commit();
    }
    const fs::path file = from.parent_path() / "odd.reg";
    const Proc e = ours(from, {"export", "HKCU\\Software\\QvOdd", file.string()});
    ASSERT_EQ(e.status, 0) << e.err;
    const Proc i = w.reg(into, {"import", file.string()});
    w.stop(into);
    ASSERT_EQ(i.status, 0) << i.out;
    auto m = Machine::openWinePrefix(into);
    HKey k;
    ASSERT_EQ(m->openKey(HKEY_CURRENT_USER, "Software\\QvOdd", &k), ERROR_SUCCESS);
    for (const Case& c : cases) {
        uint32_t type = 0;
        std::string data;
        ASSERT_EQ(m->queryValue(k, c.name, &type, &data), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.back) << c.name;
    }
    m->closeKey(k);
}

}  // namespace
