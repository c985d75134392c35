// The seed registry of a new own machine (resources/seed/system.reg and user.reg): both files are
// in Wine's exact form (they parse without warnings, and the writer, made to write every key
// anew, reproduces them byte for byte), and they hold the Windows 98 content the pages read.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "registry/test_files.h"
#include "registry/api.h"
#include "registry/machines/machine.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

namespace qv::reg {

// The seed compiled into the program (registry/embed_seed.cmake).
std::string_view seed_system_reg();
std::string_view seed_user_reg();

namespace {

namespace fs = std::filesystem;
using qvtest::readFile;
using qvtest::TempDir;

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicks1601To1970 = 116444736000000000ULL;

std::string seedText(const char* name) { return readFile(fs::path(QV_SOURCE_DIR) / "resources" / "seed" / name); }

std::unique_ptr<RegFile> parseSeed(const char* name) {
    std::string error;
    auto f = RegFile::parse(seedText(name), name, &error);
    EXPECT_TRUE(f) << error;
    return f;
}

void markAllChanged(RegKey& k) {
    k.rawValid = false;
    for (auto& sub : k.subkeys) markAllChanged(*sub);
}

template <class F>
void forEachKey(const RegKey& k, F&& f) {
    f(k);
    for (const auto& sub : k.subkeys) forEachKey(*sub, f);
}

const RegKey* findKey(const RegFile& f, std::string_view path) {
    RegKey* k = nullptr;
    return f.findKey(utf8ToUtf16(path), &k) == ERROR_SUCCESS ? k : nullptr;
}

const RegValue* findValue(const RegFile& f, std::string_view path, std::string_view name) {
    const RegKey* k = findKey(f, path);
    return k ? k->value(utf8ToUtf16(name)) : nullptr;
}

std::string sz(std::string_view utf8) {
    std::u16string t = utf8ToUtf16(utf8);
    t.push_back(0);
    return utf16ToBytes(t);
}

// The text of a REG_SZ value, "" when it is missing or of another type.
std::string text(const RegFile& f, std::string_view path, std::string_view name = "") {
    const RegValue* v = findValue(f, path, name);
    if (!v || v->type != REG_SZ || v->data.size() < 2) return {};
    return utf16ToUtf8(bytesToUtf16(std::string_view(v->data).substr(0, v->data.size() - 2)));
}

class SeedFile : public ::testing::TestWithParam<const char*> {};

TEST_P(SeedFile, ParsesWithoutWarnings) {
    auto f = parseSeed(GetParam());
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->warnings().empty()) << f->warnings().front();
}

TEST_P(SeedFile, WritesBackUnchanged) {
    auto f = parseSeed(GetParam());
    ASSERT_TRUE(f);
    EXPECT_EQ(f->serialize(), seedText(GetParam()));
}

TEST_P(SeedFile, IsExactlyWhatWineWouldWrite) {
    // Every key written anew by the writer (Wine's rules), none copied from the source text.
    auto f = parseSeed(GetParam());
    ASSERT_TRUE(f);
    markAllChanged(f->root());
    const std::string expected = seedText(GetParam());
    const std::string got = f->serialize();
    if (got != expected) {
        size_t i = 0;
        while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
        size_t line = 1;
        for (size_t j = 0; j < i; ++j) line += expected[j] == '\n';
        size_t from = expected.rfind('\n', i == 0 ? 0 : i - 1);
        from = from == std::string::npos ? 0 : from + 1;
        FAIL() << GetParam() << " differs from the writer's form at line " << line << ":\n  file:   "
               << expected.substr(from, expected.find('\n', i) - from) << "\n  writer: "
               << got.substr(from, got.find('\n', i) - from);
    }
}

TEST_P(SeedFile, IsPlainAsciiWithLfLineEnds) {
    const std::string t = seedText(GetParam());
    for (size_t i = 0; i < t.size(); ++i) {
        const auto c = static_cast<unsigned char>(t[i]);
        ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "byte " << i;
    }
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back(), '\n');
}

