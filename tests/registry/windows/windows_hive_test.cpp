// A Windows installation as a machine: hives made from nothing (SOFTWARE, SYSTEM with two control
// sets, two users with NTUSER.DAT and UsrClass.dat), edited through the machine, and read back
// with libhivex itself.
#include <gtest/gtest.h>

#include <hivex.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "registry/bounded_child.h"
#include "registry/cli/reg_tool.h"
#include "registry/windows/hive.h"
#include "registry/machines/machine.h"
#include "registry/text.h"
#include "registry/test_files.h"
#include "tools/hive_builder.h"
#include "tools/hive_check.h"

using namespace qv::reg;
using qvtest::hive::expectSoundHive;
using qvtest::hive::hivexHasKey;
using qvtest::hive::hivexValue;
using qvtest::hive::nodeAt;
namespace cli = qv::reg::cli;
namespace fs = std::filesystem;
namespace hb = qvtest::hive;

namespace {

const std::string kSid1 = "S-1-5-21-1111-2222-3333-1001";
const std::string kSid2 = "S-1-5-21-1111-2222-3333-1002";

struct Drive {
    qvtest::TempDir tmp;
    fs::path root = tmp.path() / "c";
    fs::path config = root / "Windows/System32/config";
    fs::path software = config / "SOFTWARE", system = config / "SYSTEM";
    fs::path aliceNt = root / "Users/alice/NTUSER.DAT";
    fs::path aliceClasses = root / "Users/alice/AppData/Local/Microsoft/Windows/UsrClass.dat";
    fs::path bobNt = root / "Users/bob/NTUSER.DAT";

    explicit Drive(int currentControlSet = 2, bool twoUsers = true) {
        const std::string pl = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
        hb::Builder sw;
        sw.set("Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", REG_SZ, hb::sz("C:\\Windows"))
            .set("Microsoft\\Windows NT\\CurrentVersion", "RegisteredOwner", REG_SZ, hb::sz("Owner"))
            .set(pl + "S-1-5-18", "ProfileImagePath", REG_EXPAND_SZ, hb::sz("%systemroot%\\system32\\config\\systemprofile"))
            .set(pl + kSid1, "ProfileImagePath", REG_EXPAND_SZ, hb::sz("%SystemDrive%\\Users\\alice"))
            .set("Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer", "NoDriveTypeAutoRun", REG_DWORD, hb::dword(0x91))
            .set("Odd", "Short", REG_DWORD, std::string("\x01\x02", 2))
            .set("Odd", "Strange", 0x12345, "raw")
            .set("Odd", "Gr\xc3\xbc\xc3\x9f" "e", REG_SZ, hb::utf16(u"Gr\u00fc\u00dfe"))
            .set("Odd", "Empty", REG_BINARY, "")
            .set("Classes\\.txt", "", REG_SZ, hb::sz("txtfile"))
            .set("Classes\\.txt", "Content Type", REG_SZ, hb::sz("text/plain"))
            .key("Classes\\.txt\\ShellNew")
            .set("Classes\\.bmp", "", REG_SZ, hb::sz("Paint.Picture"))
            .set("Classes\\.bmp\\ShellNew", "NullFile", REG_SZ, hb::sz(""))
            .set("Classes\\txtfile\\shell\\open\\command", "", REG_EXPAND_SZ, hb::sz("notepad.exe %1"))
            .set("Classes\\CLSID\\{A}", "", REG_SZ, hb::sz("machine A"))
            .set("Classes\\CLSID\\{B}", "", REG_SZ, hb::sz("machine B"));
        if (twoUsers) sw.set(pl + kSid2, "ProfileImagePath", REG_EXPAND_SZ, hb::sz("C:\\Users\\bob"));
        sw.write(software);

        hb::Builder sy;
        sy.set("Select", "Current", REG_DWORD, hb::dword(static_cast<uint32_t>(currentControlSet)))
            .set("Select", "Default", REG_DWORD, hb::dword(static_cast<uint32_t>(currentControlSet)))
            .set("ControlSet001\\Control\\Session Manager", "Set", REG_DWORD, hb::dword(1))
            .set("ControlSet002\\Control\\Session Manager", "Set", REG_DWORD, hb::dword(2));
        sy.write(system);

        hb::Builder nt;
        nt.set("Control Panel\\Desktop", "MenuShowDelay", REG_SZ, hb::sz("400"))
            .set("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", "Hidden", REG_DWORD, hb::dword(2))
            .set("Software\\Classes\\Stale", "", REG_SZ, hb::sz("not the user's classes"));
        nt.write(aliceNt);
        hb::Builder uc;
        uc.set(".txt", "", REG_SZ, hb::sz("userfile"))
            .set("CLSID\\{B}", "", REG_SZ, hb::sz("user B"))
            .set("CLSID\\{C}", "", REG_SZ, hb::sz("user C"))
            .set(".bmp\\OpenWithProgids", "Paint.Picture", REG_NONE, "")
            .key(".usr");
        uc.write(aliceClasses);
        if (twoUsers) {
            hb::Builder b;
            b.set("Control Panel\\Desktop", "MenuShowDelay", REG_SZ, hb::sz("100"));
            b.write(bobNt);
        }
        // Folders that are no users' profiles.
        fs::create_directories(root / "Users/Public");
        hb::Builder().write(root / "Users/Default/NTUSER.DAT");
    }

    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) all[e.path().string()] = qvtest::readFile(e.path());
        return all;
    }
};

std::optional<StoredValue> query(Machine& m, int32_t root, const std::string& key, const std::string& name) {
    HKey k;
    if (m.openKey(root, key, &k) != ERROR_SUCCESS) return std::nullopt;
    uint32_t type = 0;
    std::string data;
    const int32_t st = m.queryValue(k, name, &type, &data);
    m.closeKey(k);
    if (st != ERROR_SUCCESS) return std::nullopt;
    return StoredValue{utf8ToUtf16(name), type, data};
}

int32_t set(Machine& m, int32_t root, const std::string& key, const std::string& name, uint32_t type,
            const std::string& data) {
    HKey k;
    if (int32_t st = m.createKey(root, key, &k)) return st;
    const int32_t st = m.setValue(k, name, type, data);
    m.closeKey(k);
    return st;
}

std::vector<std::string> subkeys(Machine& m, int32_t root, const std::string& key) {
    HKey k;
    std::vector<std::string> out;
    if (m.openKey(root, key, &k) != ERROR_SUCCESS) return out;
    std::string n;
    for (uint32_t i = 0; m.enumKey(k, i, &n) == ERROR_SUCCESS; ++i) out.push_back(n);
    m.closeKey(k);
    return out;
}

