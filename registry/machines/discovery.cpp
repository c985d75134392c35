#include "registry/machines/discovery.h"
#include "registry/safefile.h"

#include "registry/windows/hive.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace qv::reg {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kWineHeader = "WINE REGISTRY Version ";

// Reads at most `limit` bytes from the start of a file; "" when it cannot be opened.
std::string readHead(const fs::path& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {};
    std::string out;
    out.resize(limit);
    size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, out.data() + got, limit - got);
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

bool hasWineHeader(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return false;
    const std::string head = readHead(file, 64);
    // A UTF-8 byte order mark is not Wine's; the line must start the file.
    return head.compare(0, kWineHeader.size(), kWineHeader) == 0;
}

std::vector<fs::path> subfolders(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    if (ec) return out;
    for (const auto& e : it) {
        std::error_code e2;
        if (e.is_directory(e2)) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A REG_SZ value of a Wine key line ("Name"="text"), unescaped enough for names and versions.
std::optional<std::string> stringValue(std::string_view block, std::string_view name) {
    const std::string needle = "\n\"" + std::string(name) + "\"=\"";
    const size_t at = block.find(needle);
    if (at == std::string_view::npos) return std::nullopt;
    std::string out;
    for (size_t i = at + needle.size(); i < block.size() && block[i] != '\n'; ++i) {
        if (block[i] == '"') return out;
        if (block[i] == '\\' && i + 1 < block.size()) ++i;
        out += block[i];
    }
    return std::nullopt;
}

// The "name" of a Steam app manifest ("name"  "Some Game").
// Bottles keeps the name its user gave a bottle in bottle.yml ("Name: ..." at the top level); the
// folder may carry another.
std::string bottleName(const fs::path& bottle) {
    std::istringstream text(readHead(bottle / "bottle.yml", 64 * 1024));
    std::string line;
    while (std::getline(text, line)) {
        if (line.rfind("Name:", 0) != 0) continue;
        std::string name = line.substr(5);
        while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
        name.erase(0, name.find_first_not_of(' '));
        if (name.size() >= 2 && (name.front() == '\'' || name.front() == '"') && name.back() == name.front())
            name = name.substr(1, name.size() - 2);
        return name;
    }
    return {};
}

std::string steamGameName(const fs::path& steamapps, const std::string& appid) {
    const std::string text = readHead(steamapps / ("appmanifest_" + appid + ".acf"), 64 * 1024);
    size_t at = text.find("\"name\"");
    if (at == std::string::npos) return {};
    at = text.find('"', at + 6);
    if (at == std::string::npos) return {};
    const size_t end = text.find('"', at + 1);
    if (end == std::string::npos || text.find('\n', at) < end) return {};
    return text.substr(at + 1, end - at - 1);
}

std::string canonicalKey(const fs::path& p) {
    std::error_code ec;
    fs::path c = fs::weakly_canonical(p, ec);
    if (ec) c = p.lexically_normal();
    std::string s = c.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

std::string kindName(Machine::Kind kind) {
    if (kind == Machine::Kind::Windows) return "Windows installation";
    return kind == Machine::Kind::Own ? "Own machine" : "Wine prefix";
}

std::string machineName(Machine::Kind kind, const fs::path& folder) {
    if (kind == Machine::Kind::Own && canonicalKey(folder) == canonicalKey(Machine::defaultOwnFolder()))
        return "Own machine";
    fs::path f = folder.lexically_normal();
    if (f.filename().empty()) f = f.parent_path();
    std::string name = f.filename().string();
    return name.empty() ? f.string() : name;
}

bool isWindowsDrive(const fs::path& folder) {
    const auto software = findCaseless(folder, "Windows/System32/config/SOFTWARE");
    return software && readHead(*software, 4) == "regf";
}

bool isWinePrefix(const fs::path& folder) {
    return hasWineHeader(folder / "system.reg") && hasWineHeader(folder / "user.reg");
}

std::string windowsVersionOf(const fs::path& folder) {
    // Mapped, not read: the dialog asks this of every prefix on the computer, and the version
    // key sits deep in a file of several MB.
    const int fd = ::open((folder / "system.reg").c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        uint64_t(st.st_size) > Machine::kMaxFileSize) {
        ::close(fd);
        return {};
    }
    const size_t size = size_t(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return {};
    const std::string_view text(static_cast<const char*>(map), size);
    std::string result;
    // The NT line keeps its version under "Windows NT", Windows 9x under "Windows".
    for (const char* keyName : {"Windows NT", "Windows"}) {
        const std::string key = std::string("\n[Software\\\\Microsoft\\\\") + keyName + "\\\\CurrentVersion]";
        const void* hit = ::memmem(text.data(), text.size(), key.data(), key.size());
        if (!hit) continue;
        const size_t at = size_t(static_cast<const char*>(hit) - text.data());
        const size_t end = text.find("\n[", at + key.size());
        const std::string_view block = text.substr(at + key.size(), end == std::string_view::npos ? std::string_view::npos : end - at - key.size());
        const auto product = stringValue(block, "ProductName");
        auto version = stringValue(block, "CurrentVersion");
        if (!version) version = stringValue(block, "VersionNumber");
        if (product && version) result = *product + " (" + *version + ")";
        else if (product) result = *product;
        else if (version) result = "Windows " + *version;
        if (!result.empty()) break;
    }
    ::munmap(map, size);
    return result;
}

void readMachineDetails(MachineEntry& e) {
    e.windowsVersion = e.kind == Machine::Kind::Windows ? installedWindowsVersion(e.path) : windowsVersionOf(e.path);
    e.running = e.kind == Machine::Kind::WinePrefix && wineserverRunningAt(e.path).has_value();
}

// ---- recent machines --------------------------------------------------------------------------

fs::path RecentMachines::defaultFile() {
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x && fs::path(x).is_absolute())
        return fs::path(x) / "quorvel" / "machines";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".local" / "state" / "quorvel" / "machines";
}

RecentMachines::RecentMachines(fs::path file) : file_(std::move(file)) {
    std::ifstream in(file_);
    std::string line;
    // One machine a line: seconds since 1970, a tab, "own" or "wine", a tab, the folder.
    while (entries_.size() < kMaxEntries && std::getline(in, line)) {
        const size_t t1 = line.find('\t');
        const size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        if (t2 == std::string::npos || t2 + 1 >= line.size()) continue;
        Entry e;
        try {
            size_t used = 0;
            e.used = std::time_t(std::stoll(line.substr(0, t1), &used));
            if (used != t1) continue;
        } catch (const std::exception&) {
            continue;
        }
        const std::string kind = line.substr(t1 + 1, t2 - t1 - 1);
        if (kind != "own" && kind != "wine") continue;
        e.kind = kind == "own" ? Machine::Kind::Own : Machine::Kind::WinePrefix;
        e.path = line.substr(t2 + 1);
        if (!e.path.is_absolute()) continue;
        entries_.push_back(std::move(e));
    }
}

std::optional<RecentMachines::Entry> RecentMachines::last() const {
    if (entries_.empty()) return std::nullopt;
    return entries_.front();
}

bool RecentMachines::touch(const fs::path& path, Machine::Kind kind, std::time_t when, std::string* error) {
    fs::path abs = fs::absolute(path).lexically_normal();
    if (abs.filename().empty() && abs.has_parent_path()) abs = abs.parent_path();
    const std::string key = canonicalKey(abs);
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) { return canonicalKey(e.path) == key; }),
                   entries_.end());
    entries_.insert(entries_.begin(), Entry{abs, kind, when});
    if (entries_.size() > kMaxEntries) entries_.resize(kMaxEntries);

    std::ostringstream text;
    for (const Entry& e : entries_) {
        const std::string p = e.path.string();
        if (p.find('\n') != std::string::npos) continue;  // a line cannot hold it
        text << static_cast<long long>(e.used) << '\t' << (e.kind == Machine::Kind::Own ? "own" : "wine") << '\t'
             << p << '\n';
    }
    // Written aside and renamed: two windows closing at once leave one whole list.
    std::error_code ec;
    fs::create_directories(file_.parent_path(), ec);
    try {
        writeFileSafely(file_, text.str(), SafeWrite{0666, false, false, true});
    } catch (const SafeFileError& e) {
        if (error) *error = e.what();
        return false;
    }
    return true;
}

