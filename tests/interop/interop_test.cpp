// Real Wine as the peer: what `wine reg` writes, quorvel-reg and the Machine read identically;
// what quorvel-reg writes, Wine reads identically; both print the same listings; a commit leaves
// every key it did not change byte for byte as Wine wrote it and writes a changed key exactly as
// Wine does; a running wineserver stops a commit.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "registry/machines/machine.h"
#include "wine_support.h"

using namespace qv::interop;
using namespace qv::reg;

namespace {

constexpr const char* kWineOk = "reg: The operation completed successfully\r\n";
constexpr const char* kOk = "reg: The operation completed successfully\n";

std::string le16(std::u16string_view s) {
    std::string r;
    for (char16_t c : s) {
        r += static_cast<char>(c & 0xff);
        r += static_cast<char>(c >> 8);
    }
    return r;
}
std::string sz(std::u16string_view s) { return le16(s) + std::string(2, '\0'); }
std::string multi(std::initializer_list<std::u16string_view> parts) {
    std::string r;
    for (auto p : parts) r += sz(p);
    return r + std::string(2, '\0');
}
std::string number(uint64_t v, int width) {
    std::string r;
    for (int i = 0; i < width; ++i) r += static_cast<char>((v >> (8 * i)) & 0xff);
    return r;
}

// A value written through `reg add`, and the type and bytes the registry must then hold.
struct Row {
    int32_t root;
    std::string path;  // below the root, for the Machine
    std::string key;   // as reg takes it
    std::string name;  // "" is the default value (/ve)
    std::vector<std::string> opts;
    uint32_t type;
    std::string bytes;
    bool keyOnly = false;  // neither /v nor /ve