// Damage as a hive file may carry it: the key at `to` made to use the subkey list or the value list
// of the key at `from`. libhivex's node handles are the cells' file offsets; an nk record starts 4
// bytes into its cell and holds each list's count and offset at these places.
struct ListField {
    size_t count, list;
};
constexpr ListField kSubkeys{20, 28}, kValues{36, 40};
void shareList(const fs::path& file, const std::string& to, const std::string& from, ListField field) {
    std::string b = qvtest::readFile(file);
    hive_h* h = hivex_open(file.c_str(), 0);
    ASSERT_TRUE(h);
    const hive_node_h t = nodeAt(h, to), f = nodeAt(h, from);
    hivex_close(h);
    ASSERT_TRUE(t && f) << to << " " << from;
    for (size_t at : {field.count, field.list}) hb::put32(b, t + 4 + at, hb::get32(b, f + 4 + at));
    qvtest::writeFile(file, b);
}

// Every value of the key at `to` made to point at the data of `from`'s value `name`.
void shareData(const fs::path& file, const std::string& to, const std::string& from, const std::string& name) {
    std::string b = qvtest::readFile(file);
    hive_h* h = hivex_open(file.c_str(), 0);
    ASSERT_TRUE(h);
    const hive_value_h src = hivex_node_get_value(h, nodeAt(h, from), name.c_str());
    hive_value_h* vals = hivex_node_values(h, nodeAt(h, to));
    ASSERT_TRUE(src && vals);
    for (hive_value_h* v = vals; *v; ++v)
        for (size_t at : {4, 8, 12}) hb::put32(b, *v + 4 + at, hb::get32(b, src + 4 + at));  // length, data, type
    free(vals);
    hivex_close(h);
    qvtest::writeFile(file, b);
}

}  // namespace

TEST(WindowsHives, ValuesRoundTripExactlyAndOnlyChangedHivesAreWritten) {
    Drive d;
    const auto before = d.files();
    auto m = Machine::openWindows(d.root, "alice");
    EXPECT_EQ(m->kind(), Machine::Kind::Windows);
    EXPECT_EQ(m->windowsDirectory(), "C:\\Windows");
    EXPECT_EQ(*m->hostPath("C:\\windows\\system32\\config\\software"), d.software);

    // Read as stored, whatever the type or size.
    struct Read {
        std::string name;
        uint32_t type;
        std::string data;
    } reads[] = {{"Short", REG_DWORD, std::string("\x01\x02", 2)},
                 {"Strange", 0x12345, "raw"},
                 {"Gr\xc3\xbc\xc3\x9f" "e", REG_SZ, hb::utf16(u"Gr\u00fc\u00dfe")},
                 {"Empty", REG_BINARY, ""}};
    for (const Read& r : reads) {
        auto v = query(*m, HKEY_LOCAL_MACHINE, "Software\\Odd", r.name);
        ASSERT_TRUE(v) << r.name;
        EXPECT_EQ(v->type, r.type) << r.name;
        EXPECT_EQ(v->data, r.data) << r.name;
    }

    struct Write {
        std::string name;
        uint32_t type;
        std::string data;
    } writes[] = {{"", REG_SZ, hb::sz("default text")},
                  {"Str", REG_SZ, hb::sz("hello")},
                  {"Exp", REG_EXPAND_SZ, hb::sz("%SystemRoot%\\system32")},
                  {"Dw", REG_DWORD, hb::dword(0x12345678)},
                  {"DwBE", REG_DWORD_BIG_ENDIAN, std::string("\x12\x34\x56\x78", 4)},
                  {"Qw", REG_QWORD, std::string("\xef\xcd\xab\x89\x67\x45\x23\x01", 8)},
                  {"Multi", REG_MULTI_SZ, hb::utf16(std::u16string(u"A\0B\0\0", 5))},
                  {"None", REG_NONE, ""},
                  {"Odd type", 0x4000, std::string("\0\1\2", 3)},
                  {"Uni \xc3\xa9t\xc3\xa9", REG_SZ, hb::utf16(u"\u00e9t\u00e9")},
                  {"Largest", REG_BINARY, std::string(kMaxHiveValueSize, '\x5a')}};
    for (const Write& w : writes) {
        ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "Software\\Quorvel Test\\Sub", w.name, w.type, w.data), 0);
        ASSERT_EQ(set(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", w.name, w.type, w.data), 0);
    }
    m->commit();
    EXPECT_FALSE(m->hasChanges());

    for (const Write& w : writes) {
        for (auto [file, key] : {std::pair{d.software, "Quorvel Test\\Sub"}, std::pair{d.aliceNt, "Control Panel\\Desktop"}}) {
            auto v = hivexValue(file, key, w.name);
            ASSERT_TRUE(v) << file << " " << w.name;
            EXPECT_EQ(v->type, w.type) << w.name;
            EXPECT_EQ(v->data, w.data) << w.name;
        }
    }
    // What was there stays, in the edited key and around it.
    EXPECT_EQ(hivexValue(d.aliceNt, "Control Panel\\Desktop", "MenuShowDelay")->data, hb::sz("400"));
    EXPECT_EQ(hivexValue(d.software, "Odd", "Short")->data, std::string("\x01\x02", 2));
    const auto after = d.files();
    for (const fs::path& same : {d.system, d.aliceClasses, d.bobNt})
        EXPECT_EQ(after.at(same.string()), before.at(same.string())) << same;
    EXPECT_NE(after.at(d.software.string()), before.at(d.software.string()));
    EXPECT_EQ(after.size(), before.size()) << "no temporary or journal left behind";

    // Reopened, the machine reads what was saved.
    auto again = Machine::openWindows(d.root, "alice");
    EXPECT_EQ(query(*again, HKEY_LOCAL_MACHINE, "Software\\Quorvel Test\\Sub", "Qw")->data,
              std::string("\xef\xcd\xab\x89\x67\x45\x23\x01", 8));
    // A commit without changes writes nothing.
    again->commit();
    EXPECT_TRUE(d.files() == after) << "files changed";
    for (const fs::path& f : {d.software, d.aliceNt}) expectSoundHive(f);
}

TEST(WindowsHives, CurrentControlSetIsTheSelectedControlSet) {
    for (int current : {1, 2}) {
        Drive d(current);
        auto m = Machine::openWindows(d.root, "alice");
        const std::string ccs = "System\\CurrentControlSet\\Control\\Session Manager";
        EXPECT_EQ(query(*m, HKEY_LOCAL_MACHINE, ccs, "Set")->data, hb::dword(static_cast<uint32_t>(current)));
        ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, ccs, "Written", REG_DWORD, hb::dword(7)), 0);
        ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\New Key", "V", REG_SZ, hb::sz("x")), 0);
        m->commit();
        const std::string mine = current == 1 ? "ControlSet001" : "ControlSet002";
        const std::string other = current == 1 ? "ControlSet002" : "ControlSet001";
        EXPECT_TRUE(hivexValue(d.system, mine + "\\Control\\Session Manager", "Written")) << current;
        EXPECT_FALSE(hivexValue(d.system, other + "\\Control\\Session Manager", "Written")) << current;
        EXPECT_TRUE(hivexHasKey(d.system, mine + "\\Control\\New Key"));
        EXPECT_FALSE(hivexHasKey(d.system, "CurrentControlSet"));
        // The environment reads through it too.
        EXPECT_FALSE(m->environmentVariable("ComputerName"));
    }
}

