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

#include "registry/cli/reg_tool.h"
#include "registry/hive.h"
#include "registry/machine.h"
#include "registry/text.h"
#include "test_files.h"
#include "tools/hive_builder.h"
#include "tools/hive_check.h"

using namespace qv::reg;
using qvtest::hive::expectSoundHive;
using qvtest::hive::hivexHasKey;
using qvtest::hive::hivexValue;
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
            .key("Classes\\.txt\\ShellNew")
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

TEST(WindowsHives, ClassesRootMergesTheUsersClassesOverTheMachines) {
    Drive d;
    auto m = Machine::openWindows(d.root, "alice");
    struct Case {
        std::string key;
        std::optional<std::string> shown;  // the default value's text, nothing: no such key
    } reads[] = {
        {".txt", "userfile"},                          // the user's key wins
        {".txt\\ShellNew", std::nullopt},              // and hides the machine's subkeys
        {"txtfile\\shell\\open\\command", "notepad.exe %1"},
        {"CLSID\\{A}", "machine A"},                   // shared key: merged one level down
        {"CLSID\\{B}", "user B"},
        {"CLSID\\{C}", "user C"},
        {"Stale", std::nullopt},                       // NTUSER.DAT's own Classes is not shown
    };
    for (const Case& c : reads) {
        auto v = query(*m, HKEY_CLASSES_ROOT, c.key, "");
        HKey k;
        const bool exists = m->openKey(HKEY_CLASSES_ROOT, c.key, &k) == ERROR_SUCCESS;
        if (exists) m->closeKey(k);
        EXPECT_EQ(exists, c.shown.has_value()) << c.key;
        if (c.shown) {
            ASSERT_TRUE(v) << c.key;
            EXPECT_EQ(v->data, hb::sz(*c.shown)) << c.key;
        }
    }
    EXPECT_EQ(subkeys(*m, HKEY_CLASSES_ROOT, ""), (std::vector<std::string>{".txt", ".usr", "CLSID", "txtfile"}));
    EXPECT_EQ(subkeys(*m, HKEY_CLASSES_ROOT, "CLSID"), (std::vector<std::string>{"{A}", "{B}", "{C}"}));
    KeyInfo info;
    HKey root;
    ASSERT_EQ(m->openKey(HKEY_CLASSES_ROOT, "", &root), 0);
    ASSERT_EQ(m->queryInfoKey(root, &info), 0);
    m->closeKey(root);
    EXPECT_EQ(info.subkeys, 4u);

    // Writes go where the key lives; new keys beside their nearest parent, or to the machine.
    struct Edit {
        std::string key, value;
        fs::path file;
        std::string inFile;
    } edits[] = {
        {".txt", "Edited", d.aliceClasses, ".txt"},
        {".usr\\ShellNew", "NullFile", d.aliceClasses, ".usr\\ShellNew"},
        {"CLSID\\{B}", "Edited", d.aliceClasses, "CLSID\\{B}"},
        {"CLSID\\{A}", "Edited", d.software, "Classes\\CLSID\\{A}"},
        {"CLSID\\{D}", "New", d.software, "Classes\\CLSID\\{D}"},
        {".new\\ShellNew", "NullFile", d.software, "Classes\\.new\\ShellNew"},
        {"txtfile\\shell\\edit", "", d.software, "Classes\\txtfile\\shell\\edit"},
    };
    for (const Edit& e : edits) ASSERT_EQ(set(*m, HKEY_CLASSES_ROOT, e.key, e.value, REG_SZ, hb::sz("x")), 0) << e.key;
    ASSERT_EQ(m->deleteKey(HKEY_CLASSES_ROOT, ".usr"), 0);
    ChangeSet cs;
    cs.ops.push_back(setValueOp(HKEY_CLASSES_ROOT, u".txt", u"FromSet", REG_SZ, hb::sz("y")));
    cs.ops.push_back(setValueOp(HKEY_CLASSES_ROOT, u".reg\\ShellNew", u"", REG_SZ, hb::sz("z")));
    std::string error;
    ASSERT_EQ(m->apply(cs, &error), 0) << error;
    m->commit();
    for (const Edit& e : edits) {
        if (e.key.starts_with(".usr")) continue;
        EXPECT_TRUE(hivexValue(e.file, e.inFile, e.value)) << e.key;
    }
    EXPECT_FALSE(hivexHasKey(d.aliceClasses, ".usr"));
    EXPECT_TRUE(hivexValue(d.aliceClasses, ".txt", "FromSet"));
    EXPECT_TRUE(hivexValue(d.software, "Classes\\.reg\\ShellNew", ""));
    EXPECT_TRUE(hivexValue(d.aliceNt, "Software\\Classes\\Stale", ""));
    for (const fs::path& f : {d.software, d.aliceClasses}) expectSoundHive(f);
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

TEST(WindowsHives, HivesThatCannotBeReadAreRefusedOnOpen) {
    struct Case {
        std::string name;
        std::function<void(Drive&)> damage;
        std::string expect;
    } cases[] = {
        {"not a hive", [](Drive& d) { qvtest::writeFile(d.software, std::string(8192, 'x')); }, "cannot open"},
        {"no SYSTEM", [](Drive& d) { fs::remove(d.system); }, "has no"},
        {"two spellings", [](Drive& d) { fs::copy_file(d.software, d.config / "software"); }, "more than one spelling"},
        {"not Windows", [](Drive& d) { fs::remove_all(d.root / "Windows"); }, "not a Windows system drive"},
    };
    for (const Case& c : cases) {
        Drive d;
        c.damage(d);
        const auto before = d.files();
        try {
            Machine::openWindows(d.root, "alice");
            ADD_FAILURE() << c.name << " opened";
        } catch (const MachineError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expect), std::string::npos) << c.name << ": " << e.what();
        }
        EXPECT_TRUE(d.files() == before) << c.name;
    }
}

