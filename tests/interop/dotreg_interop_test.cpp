// .reg files against Wine 8: `quorvel-reg export` writes the bytes `wine reg export` writes; a file
// either side exports imports on the other side to the same registry; deletions in a .reg file do
// what they do in Wine; a running wineserver stops import and copy with a command that works; and
// any change set applied to a real prefix and then taken back leaves its keys and values as they
// were.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/text.h"
#include "wine_support.h"

using namespace qv::interop;
using namespace qv::reg;

namespace {

const int32_t CU = HKEY_CURRENT_USER, LM = HKEY_LOCAL_MACHINE;

std::string z16(std::u16string_view s) { return utf16ToBytes(s) + std::string(2, '\0'); }

// Every value type, escapes, text beyond ASCII, long binaries, a deep chain, a key over 600 KB
// and names whose order depends on case folding.
ChangeSet content() {
    ChangeSet cs;
    const std::u16string T = u"Software\\QvDotReg\\Types";
    std::string longBin;
    for (int i = 0; i < 3000; ++i) longBin += static_cast<char>((i * 37 + 11) & 0xff);
    cs.ops = {
        setValueOp(CU, T, u"", REG_SZ, z16(u"default")),
        setValueOp(CU, T, u"Sz", REG_SZ, z16(u"say \"hi\" \\ [x] ;not a comment")),
        setValueOp(CU, T, u"Empty", REG_SZ, z16(u"")),
        setValueOp(CU, T, u"Lines", REG_SZ, z16(u"one\r\ntwo\nthree")),
        setValueOp(CU, T, u"Exp", REG_EXPAND_SZ, z16(u"%SystemRoot%\\system32")),
        setValueOp(CU, T, u"Multi", REG_MULTI_SZ, utf16ToBytes(std::u16string(u"a\0bc\0\0", 6))),
        setValueOp(CU, T, u"Bin", REG_BINARY, "\x01\x02\xff"),
        setValueOp(CU, T, u"BinEmpty", REG_BINARY, ""),
        setValueOp(CU, T, u"LongBin", REG_BINARY, longBin),
        setValueOp(CU, T, u"Dw", REG_DWORD, std::string("\x90\x01\0\0", 4)),
        setValueOp(CU, T, u"DwMax", REG_DWORD, std::string(4, '\xff')),
        setValueOp(CU, T, u"BigE", REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x10", 4)),
        setValueOp(CU, T, u"Qw", REG_QWORD, std::string("\xf0\xde\xbc\x9a\x78\x56\x34\x12", 8)),
        setValueOp(CU, T, u"None", REG_NONE, z16(u"abc")),
        setValueOp(CU, T, u"Odd type", 0x100, "\x05\x06"),
        setValueOp(CU, T, u"a \"quoted\" = [name] \\ with ; stuff", REG_SZ, z16(u"v")),
        setValueOp(CU, T, u"A very long value name that pushes the hex data to wrap early", REG_BINARY,
              longBin.substr(0, 200)),
        setValueOp(CU, u"Software\\QvDotReg\\Uni\\caf\u00e9 \u4e2d \U0001F600", u"\u043a\u043b\u044e\u0447",
              REG_SZ, z16(u"caf\u00e9 \u4e2d \U0001F600")),
        setValueOp(CU, u"Software\\QvDotReg\\Uni\\caf\u00e9 \u4e2d \U0001F600", u"\u00e9", REG_MULTI_SZ,
              utf16ToBytes(std::u16string(u"\u00e9\0\u4e2d\0\0", 5))),
        setValueOp(CU, u"Software\\QvDotReg\\Uni\\caf\u00e9 \u4e2d \U0001F600", u"", REG_EXPAND_SZ,
              z16(u"%windir%\\\u00fc")),
        setValueOp(LM, u"Software\\QvDotReg\\M", u"m", REG_SZ, z16(u"machine")),
        setValueOp(LM, u"Software\\QvDotReg\\M\\Sub", u"n", REG_DWORD, std::string(4, '\0')),
    };
    std::u16string deep = u"Software\\QvDotReg\\Deep";
    for (int i = 1; i <= 30; ++i) {
        deep += u"\\L" + utf8ToUtf16(std::to_string(100 + i).substr(1));
        if (i % 7 == 0) cs.ops.push_back(setValueOp(CU, deep, u"depth", REG_DWORD, std::string(1, static_cast<char>(i)) + std::string(3, '\0')));
    }
    ChangeOp bare;
    bare.kind = ChangeOp::Kind::CreateKey;
    bare.root = CU;
    bare.key = deep + u"\\Bare";
    cs.ops.push_back(bare);
    for (const char16_t* name : {u"b", u"A", u"a1", u"_x", u"Z", u"\u00e4", u"[", u"a", u"B2"})
        cs.ops.push_back(setValueOp(CU, std::u16string(u"Software\\QvDotReg\\Order\\") + name, u"v", REG_SZ, z16(name)));
    std::string blob;
    std::mt19937 rng(7);
    for (int i = 0; i < 640 * 1024; ++i) blob += static_cast<char>(rng() & 0xff);
    cs.ops.push_back(setValueOp(CU, u"Software\\QvDotReg\\Big", u"blob", REG_BINARY, blob));
    for (int i = 0; i < 200; ++i)
        cs.ops.push_back(setValueOp(CU, u"Software\\QvDotReg\\Big", u"s" + utf8ToUtf16(std::to_string(i)), REG_SZ,
                               z16(std::u16string(1000, static_cast<char16_t>(u'a' + i % 26)))));
    return cs;
}

void writeFile(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }

class DotRegInterop : public WineTest {
protected:
    // The prefix holding content(), put there by Wine's own import; made once.
    fs::path filled() {
        static fs::path p;
        if (p.empty()) {
            const fs::path candidate = w.copy("dotreg-filled");
            const fs::path file = candidate.parent_path() / "dotreg-content.reg";
            writeFile(file, writeRegFile(content(), RegFormat::Unicode));
            const Proc r = w.reg(candidate, {"import", file.string()});
            w.stop(candidate);
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            p = candidate;
        }
        return p;
    }

    Proc ours(const fs::path& prefix, std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--wine-prefix", prefix.string()});
        return tool(args, input);
    }
};

const std::vector<std::string> kExportKeys = {
    "HKCU\\Software\\QvDotReg",
    "hkcu\\software\\qvdotreg\\types\\",
    "HKEY_CURRENT_USER\\Software\\QvDotReg\\Big",
    "HKLM\\Software\\QvDotReg",
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion",
    "HKCU\\Control Panel",
    "HKCR\\.chm",
    "HKLM\\Software\\Classes\\CLSID",
};

TEST_F(DotRegInterop, ExportIsByteIdentical) {
    const fs::path p = filled();
    const fs::path dir = p.parent_path() / "exports";
    fs::create_directories(dir);
    std::vector<Proc> wine;
    for (size_t i = 0; i < kExportKeys.size(); ++i)
        wine.push_back(w.reg(p, {"export", kExportKeys[i], (dir / ("wine" + std::to_string(i) + ".reg")).string()}));
    w.stop(p);
    for (size_t i = 0; i < kExportKeys.size(); ++i) {
        const fs::path mine = dir / ("ours" + std::to_string(i) + ".reg");
        const Proc q = ours(p, {"export", kExportKeys[i], mine.string()});
        EXPECT_EQ(q.status, wine[i].status) << kExportKeys[i];
        EXPECT_EQ(q.out + q.err, withoutCr(wine[i].out)) << kExportKeys[i];
        const std::string theirs = readFile(dir / ("wine" + std::to_string(i) + ".reg"));
        EXPECT_GT(theirs.size(), 100u) << kExportKeys[i];
        EXPECT_TRUE(readFile(mine) == theirs) << kExportKeys[i] << ": " << readFile(mine).size() << " bytes, Wine "
                                             << theirs.size();
    }
    // The big key really is past 600 KB of data.
    EXPECT_GT(readFile(dir / "wine2.reg").size(), 3u * 640 * 1024);

    // Messages and exit codes of failures.
    const std::vector<std::vector<std::string>> failing = {
        {"export", "HKCU\\Software\\QvDotReg\\Nope", (dir / "x.reg").string()},
        {"export", "HKCU\\Software\\QvDotReg"},
        {"export", "HKCU\\Software\\QvDotReg", (dir / "x.reg").string(), "/k"},
        {"export", "HKXY\\Software", (dir / "x.reg").string()},
        {"export", "HKCU\\Software", (dir / "no" / "x.reg").string(), "/y"},
        {"import", (dir / "missing.reg").string()},
        {"import"},
        {"copy", "HKCU\\Software\\QvDotReg\\Nope", "HKCU\\Software\\QvDotReg\\X", "/f"},
        {"copy", "HKCU\\Software\\QvDotReg", "hkcu\\software\\qvdotreg\\", "/f"},
        {"copy", "HKCU\\Software\\QvDotReg", "HKCU\\Software\\Q2", "/f", "/f"},
    };
    for (const auto& args : failing) {
        const Proc wr = w.reg(p, args);
        w.stop(p);
        const Proc q = ours(p, args);
        EXPECT_EQ(q.status, wr.status) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(q.out + q.err, withoutCr(wr.out)) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
}

TEST_F(DotRegInterop, EachSideImportsWhatTheOtherExported) {
    const fs::path a = filled();
    const fs::path dir = a.parent_path() / "crossing";
    fs::create_directories(dir);
    const fs::path fromOurs = dir / "ours.reg", fromWine = dir / "wine.reg";
    const fs::path fromOursLm = dir / "ours-lm.reg", fromWineLm = dir / "wine-lm.reg";
    ASSERT_EQ(ours(a, {"export", "HKCU\\Software\\QvDotReg", fromOurs.string()}).status, 0);
    ASSERT_EQ(ours(a, {"export", "HKLM\\Software\\QvDotReg", fromOursLm.string()}).status, 0);
    ASSERT_EQ(w.reg(a, {"export", "HKCU\\Software\\QvDotReg", fromWine.string()}).status, 0);
    ASSERT_EQ(w.reg(a, {"export", "HKLM\\Software\\QvDotReg", fromWineLm.string()}).status, 0);

    const fs::path b = w.copy("dotreg-wine-imports"), c = w.copy("dotreg-ours-imports");
    EXPECT_EQ(w.reg(b, {"import", fromOurs.string()}).status, 0);
    EXPECT_EQ(w.reg(b, {"import", fromOursLm.string()}).status, 0);
    w.stop(b);
    for (const fs::path& f : {fromWine, fromWineLm}) {
        const Proc r = ours(c, {"import", f.string()});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
    }
    for (const char* key : {"HKCU\\Software\\QvDotReg", "HKLM\\Software\\QvDotReg"}) {
        const Proc qa = w.reg(a, {"query", key, "/s"});
        w.stop(a);
        const Proc qb = w.reg(b, {"query", key, "/s"});
        w.stop(b);
        const Proc qc = w.reg(c, {"query", key, "/s"});
        w.stop(c);
        EXPECT_EQ(qa.status, 0);
        EXPECT_GT(qa.out.size(), 100u);
        EXPECT_TRUE(qb.out == qa.out) << key << ": Wine's import of our export differs";
        EXPECT_TRUE(qc.out == qa.out) << key << ": our import of Wine's export differs";
        // And to the byte: every type and every character.
        const Proc ea = ours(a, {"export", key, (dir / "a.reg").string(), "/y"});
        const Proc eb = ours(b, {"export", key, (dir / "b.reg").string(), "/y"});
        const Proc ec = ours(c, {"export", key, (dir / "c.reg").string(), "/y"});
        EXPECT_TRUE(readFile(dir / "b.reg") == readFile(dir / "a.reg")) << key;
        EXPECT_TRUE(readFile(dir / "c.reg") == readFile(dir / "a.reg")) << key;
    }
}

TEST_F(DotRegInterop, DeletionsActAsInWine) {
    const fs::path a = filled();
    const std::string text =
        "Windows Registry Editor Version 5.00\n\n"
        "[-HKEY_CURRENT_USER\\Software\\QvDotReg\\Deep\\L01\\L02]\n"
        "[-hkcu\\Software\\QvDotReg\\NotThere]\n"
        "[HKEY_CURRENT_USER\\Software\\QvDotReg\\Types]\n"
        "\"Sz\"=-\n@=-\n\"missing\"=-\n\"Dw\" = -   ; gone\n"
        "[HKEY_CURRENT_USER\\Software\\QvDotReg\\New]\n\"n\"=\"1\"\n"
        "[-HKEY_CURRENT_USER\\Software\\QvDotReg\\Order\\A]\n"
        "[HKLM\\Software\\QvDotReg\\M]\n\"m\"=-\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\AppId\\QvLinked]\n\"v\"=\"through the link\"\n";
    const fs::path file = a.parent_path() / "deletions.reg";
    std::string crlf;
    for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    writeFile(file, "\xFF\xFE" + utf16ToBytes(utf8ToUtf16(crlf)));
    const fs::path byWine = w.copy("dotreg-del-wine", a), byUs = w.copy("dotreg-del-ours", a);
    EXPECT_EQ(w.reg(byWine, {"import", file.string()}).status, 0);
    w.stop(byWine);
    const Proc r = ours(byUs, {"import", file.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* key : {"HKCU\\Software\\QvDotReg", "HKLM\\Software\\QvDotReg",
                            "HKLM\\Software\\Classes\\AppID\\QvLinked"}) {
        const Proc qw = w.reg(byWine, {"query", key, "/s"});
        w.stop(byWine);
        const Proc qo = w.reg(byUs, {"query", key, "/s"});
        w.stop(byUs);
        EXPECT_EQ(qw.status, 0) << key;
        EXPECT_TRUE(qw.out == qo.out) << key;
    }
    const Proc gone = ours(byUs, {"query", "HKCU\\Software\\QvDotReg\\Deep\\L01\\L02"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(ours(byUs, {"query", "HKCU\\Software\\QvDotReg\\Deep\\L01"}).status, 0);
}

TEST_F(DotRegInterop, CopyActsAsInWine) {
    const fs::path a = filled();
    const fs::path byWine = w.copy("dotreg-copy-wine", a), byUs = w.copy("dotreg-copy-ours", a);
    const std::vector<std::vector<std::string>> copies = {
        {"copy", "HKCU\\Software\\QvDotReg\\Types", "HKCU\\Software\\QvCopy\\ValuesOnly"},
        {"copy", "HKCU\\Software\\QvDotReg", "HKCU\\Software\\QvCopy\\Tree", "/s"},
        {"copy", "HKCU\\Software\\QvDotReg\\Uni", "HKLM\\Software\\QvDotReg", "/s", "/f"},
        {"copy", "HKCU\\Software\\QvDotReg\\Order", "HKCR\\QvCopied\\", "/s"},
    };
    for (const auto& args : copies) {
        const Proc wr = w.reg(byWine, args);
        w.stop(byWine);
        const Proc q = ours(byUs, args);
        EXPECT_EQ(q.status, wr.status) << args[1] << " " << args[2];
        EXPECT_EQ(q.out + q.err, withoutCr(wr.out)) << args[1] << " " << args[2];
    }
    for (const char* key : {"HKCU\\Software\\QvCopy", "HKLM\\Software\\QvDotReg", "HKCR\\QvCopied"}) {
        const fs::path fw = byWine.parent_path() / "copy-wine.reg", fo = byUs.parent_path() / "copy-ours.reg";
        EXPECT_EQ(ours(byWine, {"export", key, fw.string(), "/y"}).status, 0) << key;
        EXPECT_EQ(ours(byUs, {"export", key, fo.string(), "/y"}).status, 0) << key;
        EXPECT_GT(readFile(fw).size(), 200u) << key;
        EXPECT_TRUE(readFile(fw) == readFile(fo)) << key;
    }
}

TEST_F(DotRegInterop, RunningWineserverGetsTheCommandThatWorks) {
    const fs::path p = w.copy("dotreg-running");
    const fs::path file = p.parent_path() / "it's here.reg";
    writeFile(file, "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\QvRunning]\r\n\"v\"=\"through wine\"\r\n");
    w.startServer(p);
    const Proc r = ours(p, {"import", file.string()});
    EXPECT_EQ(r.status, 1);
    const size_t at = r.err.find("  WINEPREFIX='");
    ASSERT_NE(at, std::string::npos) << r.err;
    std::string command = r.err.substr(at + 2);
    command = command.substr(0, command.find('\n'));
    EXPECT_NE(command.find("wine reg import '"), std::string::npos) << command;
    const Proc copy = ours(p, {"copy", "HKCU\\Control Panel", "HKCU\\Software\\QvCopy", "/s"});
    EXPECT_EQ(copy.status, 1);
    EXPECT_NE(copy.err.find("wine reg copy 'HKCU\\Control Panel' 'HKCU\\Software\\QvCopy' /s\n"), std::string::npos)
        << copy.err;
    // The command, run by a shell while the server runs, does the import.
    const Proc sh = runProcess({"sh", "-c", command}, {"WINEDEBUG=-all", "LANG=C.UTF-8", "LC_ALL=C.UTF-8", "DISPLAY"}, 90);
    EXPECT_EQ(sh.status, 0) << sh.out << sh.err;
    w.stop(p);
    const Proc q = ours(p, {"query", "HKCU\\Software\\QvRunning", "/v", "v"});
    EXPECT_EQ(q.out, "\nHKEY_CURRENT_USER\\Software\\QvRunning\n    v    REG_SZ    through wine\n\n");
}

// ---------------------------------------------------------------------------------------------
// Change sets and their inverse on a real prefix

struct Tree {
    std::vector<std::u16string> keys;  // "root|path", every key
    std::string dump;                  // every key with every value, in store order
};

Tree snapshot(Machine& m) {
    Tree t;
    std::function<void(int32_t, const std::string&)> walk = [&](int32_t root, const std::string& path) {
        HKey k;
        if (m.openKey(root, path, &k) != 0) return;
        t.keys.push_back(utf8ToUtf16(std::to_string(root) + "|" + path));
        t.dump += "[" + std::to_string(root) + "\\" + path + "]\n";
        std::string name, data;
        uint32_t type;
        for (uint32_t i = 0; m.enumValue(k, i, &name, &type, &data) == 0; ++i)
            t.dump += name + "=" + std::to_string(type) + ":" + utf16ToUtf8(bytesToUtf16(data)) + "\n";
        std::vector<std::string> subs;
        for (uint32_t i = 0; m.enumKey(k, i, &name) == 0; ++i) subs.push_back(name);
        m.closeKey(k);
        for (const std::string& s : subs) walk(root, path.empty() ? s : path + "\\" + s);
    };
    walk(LM, "");
    walk(CU, "");
    return t;
}

// The lines around the first difference, for a readable failure.
std::string firstDifference(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    const size_t from = a.rfind('\n', i > 300 ? i - 300 : 0);
    const size_t start = from == std::string::npos ? 0 : from;
    return "before:\n" + a.substr(start, 600) + "\n---- after:\n" + b.substr(start, 600);
}

// A registry file without its modification times, which a commit may renew.
std::string withoutTimes(const std::string& file) {
    std::string r;
    std::istringstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("#time=", 0) == 0) continue;
        if (!line.empty() && line[0] == '[') {
            const size_t close = line.rfind(']');
            if (close != std::string::npos) line = line.substr(0, close + 1);
        }
        r += line + "\n";
    }
    return r;
}

ChangeSet randomChanges(std::mt19937& rng, const Tree& tree, Machine& m) {
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    static const std::u16string kNames[] = {u"Qv", u"caf\u00e9", u"\u4e2d", u"x y", u"A", u"a", u"Zz", u"\U0001F600"};
    static const uint32_t kTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_QWORD, REG_NONE, 0x123};
    ChangeSet cs;
    std::vector<std::pair<int32_t, std::u16string>> made;
    const size_t n = 5 + pick(30);
    for (size_t i = 0; i < n; ++i) {
        const std::u16string& entry = tree.keys[pick(tree.keys.size())];
        const size_t bar = entry.find(u'|');
        int32_t root = std::stoi(utf16ToUtf8(entry.substr(0, bar)));
        std::u16string key = entry.substr(bar + 1);
        if (!made.empty() && pick(3) == 0) std::tie(root, key) = made[pick(made.size())];
        ChangeOp op;
        op.root = root;
        op.key = key;
        const size_t what = pick(10);
        if (what < 4) {
            op.kind = ChangeOp::Kind::SetValue;
            op.name = kNames[pick(std::size(kNames))] + utf8ToUtf16(std::to_string(pick(3)));
            // Sometimes a value the key already has.
            HKey k;
            std::string existing;
            uint32_t t;
            if (pick(2) && m.openKey(root, utf16ToUtf8(key), &k) == 0) {
                std::string nm;
                if (m.enumValue(k, 0, &nm, &t, &existing) == 0) op.name = utf8ToUtf16(nm);
                m.closeKey(k);
            }
            op.type = kTypes[pick(std::size(kTypes))];
            const size_t len = pick(5) == 0 ? 3000 : pick(40);
            for (size_t b = 0; b < len; ++b) op.data += static_cast<char>(rng() & 0xff);
        } else if (what < 6) {
            op.kind = ChangeOp::Kind::DeleteValue;
            HKey k;
            if (m.openKey(root, utf16ToUtf8(key), &k) == 0) {
                std::string nm, d;
                uint32_t t;
                if (m.enumValue(k, 0, &nm, &t, &d) == 0) op.name = utf8ToUtf16(nm);
                m.closeKey(k);
            }
        } else if (what < 8) {
            op.kind = ChangeOp::Kind::CreateKey;
            op.key = (key.empty() ? u"" : key + u"\\") + kNames[pick(std::size(kNames))] + u"\\" +
                     kNames[pick(std::size(kNames))];
            made.emplace_back(root, op.key);
        } else {
            if (key.empty()) continue;
            op.kind = ChangeOp::Kind::DeleteKey;
        }
        cs.ops.push_back(std::move(op));
    }
    return cs;
}

TEST_F(DotRegInterop, ChangeSetsAndTheirInverseLeaveARealPrefixAsItWas) {
    const fs::path p = w.copy("dotreg-property");
    const std::string system0 = withoutTimes(readFile(p / "system.reg"));
    const std::string user0 = withoutTimes(readFile(p / "user.reg"));
    Tree start;
    {
        auto m = Machine::openWinePrefix(p);
        start = snapshot(*m);
    }
    ASSERT_GT(start.keys.size(), 1000u);
    const unsigned firstSeed = std::random_device{}();
    for (unsigned round = 0; round < 40; ++round) {
        const unsigned seed = firstSeed + round;
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        ChangeSet inverse;
        ChangeSet applied;
        {
            auto m = Machine::openWinePrefix(p);
            applied = randomChanges(rng, start, *m);
            if (round == 0) {
                // Always once: subtrees holding symbolic links (#link) and many values.
                for (const char16_t* key : {u"Software\\Classes\\Wow6432Node", u"System\\CurrentControlSet\\Control"}) {
                    ChangeOp del;
                    del.kind = ChangeOp::Kind::DeleteKey;
                    del.root = LM;
                    del.key = key;
                    applied.ops.push_back(del);
                }
            }
            std::string error;
            ASSERT_EQ(m->apply(applied, &error), 0) << error;
            const ChangeSet pending = m->pendingChanges();
            // What a .reg file carries of it comes back the same.
            std::string rerr;
            const auto again = readRegFile(writeRegFile(applied, RegFormat::Unicode), "cs.reg", &rerr);
            ASSERT_TRUE(again) << rerr;
            m->commit();
            inverse = pending.inverse();
        }
        {
            auto m = Machine::openWinePrefix(p);
            std::string error;
            ASSERT_EQ(m->apply(inverse, &error), 0) << error;
            m->commit();
        }
        auto m = Machine::openWinePrefix(p);
        const Tree now = snapshot(*m);
        ASSERT_TRUE(now.dump == start.dump) << "keys or values differ after the inverse of:\n"
                                            << writeRegText(applied);
        const std::string system1 = withoutTimes(readFile(p / "system.reg"));
        const std::string user1 = withoutTimes(readFile(p / "user.reg"));
        ASSERT_TRUE(system1 == system0) << firstDifference(system0, system1) << "\nafter the inverse of:\n"
                                        << writeRegText(applied);
        ASSERT_TRUE(user1 == user0) << firstDifference(user0, user1) << "\nafter the inverse of:\n"
                                    << writeRegText(applied);
    }
}

}  // namespace