// HKEY_CLASSES_ROOT shows both Classes keys at every level, as Windows does: a key both hold
// shows the subkeys and values of both, each name once and the user's value winning it.
TEST(WindowsHives, ClassesRootShowsBothClassesKeysAtEveryLevel) {
    Drive d;
    auto m = Machine::openWindows(d.root, "alice");
    auto dataOf = [](const std::optional<StoredValue>& v) { return v ? std::optional(v->data) : std::nullopt; };
    struct Read {
        std::string key, value;
        std::optional<std::string> data;  // nothing: no such value
    } reads[] = {
        {".txt", "", hb::sz("userfile")},                // the user's value wins
        {".txt", "Content Type", hb::sz("text/plain")},  // the machine's shows beside it
        {".bmp", "", hb::sz("Paint.Picture")},           // though the user has .bmp\OpenWithProgids
        {".bmp\\ShellNew", "NullFile", hb::sz("")},
        {"CLSID\\{A}", "", hb::sz("machine A")},
        {"CLSID\\{B}", "", hb::sz("user B")},
        {"Stale", "", std::nullopt},                     // NTUSER.DAT's own Classes is not shown
    };
    for (const Read& r : reads) EXPECT_EQ(dataOf(query(*m, HKEY_CLASSES_ROOT, r.key, r.value)), r.data) << r.key << " " << r.value;
    struct Listing {
        std::string key;
        std::vector<std::string> subkeys, values;
    } listings[] = {
        {"", {".bmp", ".txt", ".usr", "CLSID", "txtfile"}, {}},
        {".bmp", {"OpenWithProgids", "ShellNew"}, {""}},
        {".txt", {"ShellNew"}, {"", "Content Type"}},
    };
    for (const Listing& l : listings) {
        EXPECT_EQ(subkeys(*m, HKEY_CLASSES_ROOT, l.key), l.subkeys) << l.key;
        HKey k;
        ASSERT_EQ(m->openKey(HKEY_CLASSES_ROOT, l.key, &k), 0) << l.key;
        std::vector<std::string> names;
        std::string n;
        for (uint32_t i = 0; m->enumValue(k, i, &n, nullptr, nullptr) == ERROR_SUCCESS; ++i) names.push_back(n);
        KeyInfo info;
        ASSERT_EQ(m->queryInfoKey(k, &info), 0);
        m->closeKey(k);
        EXPECT_EQ(names, l.values) << l.key;
        EXPECT_EQ(std::pair(info.subkeys, info.values), std::pair(uint32_t(l.subkeys.size()), uint32_t(l.values.size()))) << l.key;
    }

    // Writes land where Windows puts them: a value on a key the user's classes hold goes there,
    // anything else, new keys above all, to the machine's classes.
    struct Edit {
        std::string key, value;
        bool user;
    } edits[] = {
        {".txt", "Edited", true},       {".bmp", "Edited", true},
        {"CLSID\\{B}", "Edited", true}, {".bmp\\ShellNew", "Edited", false},
        {"CLSID\\{A}", "Edited", false}, {".new\\ShellNew", "NullFile", false},
        {".usr\\ShellNew", "NullFile", false},  // below a key only the user has
    };
    for (const Edit& e : edits) ASSERT_EQ(set(*m, HKEY_CLASSES_ROOT, e.key, e.value, REG_SZ, hb::sz("x")), 0) << e.key;
    m->commit();
    for (const Edit& e : edits) {
        EXPECT_EQ(hivexValue(d.aliceClasses, e.key, e.value).has_value(), e.user) << e.key;
        EXPECT_EQ(hivexValue(d.software, "Classes\\" + e.key, e.value).has_value(), !e.user) << e.key;
    }

    // Deletes take both; a copy onto a key the user holds gives the user's key the values; a key
    // renamed stays where it is.
    HKey b;
    ASSERT_EQ(m->openKey(HKEY_CLASSES_ROOT, "CLSID\\{B}", &b), 0);
    EXPECT_EQ(m->deleteValue(b, ""), 0);
    m->closeKey(b);
    ChangeSet cs;
    cs.ops.push_back(deleteValueOp(HKEY_CLASSES_ROOT, u".txt", u""));
    cs.ops.push_back(setValueOp(HKEY_CLASSES_ROOT, u".reg\\ShellNew", u"", REG_SZ, hb::sz("z")));
    std::string error;
    ASSERT_EQ(m->apply(cs, &error), 0) << error;
    ASSERT_EQ(m->deleteKey(HKEY_CLASSES_ROOT, ".usr"), 0);
    ASSERT_EQ(m->copyKey(HKEY_CLASSES_ROOT, "CLSID\\{A}", HKEY_CLASSES_ROOT, "CLSID\\{C}"), 0);
    ASSERT_EQ(m->moveKey(HKEY_CLASSES_ROOT, ".bmp\\OpenWithProgids", HKEY_CLASSES_ROOT, ".bmp\\OpenWithList"), 0);
    m->commit();
    struct Check {
        fs::path file;
        std::string key, value;
        std::optional<std::string> data;  // nothing: not there
    } checks[] = {
        {d.aliceClasses, "CLSID\\{B}", "", std::nullopt},  {d.software, "Classes\\CLSID\\{B}", "", std::nullopt},
        {d.aliceClasses, ".txt", "", std::nullopt},        {d.software, "Classes\\.txt", "", std::nullopt},
        {d.software, "Classes\\.reg\\ShellNew", "", hb::sz("z")},
        {d.aliceClasses, "CLSID\\{C}", "", hb::sz("machine A")},
        {d.aliceClasses, "CLSID\\{C}", "Edited", hb::sz("x")},
        {d.software, "Classes\\CLSID\\{C}", "Edited", std::nullopt},
        {d.aliceClasses, ".bmp\\OpenWithList", "Paint.Picture", ""},
        {d.software, "Classes\\.bmp\\OpenWithList", "Paint.Picture", std::nullopt},
        {d.aliceClasses, ".bmp\\OpenWithProgids", "Paint.Picture", std::nullopt},
    };
    for (const Check& c : checks) EXPECT_EQ(dataOf(hivexValue(c.file, c.key, c.value)), c.data) << c.file << " " << c.key;
    EXPECT_FALSE(hivexHasKey(d.aliceClasses, ".usr") || hivexHasKey(d.software, "Classes\\.usr"));
    EXPECT_TRUE(hivexValue(d.aliceNt, "Software\\Classes\\Stale", ""));
    for (const fs::path& f : {d.software, d.aliceClasses}) expectSoundHive(f);
}