TEST(WindowsHives, LowerCaseXpNamesAreFoundAndKept) {
    Drive d;
    fs::rename(d.root / "Windows", d.root / "WINDOWS.tmp");
    fs::rename(d.root / "WINDOWS.tmp", d.root / "WINDOWS");
    fs::rename(d.root / "WINDOWS/System32", d.root / "WINDOWS/system32");
    const fs::path config = d.root / "WINDOWS/system32/config";
    fs::rename(config / "SOFTWARE", config / "software");
    fs::rename(d.root / "Users/alice/NTUSER.DAT", d.root / "Users/alice/ntuser.dat");
    auto m = Machine::openWindows(d.root, "alice");
    ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "Software\\Quorvel", "V", REG_DWORD, hb::dword(3)), 0);
    ASSERT_EQ(set(*m, HKEY_CURRENT_USER, "Software\\Quorvel", "V", REG_DWORD, hb::dword(3)), 0);
    m->commit();
    EXPECT_FALSE(fs::exists(config / "SOFTWARE")) << "a second spelling was made";
    EXPECT_EQ(hivexValue(config / "software", "Quorvel", "V")->data, hb::dword(3));
    EXPECT_EQ(hivexValue(d.root / "Users/alice/ntuser.dat", "Software\\Quorvel", "V")->data, hb::dword(3));
}

// A commit killed at any moment leaves SOFTWARE and NTUSER.DAT both as they were or both as
// saved, once the machine is opened again.
TEST(WindowsHives, KilledCommitsLeaveEachHiveOldOrNew) {
    Drive d;
    std::mt19937 rng(12345);
    uint32_t lastSeen = 0;
    int killedMidway = 0;
    for (int round = 0; round < 12; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            try {
                auto m = Machine::openWindows(d.root, "alice");
                for (uint32_t i = 1;; ++i) {
                    auto cur = query(*m, HKEY_LOCAL_MACHINE, "Software\\Counter", "N");
                    uint32_t n = 0;
                    if (cur && cur->data.size() == 4) std::memcpy(&n, cur->data.data(), 4);
                    ++n;
                    set(*m, HKEY_LOCAL_MACHINE, "Software\\Counter", "N", REG_DWORD, hb::dword(n));
                    set(*m, HKEY_CURRENT_USER, "Software\\Counter", "N", REG_DWORD, hb::dword(n));
                    m->commit();
                }
            } catch (...) {
            }
            _exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 60));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself in round " << round;

        auto m = Machine::openWindows(d.root, "alice");
        for (const auto& w : m->warnings())
            if (w.find("interrupted") != std::string::npos) ++killedMidway;
        auto a = query(*m, HKEY_LOCAL_MACHINE, "Software\\Counter", "N");
        auto b = query(*m, HKEY_CURRENT_USER, "Software\\Counter", "N");
        ASSERT_EQ(a.has_value(), b.has_value()) << round;
        if (a) {
            EXPECT_EQ(a->data, b->data) << round;
            uint32_t n;
            std::memcpy(&n, a->data.data(), 4);
            EXPECT_GE(n, lastSeen);
            lastSeen = n;
        }
        for (const auto& e : fs::recursive_directory_iterator(d.root))
            EXPECT_EQ(e.path().filename().string().find("quorvel"), std::string::npos) << e.path();
        for (const fs::path& f : {d.software, d.aliceNt}) EXPECT_TRUE(readHiveHeader(f).problem.empty()) << f;
    }
    EXPECT_GT(lastSeen, 0u);
    std::printf("[          ] %u commits in 12 kills, %d completed on the next open\n", lastSeen, killedMidway);
}

