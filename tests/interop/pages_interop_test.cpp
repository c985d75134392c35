// The option pages against real Wine: what quorvel's pages write in scripting mode, Windows programs
// (`wine reg`) read back with exactly the promised types and bytes; what Windows programs write, the
// pages show after a reload; an Apply leaves every key no page writes byte for byte as Wine wrote
// it; a running wineserver stops an Apply with a message that says how to stop it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "registry/machines/machine.h"
#include "wine_support.h"

// Without the GUI program there is nothing to run.
#ifdef QV_QUORVEL

using namespace qv::interop;

namespace {

constexpr uint32_t kSz = 1, kExpandSz = 2, kBinary = 3, kDword = 4;

// Registry string bytes of an ASCII text: UTF-16LE with its terminator.
std::string sz(const std::string& ascii) {
    std::string r;
    for (char c : ascii) r += c, r += '\0';
    return r + std::string(2, '\0');
}
std::string bytes(std::initializer_list<int> bs) {
    std::string r;
    for (int b : bs) r += static_cast<char>(b);
    return r;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t i = hay.find(needle); i != std::string::npos; i = hay.find(needle, i + 1)) ++n;
    return n;
}

Proc quorvel(const fs::path& prefix, std::vector<std::string> args) {
    args.insert(args.begin(), {QV_QUORVEL, "--wine-prefix", prefix.string()});
    return runProcess(args, {"QT_QPA_PLATFORM=offscreen"}, 120);
}

