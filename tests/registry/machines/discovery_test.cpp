// Finding machines in a home folder: every front end's layout, decoys that must be passed over,
// names, Windows versions, and the recent-machines list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "registry/machines/discovery.h"
#include "tools/hive_builder.h"

using namespace qv::reg;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "qv-discovery-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec))
            ::chmod(it->path().c_str(), 0700);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

void makePrefix(const fs::path& dir, const std::string& product = "Microsoft Windows 10",
                const std::string& version = "6.3") {
    write(dir / "system.reg",
          "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
          "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1700000000\n#time=1\n"
          "\"CurrentBuild\"=\"19045\"\n\"CurrentVersion\"=\"" + version + "\"\n\"ProductName\"=\"" + product +
              "\"\n\n[Software\\\\Wine] 1700000000\n\"Version\"=\"x\"\n");
    write(dir / "user.reg", "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21\n\n");
}

const MachineEntry* find(const std::vector<MachineEntry>& all, const fs::path& p) {
    for (const auto& e : all)
        if (fs::weakly_canonical(e.path) == fs::weakly_canonical(p)) return &e;
    return nullptr;
}

}  // namespace

TEST(Discovery, FindsEveryKindOfPrefixAndPassesOverDecoys) {
    TempDir t;
    const fs::path h = t.path() / "home";
    struct Case {
        fs::path folder;
        std::string name, source;
    };
    const std::vector<Case> found = {
        {h / "elsewhere/env-prefix", "env-prefix", "WINEPREFIX"},
        {h / ".wine", ".wine", "wine"},
        {h / ".local/share/bottles/bottles/Office", "Office 2010", "bottles"},
        {h / ".var/app/com.usebottles.bottles/data/bottles/bottles/Games", "Games", "bottles"},
        {h / "Games/witcher", "witcher", "lutris"},
        {h / "Games/diablo/prefix", "diablo", "lutris"},
        {h / ".steam/steam/steamapps/compatdata/220/pfx", "Half-Life 2", "proton"},
        {h / ".local/share/Steam/steamapps/compatdata/70/pfx", "Steam app 70", "proton"},
        {h / "Games/Heroic/Prefixes/Fortnite", "Fortnite", "heroic"},
        {h / ".PlayOnLinux/wineprefix/Notepad", "Notepad", "playonlinux"},
    };
    for (const auto& c : found) makePrefix(c.folder);
    write(h / ".local/share/bottles/bottles/Office/bottle.yml", "Arch: win64\nName: Office 2010\nRunner: soda\n");
    write(h / ".steam/steam/steamapps/appmanifest_220.acf",
          "\"AppState\"\n{\n\t\"appid\"\t\t\"220\"\n\t\"name\"\t\t\"Half-Life 2\"\n}\n");

    // Decoys: a header that is not Wine's, one file only, a broken link, an unreadable folder,
    // a file where a folder is expected.
    const fs::path notWine = h / ".local/share/bottles/bottles/NotWine";
    write(notWine / "system.reg", "REGEDIT4\n");
    write(notWine / "user.reg", "WINE REGISTRY Version 2\n");
    const fs::path half = h / "Games/half";
    write(half / "system.reg", "WINE REGISTRY Version 2\n");
    fs::create_directories(h / ".PlayOnLinux/wineprefix");
    fs::create_directory_symlink(h / "nowhere", h / ".PlayOnLinux/wineprefix/Broken");
    const fs::path locked = h / "Games/Heroic/Prefixes/Locked";
    makePrefix(locked);
    ::chmod(locked.c_str(), 0);
    write(h / ".local/share/Steam/steamapps/compatdata/99", "a file, not a folder");
    // A link to a prefix already found is the same machine.
    fs::create_directory_symlink(h / ".wine", h / "Games/wine-link");

    DiscoveryOptions o;
    o.home = h;
    o.winePrefixVar = h / "elsewhere/env-prefix";
    o.ownFolder = t.path() / "own";
    const auto all = discoverMachines(o);

    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().source, "own");
    EXPECT_EQ(all.front().kind, Machine::Kind::Own);
    for (const auto& c : found) {
        SCOPED_TRACE(c.folder.string());
        const MachineEntry* e = find(all, c.folder);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->name, c.name);
        EXPECT_EQ(e->source, c.source);
        EXPECT_EQ(e->kind, Machine::Kind::WinePrefix);
        EXPECT_EQ(e->windowsVersion, "Microsoft Windows 10 (6.3)");
        EXPECT_FALSE(e->running);
    }
    for (const fs::path& decoy : {notWine, half, h / ".PlayOnLinux/wineprefix/Broken", h / "Games/half/prefix"})
        EXPECT_EQ(find(all, decoy), nullptr) << decoy;
    if (::geteuid() != 0) {
        EXPECT_EQ(find(all, locked), nullptr);
    }
    // Own machine plus each prefix once (the link to ~/.wine adds nothing).
    EXPECT_EQ(all.size(), found.size() + 1 + (::geteuid() == 0 ? 1 : 0));
}