// A commit killed between its journal and its renames, then Windows writes a hive (booted from the
// drive): the next open keeps what Windows wrote and drops the rest of the save.
TEST(WindowsHives, AnInterruptedSaveIsNotFinishedOverANewerHive) {
    for (bool otherWrote : {false, true}) {
        SCOPED_TRACE(otherWrote ? "Windows wrote SOFTWARE meanwhile" : "nobody wrote meanwhile");
        Drive d;
        const pid_t pid = fork();
        if (pid == 0) {
            auto m = Machine::openWindows(d.root, "alice");
            set(*m, HKEY_LOCAL_MACHINE, "Software\\Q", "N", REG_DWORD, hb::dword(1));
            set(*m, HKEY_CURRENT_USER, "Software\\Q", "N", REG_DWORD, hb::dword(1));
            m->setBeforeRenameHook([](const fs::path&) { _exit(0); });
            m->commit();
            _exit(1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        if (otherWrote) {
            // As Windows would: the hive rewritten with a key of its own added.
            hive_h* h = hivex_open(d.software.c_str(), HIVEX_OPEN_WRITE);
            ASSERT_NE(h, nullptr);
            ASSERT_NE(hivex_node_add_child(h, hivex_root(h), "Booted"), 0u);
            ASSERT_EQ(hivex_commit(h, nullptr, 0), 0);
            hivex_close(h);
        }
        auto m = Machine::openWindows(d.root, "alice");
        HKey booted = nullptr;
        EXPECT_EQ(m->openKey(HKEY_LOCAL_MACHINE, "Software\\Booted", &booted) == ERROR_SUCCESS, otherWrote);
        EXPECT_EQ(query(*m, HKEY_LOCAL_MACHINE, "Software\\Q", "N").has_value(), !otherWrote);
        EXPECT_EQ(query(*m, HKEY_CURRENT_USER, "Software\\Q", "N").has_value(), !otherWrote);
        ASSERT_EQ(m->warnings().size(), 1u);
        EXPECT_NE(m->warnings()[0].find(otherWrote ? "was discarded" : "was completed"), std::string::npos)
            << m->warnings()[0];
        for (const auto& e : fs::recursive_directory_iterator(d.root))
            EXPECT_EQ(e.path().filename().string().find("quorvel"), std::string::npos) << e.path();
    }
}

// quorvel-reg answers on a Windows installation as on any other machine.
TEST(WindowsHives, RegToolWorksOnTheHivesAsOnAMachineFolder) {
    Drive d;
    qvtest::TempDir own;
    const fs::path reg = own.path() / "in.reg";
    qvtest::writeFile(reg, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Cmp\\Imported]\r\n\"Text\"=\"from a file\"\r\n"
                           "\"Bin\"=hex:01,02,03\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\Cmp\\Gone]\r\n");
    const std::vector<std::vector<std::string>> steps = {
        {"add", "HKLM\\Software\\Cmp\\Gone", "/f"},
        {"add", "HKLM\\Software\\Cmp", "/v", "Dw", "/t", "REG_DWORD", "/d", "5", "/f"},
        {"add", "HKCU\\Software\\Cmp", "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a\\0b", "/f"},
        {"import", reg.string()},
        {"delete", "HKCU\\Software\\Cmp", "/v", "Multi", "/f"},
        {"query", "HKLM\\Software\\Cmp", "/s"},
        {"query", "HKCU\\Software\\Cmp", "/s"},
        {"export", "HKCU\\Software\\Cmp", (own.path() / "out.reg").string(), "/y"},
    };
    std::vector<std::string> outputs[2];
    for (int kind = 0; kind < 2; ++kind) {
        for (const auto& step : steps) {
            std::vector<std::string> args = kind == 0 ? std::vector<std::string>{"--windows", d.root.string(), "--windows-user", "alice"}
                                                      : std::vector<std::string>{"--machine", (own.path() / "m").string()};
            args.insert(args.end(), step.begin(), step.end());
            std::ostringstream out, err;
            EXPECT_EQ(cli::runRegTool(args, out, err), 0) << step[0] << ": " << err.str();
            std::string text = out.str();
            if (step[0] == "export") text = qvtest::readFile(own.path() / "out.reg");
            outputs[kind].push_back(text);
        }
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(hivexValue(d.software, "Cmp", "Dw")->data, hb::dword(5));
    EXPECT_FALSE(hivexHasKey(d.software, "Cmp\\Gone"));
    EXPECT_EQ(hivexValue(d.aliceNt, "Software\\Cmp\\Imported", "Bin")->data, std::string("\1\2\3"));
    EXPECT_FALSE(hivexValue(d.aliceNt, "Software\\Cmp", "Multi"));

    std::ostringstream out, err;
    EXPECT_EQ(cli::runRegTool({"--windows", d.root.string(), "query", "HKCU\\Software"}, out, err), 1);
    EXPECT_NE(err.str().find("several users"), std::string::npos) << err.str();
    EXPECT_EQ(cli::runRegTool({"--windows-user", "bob", "query", "HKCU\\Software"}, out, err), 1);
    EXPECT_NE(err.str().find("goes with --windows"), std::string::npos) << err.str();
}

// The 64-bit view is the hives as they are; the 32-bit one is refused, not quietly ignored.
TEST(WindowsHives, RegToolRefusesTheThirtyTwoBitView) {
    Drive d;
    const std::vector<std::string> base = {"--windows", d.root.string(), "--windows-user", "alice"};
    auto run = [&](std::vector<std::string> args, std::string* err) {
        args.insert(args.begin(), base.begin(), base.end());
        std::ostringstream out, e;
        const int rc = cli::runRegTool(args, out, e);
        *err = e.str();
        return rc;
    };
    std::string err;
    EXPECT_EQ(run({"query", "HKLM\\Software\\Odd", "/reg:64"}, &err), 0) << err;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"query", "HKLM\\Software\\Odd", "/reg:32"},
             {"add", "HKLM\\Software\\Odd", "/v", "x", "/d", "1", "/f", "/reg:32"},
             {"export", "HKLM\\Software\\Odd", (d.tmp.path() / "x.reg").string(), "/reg:32"}}) {
        EXPECT_EQ(run(args, &err), 1) << args[0];
        EXPECT_NE(err.find("/reg:32"), std::string::npos) << err;
    }
    EXPECT_FALSE(hivexValue(d.software, "Odd", "x"));
    EXPECT_FALSE(fs::exists(d.tmp.path() / "x.reg"));
}

