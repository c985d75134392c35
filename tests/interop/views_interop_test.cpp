// Wine 8's registry views and branches against quorvel-reg: /reg:32 and /reg:64 on a 64-bit prefix
// (Wine's 64-bit reg takes /reg:32 itself, so no 32-bit loader is needed); HKEY_USERS in
// whole-registry exports; and the keys Wine keeps only in memory, which an import leaves out of
// the files as Wine's own import does.
#include <gtest/gtest.h>

#include <fstream>

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

}  // namespace