// Keys a page makes or moves through HKEY_CLASSES_ROOT go to the machine's classes, and are saved
// while the user's UsrClass.dat cannot be written: the 'New' menu's switch of a type the user
// holds a key for too, and a new key below a key only the user has.
TEST(WindowsHives, ClassesChangesForTheMachineAreSavedBesideADirtyUsrClass) {
    Drive d;
    hb::makeDirty(d.aliceClasses);
    const std::string before = qvtest::readFile(d.aliceClasses);
    auto m = Machine::openWindows(d.root, "alice");
    ASSERT_EQ(m->moveKey(HKEY_CLASSES_ROOT, ".bmp\\ShellNew", HKEY_CLASSES_ROOT, ".bmp\\ShellNew-"), 0);
    ASSERT_EQ(set(*m, HKEY_CLASSES_ROOT, ".usr\\ShellNew", "NullFile", REG_SZ, hb::sz("")), 0);
    EXPECT_NO_THROW(m->commit());
    EXPECT_TRUE(hivexValue(d.software, "Classes\\.bmp\\ShellNew-", "NullFile"));
    EXPECT_FALSE(hivexHasKey(d.software, "Classes\\.bmp\\ShellNew"));
    EXPECT_TRUE(hivexValue(d.software, "Classes\\.usr\\ShellNew", "NullFile"));
    EXPECT_EQ(qvtest::readFile(d.aliceClasses), before);
}

TEST(WindowsHives, DeletedAndRemadeKeysAreWrittenWhole) {
    Drive d;
    auto m = Machine::openWindows(d.root, "alice");
    ASSERT_EQ(m->deleteKey(HKEY_LOCAL_MACHINE, "Software\\Microsoft"), 0);
    ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", REG_SZ,
                  hb::sz("C:\\WINNT")), 0);
    ASSERT_EQ(m->moveKey(HKEY_CURRENT_USER, "Control Panel", HKEY_CURRENT_USER, "Moved\\Panel"), 0);
    m->commit();
    EXPECT_EQ(hivexValue(d.software, "Microsoft\\Windows NT\\CurrentVersion", "SystemRoot")->data, hb::sz("C:\\WINNT"));
    EXPECT_FALSE(hivexValue(d.software, "Microsoft\\Windows NT\\CurrentVersion", "RegisteredOwner"));
    EXPECT_FALSE(hivexHasKey(d.software, "Microsoft\\Windows\\CurrentVersion\\Policies"));
    EXPECT_FALSE(hivexHasKey(d.aliceNt, "Control Panel"));
    EXPECT_EQ(hivexValue(d.aliceNt, "Moved\\Panel\\Desktop", "MenuShowDelay")->data, hb::sz("400"));
    expectSoundHive(d.aliceNt);
}

TEST(WindowsHives, UserIsChosenByNameOrTheOnlyOne) {
    struct Case {
        bool twoUsers;
        std::string user;
        std::string expectError;  // "" when it opens
    } cases[] = {
        {true, "", "several users"},
        {true, "nobody", "no user nobody"},
        {true, "BOB", ""},
        {true, kSid1, ""},
        {false, "", ""},
    };
    for (const Case& c : cases) {
        Drive d(2, c.twoUsers);
        const auto before = d.files();
        try {
            auto m = Machine::openWindows(d.root, c.user);
            EXPECT_EQ(c.expectError, "") << c.user;
            const bool bob = c.user == "BOB";
            EXPECT_EQ(query(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay")->data,
                      hb::sz(bob ? "100" : "400"));
        } catch (const MachineError& e) {
            const std::string what = e.what();
            EXPECT_NE(c.expectError, "") << what;
            EXPECT_NE(what.find(c.expectError), std::string::npos) << what;
            // The users found are named, the folders that are no users' are not.
            EXPECT_NE(what.find("alice (" + kSid1 + ")"), std::string::npos) << what;
            EXPECT_NE(what.find("bob"), std::string::npos) << what;
            EXPECT_EQ(what.find("Default"), std::string::npos) << what;
        }
        EXPECT_TRUE(d.files() == before) << "files changed";
    }
}

TEST(WindowsHives, CommitsThatWouldHarmAreRefusedAndLeaveEveryFileAsItWas) {
    using Setup = std::function<void(Drive&)>;
    using Change = std::function<void(Machine&)>;
    const Change editSoftware = [](Machine& m) {
        ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, "Software\\Quorvel", "V", REG_DWORD, hb::dword(1)), 0);
    };
    const Change editUser = [](Machine& m) {
        ASSERT_EQ(set(m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "V", REG_DWORD, hb::dword(1)), 0);
    };
    struct Case {
        std::string name;
        Setup setup;
        Change change;
        std::string expect;  // in the message
        bool warnsOnOpen;
    } cases[] = {
        {"dirty hive", [](Drive& d) { hb::makeDirty(d.software); }, editSoftware, "not saved completely", true},
        {"newer log beside a clean hive",
         [](Drive& d) {
             std::string log(1024, '\0');
             std::memcpy(&log[0], "regf", 4);
             hb::put32(log, 4, 5);
             hb::put32(log, 8, 5);
             hb::put32(log, 28, 6);
             std::memcpy(&log[512], "HvLE", 4);
             hb::put32(log, 516, 512);
             hb::put32(log, 524, 5);
             qvtest::writeFile(d.software.string() + ".LOG1", log);
         },
         editSoftware, "LOG1 holds newer changes", true},
        {"dirty SYSTEM (Fast Startup)", [](Drive& d) { hb::makeDirty(d.system); }, editUser, "did not shut down fully", true},
        {"hibernated", [](Drive& d) { qvtest::writeFile(d.root / "hiberfil.sys", "HIBR" + std::string(60, '\0')); },
         editUser, "hibernated", true},
        {"read-only hive", [](Drive& d) { fs::permissions(d.aliceNt, fs::perms::owner_read | fs::perms::group_read); },
         editUser, "read-only", false},
        {"value too big", [](Drive&) {},
         [](Machine& m) {
             ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, "Software\\Quorvel", "Big", REG_BINARY,
                           std::string(kMaxHiveValueSize + 1, 'x')), 0);
         },
         "at most 16344 bytes", false},
        {"key holding a big value",
         [](Drive& d) {
             hb::Builder b;
             b.set("Big", "Blob", REG_BINARY, std::string(40000, 'b')).set("Big", "Small", REG_DWORD, hb::dword(1));
             b.write(d.software);
         },
         [](Machine& m) { ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, "Software\\Big", "Small", REG_DWORD, hb::dword(2)), 0); },
         "Registry Editor", false},
        {"non-ASCII key name", [](Drive&) {},
         [](Machine& m) { ASSERT_EQ(set(m, HKEY_CURRENT_USER, "Software\\Kl\xc3\xbc\x63", "V", REG_DWORD, hb::dword(1)), 0); },
         "outside ASCII", false},
        {"key outside the hives", [](Drive&) {},
         [](Machine& m) { ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, "Hardware\\X", "V", REG_DWORD, hb::dword(1)), 0); },
         "no hive file holds", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d;
        c.setup(d);
        const auto before = d.files();
        auto m = Machine::openWindows(d.root, "alice");
        EXPECT_EQ(!m->warnings().empty(), c.warnsOnOpen);
        c.change(*m);
        try {
            m->commit();
            ADD_FAILURE() << "committed";
        } catch (const MachineError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.expect), std::string::npos) << what;
            EXPECT_NE(what.find("nothing was saved"), std::string::npos) << what;
        }
        EXPECT_TRUE(m->hasChanges());
        EXPECT_TRUE(d.files() == before) << "files changed";
    }
}