    std::vector<std::string> addArgs() const {
        std::vector<std::string> a = {"add", key};
        if (!keyOnly) {
            if (name.empty()) a.push_back("/ve");
            else a.insert(a.end(), {"/v", name});
        }
        a.insert(a.end(), opts.begin(), opts.end());
        a.push_back("/f");
        return a;
    }
};

const std::string kTypes = "Software\\QvInterop\\Types";
const std::string kQWords = "Software\\QvInterop\\QWords";
const std::string kUnicode = "Software\\QvInterop\\Unicode\\caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80";

std::string deepPath() {
    std::string p = "Software\\QvInterop";
    for (int i = 1; i <= 24; ++i) p += "\\L" + std::to_string(100 + i).substr(1);
    return p;
}

std::vector<Row> rows() {
    std::string longHex, longBytes;
    for (int i = 0; i < 300; ++i) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02X", (i * 37 + 11) & 0xff);
        longHex += buf;
        longBytes += static_cast<char>((i * 37 + 11) & 0xff);
    }
    const int32_t CU = HKEY_CURRENT_USER, LM = HKEY_LOCAL_MACHINE;
    const std::string T = "HKCU\\" + kTypes;
    return {
        {CU, kTypes, T, "Sz", {"/d", "hello world"}, REG_SZ, sz(u"hello world")},
        {CU, kTypes, T, "Empty", {"/d", ""}, REG_SZ, sz(u"")},
        {CU, kTypes, T, "NoData", {}, REG_SZ, sz(u"")},
        {CU, kTypes, T, "Quotes", {"/d", "say \"hi\" \\ [back]\\"}, REG_SZ, sz(u"say \"hi\" \\ [back]\\")},
        {CU, kTypes, T, "Exp", {"/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%\\system32"}, REG_EXPAND_SZ,
         sz(u"%SystemRoot%\\system32")},
        {CU, kTypes, T, "Multi", {"/t", "REG_MULTI_SZ", "/d", "a\\0b\\0c"}, REG_MULTI_SZ,
         multi({u"a", u"b", u"c"})},
        {CU, kTypes, T, "MultiSep", {"/t", "REG_MULTI_SZ", "/s", "#", "/d", "x#y#"}, REG_MULTI_SZ,
         multi({u"x", u"y"})},
        {CU, kTypes, T, "MultiEmpty", {"/t", "REG_MULTI_SZ", "/d", ""}, REG_MULTI_SZ, std::string(2, '\0')},
        {CU, kTypes, T, "Bin", {"/t", "REG_BINARY", "/d", "0102FF"}, REG_BINARY, "\x01\x02\xff"},
        {CU, kTypes, T, "BinOdd", {"/t", "REG_BINARY", "/d", "ABC"}, REG_BINARY, "\x0a\xbc"},
        {CU, kTypes, T, "BinEmpty", {"/t", "REG_BINARY"}, REG_BINARY, ""},
        {CU, kTypes, T, "LongBin", {"/t", "REG_BINARY", "/d", longHex}, REG_BINARY, longBytes},
        {CU, kTypes, T, "Dw", {"/t", "REG_DWORD", "/d", "0x190"}, REG_DWORD, number(0x190, 4)},
        {CU, kTypes, T, "DwMax", {"/t", "REG_DWORD", "/d", "4294967295"}, REG_DWORD, number(0xffffffff, 4)},
        {CU, kTypes, T, "DwZero", {"/t", "REG_DWORD", "/d", "0"}, REG_DWORD, number(0, 4)},
        {CU, kTypes, T, "BigE", {"/t", "REG_DWORD_BIG_ENDIAN", "/d", "16"}, REG_DWORD_BIG_ENDIAN, number(16, 4)},
        {CU, kTypes, T, "None", {"/t", "REG_NONE", "/d", "abc"}, REG_NONE, sz(u"abc")},
        {CU, kTypes, T, "", {"/d", "dflt"}, REG_SZ, sz(u"dflt")},
        {CU, kQWords, "HKCU\\" + kQWords, "Qw", {"/t", "REG_QWORD", "/d", "0x123456789abcdef0"}, REG_QWORD,
         number(0x123456789abcdef0ull, 8)},
        {CU, kQWords, "HKCU\\" + kQWords, "QwNeg", {"/t", "REG_QWORD", "/d", "-1"}, REG_QWORD,
         number(~0ull, 8)},
        {CU, kUnicode, "HKCU\\" + kUnicode, "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80",
         {"/d", "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80"}, REG_SZ, sz(u"caf\u00e9 \u4e2d \U0001F600")},
        {CU, kUnicode, "HKCU\\" + kUnicode, "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87",
         {"/t", "REG_MULTI_SZ", "/d", "\xc3\xa9\\0\xe4\xb8\xad\\0\xf0\x9f\x98\x80"}, REG_MULTI_SZ,
         multi({u"\u00e9", u"\u4e2d", u"\U0001F600"})},
        {CU, kUnicode, "HKCU\\" + kUnicode, "", {"/t", "REG_EXPAND_SZ", "/d", "%windir%\\\xc3\xbc"},
         REG_EXPAND_SZ, sz(u"%windir%\\\u00fc")},
        {LM, deepPath(), "HKLM\\" + deepPath(), "deep", {"/d", "bottom"}, REG_SZ, sz(u"bottom")},
        {LM, "Software\\Classes\\.qvinterop", "HKCR\\.qvinterop", "", {"/d", "QvInterop.File"}, REG_SZ,
         sz(u"QvInterop.File")},
        {CU, "Software\\QvInterop\\Bare", "HKCU\\Software\\QvInterop\\Bare", "", {}, REG_SZ, sz(u""), true},
    };
}

// Listings both sides can print alike: ASCII text (Wine converts to an 8-bit code page) and no
// REG_QWORD (Wine 8 prints "(null)" for its data).
const std::vector<std::vector<std::string>> kQueries = {
    {"query", "HKCU\\Software\\QvInterop\\Types"},
    {"query", "HKCU\\Software\\QvInterop\\Types", "/v", "DW"},
    {"query", "HKCU\\Software\\QvInterop\\Types", "/ve"},
    {"query", "HKCU\\Software\\QvInterop\\Types", "/v", "missing"},
    {"query", "hkcu\\software\\qvinterop"},
    {"query", "HKLM\\Software\\QvInterop", "/s"},
    {"query", "HKLM\\Software\\QvInterop", "/v", "DEEP", "/s"},
    {"query", "HKCR\\.qvinterop"},
    {"query", "HKEY_CURRENT_USER\\Software\\QvInterop\\Bare\\"},
    {"query", "HKCU\\Software\\QvInterop\\Bare", "/ve", "/s"},
    {"query", "HKCU\\Software\\QvInterop\\Nope"},
    {"query", "HKCU\\Software\\QvInterop\\\\Types", "/v", "Sz"},
};