// NAME=VALUE lines of --list, as --set takes them back.
std::map<std::string, std::string> listing(const std::string& out) {
    std::map<std::string, std::string> m;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find("=");
        if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

// Exported keys by lower-cased full name, so that HKCR paths match whatever case Wine keeps.
using Exported = std::map<std::string, std::map<std::string, ExportedValue>>;

void expectValue(const Exported& e, const std::string& key, const std::string& name, uint32_t type,
                 const std::string& data) {
    const auto k = e.find(lower(key));
    ASSERT_NE(k, e.end()) << "Wine sees no key " << key;
    const auto v = k->second.find(name);
    ASSERT_NE(v, k->second.end()) << "Wine sees no value '" << name << "' in " << key;
    EXPECT_EQ(v->second.type, type) << key << " '" << name << "'";
    EXPECT_EQ(v->second.data, data) << key << " '" << name << "'";
}
class PagesInterop : public WineTest {
protected:
    // Stops the prefix's wineserver and makes sure quorvel would find none.
    void stopped(const fs::path& p) {
        w.stop(p);
        ASSERT_FALSE(qv::reg::Machine::openWinePrefix(p)->wineserverRunning().has_value());
    }
};

const std::string kCR = "HKEY_CLASSES_ROOT\\";
const std::string kCU = "HKEY_CURRENT_USER\\";
const std::string kLM = "HKEY_LOCAL_MACHINE\\";
const std::string kCV = "Software\\Microsoft\\Windows\\CurrentVersion";
const std::string kNTCV = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const std::string kPolicies = kCV + "\\Policies\\Explorer";
const std::string kShellIcons = kCV + "\\explorer\\Shell Icons";

TEST_F(PagesInterop, EveryPageWritesWhatWindowsReadsAndShowsWhatWindowsWrote) {
    const fs::path p = w.copy("pages");
    // A bitmap class with an icon and a 'New' menu type, which a fresh prefix lacks.
    const Proc seed = runBatch(p, "seed", {
        {"reg", "add", "HKCR\\.bmp", "/ve", "/d", "Paint.Picture", "/f"},
        {"reg", "add", "HKCR\\Paint.Picture\\DefaultIcon", "/ve", "/d", "C:\\qv\\paint.exe,1", "/f"},
        {"reg", "add", "HKCR\\.qvtxt", "/ve", "/d", "qvtxtfile", "/f"},
        {"reg", "add", "HKCR\\qvtxtfile", "/ve", "/d", "QV Text Document", "/f"},
        {"reg", "add", "HKCR\\.qvtxt\\ShellNew", "/v", "NullFile", "/d", "", "/f"},
        {"reg", "add", "HKCR\\.qvtxt\\ShellNew\\Extra", "/v", "Kind", "/t", "REG_DWORD", "/d", "7", "/f"},
    });
    ASSERT_EQ(count(seed.out, "completed successfully"), 6u) << seed.out << seed.err;
    stopped(p);

    const Proc set = quorvel(p, {
        "--set", "optExploreFromHere(0)=1",
        "--set", "optMSDOSPromptOnDirs(0)=1", "--set", "chkCustomCommandInterpreter=1",
        "--set", "txtCustomCommandInterpreter=c:\\tools\\altshell.com",
        "--set", "optShowOnAllFiles(0)=1", "--set", "txtAddToAllFilesTitle=Open in QV",
        "--set", "txtAddToAllFilesCommand=%SystemRoot%\\notepad.exe %1",
        "--set", "txtIconPath=C:\\qv\\icons.dll", "--set", "txtIconIdx=7",
        "--set", "optShortcutIcon(2)=1", "--set", "txtShortcutIconPath=C:\\qv\\arrow.ico",
        "--set", "txtShortcutIconIdx=007",
        "--set", "chkShowShortcutToOnNewShortcuts=0",
        "--set", "chkBitmapsinExplorer=1",
        "--set", "chkExploreAsDefault=1",
        "--set", "lstDrives=D:,Z:",
        "--set", "lvNewMenu[.qvtxt\\ShellNew]=0",
        "--set", "txtUnassociatedFilesCaption=Open &with QV",
        "--set", "txtUnassociatedFilesCommand=rundll32.exe shell32.dll,OpenAs_RunDLL %1",
        "--set", "chkAutoplayAudio=1",
        "--set", "chkAutoPlay(0)=0", "--set", "chkAutoPlay(2)=0", "--set", "chkAutoPlay(4)=0",
        "--set", "chkClickHeretoBegin=0",
        "--set", "chkAnimateWindows=1",
        "--set", "sldMenuShowDelay=250",
        "--set", "chkDisableTilde=1",
        "--set", "txtRegisteredName=Ada Lovelace", "--set", "txtRegisteredCompany=50% and 10% off",
        "--set", "txtCabFilePath=D:\\cabs",
        "--set", "sldWaitToKill=15000", "--set", "sldHungApp=4000",
        "--apply"});
    ASSERT_EQ(set.status, 0) << set.out << set.err;

    // What Windows programs see: one export per area and one listing of the policies.
    const std::vector<std::string> exportKeys = {
        "HKCR\\Folder\\shell", "HKCR\\Directory\\shell\\MS-DOS Prompt", "HKCR\\*\\shell\\quorvel",
        "HKCR\\Paint.Picture\\DefaultIcon", "HKCR\\.qvtxt", "HKLM\\" + kCV,
        "HKLM\\SOFTWARE\\Classes\\Unknown\\shell\\openas", "HKLM\\Software\\Classes\\AudioCD\\shell",
        "HKCU\\" + kCV, "HKCU\\Control Panel\\Desktop",
        "HKLM\\System\\CurrentControlSet\\Control\\FileSystem"};
    std::vector<std::vector<std::string>> cmds;
    for (size_t i = 0; i < exportKeys.size(); ++i)
        cmds.push_back({"reg", "export", exportKeys[i], winPath(p / ("e" + std::to_string(i) + ".reg")), "/y"});
    cmds.push_back({"reg", "query", "HKCU\\" + kPolicies});
    cmds.push_back({"reg", "query", "HKCR\\Directory\\shell\\MS-DOS Prompt\\command", "/ve"});
    const Proc look = runBatch(p, "look", cmds);
    stopped(p);
    Exported e;
    for (size_t i = 0; i < exportKeys.size(); ++i) {
        const std::string file = readFile(p / ("e" + std::to_string(i) + ".reg"));
        ASSERT_FALSE(file.empty()) << "wine reg export " << exportKeys[i] << ": " << look.out;
        for (auto& [k, vs] : parseExport(file)) e[lower(k)] = vs;
    }
    const std::string q = withoutCr(look.out);
    EXPECT_NE(q.find("    NoDrives    REG_BINARY    08000002\n"), std::string::npos) << q;
    EXPECT_NE(q.find("    NoDriveTypeAutoRun    REG_BINARY    95\n"), std::string::npos) << q;
    EXPECT_NE(q.find("    NoStartBanner    REG_DWORD    0x1\n"), std::string::npos) << q;
    EXPECT_NE(q.find("    (Default)    REG_SZ    c:\\tools\\altshell.com /k cd %1\n"), std::string::npos) << q;

    // Context-menu commands.
    expectValue(e, kCR + "Folder\\shell\\rootexplore", "", kSz, sz("Explore From Here"));
    expectValue(e, kCR + "Folder\\shell\\rootexplore\\command", "", kSz, sz("explorer.exe /e,/root,/idlist,%I"));
    expectValue(e, kCR + "Directory\\shell\\MS-DOS Prompt", "", kSz, sz("MS-DOS Prompt"));
    expectValue(e, kCR + "Directory\\shell\\MS-DOS Prompt\\command", "", kSz, sz("c:\\tools\\altshell.com /k cd %1"));
    expectValue(e, kCR + "*\\shell\\quorvel", "", kSz, sz("Open in QV"));
    expectValue(e, kCR + "*\\shell\\quorvel\\command", "", kExpandSz, sz("%SystemRoot%\\notepad.exe %1"));
    // Explore as default and non-associated files.
    expectValue(e, kCR + "Folder\\shell", "", kSz, sz("explore"));
    expectValue(e, kLM + "SOFTWARE\\Classes\\Unknown\\shell\\openas", "", kSz, sz("Open &with QV"));
    expectValue(e, kLM + "SOFTWARE\\Classes\\Unknown\\shell\\openas\\command", "", kSz,
                sz("rundll32.exe shell32.dll,OpenAs_RunDLL %1"));
    // Hidden drives, autoplay media types, Click Here to Begin, shortcut prefix.
    expectValue(e, kCU + kPolicies, "NoDrives", kBinary, bytes({0x08, 0, 0, 0x02}));
    expectValue(e, kCU + kPolicies, "NoDriveTypeAutoRun", kBinary, bytes({0x95}));
    expectValue(e, kCU + kPolicies, "NoStartBanner", kDword, bytes({1, 0, 0, 0}));
    expectValue(e, kCU + kCV + "\\Explorer", "link", kBinary, bytes({0, 0, 0, 0}));
    // Show bitmaps as icons keeps the icon it replaced.
    expectValue(e, kCR + "Paint.Picture\\DefaultIcon", "", kSz, sz("%1"));
    expectValue(e, kCR + "Paint.Picture\\DefaultIcon", "qvbackup", kSz, sz("C:\\qv\\paint.exe,1"));
    // The 'New' menu entry switched off: renamed with its values and its subkey.
    EXPECT_EQ(e.count(lower(kCR + ".qvtxt\\ShellNew")), 0u);
    expectValue(e, kCR + ".qvtxt\\ShellNew-", "NullFile", kSz, sz(""));
    expectValue(e, kCR + ".qvtxt\\ShellNew-\\Extra", "Kind", kDword, bytes({7, 0, 0, 0}));
    // Overlay icons.
    expectValue(e, kLM + kShellIcons, "28", kSz, sz("C:\\qv\\icons.dll,7"));
    expectValue(e, kLM + kShellIcons, "29", kSz, sz("C:\\qv\\arrow.ico,007"));
    // Audio CD autoplay, window animation, menu speed, task manager.
    expectValue(e, kLM + "Software\\Classes\\AudioCD\\shell", "", kSz, sz("play"));
    expectValue(e, kCU + "Control Panel\\Desktop\\WindowMetrics", "MinAnimate", kSz, sz("1"));
    expectValue(e, kCU + "Control Panel\\Desktop", "MenuShowDelay", kSz, sz("250"));
    expectValue(e, kCU + "Control Panel\\Desktop", "WaitToKillAppTimeout", kSz, sz("15000"));
    expectValue(e, kCU + "Control Panel\\Desktop", "HungAppTimeout", kSz, sz("4000"));
    // Disable tilde, registration, setup path.
    expectValue(e, kLM + "System\\CurrentControlSet\\Control\\FileSystem", "NameNumericTail", kBinary, bytes({0}));
    expectValue(e, kLM + kCV, "RegisteredOwner", kSz, sz("Ada Lovelace"));
    expectValue(e, kLM + kCV, "RegisteredOrganization", kExpandSz, sz("50% and 10% off"));
    expectValue(e, kLM + kCV + "\\Setup", "SourcePath", kSz, sz("D:\\cabs"));

    // Windows programs change everything; a fresh start shows it.
    const Proc change = runBatch(p, "change", {
        {"reg", "delete", "HKCR\\Folder\\shell\\rootexplore", "/f"},
        {"reg", "add", "HKCR\\Directory\\shell\\MS-DOS Prompt\\command", "/ve", "/d", "command.com /k cd %1", "/f"},
        {"reg", "add", "HKCR\\*\\shell\\quorvel", "/ve", "/d", "Edit with QV", "/f"},
        {"reg", "add", "HKCR\\*\\shell\\quorvel\\command", "/ve", "/d", "C:\\qv\\edit.exe %1", "/f"},
        {"reg", "add", "HKLM\\" + kShellIcons, "/v", "28", "/d", "C:\\qv\\share.dll,3", "/f"},
        {"reg", "add", "HKLM\\" + kShellIcons, "/v", "29", "/d", "", "/f"},
        {"reg", "delete", "HKCU\\" + kCV + "\\Explorer", "/v", "link", "/f"},
        {"reg", "add", "HKCU\\" + kPolicies, "/v", "NoSaveSettings", "/t", "REG_DWORD", "/d", "1", "/f"},
        {"reg", "add", "HKCR\\Paint.Picture\\DefaultIcon", "/ve", "/d", "C:\\qv\\other.exe,2", "/f"},
        {"reg", "add", "HKCR\\Folder\\shell", "/ve", "/d", "open", "/f"},
        {"reg", "add", "HKCU\\" + kPolicies, "/v", "NoDrives", "/t", "REG_BINARY", "/d", "05000000", "/f"},
        {"reg", "delete", "HKCR\\.qvtxt\\ShellNew-", "/f"},
        {"reg", "add", "HKCR\\.qvtxt\\ShellNew", "/v", "NullFile", "/d", "", "/f"},
        {"reg", "add", "HKLM\\SOFTWARE\\Classes\\Unknown\\shell\\openas", "/ve", "/d", "", "/f"},
        {"reg", "add", "HKLM\\SOFTWARE\\Classes\\Unknown\\shell\\openas\\command", "/ve", "/d", "notepad.exe %1", "/f"},
        {"reg", "add", "HKLM\\Software\\Classes\\AudioCD\\shell", "/ve", "/d", "", "/f"},
        {"reg", "add", "HKCU\\" + kPolicies, "/v", "NoDriveTypeAutoRun", "/t", "REG_BINARY", "/d", "2A", "/f"},
        {"reg", "delete", "HKCU\\" + kPolicies, "/v", "NoStartBanner", "/f"},
        {"reg", "add", "HKCU\\Control Panel\\Desktop\\WindowMetrics", "/v", "MinAnimate", "/d", "0", "/f"},
        {"reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "MenuShowDelay", "/d", "1200", "/f"},
        {"reg", "add", "HKLM\\System\\CurrentControlSet\\Control\\FileSystem", "/v", "NameNumericTail",
         "/t", "REG_BINARY", "/d", "01", "/f"},
        // Windows NT keeps the names in its own key, which the page reads first on a prefix.
        {"reg", "add", "HKLM\\" + kNTCV, "/v", "RegisteredOwner", "/d", "Grace Hopper", "/f"},
        {"reg", "add", "HKLM\\" + kNTCV, "/v", "RegisteredOrganization", "/d", "Navy", "/f"},
        {"reg", "add", "HKLM\\" + kCV + "\\Setup", "/v", "SourcePath", "/d", "E:\\setup", "/f"},
        {"reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "WaitToKillAppTimeout", "/t", "REG_DWORD",
         "/d", "30000", "/f"},
        {"reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "HungAppTimeout", "/d", "6000", "/f"},
    });
    EXPECT_EQ(count(change.out, "completed successfully"), 26u) << change.out << change.err;
    stopped(p);

    const Proc list = quorvel(p, {"--list"});
    ASSERT_EQ(list.status, 0) << list.err;
    const auto l = listing(list.out);
    const std::map<std::string, std::string> expected = {
        {"optExploreFromHere(0)", "0"}, {"optExploreFromHere(1)", "1"},
        {"optMSDOSPromptOnDirs(0)", "1"}, {"chkCustomCommandInterpreter", "0"},
        {"optShowOnAllFiles(0)", "1"}, {"txtAddToAllFilesTitle", "Edit with QV"},
        {"txtAddToAllFilesCommand", "C:\\qv\\edit.exe %1"},
        {"txtIconPath", "C:\\qv\\share.dll"}, {"txtIconIdx", "3"},
        {"optShortcutIcon(0)", "1"}, {"optShortcutIcon(2)", "0"},
        {"chkShowShortcutToOnNewShortcuts", "1"}, {"chkSaveSettingsOnExit", "0"},
        {"chkBitmapsinExplorer", "0"}, {"chkExploreAsDefault", "0"},
        {"lstDrives", "A:,C:"},
        {"lvNewMenu[.qvtxt\\ShellNew]", "1"},
        {"txtUnassociatedFilesCaption", "Open with..."}, {"txtUnassociatedFilesCommand", "notepad.exe %1"},
        {"chkAutoplayAudio", "0"},
        {"chkAutoPlay(0)", "1"}, {"chkAutoPlay(1)", "0"}, {"chkAutoPlay(2)", "1"}, {"chkAutoPlay(3)", "0"},
        {"chkAutoPlay(4)", "1"}, {"chkAutoPlay(5)", "0"}, {"chkAutoPlay(6)", "1"},
        {"chkClickHeretoBegin", "1"}, {"chkAnimateWindows", "0"}, {"sldMenuShowDelay", "1200"},
        {"chkDisableTilde", "0"}, {"txtRegisteredName", "Grace Hopper"}, {"txtRegisteredCompany", "Navy"},
        {"txtCabFilePath", "E:\\setup"}, {"sldWaitToKill", "30000"}, {"sldHungApp", "6000"},
    };
    for (const auto& [name, value] : expected) {
        const auto it = l.find(name);
        ASSERT_NE(it, l.end()) << name << " is not listed";
        EXPECT_EQ(it->second, value) << name;
    }
    EXPECT_EQ(l.count("lvNewMenu[.qvtxt\\ShellNew-]"), 0u);
}

// ---------------------------------------------------------------------------------------------

// Keys the save pass may write on a fresh prefix, as the .reg files name them.
void expectOnlyPageKeysDiffer(const std::string& before, const std::string& after,
                              const std::set<std::string>& pageKeys, const std::string& what) {
    const Blocks o = splitKeys(before), n = splitKeys(after);
    EXPECT_EQ(n.head, o.head) << what;
    std::vector<std::string> kept;
    for (const std::string& k : n.order)
        if (o.text.count(k)) kept.push_back(k);
    std::vector<std::string> originalKept;
    for (const std::string& k : o.order)
        if (n.text.count(k)) originalKept.push_back(k);
    EXPECT_EQ(kept, originalKept) << what << ": the prefix's keys changed their order";
    for (const std::string& k : o.order) {
        if (pageKeys.count(lower(k))) continue;
        ASSERT_TRUE(n.text.count(k)) << what << ": lost key " << k;
        EXPECT_EQ(n.text.at(k), o.text.at(k)) << what << ": " << k;
    }
    for (const std::string& k : n.order) {
        if (!o.text.count(k)) {
            EXPECT_TRUE(pageKeys.count(lower(k))) << what << ": unexpected new key " << k;
        }
    }
}

TEST_F(PagesInterop, ApplyLeavesKeysNoPageWritesByteIdentical) {
    const fs::path p = w.copy("untouched");
    const std::string system = readFile(p / "system.reg"), user = readFile(p / "user.reg");
    // Nothing changed: not a byte written.
    const Proc none = quorvel(p, {"--apply"});
    ASSERT_EQ(none.status, 0) << none.out << none.err;
    EXPECT_EQ(readFile(p / "system.reg"), system);
    EXPECT_EQ(readFile(p / "user.reg"), user);

    // A change on most pages: every key no page writes stays as Wine wrote it.
    const Proc r = quorvel(p, {"--set", "chkExploreAsDefault=1",
                               "--set", "txtUnassociatedFilesCommand=notepad.exe %1",
                               "--set", "chkAutoplayAudio=1", "--set", "txtIconIdx=30",
                               "--set", "txtRegisteredName=Ada", "--set", "txtCabFilePath=D:\\cabs",
                               "--set", "chkAutoPlay(3)=0", "--set", "chkClickHeretoBegin=0",
                               "--set", "chkAnimateWindows=1", "--set", "sldMenuShowDelay=100",
                               "--set", "sldHungApp=4000", "--set", "lstDrives=D:", "--apply"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string system2 = readFile(p / "system.reg"), user2 = readFile(p / "user.reg");
    EXPECT_NE(system2, system) << "the pages wrote nothing to system.reg";
    EXPECT_NE(user2, user) << "the pages wrote nothing to user.reg";

    auto keys = [](std::initializer_list<std::string> ks) {
        std::set<std::string> s;
        for (std::string k : ks) {
            std::string escaped;
            for (char c : k) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
            s.insert(lower(escaped));
        }
        return s;
    };
    expectOnlyPageKeysDiffer(system, system2,
                             keys({kCV, kShellIcons, kCV + "\\Setup", "Software\\Classes\\Folder\\Shell",
                                   "Software\\Microsoft\\Windows NT\\CurrentVersion",
                                   "Software\\Classes\\Unknown\\shell\\openas",
                                   "Software\\Classes\\Unknown\\shell\\openas\\command",
                                   "Software\\Classes\\AudioCD\\shell"}),
                             "system.reg");
    expectOnlyPageKeysDiffer(user, user2,
                             keys({kPolicies, "Control Panel\\Desktop", "Control Panel\\Desktop\\WindowMetrics"}),
                             "user.reg");
}

// ---------------------------------------------------------------------------------------------

TEST_F(PagesInterop, RunningWineserverStopsAnApplyUntilItIsStopped) {
    const fs::path p = w.copy("running");
    w.startServer(p);
    bool running = false;
    for (int i = 0; i < 200 && !running; ++i) {
        running = qv::reg::Machine::openWinePrefix(p)->wineserverRunning().has_value();
        if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(running) << "wineserver -p did not start";
    const std::string system = readFile(p / "system.reg"), user = readFile(p / "user.reg");

    const std::vector<std::string> args = {"--set", "chkAnimateWindows=1", "--apply"};
    const Proc refused = quorvel(p, args);
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    const std::string said = refused.out + refused.err;
    EXPECT_NE(said.find(p.string()), std::string::npos) << said;
    EXPECT_NE(said.find("wineserver -k"), std::string::npos) << said;
    EXPECT_EQ(readFile(p / "system.reg"), system);
    EXPECT_EQ(readFile(p / "user.reg"), user);

    stopped(p);
    const Proc ok = quorvel(p, args);
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
    const Proc q = w.reg(p, {"query", "HKCU\\Control Panel\\Desktop\\WindowMetrics", "/v", "MinAnimate"});
    EXPECT_NE(withoutCr(q.out).find("    MinAnimate    REG_SZ    1\n"), std::string::npos) << q.out << q.err;
    w.stop(p);
}

}  // namespace

#endif  // QV_QUORVEL