// A damaged hive whose keys or values are reached twice is refused too: a loop would have the
// reader go on until memory runs out, shared lists or data would be read again and again. Keys are
// read when first used, so damage the open does not read is met by the read that reaches it: the
// damaged part shows nothing, the machine says why, and the hive is not written. Each case runs in
// a child bounded in processor time, so that a reader caught in a loop fails it.
TEST(WindowsHives, HivesThatCannotBeReadAreRefusedWhereTheyAreRead) {
    using Reach = std::function<void(Machine&)>;
    const Reach atOpen;
    auto listing = [](std::string key) { return [key](Machine& m) { subkeys(m, HKEY_LOCAL_MACHINE, key); }; };
    auto reading = [](std::string key) {
        return [key](Machine& m) {
            HKey k;
            std::string name;
            if (m.openKey(HKEY_LOCAL_MACHINE, key, &k) == ERROR_SUCCESS) m.enumValue(k, 0, &name, nullptr, nullptr);
        };
    };
    struct Case {
        std::string name;
        std::function<void(Drive&)> damage;
        std::string expect;
        Reach reach;  // unset: the open itself refuses
        bool noted = true;  // false: nothing reads it, the commit finds it
    } cases[] = {
        {"not a hive", [](Drive& d) { qvtest::writeFile(d.software, std::string(8192, 'x')); },
         "config/SOFTWARE: it is not a registry hive", atOpen},
        // What the header says is wrong, in its words rather than libhivex's errno.
        {"cut short in its bins", [](Drive& d) { fs::resize_file(d.software, fs::file_size(d.software) - 4096); },
         "config/SOFTWARE: its size does not match its header (it is cut short)", atOpen},
        {"cut short in its header", [](Drive& d) { fs::resize_file(d.software, 2000); },
         "config/SOFTWARE: its size does not match its header (it is cut short)", atOpen},
        {"wrong header checksum",
         [](Drive& d) {
             std::string b = qvtest::readFile(d.software);
             b[48] ^= 1;
             qvtest::writeFile(d.software, b);
         },
         "config/SOFTWARE: its header checksum is wrong", atOpen},
        {"no SYSTEM", [](Drive& d) { fs::remove(d.system); }, "has no", atOpen},
        {"two spellings", [](Drive& d) { fs::copy_file(d.software, d.config / "software"); }, "more than one spelling", atOpen},
        {"not Windows", [](Drive& d) { fs::remove_all(d.root / "Windows"); }, "not a Windows system drive", atOpen},
        // The open reads ProfileList to find the users.
        {"a key listing a key above it",
         [](Drive& d) { shareList(d.software, "Microsoft\\Windows NT\\CurrentVersion\\ProfileList", "Microsoft\\Windows NT", kSubkeys); },
         "config/SOFTWARE: its keys loop back on themselves", atOpen},
        {"a key listing itself",
         [](Drive& d) { shareList(d.software, "Classes\\.txt\\ShellNew", "Classes\\.txt", kSubkeys); },
         "config/SOFTWARE: its keys loop back on themselves", listing("Software\\Classes\\.txt\\ShellNew")},
        {"two keys sharing one subkey list",
         [](Drive& d) { shareList(d.software, "Classes\\txtfile", "Classes\\CLSID", kSubkeys); }, "is listed twice",
         [](Machine& m) {
             subkeys(m, HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID");
             subkeys(m, HKEY_LOCAL_MACHINE, "Software\\Classes\\txtfile");
         }},
        {"two keys sharing one value list",
         [](Drive& d) { shareList(d.software, "Odd", "Microsoft\\Windows NT\\CurrentVersion", kValues); },
         "belongs to another key as well",
         [reading](Machine& m) {
             reading("Software\\Microsoft\\Windows NT\\CurrentVersion")(m);
             reading("Software\\Odd")(m);
         }},
        {"damage nothing read", [](Drive& d) { shareList(d.software, "Classes\\txtfile", "Classes\\CLSID", kSubkeys); },
         "a key is listed twice", [](Machine&) {}, false},
        {"shared values nothing read",
         [](Drive& d) { shareList(d.software, "Odd", "Microsoft\\Windows NT\\CurrentVersion", kValues); },
         "belongs to another key as well", [](Machine&) {}, false},
        {"values sharing their data",
         [](Drive& d) {
             hb::Builder sw;
             sw.set("Big", "Blob", REG_BINARY, std::string(kMaxHiveValueSize, 'b'));
             for (char c : std::string("abcdefgh")) sw.set("Copies", std::string(1, c), REG_BINARY, "x");
             sw.write(d.software);
             shareData(d.software, "Copies", "Big", "Blob");
         },
         "share their data with another value",
         [reading](Machine& m) {
             reading("Software\\Big")(m);
             reading("Software\\Copies")(m);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d;
        c.damage(d);
        const auto before = d.files();
        const qv::test::ChildResult r = qv::test::runBounded(10, 8 << 20, [&]() -> std::string {
            std::unique_ptr<Machine> m;
            try {
                m = Machine::openWindows(d.root, "alice");
            } catch (const MachineError& e) {
                if (c.reach) return std::string("refused on open: ") + e.what();
                return std::string(e.what()).find(c.expect) == std::string::npos ? e.what() : "";
            }
            if (!c.reach) return "opened";
            c.reach(*m);
            const auto notes = m->warnings();
            if (c.noted == std::none_of(notes.begin(), notes.end(), [&](const std::string& n) { return n.find(c.expect) != std::string::npos; }))
                return c.noted ? "not noted" : "noted before it was read";
            // Nothing of the damaged hive is written, however sound the edit.
            if (set(*m, HKEY_LOCAL_MACHINE, "Software\\Fresh", "V", REG_DWORD, hb::dword(1))) return "not set";
            try {
                m->commit();
                return "written";
            } catch (const MachineError& e) {
                return std::string(e.what()).find(c.expect) == std::string::npos ? e.what() : "";
            }
        });
        EXPECT_EQ(r.failure, "");
        EXPECT_LE(r.peakGrowthMb, 256);
        EXPECT_TRUE(d.files() == before);
    }
}

TEST(WindowsHives, KeysThatNoPathNamesAreLeftOutAndKept) {
    Drive d;
    hive_h* h = hivex_open(d.software.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_TRUE(h);
    ASSERT_TRUE(hivex_node_add_child(h, nodeAt(h, "Odd"), "a\\b"));
    const hive_node_h shellNew = nodeAt(h, "Classes\\.txt\\ShellNew");
    ASSERT_EQ(hivex_commit(h, nullptr, 0), 0);
    hivex_close(h);
    std::string b = qvtest::readFile(d.software);
    b[shellNew + 4 + 76] = '\0';  // the first character of its name
    qvtest::writeFile(d.software, b);

    auto m = Machine::openWindows(d.root, "alice");
    EXPECT_EQ(subkeys(*m, HKEY_LOCAL_MACHINE, "Software\\Odd"), std::vector<std::string>{});
    EXPECT_EQ(subkeys(*m, HKEY_LOCAL_MACHINE, "Software\\Classes\\.txt"), std::vector<std::string>{});
    const auto notes = m->warnings();
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& n) {
        return n.find("SOFTWARE holds 2 key(s) whose names are empty or hold a backslash") != std::string::npos;
    }));
    ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "Software\\Odd", "V", REG_DWORD, hb::dword(1)), 0);
    m->commit();
    h = hivex_open(d.software.c_str(), 0);
    ASSERT_TRUE(h);
    EXPECT_TRUE(hivex_node_get_child(h, nodeAt(h, "Odd"), "a\\b"));
    hivex_close(h);
}