std::string joined(const std::vector<std::string>& args) {
    std::string s;
    for (const auto& a : args) s += "[" + a + "] ";
    return s;
}

std::vector<std::string> onPrefix(const fs::path& prefix, std::vector<std::string> args) {
    args.insert(args.begin(), {"--wine-prefix", prefix.string()});
    return args;
}

// Wine prints every message to standard output; quorvel-reg sends errors to standard error.
void expectSameListing(const Proc& wine, const Proc& ours, const std::string& what) {
    EXPECT_FALSE(wine.timedOut) << what;
    EXPECT_EQ(ours.status, wine.status) << what;
    EXPECT_EQ(ours.out + ours.err, withoutCr(wine.out)) << what;
}

std::string unicodeListing() {
    return "\nHKEY_CURRENT_USER\\" + kUnicode +
           "\n"
           "    (Default)    REG_EXPAND_SZ    %windir%\\\xc3\xbc\n"
           "    caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80    REG_SZ    caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80\n"
           "    \xd0\xba\xd0\xbb\xd1\x8e\xd1\x87    REG_MULTI_SZ    \xc3\xa9\\0\xe4\xb8\xad\\0\xf0\x9f\x98\x80\n"
           "\n";
}

void expectRowsInMachine(const fs::path& prefix, const std::vector<Row>& rs) {
    auto m = Machine::openWinePrefix(prefix);
    EXPECT_TRUE(m->warnings().empty());
    for (const Row& r : rs) {
        HKey k;
        ASSERT_EQ(m->openKey(r.root, r.path, &k), 0) << r.path;
        uint32_t type = 99;
        std::string data;
        EXPECT_EQ(m->queryValue(k, r.name, &type, &data), 0) << r.path << " " << r.name;
        EXPECT_EQ(type, r.type) << r.path << " " << r.name;
        EXPECT_EQ(data, r.bytes) << r.path << " " << r.name;
        m->closeKey(k);
    }
}

class Interop : public WineTest {};

TEST_F(Interop, WhatWineWritesReadsBackIdentically) {
    const fs::path p = w.copy("wine-writes");
    const std::vector<Row> rs = rows();
    for (const Row& r : rs) {
        const Proc add = w.reg(p, r.addArgs());
        ASSERT_EQ(add.status, 0) << joined(r.addArgs()) << add.out << add.err;
        EXPECT_EQ(add.out, kWineOk);
    }
    std::vector<Proc> wine;
    for (const auto& q : kQueries) wine.push_back(w.reg(p, q));
    const Proc wineQWords = w.reg(p, {"query", "HKCU\\" + kQWords});
    w.stop(p);

    expectRowsInMachine(p, rs);
    for (size_t i = 0; i < kQueries.size(); ++i)
        expectSameListing(wine[i], tool(onPrefix(p, kQueries[i])), joined(kQueries[i]));

    const Proc uni = tool(onPrefix(p, {"query", "HKCU\\" + kUnicode}));
    EXPECT_EQ(uni.status, 0);
    EXPECT_EQ(uni.out, unicodeListing());

    // REG_QWORD: the layout is Wine's, the data column is the number where Wine prints "(null)".
    const Proc qw = tool(onPrefix(p, {"query", "HKCU\\" + kQWords}));
    const std::string ours =
        "\nHKEY_CURRENT_USER\\" + kQWords +
        "\n    Qw    REG_QWORD    0x123456789abcdef0\n    QwNeg    REG_QWORD    0xffffffffffffffff\n\n";
    EXPECT_EQ(qw.out, ours);
    std::string asWine = ours;
    for (const char* n : {"0x123456789abcdef0", "0xffffffffffffffff"})
        asWine.replace(asWine.find(n), std::string(n).size(), "(null)");
    EXPECT_EQ(withoutCr(wineQWords.out), asWine);
}