TEST_P(SeedFile, TimestampsAreFromWindows98Setup) {
    // Keys with a header carry a time of August 1998; seconds and #time agree (checked by the
    // rewrite above), and no key is left with the time of parsing.
    auto f = parseSeed(GetParam());
    ASSERT_TRUE(f);
    const uint64_t from = kTicks1601To1970 + 883612800ULL * kTicksPerSecond;  // 1998-01-01
    const uint64_t to = kTicks1601To1970 + 946684800ULL * kTicksPerSecond;    // 2000-01-01
    size_t headers = 0;
    forEachKey(f->root(), [&](const RegKey& k) {
        if (!k.parent || !k.needsHeader()) return;
        ++headers;
        EXPECT_GE(k.modif, from) << utf16ToUtf8(k.path());
        EXPECT_LT(k.modif, to) << utf16ToUtf8(k.path());
    });
    EXPECT_GT(headers, 10u);
}

INSTANTIATE_TEST_SUITE_P(Seed, SeedFile, ::testing::Values("system.reg", "user.reg"),
                         [](const auto& info) { return std::string(info.param).substr(0, 4); });

TEST(Seed, HeaderLines) {
    const std::string system = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win32\n\n[";
    const std::string user =
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win32\n\n[";
    EXPECT_EQ(seedText("system.reg").substr(0, system.size()), system);
    EXPECT_EQ(seedText("user.reg").substr(0, user.size()), user);
}

TEST(Seed, CompiledInCopyIsTheFile) {
    EXPECT_EQ(std::string(seed_system_reg()), seedText("system.reg"));
    EXPECT_EQ(std::string(seed_user_reg()), seedText("user.reg"));
}

TEST(Seed, SizeStaysSmall) {
    for (const char* name : {"system.reg", "user.reg"}) {
        auto f = parseSeed(name);
        ASSERT_TRUE(f);
        size_t keys = 0;
        forEachKey(f->root(), [&](const RegKey&) { ++keys; });
        EXPECT_LT(keys, 300u) << name;
    }
}

// ---- content the pages read ------------------------------------------------------------------

struct Expect {
    const char* path;
    const char* name;
    const char* text;  // REG_SZ text
};

TEST(Seed, MachineHoldsWhatThePagesRead) {
    auto f = parseSeed("system.reg");
    ASSERT_TRUE(f);
    const Expect expected[] = {
        // File classes and their 'New' menu templates, as Windows 98 ships them.
        {"Software\\Classes\\.txt", "", "txtfile"},
        {"Software\\Classes\\.txt\\ShellNew", "NullFile", ""},
        {"Software\\Classes\\txtfile", "", "Text Document"},
        {"Software\\Classes\\.bmp", "", "Paint.Picture"},
        {"Software\\Classes\\.bmp\\ShellNew", "NullFile", ""},
        {"Software\\Classes\\Paint.Picture", "", "Bitmap Image"},
        {"Software\\Classes\\.doc", "", "WordPad.Document.1"},
        {"Software\\Classes\\.doc\\WordPad.Document.1\\ShellNew", "NullFile", ""},
        {"Software\\Classes\\WordPad.Document.1", "", "WordPad Document"},
        {"Software\\Classes\\.wav", "", "SoundRec"},
        {"Software\\Classes\\.wav\\ShellNew", "FileName", "sndrec.wav"},
        {"Software\\Classes\\SoundRec", "", "Wave Sound"},
        {"Software\\Classes\\.bfc", "", "Briefcase"},
        {"Software\\Classes\\.bfc\\ShellNew", "Command",
         "C:\\WINDOWS\\RUNDLL32.EXE syncui.dll,Briefcase_Create %2!d! %1"},
        {"Software\\Classes\\Briefcase", "", "Briefcase"},
        {"Software\\Classes\\.lnk", "", "lnkfile"},
        {"Software\\Classes\\.lnk\\ShellNew", "Command", "RunDLL32 AppWiz.Cpl,NewLinkHere %1"},
        // Show bitmaps as icons: the bitmap class's icon.
        {"Software\\Classes\\Paint.Picture\\DefaultIcon", "", "C:\\PROGRA~1\\ACCESS~1\\MSPAINT.EXE,1"},
        // Non-associated files.
        {"Software\\Classes\\Unknown\\shell\\openas\\command", "",
         "C:\\WINDOWS\\rundll32.exe shell32.dll,OpenAs_RunDLL %1"},
        // Audio CD autoplay.
        {"Software\\Classes\\AudioCD\\shell", "", "play"},
        {"Software\\Classes\\AudioCD\\shell\\play\\command", "", "C:\\WINDOWS\\CDPLAYER.EXE /play %1"},
        // The classes the context-menu verbs go under.
        {"Software\\Classes\\Folder", "", "Folder"},
        {"Software\\Classes\\Directory", "", "File Folder"},
        {"Software\\Classes\\Drive", "", "Drive"},
        // Registration and setup path.
        {"Software\\Microsoft\\Windows\\CurrentVersion", "RegisteredOwner", "User"},
        {"Software\\Microsoft\\Windows\\CurrentVersion", "RegisteredOrganization", "Home"},
        {"Software\\Microsoft\\Windows\\CurrentVersion", "ProductName", "Microsoft Windows 98"},
        {"Software\\Microsoft\\Windows\\CurrentVersion", "VersionNumber", "4.10.1998"},
        {"Software\\Microsoft\\Windows\\CurrentVersion\\Setup", "SourcePath", "C:\\WINDOWS\\OPTIONS\\CABS"},
    };
    for (const Expect& e : expected) {
        const RegValue* v = findValue(*f, e.path, e.name);
        ASSERT_TRUE(v) << e.path << " \"" << e.name << "\"";
        EXPECT_EQ(v->type, REG_SZ) << e.path << " \"" << e.name << "\"";
        EXPECT_EQ(text(*f, e.path, e.name), e.text) << e.path << " \"" << e.name << "\"";
    }
    // "*" exists for the verb of its page (page 6); the verbs themselves are not there yet.
    EXPECT_TRUE(findKey(*f, "Software\\Classes\\*"));
    EXPECT_FALSE(findKey(*f, "Software\\Classes\\*\\shell\\quorvel"));
    EXPECT_FALSE(findKey(*f, "Software\\Classes\\Folder\\shell\\rootexplore"));
    EXPECT_FALSE(findKey(*f, "Software\\Classes\\Directory\\shell\\MS-DOS Prompt"));
    // Windows 98 sets no default verb on folders and no caption on "openas" (the page shows
    // "Open with..." then).
    EXPECT_FALSE(findValue(*f, "Software\\Classes\\Folder\\shell", ""));
    EXPECT_FALSE(findValue(*f, "Software\\Classes\\Unknown\\shell\\openas", ""));
    // File system: short names get their numeric tail (no NameNumericTail value).
    EXPECT_TRUE(findKey(*f, "System\\CurrentControlSet\\Control\\FileSystem"));
    EXPECT_FALSE(findValue(*f, "System\\CurrentControlSet\\Control\\FileSystem", "NameNumericTail"));
    // Windows 98 has no Shell Icons key until someone sets an overlay (the page then uses
    // shell32.dll's own icons).
    EXPECT_FALSE(findKey(*f, "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Icons"));
}

TEST(Seed, UserHoldsWhatThePagesRead) {
    auto f = parseSeed("user.reg");
    ASSERT_TRUE(f);
    const Expect expected[] = {
        {"Control Panel\\Desktop", "MenuShowDelay", "400"},                 // the page
        {"Control Panel\\Desktop", "WaitToKillAppTimeout", "20000"},        // the page
        {"Control Panel\\Desktop", "HungAppTimeout", "5000"},
        {"Control Panel\\Desktop\\WindowMetrics", "MinAnimate", "1"},       // the page
    };
    for (const Expect& e : expected) {
        EXPECT_EQ(text(*f, e.path, e.name), e.text) << e.path << " \"" << e.name << "\"";
    }
    const std::string policies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
    const RegValue* autorun = findValue(*f, policies, "NoDriveTypeAutoRun");  // the page
    ASSERT_TRUE(autorun);
    EXPECT_EQ(autorun->type, REG_BINARY);
    EXPECT_EQ(autorun->data, std::string("\x95\0\0\0", 4));
    EXPECT_FALSE(findValue(*f, policies, "NoStartBanner"));   // the page
    EXPECT_FALSE(findValue(*f, policies, "NoSaveSettings"));  // the page
    const RegValue* link = findValue(*f, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", "link");
    ASSERT_TRUE(link);  // the page
    EXPECT_EQ(link->type, REG_BINARY);
    EXPECT_EQ(link->data.size(), 4u);
    // The Start menu's own order, which "Reset Menu Order" deletes.
    const RegKey* order = findKey(*f, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder");
    ASSERT_TRUE(order);
    EXPECT_FALSE(order->subkeys.empty());
    EXPECT_TRUE(findValue(*f, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Start Menu\\&Programs",
                          "Order"));
}

// The 'New' menu page's load block over the seed: which entries it would list.
TEST(Seed, NewMenuListsTheWindows98Templates) {
    auto f = parseSeed("system.reg");
    ASSERT_TRUE(f);
    const RegKey* classes = findKey(*f, "Software\\Classes");
    ASSERT_TRUE(classes);
    const std::string root = "Software\\Classes\\";
    std::map<std::string, std::string> entries;  // entry key -> description
    for (const auto& sub : classes->subkeys) {
        const std::string e = utf16ToUtf8(sub->name);
        if (e.empty() || e[0] != '.' || e == ".lnk") continue;
        const std::string p = text(*f, root + e);
        const std::string places[] = {e + "\\ShellNew",  e + "\\ShellNew-", p + "\\ShellNew",
                                      p + "\\ShellNew-", e + "\\" + p + "\\ShellNew", e + "\\" + p + "\\ShellNew-"};
        for (int row = 0; row < 6; ++row) {
            if (!findKey(*f, root + places[row])) continue;
            std::string desc = row < 4 ? text(*f, root + p) : text(*f, root + e + "\\" + p);
            if (row >= 4 && desc.empty()) desc = text(*f, root + p);
            entries.emplace(places[row], desc);
            break;
        }
    }
    const std::map<std::string, std::string> expected = {
        {".bfc\\ShellNew", "Briefcase"},
        {".bmp\\ShellNew", "Bitmap Image"},
        {".doc\\WordPad.Document.1\\ShellNew", "WordPad Document"},
        {".txt\\ShellNew", "Text Document"},
        {".wav\\ShellNew", "Wave Sound"},
    };
    EXPECT_EQ(entries, expected);
}

// ---- a new own machine is this seed ------------------------------------------------------------

TEST(Seed, NewOwnMachineStartsFromIt) {
    TempDir dir;
    const fs::path folder = dir.path() / "machine";
    auto m = Machine::openOwn(folder);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->warnings().empty());
    EXPECT_EQ(readFile(folder / "system.reg"), seedText("system.reg"));
    EXPECT_EQ(readFile(folder / "user.reg"), seedText("user.reg"));

    // Read through the store as the pages do, HKEY_CLASSES_ROOT included.
    HKey k = nullptr;
    uint32_t type = 0;
    std::string data;
    ASSERT_EQ(m->openKey(HKEY_CLASSES_ROOT, ".txt", &k), ERROR_SUCCESS);
    EXPECT_EQ(m->queryValue(k, "", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, sz("txtfile"));
    m->closeKey(k);
    ASSERT_EQ(m->openKey(HKEY_CURRENT_USER, "Control Panel\\Desktop", &k), ERROR_SUCCESS);
    EXPECT_EQ(m->queryValue(k, "MenuShowDelay", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, sz("400"));
    m->closeKey(k);
    ASSERT_EQ(m->openKey(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Setup", &k),
              ERROR_SUCCESS);
    EXPECT_EQ(m->queryValue(k, "SourcePath", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, sz("C:\\WINDOWS\\OPTIONS\\CABS"));
    m->closeKey(k);
    EXPECT_FALSE(m->hasChanges());
}

}  // namespace
}  // namespace qv::reg