// libhivex takes value names that differ only in the case of non-ASCII letters for two; the
// machine shows the first, and a commit that rewrites their key keeps the other as it was,
// unless the key itself was deleted.
TEST(WindowsHives, ValueNamesDifferingInNonAsciiCaseAreAllKept) {
    const std::string shown = "Gr\xc3\xbc\xc3\x9f" "e", hidden = "GR\xc3\x9c\xc3\x9f" "E";  // Grüße, GRÜßE
    const std::string was = hb::utf16(u"Gr\u00fc\u00dfe"), one = hb::dword(1), seven = hb::dword(7);
    const std::string odd = "Software\\Odd";
    struct Case {
        std::string name;
        std::function<void(Machine&)> change;
        std::map<std::string, std::string> expect;  // of shown, hidden and "Other"
    } cases[] = {
        {"another value of the key set", [&](Machine& m) { EXPECT_EQ(set(m, HKEY_LOCAL_MACHINE, odd, "Other", REG_DWORD, one), 0); },
         {{shown, was}, {hidden, seven}, {"Other", one}}},
        {"the shown one changed", [&](Machine& m) { EXPECT_EQ(set(m, HKEY_LOCAL_MACHINE, odd, shown, REG_DWORD, one), 0); },
         {{shown, one}, {hidden, seven}}},
        {"the shown one deleted",
         [&](Machine& m) {
             HKey k;
             ASSERT_EQ(m.openKey(HKEY_LOCAL_MACHINE, odd, &k), 0);
             EXPECT_EQ(m.deleteValue(k, shown), 0);
             m.closeKey(k);
         },
         {{hidden, seven}}},
        {"the key deleted and made again",
         [&](Machine& m) {
             EXPECT_EQ(m.deleteKey(HKEY_LOCAL_MACHINE, odd), 0);
             EXPECT_EQ(set(m, HKEY_LOCAL_MACHINE, odd, "Other", REG_DWORD, one), 0);
         },
         {{"Other", one}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d;
        hive_h* h = hivex_open(d.software.c_str(), HIVEX_OPEN_WRITE);
        ASSERT_TRUE(h);
        hive_set_value v{const_cast<char*>(hidden.c_str()), hive_t_REG_DWORD, 4, const_cast<char*>(seven.data())};
        ASSERT_EQ(hivex_node_set_value(h, nodeAt(h, "Odd"), &v, 0), 0);
        ASSERT_EQ(hivex_commit(h, nullptr, 0), 0);
        hivex_close(h);
        auto m = Machine::openWindows(d.root, "alice");
        ASSERT_EQ(query(*m, HKEY_LOCAL_MACHINE, odd, hidden)->data, was);
        c.change(*m);
        m->commit();
        std::map<std::string, std::string> found;
        for (const std::string& name : {shown, hidden, std::string("Other")})
            if (auto got = hivexValue(d.software, "Odd", name)) found[name] = got->data;
        EXPECT_EQ(found, c.expect);
    }
}

// Whoever can write to the hives' folder may plant links at the names a commit uses: nothing is
// written through them, and the commit still saves.
TEST(WindowsHives, CommitWritesNothingThroughLinksPlantedAtItsNames) {
    struct Case {
        std::string planted;  // in the config folder
        bool victimExists;
    } cases[] = {
        {".quorvel-commit.quorvel-tmp-", true},
        {".quorvel-commit.quorvel-tmp-", false},
        {".quorvel-commit", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.planted + (c.victimExists ? " to a file" : " to nothing"));
        Drive d;
        const fs::path victim = d.tmp.path() / "victim";
        if (c.victimExists) qvtest::writeFile(victim, "precious");
        auto m = Machine::openWindows(d.root, "alice");
        ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "Software\\Quorvel", "V", REG_DWORD, hb::dword(6)), 0);
        fs::create_symlink(victim, d.config / c.planted);
        EXPECT_NO_THROW(m->commit());
        EXPECT_EQ(fs::exists(victim), c.victimExists);
        if (c.victimExists) {
            EXPECT_EQ(qvtest::readFile(victim), "precious");
        }
        EXPECT_EQ(hivexValue(d.software, "Quorvel", "V")->data, hb::dword(6));
    }
}

namespace {

// A hive as libhivex reads it: every key's path (as spelled) with its values.
using HiveDump = std::map<std::string, std::map<std::string, std::pair<uint32_t, std::string>>>;
HiveDump dumpHive(const fs::path& file) {
    HiveDump out;
    hive_h* h = hivex_open(file.c_str(), 0);
    if (!h) return out;
    std::vector<std::pair<hive_node_h, std::string>> pending{{hivex_root(h), ""}};
    while (!pending.empty()) {
        auto [n, path] = pending.back();
        pending.pop_back();
        auto& values = out[path];
        hive_value_h* vals = hivex_node_values(h, n);
        for (hive_value_h* v = vals; v && *v; ++v) {
            char* name = hivex_value_key(h, *v);
            std::underlying_type_t<hive_type> t = 0;
            size_t len = 0;
            char* data = hivex_value_value(h, *v, reinterpret_cast<hive_type*>(&t), &len);
            values[name] = {static_cast<uint32_t>(t), std::string(data ? data : "", len)};
            free(name);
            free(data);
        }
        free(vals);
        hive_node_h* kids = hivex_node_children(h, n);
        for (hive_node_h* c = kids; c && *c; ++c) {
            char* name = hivex_node_name(h, *c);
            pending.emplace_back(*c, path.empty() ? name : path + "\\" + name);
            free(name);
        }
        free(kids);
    }
    hivex_close(h);
    return out;
}

// Renames every key at or below `from` to lie below `to`.
void moveDumped(HiveDump& d, const std::string& from, const std::string& to) {
    HiveDump moved;
    for (auto it = d.begin(); it != d.end();) {
        if (it->first == from || it->first.rfind(from + "\\", 0) == 0) {
            moved[to + it->first.substr(from.size())] = std::move(it->second);
            it = d.erase(it);
        } else {
            ++it;
        }
    }
    d.merge(moved);
}

}  // namespace