// The chosen user's branch of HKEY_USERS is their NTUSER.DAT; another user's is refused.
TEST(WindowsHives, RegToolImportsTheUsersBranchIntoTheirHive) {
    Drive d;
    const fs::path reg = d.tmp.path() / "users.reg";
    auto import = [&](const std::string& text, std::string* err) {
        qvtest::writeFile(reg, text);
        std::ostringstream out, e;
        const int rc = cli::runRegTool({"--windows", d.root.string(), "--windows-user", "alice", "import", reg.string()}, out, e);
        *err = e.str();
        return rc;
    };
    std::string err;
    EXPECT_EQ(import("REGEDIT4\n[HKEY_USERS\\" + kSid1 + "\\Software\\FromHku]\n\"v\"=\"1\"\n", &err), 0) << err;
    const auto v = hivexValue(d.aliceNt, "Software\\FromHku", "v");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->data, hb::sz("1"));
    EXPECT_EQ(import("REGEDIT4\n[HKEY_USERS\\" + kSid2 + "\\Software\\FromHku]\n\"w\"=\"1\"\n", &err), 1);
    EXPECT_NE(err.find("its user is HKEY_USERS\\" + kSid1), std::string::npos) << err;
    EXPECT_FALSE(hivexValue(d.bobNt, "Software\\FromHku", "w"));
}

TEST(WindowsHives, DiscardAndRefreshFollowTheFiles) {
    Drive d;
    auto m = Machine::openWindows(d.root, "alice");
    ASSERT_EQ(set(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay", REG_SZ, hb::sz("1")), 0);
    m->discardChanges();
    EXPECT_FALSE(m->hasChanges());
    EXPECT_EQ(query(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay")->data, hb::sz("400"));

    // Another program saves SOFTWARE: a refresh reads it and keeps the pending change.
    ASSERT_EQ(set(*m, HKEY_LOCAL_MACHINE, "Software\\Mine", "Pending", REG_DWORD, hb::dword(9)), 0);
    auto other = Machine::openWindows(d.root, "alice");
    ASSERT_EQ(set(*other, HKEY_LOCAL_MACHINE, "Software\\Elsewhere", "V", REG_DWORD, hb::dword(4)), 0);
    other->commit();
    const std::string before = qvtest::readFile(d.software);
    EXPECT_THROW(m->commit(), MachineError);  // SOFTWARE is not what it read
    EXPECT_EQ(qvtest::readFile(d.software), before);
    m->refresh();
    EXPECT_EQ(query(*m, HKEY_LOCAL_MACHINE, "Software\\Elsewhere", "V")->data, hb::dword(4));
    m->commit();
    EXPECT_EQ(hivexValue(d.software, "Mine", "Pending")->data, hb::dword(9));
    EXPECT_EQ(hivexValue(d.software, "Elsewhere", "V")->data, hb::dword(4));
}
