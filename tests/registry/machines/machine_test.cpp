// Machines: seeding, drive letters, commits (durable, only changed files, through links, with the
// mode kept, replayed onto a file someone else changed) and the running-wineserver guard.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "registry/test_files.h"
#include "registry/machines/discovery.h"
#include "registry/machines/machine.h"
#include "registry/text.h"

using namespace qv::reg;
namespace fs = std::filesystem;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

std::string sz(std::u16string_view s) { return utf16ToBytes(s) + std::string(2, '\0'); }

void set(Machine& m, int32_t root, const std::string& path, const std::string& name, uint32_t type,
         const std::string& data) {
    HKey k;
    ASSERT_EQ(m.createKey(root, path, &k), 0);
    ASSERT_EQ(m.setValue(k, name, type, data), 0);
    m.closeKey(k);
}

std::optional<std::string> get(Machine& m, int32_t root, const std::string& path, const std::string& name) {
    HKey k;
    if (m.openKey(root, path, &k) != 0) return std::nullopt;
    std::string data;
    int32_t st = m.queryValue(k, name, nullptr, &data);
    m.closeKey(k);
    if (st != 0) return std::nullopt;
    return data;
}

const char* const kPrefixSystem =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n"
    "\n[Software\\\\Classes\\\\.txt] 1796630155\n#time=1dd8620637331ae\n@=\"txtfile\"\n";
const char* const kPrefixUser =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n"
    "\n[Control Panel\\\\Desktop] 1796630155\n#time=1dd8620637331ae\n\"MenuShowDelay\"=\"400\"\n";

fs::path makePrefix(const fs::path& dir) {
    fs::create_directories(dir / "dosdevices");
    fs::create_directories(dir / "drive_c" / "windows" / "system32");
    writeFile(dir / "system.reg", kPrefixSystem);
    writeFile(dir / "user.reg", kPrefixUser);
    fs::create_directory_symlink("../drive_c", dir / "dosdevices" / "c:");
    fs::create_directory_symlink("/", dir / "dosdevices" / "z:");
    return dir;
}

}  // namespace