// Keys made when first used behave as keys read whole: each case reads and edits in an order that
// leaves parts of the hives unread, checks what the machine shows, then commits; every hive then
// holds what it held before plus exactly the case's edits (a hive without edits is not written),
// and a machine opened again shows the same.
TEST(WindowsHives, KeysReadWhenFirstUsedShowAndSaveExactlyWhatWasDone) {
    const std::string dot = "Software\\Classes\\";
    const std::string command = "txtfile\\shell\\open\\command";
    auto has = [](Machine& m, int32_t root, const std::string& key, const std::string& name, const std::string& data) {
        const auto v = query(m, root, key, name);
        EXPECT_TRUE(v && v->data == data) << key << " " << name;
    };
    auto gone = [](Machine& m, int32_t root, const std::string& key) {
        HKey k;
        EXPECT_NE(m.openKey(root, key, &k), ERROR_SUCCESS) << key;
    };
    struct Case {
        std::string name;
        std::function<void(Machine&)> act, shows;
        std::function<void(std::map<std::string, HiveDump>&)> edits;  // by file: SOFTWARE, NTUSER, UsrClass
    } cases[] = {
        {"a key read after another was edited",
         [&](Machine& m) { ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, dot + ".txt", "Content Type", REG_SZ, hb::sz("text/x")), 0); },
         [&](Machine& m) {
             has(m, HKEY_LOCAL_MACHINE, dot + ".bmp\\ShellNew", "NullFile", hb::sz(""));
             has(m, HKEY_LOCAL_MACHINE, dot + ".txt", "", hb::sz("txtfile"));
             has(m, HKEY_LOCAL_MACHINE, dot + ".txt", "Content Type", hb::sz("text/x"));
             EXPECT_EQ(subkeys(m, HKEY_LOCAL_MACHINE, dot + ".txt"), std::vector<std::string>{"ShellNew"});
         },
         [](auto& d) { d["SOFTWARE"]["Classes\\.txt"]["Content Type"] = {REG_SZ, hb::sz("text/x")}; }},
        {"enumerating half-loaded keys",
         [&](Machine& m) {
             has(m, HKEY_LOCAL_MACHINE, dot + command, "", hb::sz("notepad.exe %1"));
             HKey k;
             ASSERT_EQ(m.createKey(HKEY_LOCAL_MACHINE, dot + ".new", &k), 0);
             m.closeKey(k);
             ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, "Software\\Odd", "Added", REG_DWORD, hb::dword(5)), 0);
         },
         [&](Machine& m) {
             EXPECT_EQ(subkeys(m, HKEY_LOCAL_MACHINE, "Software\\Classes"),
                       (std::vector<std::string>{".bmp", ".new", ".txt", "CLSID", "txtfile"}));
             HKey k;
             ASSERT_EQ(m.openKey(HKEY_LOCAL_MACHINE, "Software\\Odd", &k), 0);
             std::vector<std::string> names;
             std::string n;
             for (uint32_t i = 0; m.enumValue(k, i, &n, nullptr, nullptr) == ERROR_SUCCESS; ++i) names.push_back(n);
             m.closeKey(k);
             EXPECT_EQ(names.size(), 5u);
             EXPECT_NE(std::find(names.begin(), names.end(), "Added"), names.end());
         },
         [](auto& d) {
             d["SOFTWARE"]["Classes\\.new"];
             d["SOFTWARE"]["Odd"]["Added"] = {REG_DWORD, hb::dword(5)};
         }},
        {"deleting a subtree never read",
         [&](Machine& m) { ASSERT_EQ(m.deleteKey(HKEY_LOCAL_MACHINE, dot + "txtfile"), 0); },
         [&](Machine& m) {
             gone(m, HKEY_LOCAL_MACHINE, dot + "txtfile");
             has(m, HKEY_LOCAL_MACHINE, dot + ".txt", "", hb::sz("txtfile"));
         },
         [](auto& d) {
             std::erase_if(d["SOFTWARE"], [](const auto& k) { return k.first.rfind("Classes\\txtfile", 0) == 0; });
         }},
        {"moving a subtree never read",
         [&](Machine& m) { ASSERT_EQ(m.moveKey(HKEY_LOCAL_MACHINE, dot + "txtfile", HKEY_LOCAL_MACHINE, dot + "docfile"), 0); },
         [&](Machine& m) {
             gone(m, HKEY_LOCAL_MACHINE, dot + "txtfile");
             has(m, HKEY_LOCAL_MACHINE, dot + "docfile\\shell\\open\\command", "", hb::sz("notepad.exe %1"));
         },
         [](auto& d) { moveDumped(d["SOFTWARE"], "Classes\\txtfile", "Classes\\docfile"); }},
        {"copying a subtree never read, then editing the copy",
         [&](Machine& m) {
             ASSERT_EQ(m.copyKey(HKEY_LOCAL_MACHINE, dot + "txtfile", HKEY_LOCAL_MACHINE, "Software\\Copy"), 0);
             ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, "Software\\Copy\\shell\\open\\command", "", REG_SZ, hb::sz("x")), 0);
         },
         [&](Machine& m) {
             has(m, HKEY_LOCAL_MACHINE, dot + command, "", hb::sz("notepad.exe %1"));
             has(m, HKEY_LOCAL_MACHINE, "Software\\Copy\\shell\\open\\command", "", hb::sz("x"));
         },
         [](auto& d) {
             for (const char* k : {"Copy", "Copy\\shell", "Copy\\shell\\open"}) d["SOFTWARE"][k];
             d["SOFTWARE"]["Copy\\shell\\open\\command"][""] = {REG_SZ, hb::sz("x")};
         }},
        {"a deletion taken back reads the subtree again",
         [&](Machine& m) {
             ASSERT_EQ(m.deleteKey(HKEY_LOCAL_MACHINE, dot + "txtfile"), 0);
             m.discardChanges();
             ASSERT_EQ(set(m, HKEY_LOCAL_MACHINE, dot + command, "After", REG_DWORD, hb::dword(1)), 0);
         },
         [&](Machine& m) { has(m, HKEY_LOCAL_MACHINE, dot + command, "", hb::sz("notepad.exe %1")); },
         [&](auto& d) { d["SOFTWARE"]["Classes\\" + command]["After"] = {REG_DWORD, hb::dword(1)}; }},
        {"the user's classes stand in for NTUSER.DAT's own",
         [&](Machine& m) { ASSERT_EQ(set(m, HKEY_CURRENT_USER, "Software\\Classes\\.usr", "V", REG_SZ, hb::sz("u")), 0); },
         [&](Machine& m) {
             gone(m, HKEY_CURRENT_USER, "Software\\Classes\\Stale");
             has(m, HKEY_CLASSES_ROOT, ".usr", "V", hb::sz("u"));
             has(m, HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", "Hidden",
                 hb::dword(2));
         },
         [](auto& d) { d["UsrClass"][".usr"]["V"] = {REG_SZ, hb::sz("u")}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d;
        const std::map<std::string, fs::path> files{
            {"SOFTWARE", d.software}, {"SYSTEM", d.system}, {"NTUSER", d.aliceNt}, {"UsrClass", d.aliceClasses}};
        std::map<std::string, HiveDump> want;
        std::map<std::string, std::string> bytes;
        for (const auto& [label, file] : files) {
            want[label] = dumpHive(file);
            bytes[label] = qvtest::readFile(file);
        }
        const auto unchanged = want;
        auto m = Machine::openWindows(d.root, "alice");
        c.act(*m);
        c.shows(*m);
        m->commit();
        c.edits(want);
        for (const auto& [label, file] : files) {
            EXPECT_TRUE(dumpHive(file) == want[label]) << label;
            if (want[label] == unchanged.at(label)) {
                EXPECT_EQ(qvtest::readFile(file), bytes[label]) << label << " was written";
            }
        }
        auto again = Machine::openWindows(d.root, "alice");
        c.shows(*again);
    }
}

