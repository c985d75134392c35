// The machines a user may open: the own machine, those opened before, and the Wine prefixes that
// the usual Wine front ends leave in a home folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "registry/machines/machine.h"
#include "registry/machines/wineserver.h"

namespace qv::reg {

struct MachineEntry {
    std::string name;              // the prefix's folder name, a game's name, "Own machine"
    std::filesystem::path path;    // the machine folder
    Machine::Kind kind = Machine::Kind::WinePrefix;
    // Where it was found: "own", "recent", "WINEPREFIX", "wine", "bottles", "lutris",
    // "proton", "heroic", "playonlinux", "mounted" (a Windows drive).
    std::string source;
    std::string windowsVersion;    // "Windows 10 (10.0)", or "" when the registry does not say
    bool running = false;          // a wineserver serves the prefix now
    std::optional<std::time_t> lastUsed;
};

// "Own machine" or "Wine prefix".
std::string kindName(Machine::Kind kind);
// The name the window shows: "Own machine" for the default own machine, else the folder's name.
std::string machineName(Machine::Kind kind, const std::filesystem::path& folder);

// True when the folder holds system.reg and user.reg, both starting with Wine's header line.
bool isWinePrefix(const std::filesystem::path& folder);
// True when the folder is the system drive of a Windows installation: it holds
// Windows\System32\config\SOFTWARE (any letter case) starting with a hive's signature.
bool isWindowsDrive(const std::filesystem::path& folder);
// "ProductName (CurrentVersion)" from the machine's system.reg, read without parsing the whole
// file; "" when the file or the values are missing.
std::string windowsVersionOf(const std::filesystem::path& folder);
// Fills an entry's Windows version and wineserver state (what reading costs time).
void readMachineDetails(MachineEntry& e);

// The recently opened machines, newest first, kept in a small text file.
class RecentMachines {
public:
    static constexpr size_t kMaxEntries = 20;
    struct Entry {
        std::filesystem::path path;
        Machine::Kind kind = Machine::Kind::WinePrefix;
        std::time_t used = 0;
    };
    // $XDG_STATE_HOME/quorvel/machines, or ~/.local/state/quorvel/machines.
    static std::filesystem::path defaultFile();
    explicit RecentMachines(std::filesystem::path file = defaultFile());
    // Lines that cannot be read are skipped: a damaged list only forgets.
    const std::vector<Entry>& entries() const { return entries_; }
    std::optional<Entry> last() const;
    // Puts the machine first (once) and writes the file; false with *error when it cannot.
    bool touch(const std::filesystem::path& path, Machine::Kind kind, std::time_t when,
               std::string* error = nullptr);

private:
    std::filesystem::path file_;
    std::vector<Entry> entries_;
};

struct DiscoveryOptions {
    std::filesystem::path home;            // the home folder to look in
    std::optional<std::filesystem::path> winePrefixVar;  // $WINEPREFIX
    std::filesystem::path ownFolder;       // the default own machine
    std::vector<RecentMachines::Entry> recent;
    // Folders whose subfolders may be mounted Windows drives (/media/USER, /run/media/USER, /mnt).
    std::vector<std::filesystem::path> mountRoots;
    // Windows version and wineserver state; the window lists without them and fills them in
    // while the list is shown.
    bool readDetails = true;
};
// The options for this process: $HOME, $WINEPREFIX, the default own folder, the recent list.
DiscoveryOptions discoveryOptionsFromEnvironment();

// The own machine first, then recent machines, then prefixes found, each folder once (the first
// place that names it gives the name; recent use adds the time). Unreadable folders, broken links
// and folders without Wine's files are skipped.
std::vector<MachineEntry> discoverMachines(const DiscoveryOptions& options);

}  // namespace qv::reg