TEST(Machine, NewOwnMachineIsSeededAndMapsItsDrives) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "new" / "machine";
    {
        auto m = Machine::openOwn(dir);
        EXPECT_EQ(m->kind(), Machine::Kind::Own);
        EXPECT_TRUE(m->warnings().empty());
        EXPECT_TRUE(fs::is_directory(dir / "drive_c" / "WINDOWS" / "SYSTEM"));
        EXPECT_EQ(m->windowsDirectory(), "C:\\WINDOWS");
        EXPECT_EQ(m->systemDirectory(), "C:\\WINDOWS\\SYSTEM");
        // The seed holds classes with their 'New' menu entries.
        HKey k;
        EXPECT_EQ(m->openKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew", &k), 0);
        EXPECT_EQ(m->openKey(HKEY_CURRENT_USER, "Control Panel\\Desktop", &k), 0);
        EXPECT_FALSE(m->hasChanges());
        EXPECT_EQ(*m->hostPath("c:\\windows\\ShellIconCache"), dir / "drive_c" / "WINDOWS" / "ShellIconCache");
        EXPECT_EQ(*m->hostPath("Z:\\etc\\hostname"), fs::path("/etc/hostname"));
        EXPECT_EQ(*m->windowsPath(dir / "drive_c" / "WINDOWS" / "SYSTEM"), "C:\\WINDOWS\\SYSTEM");
        EXPECT_EQ(*m->windowsPath("/usr/bin"), "Z:\\usr\\bin");
        EXPECT_FALSE(m->hostPath("\\\\server\\share"));
        EXPECT_EQ(*m->environmentVariable("WINDIR"), "C:\\WINDOWS");
        // HKEY_CLASSES_ROOT names a key of the machine branch, but it is a root all the same.
        EXPECT_EQ(m->deleteKey(HKEY_CLASSES_ROOT, "\\"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(m->openKey(HKEY_LOCAL_MACHINE, "Software\\Classes", &k), 0);
    }
    // A second start opens what the first left.
    const std::string before = readFile(dir / "system.reg");
    auto again = Machine::openOwn(dir);
    EXPECT_EQ(readFile(dir / "system.reg"), before);
}

TEST(Machine, RefusesFoldersThatAreNotMachinesAndFilesWineWouldRefuse) {
    TempDir tmp;
    writeFile(tmp.path() / "notes.txt", "x");
    EXPECT_THROW(Machine::openOwn(tmp.path()), MachineError);
    EXPECT_THROW(Machine::openWinePrefix(tmp.path() / "missing"), MachineError);

    const fs::path dir = makePrefix(tmp.path() / "prefix");
    writeFile(dir / "user.reg", "REGEDIT4\n");
    try {
        Machine::openWinePrefix(dir);
        FAIL() << "opened a file Wine would refuse";
    } catch (const MachineError& e) {
        EXPECT_NE(std::string(e.what()).find("user.reg"), std::string::npos) << e.what();
    }
    EXPECT_EQ(readFile(dir / "user.reg"), "REGEDIT4\n");
}

TEST(Machine, CommitWritesOnlyChangedFilesAndNothingWithoutAChange) {
    TempDir tmp;
    const fs::path dir = makePrefix(tmp.path() / "p");
    struct stat userBefore, systemBefore;
    ::stat((dir / "user.reg").c_str(), &userBefore);
    ::stat((dir / "system.reg").c_str(), &systemBefore);
    auto m = Machine::openWinePrefix(dir);
    EXPECT_EQ(m->windowsDirectory(), "C:\\windows");
    EXPECT_EQ(*m->hostPath("C:\\WINDOWS\\SYSTEM32"), dir / "drive_c" / "windows" / "system32");

    // Writing what is there already changes nothing, so nothing is written.
    set(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay", REG_SZ, sz(u"400"));
    EXPECT_FALSE(m->hasChanges());
    m->commit();

    set(*m, HKEY_CLASSES_ROOT, ".txt", "", REG_SZ, sz(u"textfile"));
    EXPECT_TRUE(m->hasChanges());
    m->commit();
    EXPECT_FALSE(m->hasChanges());
    struct stat userAfter, systemAfter;
    ::stat((dir / "user.reg").c_str(), &userAfter);
    ::stat((dir / "system.reg").c_str(), &systemAfter);
    EXPECT_EQ(userAfter.st_ino, userBefore.st_ino);
    EXPECT_EQ(userAfter.st_mtim.tv_nsec, userBefore.st_mtim.tv_nsec);
    EXPECT_NE(systemAfter.st_ino, systemBefore.st_ino);  // replaced by rename, never rewritten in place
    EXPECT_NE(readFile(dir / "system.reg").find("@=\"textfile\""), std::string::npos);
    // HKEY_CLASSES_ROOT is HKLM\Software\Classes.
    EXPECT_EQ(get(*m, HKEY_LOCAL_MACHINE, "Software\\Classes\\.txt", ""), sz(u"textfile"));
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().find(".quorvel-tmp-"), std::string::npos);

    auto reread = Machine::openWinePrefix(dir);
    EXPECT_EQ(get(*reread, HKEY_CLASSES_ROOT, ".txt", ""), sz(u"textfile"));
}

TEST(Machine, CommitWritesThroughLinksAndKeepsTheMode) {
    TempDir tmp;
    const fs::path dir = makePrefix(tmp.path() / "p");
    fs::create_directories(tmp.path() / "elsewhere");
    fs::rename(dir / "system.reg", tmp.path() / "elsewhere" / "system.reg");
    fs::create_symlink(tmp.path() / "elsewhere" / "system.reg", dir / "system.reg");
    ::chmod((tmp.path() / "elsewhere" / "system.reg").c_str(), 0600);

    auto m = Machine::openWinePrefix(dir);
    set(*m, HKEY_LOCAL_MACHINE, "Software\\X", "v", REG_DWORD, std::string("\1\0\0\0", 4));
    m->commit();
    EXPECT_TRUE(fs::is_symlink(dir / "system.reg"));
    EXPECT_NE(readFile(tmp.path() / "elsewhere" / "system.reg").find("\"v\"=dword:00000001"), std::string::npos);
    struct stat st;
    ::stat((tmp.path() / "elsewhere" / "system.reg").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(Machine, ACommitOntoAFileChangedMeanwhileKeepsBothChanges) {
    TempDir tmp;
    const fs::path dir = makePrefix(tmp.path() / "p");
    auto m = Machine::openWinePrefix(dir);
    set(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay", REG_SZ, sz(u"100"));

    // Another program saves the file in between.
    auto other = Machine::openWinePrefix(dir);
    set(*other, HKEY_CURRENT_USER, "Software\\Other", "x", REG_SZ, sz(u"theirs"));
    other->commit();

    m->commit();
    auto check = Machine::openWinePrefix(dir);
    EXPECT_EQ(get(*check, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay"), sz(u"100"));
    EXPECT_EQ(get(*check, HKEY_CURRENT_USER, "Software\\Other", "x"), sz(u"theirs"));

    // A reload sees the outside change and keeps what is still pending.
    set(*m, HKEY_CURRENT_USER, "Software\\Mine", "y", REG_SZ, sz(u"pending"));
    set(*other, HKEY_CURRENT_USER, "Software\\Other", "x", REG_SZ, sz(u"again"));
    other->commit();
    m->refresh();
    EXPECT_EQ(get(*m, HKEY_CURRENT_USER, "Software\\Other", "x"), sz(u"again"));
    EXPECT_EQ(get(*m, HKEY_CURRENT_USER, "Software\\Mine", "y"), sz(u"pending"));
    EXPECT_TRUE(m->hasChanges());
}

TEST(Machine, AFailedCommitLeavesTheFileAndKeepsTheChangesForTheNextTry) {
    TempDir tmp;
    const fs::path dir = makePrefix(tmp.path() / "p");
    auto m = Machine::openWinePrefix(dir);
    set(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay", REG_SZ, sz(u"1"));
    m->setBeforeRenameHook([](const fs::path&) { throw MachineError("disk full"); });
    EXPECT_THROW(m->commit(), MachineError);
    EXPECT_EQ(readFile(dir / "user.reg"), kPrefixUser);
    EXPECT_TRUE(m->hasChanges());
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().find(".quorvel-tmp-"), std::string::npos);
    m->setBeforeRenameHook({});
    m->commit();
    EXPECT_NE(readFile(dir / "user.reg").find("\"MenuShowDelay\"=\"1\""), std::string::npos);

    // Changes can also be dropped: the registry is then what the files hold.
    set(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay", REG_SZ, sz(u"2"));
    m->discardChanges();
    EXPECT_FALSE(m->hasChanges());
    EXPECT_EQ(get(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay"), sz(u"1"));
}

TEST(Machine, RefusesToWriteWhileTheWineserverOfThePrefixRuns) {
    TempDir tmp;
    const fs::path dir = makePrefix(tmp.path() / "p");
    qvtest::FakeWineserver server(dir, "qv-test-" + std::to_string(::getpid()));
    ASSERT_GT(server.pid(), 0);
    const pid_t child = server.pid();

    auto m = Machine::openWinePrefix(dir);
    set(*m, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay", REG_SZ, sz(u"1"));
    try {
        m->commit();
        ADD_FAILURE() << "wrote while the server runs";
    } catch (const MachineError& e) {
        const std::string msg = e.what();
        EXPECT_NE(msg.find(dir.string()), std::string::npos) << msg;
        EXPECT_NE(msg.find("wineserver -k"), std::string::npos) << msg;
        EXPECT_NE(msg.find(std::to_string(child)), std::string::npos) << msg;
    }
    EXPECT_EQ(readFile(dir / "user.reg"), kPrefixUser);

    server.stop();
    m->commit();
    EXPECT_NE(readFile(dir / "user.reg").find("\"MenuShowDelay\"=\"1\""), std::string::npos);
}

// The prefix's "wineserver" file names a folder below /tmp; anyone who can write in the prefix
// can write that name, so only a folder of the caller or the prefix's owner, not a link, is
// looked into.
TEST(Machine, TakesTheServerFolderAPrefixNamesOnlyWhenItIsOursAndNoLink) {
    enum class Named { Folder, LinkToIt, OtherUsersFolder, OwnersFolder };
    const struct {
        const char* name;
        Named named;
        bool found;
    } cases[] = {
        {"our folder", Named::Folder, true},
        {"a link to our folder", Named::LinkToIt, false},
        {"another user's folder", Named::OtherUsersFolder, false},
        {"the folder of the prefix's owner", Named::OwnersFolder, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.named >= Named::OtherUsersFolder && ::geteuid() != 0) continue;  // chown needs root
        TempDir tmp;
        const fs::path dir = makePrefix(tmp.path() / "p");
        const std::string name = "qv-named-" + std::to_string(::getpid());
        qvtest::FakeWineserver server(dir, name);
        ASSERT_GT(server.pid(), 0);
        const fs::path link = fs::path("/tmp") / (name + "-link");
        fs::remove(link);
        if (c.named == Named::LinkToIt) {
            fs::create_directory_symlink(server.root(), link);
            writeFile(dir / "wineserver", link.filename().string());
        }
        if (c.named >= Named::OtherUsersFolder) {
            ASSERT_EQ(::chown(server.root().c_str(), 65534, 65534), 0);
        }
        if (c.named == Named::OwnersFolder) {
            ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        }

        const std::optional<RunningWineserver> found = runningWineserver(dir);
        EXPECT_EQ(found.has_value(), c.found);
        EXPECT_EQ(Machine::openWinePrefix(dir)->wineserverRunning().has_value(), c.found);
        if (found && c.found) {
            EXPECT_EQ(found->folder, server.folder());
            EXPECT_EQ(found->pid, server.pid());
        }
        fs::remove(link);
    }
}

TEST(Machine, CopyKeyMergesTheWholeSubtreeExactly) {
    TempDir tmp;
    auto m = Machine::openOwn(tmp.path() / "m");
    const std::string exp = sz(u"%windir%\\x");
    const std::string multi = sz(std::u16string(u"a\0b\0", 4));
    set(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew", "FileName", REG_EXPAND_SZ, exp);
    set(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew", "M", REG_MULTI_SZ, multi);
    set(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew\\Extra\\Deeper", "b", REG_BINARY, std::string("\0\xff", 2));
    HKey k;
    ASSERT_EQ(m->createKey(HKEY_CLASSES_ROOT, ".x\\ShellNew\\Empty", &k), 0);
    set(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew-", "FileName", REG_SZ, sz(u"old"));
    set(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew-", "Keep", REG_SZ, sz(u"mine"));

    ASSERT_EQ(m->copyKey(HKEY_CLASSES_ROOT, ".x\\ShellNew", HKEY_CLASSES_ROOT, ".x\\ShellNew-"), 0);
    uint32_t type = 0;
    std::string data;
    ASSERT_EQ(m->openKey(HKEY_CLASSES_ROOT, ".x\\ShellNew-", &k), 0);
    ASSERT_EQ(m->queryValue(k, "FileName", &type, &data), 0);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(data, exp);
    EXPECT_EQ(get(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew-", "M"), multi);
    EXPECT_EQ(get(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew-", "Keep"), sz(u"mine"));
    EXPECT_EQ(get(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Extra\\Deeper", "b"), std::string("\0\xff", 2));
    EXPECT_EQ(m->openKey(HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Empty", &k), 0);
    EXPECT_TRUE(get(*m, HKEY_CLASSES_ROOT, ".x\\ShellNew", "M"));  // the source stays

    // Into its own subtree: takes the source as it was before the copy began.
    ASSERT_EQ(m->copyKey(HKEY_CLASSES_ROOT, ".x\\ShellNew", HKEY_CLASSES_ROOT, ".x\\ShellNew\\Extra\\Copy"), 0);
    EXPECT_EQ(m->openKey(HKEY_CLASSES_ROOT, ".x\\ShellNew\\Extra\\Copy\\Extra\\Deeper", &k), 0);
    EXPECT_NE(m->openKey(HKEY_CLASSES_ROOT, ".x\\ShellNew\\Extra\\Copy\\Extra\\Copy", &k), 0);
    EXPECT_EQ(m->copyKey(HKEY_CLASSES_ROOT, ".missing", HKEY_CLASSES_ROOT, ".y"), ERROR_FILE_NOT_FOUND);
}