// Values of every type and size read as stored when their key is first used, and stay so through
// a commit that edits their neighbours.
TEST(WindowsHives, ValuesOfEveryTypeAndSizeReadWhenFirstUsed) {
    Drive d;
    std::vector<hb::Value> values;
    for (uint32_t t : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 0x12345u, 0xFFFFFFFFu})
        values.push_back({"T" + std::to_string(t), t, std::string(t % 9, static_cast<char>('a' + t % 26))});
    values.push_back({"Largest", REG_BINARY, std::string(kMaxHiveValueSize, '\x5a')});
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    values.push_back({"Big", REG_BINARY, big});
    hb::Builder sw;
    sw.set("Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + kSid1, "ProfileImagePath", REG_EXPAND_SZ,
           hb::sz("C:\\Users\\alice"));
    for (const hb::Value& v : values) sw.set("Types", v.name, v.type, v.data);
    sw.set("Types\\Next", "N", REG_DWORD, hb::dword(1));
    sw.write(d.software);

    auto m = Machine::openWindows(d.root, "alice");
    ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "Software\\Types\\Next", "N", REG_DWORD, hb::dword(2)), 0);
    for (const hb::Value& v : values) {
        const auto got = query(*m, HKEY_LOCAL_MACHINE, "Software\\Types", v.name);
        ASSERT_TRUE(got) << v.name;
        EXPECT_EQ(got->type, v.type) << v.name;
        EXPECT_TRUE(got->data == v.data) << v.name;
    }
    m->commit();
    for (const hb::Value& v : values) {
        const auto got = hivexValue(d.software, "Types", v.name);
        ASSERT_TRUE(got) << v.name;
        EXPECT_EQ(got->type, v.type) << v.name;
        EXPECT_TRUE(got->data == v.data) << v.name;
    }
    EXPECT_EQ(hivexValue(d.software, "Types\\Next", "N")->data, hb::dword(2));
}

// A hive is opened past its header only when its keys are first used (the open reads the few
// keys it needs straight from the files): one that libhivex cannot read costs the keys of the
// other hives nothing, and says so where it is read.
TEST(WindowsHives, AHiveIsOpenedWhenItsKeysAreFirstUsed) {
    struct Case {
        std::string name;
        fs::path Drive::*file;
        int32_t root;
        std::string key, value;  // in the hive
        int32_t otherRoot;
        std::string otherKey, otherValue;  // in another
    } cases[] = {
        {"NTUSER.DAT", &Drive::aliceNt, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay", HKEY_LOCAL_MACHINE,
         "Software\\Odd", "Strange"},
        {"SOFTWARE", &Drive::software, HKEY_LOCAL_MACHINE, "Software\\Odd", "Strange", HKEY_LOCAL_MACHINE,
         "System\\CurrentControlSet\\Control\\Session Manager", "Set"},
        {"SYSTEM", &Drive::system, HKEY_LOCAL_MACHINE, "System\\Select", "Current", HKEY_CURRENT_USER,
         "Control Panel\\Desktop", "MenuShowDelay"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d;
        const fs::path file = d.*c.file;
        std::string b = qvtest::readFile(file);
        std::memcpy(&b[4096], "hbix", 4);  // a bin libhivex refuses; the header and the keys are sound
        qvtest::writeFile(file, b);
        auto m = Machine::openWindows(d.root, "alice");
        EXPECT_EQ(m->windowsDirectory(), "C:\\Windows");
        EXPECT_TRUE(query(*m, c.otherRoot, c.otherKey, c.otherValue));
        auto noted = [&] {
            const auto notes = m->warnings();
            return std::any_of(notes.begin(), notes.end(), [&](const std::string& n) {
                return n.find(file.string()) != std::string::npos && n.find("libhivex cannot open it") != std::string::npos;
            });
        };
        EXPECT_FALSE(noted());
        EXPECT_FALSE(query(*m, c.root, c.key, c.value));
        EXPECT_TRUE(noted());
        ASSERT_EQ(set(*m, c.root, c.key, "Fresh", REG_DWORD, hb::dword(1)), 0);
        EXPECT_THROW(m->commit(), MachineError);
        EXPECT_EQ(qvtest::readFile(file), b);
    }
}

// The open's own reader of a few keys follows every kind of subkey list as libhivex does, and
// leaves to libhivex what it does not read itself (big data records).
TEST(WindowsHives, TheOpensGlanceReadsWhatLibhivexReads) {
    if (std::system("python3 -c '' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
    qvtest::TempDir tmp;
    struct Case {
        std::string args;
        std::u16string path;
        bool glanced;
    } cases[] = {
        {"--subkeys 20 --list li", u"*", true},   {"--subkeys 20 --list lf", u"*", true},
        {"--subkeys 20 --list lh", u"*", true},   {"--subkeys 1200 --list ri", u"*", true},
        {"--bigvalue 40000", u"", false},          {"--bigvalue 16000", u"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const fs::path file = tmp.path() / "hive";
        const std::string cmd = "python3 " QV_SOURCE_DIR "/tests/tools/hivegen.py make '" + file.string() + "' " + c.args;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        Hive hv;
        hv.label = "test";
        hv.path = file;
        HiveSource src(hv);
        auto glanced = RegFile::create("", ""), lazy = RegFile::create("", "");
        EXPECT_EQ(src.glance({c.path}, &glanced->root()), c.glanced);
        src.mount(&lazy->root());
        const RegKey& want = lazy->root();
        EXPECT_GT(want.subkeys.size() + want.values().size(), 0u);
        if (!c.glanced) continue;
        const RegKey& got = glanced->root();
        ASSERT_EQ(got.subkeys.size(), want.subkeys.size());
        for (size_t i = 0; i < want.subkeys.size(); ++i) EXPECT_EQ(got.subkeys[i]->name, want.subkeys[i]->name);
        if (c.path.empty()) {
            ASSERT_EQ(got.values().size(), want.values().size());
            for (size_t i = 0; i < want.values().size(); ++i) EXPECT_TRUE(got.values()[i].data == want.values()[i].data);
        }
        EXPECT_EQ(src.failure(), "");
    }
}