TEST_F(Interop, WhatQuorvelWritesWineReadsIdentically) {
    const fs::path p = w.copy("quorvel-writes");
    const std::vector<Row> rs = rows();
    for (const Row& r : rs) {
        const Proc add = tool(onPrefix(p, r.addArgs()));
        ASSERT_EQ(add.status, 0) << joined(r.addArgs()) << add.err;
        EXPECT_EQ(add.out, kOk);
        EXPECT_EQ(add.err, "");
    }
    // Deletions made here must be gone for Wine too.
    const std::string gone = "HKCU\\Software\\QvInterop\\Gone\\Deeper";
    ASSERT_EQ(tool(onPrefix(p, {"add", gone, "/v", "x", "/d", "y", "/f"})).status, 0);
    ASSERT_EQ(tool(onPrefix(p, {"add", "HKCU\\" + kTypes, "/v", "Temp", "/d", "t", "/f"})).status, 0);
    ASSERT_EQ(tool(onPrefix(p, {"delete", "HKCU\\Software\\QvInterop\\Gone", "/f"})).status, 0);
    ASSERT_EQ(tool(onPrefix(p, {"delete", "HKCU\\" + kTypes, "/v", "Temp", "/f"})).status, 0);

    std::vector<Proc> ours;
    for (const auto& q : kQueries) ours.push_back(tool(onPrefix(p, q)));

    for (size_t i = 0; i < kQueries.size(); ++i)
        expectSameListing(w.reg(p, kQueries[i]), ours[i], joined(kQueries[i]));
    const Proc goneQuery = w.reg(p, {"query", "HKCU\\Software\\QvInterop\\Gone"});
    EXPECT_EQ(goneQuery.status, 1);

    // Every value, non-ASCII ones included, as Wine hands it to `reg export` (UTF-16, lossless).
    std::map<std::string, std::map<std::string, ExportedValue>> exported;
    int n = 0;
    for (const char* key : {"HKEY_CURRENT_USER\\Software\\QvInterop", "HKEY_LOCAL_MACHINE\\Software\\QvInterop",
                            "HKEY_LOCAL_MACHINE\\Software\\Classes\\.qvinterop"}) {
        const fs::path file = p / ("export" + std::to_string(n++) + ".reg");
        std::string winPath = "Z:" + file.string();
        std::replace(winPath.begin(), winPath.end(), '/', '\\');
        const Proc e = w.reg(p, {"export", key, winPath, "/y"});
        ASSERT_EQ(e.status, 0) << key << e.out;
        auto keys = parseExport(readFile(file));
        exported.insert(keys.begin(), keys.end());
    }
    w.stop(p);
    for (const Row& r : rs) {
        const std::string full =
            (r.root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER\\" : "HKEY_LOCAL_MACHINE\\") + r.path;
        ASSERT_TRUE(exported.count(full)) << full;
        const auto& values = exported[full];
        ASSERT_TRUE(values.count(r.name)) << full << " " << r.name;
        EXPECT_EQ(values.at(r.name).type, r.type) << full << " " << r.name;
        EXPECT_EQ(values.at(r.name).data, r.bytes) << full << " " << r.name;
    }
    EXPECT_FALSE(exported.count("HKEY_CURRENT_USER\\Software\\QvInterop\\Gone"));
    EXPECT_FALSE(exported["HKEY_CURRENT_USER\\" + kTypes].count("Temp"));

    // And the files wineserver saved on exit still hold them.
    expectRowsInMachine(p, rs);
}

TEST_F(Interop, ListingsOfThePrefixsOwnKeysMatchWine) {
    const fs::path p = w.copy("own-keys");
    const std::vector<std::vector<std::string>> queries = {
        {"query", "HKCU\\Control Panel\\Desktop"},
        {"query", "HKCU\\Control Panel\\Desktop", "/s"},
        {"query", "HKCU\\Control Panel\\Desktop", "/v", "menushowdelay"},
        {"query", "HKCU\\Software"},
        {"query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion", "/s"},
        {"query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones"},
        {"query", "HKLM\\Software\\Classes\\CLSID", "/s"},
        {"query", "HKLM\\Software\\Wow6432Node\\Classes\\CLSID", "/v", "InprocServer32", "/s"},
        {"query", "HKCR\\.txt", "/s"},
        {"query", "HKEY_CLASSES_ROOT\\txtfile\\shell\\open\\command", "/ve"},
        {"query", "hklm\\system\\currentcontrolset\\control\\session manager\\environment"},
        {"query", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion", "/v", "CurrentVersion"},
        {"query", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion", "/v", "NoSuchValue"},
        {"query", "HKLM\\Software\\NoSuchKey", "/s"},
    };
    std::vector<Proc> wine;
    for (const auto& q : queries) wine.push_back(w.reg(p, q));
    w.stop(p);
    for (size_t i = 0; i < queries.size(); ++i) {
        const Proc ours = tool(onPrefix(p, queries[i]));
        expectSameListing(wine[i], ours, joined(queries[i]));
        if (ours.status == 0) {
            EXPECT_GT(ours.out.size(), 1u) << joined(queries[i]);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Byte-exact round trip

// The timestamps are the only lines a change is allowed to make differ from Wine's own.
std::string withoutTimes(const std::string& block) {
    std::stringstream in(block);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.rfind("#time=", 0) == 0) continue;
        if (!line.empty() && line[0] == '[') line = line.substr(0, line.rfind(']') + 1);
        out += line + "\n";
    }
    return out;
}

// Checks a file quorvel-reg changed against the file it started from and Wine's file after the
// same change: unchanged keys byte-identical, changed keys as Wine wrote them.
void compareRoundTrip(const std::string& original, const std::string& ours, const std::string& wines,
                      const std::set<std::string>& changed, const std::string& what) {
    const Blocks o = splitKeys(original), q = splitKeys(ours), w = splitKeys(wines);
    EXPECT_EQ(q.head, o.head) << what;
    // Keys Wine itself dropped or added when it ran (volatile ones) are left out of the order.
    std::vector<std::string> expectedOrder, ourOrder;
    for (const std::string& k : w.order)
        if (o.text.count(k) || changed.count(k)) expectedOrder.push_back(k);
    for (const std::string& k : q.order)
        if (w.text.count(k)) ourOrder.push_back(k);
    if (ourOrder != expectedOrder) {
        size_t i = 0;
        while (i < ourOrder.size() && i < expectedOrder.size() && ourOrder[i] == expectedOrder[i]) ++i;
        ADD_FAILURE() << what << ": the keys are not in Wine's order from key " << i << ": ours "
                      << (i < ourOrder.size() ? ourOrder[i] : "(end)") << ", Wine's "
                      << (i < expectedOrder.size() ? expectedOrder[i] : "(end)");
    }
    for (const std::string& k : q.order) {
        if (changed.count(k)) {
            ASSERT_TRUE(w.text.count(k)) << k;
            EXPECT_EQ(withoutTimes(q.text.at(k)), withoutTimes(w.text.at(k))) << what << ": " << k;
        } else {
            ASSERT_TRUE(o.text.count(k)) << what << ": new key " << k;
            EXPECT_EQ(q.text.at(k), o.text.at(k)) << what << ": " << k;
        }
    }
    for (const std::string& k : changed) {
        EXPECT_TRUE(q.text.count(k)) << what << ": ours lacks " << k;
        EXPECT_TRUE(w.text.count(k)) << what << ": Wine's lacks " << k;
    }
}

TEST_F(Interop, CommitsKeepWinesBytesAndWriteChangesAsWineDoes) {
    const fs::path ours = w.copy("roundtrip-quorvel"), wines = w.copy("roundtrip-wine");
    const std::string system = readFile(ours / "system.reg"), user = readFile(ours / "user.reg");
    struct stat before {};
    ASSERT_EQ(::stat((ours / "system.reg").c_str(), &before), 0);
    {
        auto m = Machine::openWinePrefix(ours);
        EXPECT_TRUE(m->warnings().empty());
        EXPECT_FALSE(m->hasChanges());
        m->commit();
    }
    struct stat after {};
    ASSERT_EQ(::stat((ours / "system.reg").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readFile(ours / "system.reg"), system);
    EXPECT_EQ(readFile(ours / "user.reg"), user);

    std::string longHex;
    for (int i = 0; i < 200; ++i) longHex += "0123456789abcdef"[i % 16], longHex += "fedcba9876543210"[i % 16];
    const std::vector<std::vector<std::string>> changes = {
        {"add", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion", "/v", "QvRoundTrip", "/d", "round trip"},
        {"add", "HKCU\\Control Panel\\Desktop", "/v", "MenuShowDelay", "/d", "123"},
        {"add", "HKCU\\Control Panel\\Desktop", "/v", "Qv Escapes",
         "/d", "say \"hi\" \\ tab\there caf\xc3\xa9 \xe4\xb8\xad 1\xc3\xa9" "F \xf0\x9f\x98\x80 [x] \x01" "1"},
        {"delete", "HKCU\\Control Panel\\Desktop", "/v", "DragFullWindows"},
        {"add", "HKCU\\Software\\QvNew\\Sub", "/v", "n", "/t", "REG_DWORD", "/d", "5"},
        {"add", "HKCU\\Software\\QvNew\\Sub", "/v", "m", "/t", "REG_MULTI_SZ", "/d", "one\\0two"},
        {"add", "HKCU\\Software\\QvNew\\Sub", "/v", "q", "/t", "REG_QWORD", "/d", "0x1122334455667788"},
        {"add", "HKCU\\Software\\QvNew\\Sub", "/v", "e", "/t", "REG_EXPAND_SZ", "/d", "%windir%"},
        {"add", "HKCU\\Software\\QvNew\\Sub", "/v", "z", "/t", "REG_NONE", "/d", ""},
        {"add", "HKLM\\Software\\QvBin", "/v", "big", "/t", "REG_BINARY", "/d", longHex},
        {"add", "HKLM\\Software\\QvNew\\Key with [brackets] and \"quotes\"", "/v", "x", "/d", "y"},
    };
    for (auto c : changes) {
        c.push_back("/f");
        const Proc q = tool(onPrefix(ours, c));
        ASSERT_EQ(q.status, 0) << joined(c) << q.err;
        const Proc r = w.reg(wines, c);
        ASSERT_EQ(r.status, 0) << joined(c) << r.out;
    }
    w.stop(wines);

    compareRoundTrip(system, readFile(ours / "system.reg"), readFile(wines / "system.reg"),
                     {"Software\\\\Microsoft\\\\Windows\\\\CurrentVersion", "Software\\\\QvBin",
                      "Software\\\\QvNew\\\\Key with \\[brackets\\] and \"quotes\""},
                     "system.reg");
    compareRoundTrip(user, readFile(ours / "user.reg"), readFile(wines / "user.reg"),
                     {"Control Panel\\\\Desktop", "Software\\\\QvNew\\\\Sub"}, "user.reg");
}

TEST_F(Interop, RunningWineserverStopsACommit) {
    const fs::path p = w.copy("server-running");
    w.startServer(p);
    bool running = false;
    for (int i = 0; i < 200 && !running; ++i) {
        running = Machine::openWinePrefix(p)->wineserverRunning().has_value();
        if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(running) << "wineserver -p did not start";
    const std::string system = readFile(p / "system.reg"), user = readFile(p / "user.reg");
    struct stat before {};
    ASSERT_EQ(::stat((p / "user.reg").c_str(), &before), 0);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"add", "HKCU\\Software\\QvBlocked", "/v", "x", "/d", "y", "/f"},
             {"delete", "HKCU\\Control Panel\\Desktop", "/f"}}) {
        const Proc r = tool(onPrefix(p, args));
        EXPECT_EQ(r.status, 1) << joined(args);
        EXPECT_EQ(r.out, "") << joined(args);
        EXPECT_NE(r.err.find("wineserver"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(p.string()), std::string::npos) << r.err;
    }
    // Reading still works, with a note on standard error.
    const Proc q = tool(onPrefix(p, {"query", "HKCU\\Control Panel\\Desktop", "/v", "MenuShowDelay"}));
    EXPECT_EQ(q.status, 0);
    EXPECT_NE(q.err.find("running"), std::string::npos);

    // The Machine's own commit refuses too and keeps the change pending.
    {
        auto m = Machine::openWinePrefix(p);
        HKey k;
        ASSERT_EQ(m->createKey(HKEY_CURRENT_USER, "Software\\QvBlocked", &k), 0);
        ASSERT_EQ(m->setValue(k, "x", REG_SZ, sz(u"y")), 0);
        EXPECT_THROW(m->commit(), MachineError);
        EXPECT_TRUE(m->hasChanges());
    }
    struct stat after {};
    ASSERT_EQ(::stat((p / "user.reg").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(readFile(p / "user.reg"), user);
    EXPECT_EQ(readFile(p / "system.reg"), system);

    w.stop(p);
    const Proc ok = tool(onPrefix(p, {"add", "HKCU\\Software\\QvBlocked", "/v", "x", "/d", "y", "/f"}));
    EXPECT_EQ(ok.status, 0) << ok.err;
}

}  // namespace