TEST(Discovery, RecentMachinesComeFirstAndLendTheirTime) {
    TempDir t;
    const fs::path h = t.path() / "home";
    makePrefix(h / ".wine");
    const fs::path other = t.path() / "work/app-prefix";
    makePrefix(other, "Microsoft Windows 7", "6.1");
    const fs::path gone = t.path() / "work/deleted";

    DiscoveryOptions o;
    o.home = h;
    o.ownFolder = t.path() / "own";
    o.recent = {{other, Machine::Kind::WinePrefix, 200}, {gone, Machine::Kind::WinePrefix, 150},
                {h / ".wine", Machine::Kind::WinePrefix, 100}};
    const auto all = discoverMachines(o);
    ASSERT_EQ(all.size(), 3u);  // own, other, ~/.wine; the deleted prefix is not offered
    EXPECT_EQ(all[1].path, other);
    EXPECT_EQ(all[1].source, "recent");
    EXPECT_EQ(all[1].lastUsed, std::optional<std::time_t>(200));
    EXPECT_EQ(all[1].windowsVersion, "Microsoft Windows 7 (6.1)");
    EXPECT_EQ(all[2].lastUsed, std::optional<std::time_t>(100));
    EXPECT_FALSE(all[0].lastUsed.has_value());
}

TEST(Discovery, WindowsVersionOfTheSeededOwnMachine) {
    TempDir t;
    auto m = Machine::openOwn(t.path() / "own");
    EXPECT_EQ(windowsVersionOf(t.path() / "own"), "Microsoft Windows 98 (4.10.1998)");
    EXPECT_EQ(windowsVersionOf(t.path() / "missing"), "");
}

TEST(Discovery, MachineNames) {
    EXPECT_EQ(machineName(Machine::Kind::Own, Machine::defaultOwnFolder()), "Own machine");
    EXPECT_EQ(machineName(Machine::Kind::Own, "/tmp/test-machine/"), "test-machine");
    EXPECT_EQ(machineName(Machine::Kind::WinePrefix, "/home/u/.wine"), ".wine");
}

TEST(RecentMachinesStore, KeepsNewestFirstOnceAndSurvivesDamage) {
    TempDir t;
    const fs::path file = t.path() / "state/quorvel/machines";
    {
        RecentMachines r(file);
        EXPECT_FALSE(r.last().has_value());
        ASSERT_TRUE(r.touch("/p/a", Machine::Kind::WinePrefix, 10));
        ASSERT_TRUE(r.touch("/p/b", Machine::Kind::Own, 20));
        ASSERT_TRUE(r.touch("/p/a/", Machine::Kind::WinePrefix, 30));  // the same folder again
    }
    {
        std::ofstream(file, std::ios::app) << "garbage line\n12x\twine\t/p/c\n40\tother\t/p/d\n50\twine\trelative\n";
    }
    RecentMachines r(file);
    ASSERT_EQ(r.entries().size(), 2u);
    EXPECT_EQ(r.entries()[0].path, "/p/a");
    EXPECT_EQ(r.entries()[0].used, 30);
    EXPECT_EQ(r.entries()[1].path, "/p/b");
    EXPECT_EQ(r.entries()[1].kind, Machine::Kind::Own);

    for (int i = 0; i < 30; ++i) ASSERT_TRUE(r.touch("/q/" + std::to_string(i), Machine::Kind::WinePrefix, 100 + i));
    EXPECT_EQ(RecentMachines(file).entries().size(), RecentMachines::kMaxEntries);
    EXPECT_EQ(RecentMachines(file).last()->path, "/q/29");
}

TEST(Discovery, MountedWindowsDrivesAreListedWithTheirVersion) {
    TempDir t;
    const fs::path media = t.path() / "media/user";
    auto software = [](const fs::path& file, const char* product) {
        qvtest::hive::Builder b;
        b.set("Microsoft\\Windows NT\\CurrentVersion", "ProductName", REG_SZ, qvtest::hive::sz(product))
            .set("Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", REG_SZ, qvtest::hive::sz("6.3"));
        b.write(file);
    };
    software(media / "Windows10/Windows/System32/config/SOFTWARE", "Windows 10 Pro");
    software(media / "XP/windows/system32/config/software", "Microsoft Windows XP");  // XP's lower case
    write(media / "NotAHive/Windows/System32/config/SOFTWARE", "REGEDIT4\n");
    fs::create_directories(media / "UsbStick/Photos");

    DiscoveryOptions o;
    o.home = t.path() / "home";
    o.ownFolder = t.path() / "own";
    o.mountRoots = {media, t.path() / "missing"};
    const auto all = discoverMachines(o);
    struct Case { const char* folder; const char* version; };
    for (const Case c : {Case{"Windows10", "Windows 10 Pro (6.3)"}, Case{"XP", "Microsoft Windows XP (6.3)"}}) {
        SCOPED_TRACE(c.folder);
        const MachineEntry* e = find(all, media / c.folder);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->kind, Machine::Kind::Windows);
        EXPECT_EQ(e->source, "mounted");
        EXPECT_EQ(e->name, c.folder);
        EXPECT_EQ(e->windowsVersion, c.version);
        EXPECT_FALSE(e->running);
    }
    EXPECT_EQ(find(all, media / "NotAHive"), nullptr);
    EXPECT_EQ(find(all, media / "UsbStick"), nullptr);
    EXPECT_EQ(all.size(), 3u);
}