// ---- discovery --------------------------------------------------------------------------------

DiscoveryOptions discoveryOptionsFromEnvironment() {
    DiscoveryOptions o;
    const char* home = std::getenv("HOME");
    o.home = home && *home ? fs::path(home) : fs::path("/");
    if (const char* w = std::getenv("WINEPREFIX"); w && *w) o.winePrefixVar = fs::path(w);
    o.ownFolder = Machine::defaultOwnFolder();
    o.recent = RecentMachines().entries();
    const char* user = std::getenv("USER");
    if (user && *user && !std::strchr(user, '/')) {
        o.mountRoots.push_back(fs::path("/media") / user);
        o.mountRoots.push_back(fs::path("/run/media") / user);
    }
    o.mountRoots.push_back("/media");
    o.mountRoots.push_back("/mnt");
    return o;
}

std::vector<MachineEntry> discoverMachines(const DiscoveryOptions& options) {
    std::vector<MachineEntry> out;
    std::map<std::string, size_t> seen;  // canonical folder -> index in out

    auto add = [&](MachineEntry e) {
        const std::string key = canonicalKey(e.path);
        if (seen.count(key)) return;
        seen.emplace(key, out.size());
        out.push_back(std::move(e));
    };
    auto addPrefix = [&](const fs::path& folder, std::string name, const char* source) {
        if (seen.count(canonicalKey(folder)) || !isWinePrefix(folder)) return;
        MachineEntry e;
        e.name = name.empty() ? machineName(Machine::Kind::WinePrefix, folder) : std::move(name);
        e.path = folder;
        e.kind = Machine::Kind::WinePrefix;
        e.source = source;
        add(std::move(e));
    };

    // The own machine is always there: opening it creates it.
    {
        MachineEntry e;
        e.name = "Own machine";
        e.path = options.ownFolder;
        e.kind = Machine::Kind::Own;
        e.source = "own";
        add(std::move(e));
    }
    for (const auto& r : options.recent) {
        std::error_code ec;
        if (r.kind == Machine::Kind::Own) {
            if (!fs::is_directory(r.path, ec)) continue;
            MachineEntry e;
            e.name = machineName(r.kind, r.path);
            e.path = r.path;
            e.kind = r.kind;
            e.source = "recent";
            add(std::move(e));
        } else {
            addPrefix(r.path, {}, "recent");
        }
    }
    const fs::path& h = options.home;
    if (options.winePrefixVar) addPrefix(*options.winePrefixVar, {}, "WINEPREFIX");
    addPrefix(h / ".wine", {}, "wine");
    for (const fs::path& root : {h / ".local/share/bottles/bottles",
                                 h / ".var/app/com.usebottles.bottles/data/bottles/bottles"})
        for (const fs::path& p : subfolders(root)) addPrefix(p, bottleName(p), "bottles");
    for (const fs::path& p : subfolders(h / "Games")) {
        addPrefix(p, {}, "lutris");
        addPrefix(p / "prefix", p.filename().string(), "lutris");
    }
    for (const fs::path& root : {h / ".steam/steam", h / ".local/share/Steam"}) {
        const fs::path steamapps = root / "steamapps";
        for (const fs::path& app : subfolders(steamapps / "compatdata")) {
            const std::string appid = app.filename().string();
            std::string name = steamGameName(steamapps, appid);
            addPrefix(app / "pfx", name.empty() ? "Steam app " + appid : name, "proton");
        }
    }
    for (const fs::path& p : subfolders(h / "Games/Heroic/Prefixes")) addPrefix(p, {}, "heroic");
    for (const fs::path& p : subfolders(h / ".PlayOnLinux/wineprefix")) addPrefix(p, {}, "playonlinux");

    // Windows drives mounted where desktops and users mount them.
    for (const fs::path& root : options.mountRoots)
        for (const fs::path& p : subfolders(root)) {
            if (seen.count(canonicalKey(p)) || !isWindowsDrive(p)) continue;
            MachineEntry e;
            e.name = machineName(Machine::Kind::Windows, p);
            e.path = p;
            e.kind = Machine::Kind::Windows;
            e.source = "mounted";
            add(std::move(e));
        }

    // Recent use adds the time to whatever found the folder.
    for (const auto& r : options.recent) {
        const auto it = seen.find(canonicalKey(r.path));
        if (it != seen.end() && !out[it->second].lastUsed) out[it->second].lastUsed = r.used;
    }
    if (options.readDetails)
        for (MachineEntry& e : out) readMachineDetails(e);
    return out;
}

}  // namespace qv::reg
