// A machine's drive letters and Windows environment, read from its folder and its registry.
#include "registry/machines/environment.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <vector>

#include "registry/text.h"

namespace qv::reg {

namespace fs = std::filesystem;

namespace {

std::string lowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

std::optional<fs::path> canonicalDrive(const fs::path& link) {
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    if (ec) return std::nullopt;
    if (target.is_relative()) target = link.parent_path() / target;
    fs::path c = fs::weakly_canonical(target, ec);
    if (ec) return std::nullopt;
    return c;
}

}  // namespace

Drives dosDevices(const fs::path& prefix) {
    Drives drives;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(prefix / "dosdevices", ec)) {
        const std::string n = e.path().filename().string();
        if (n.size() == 2 && n[1] == ':' && std::isalpha(static_cast<unsigned char>(n[0]))) {
            if (auto target = canonicalDrive(e.path()))
                drives[static_cast<char>(std::toupper(static_cast<unsigned char>(n[0])))] = *target;
        }
    }
    return drives;
}

std::optional<fs::path> hostPathOn(const Drives& drives, std::string_view win) {
    if (win.size() < 2 || win[1] != ':' || !std::isalpha(static_cast<unsigned char>(win[0]))) return std::nullopt;
    auto it = drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(win[0]))));
    if (it == drives.end()) return std::nullopt;
    fs::path p = it->second;
    std::string_view rest = win.substr(2);
    size_t i = 0;
    while (i < rest.size()) {
        size_t j = rest.find_first_of("\\/", i);
        if (j == std::string_view::npos) j = rest.size();
        std::string comp(rest.substr(i, j - i));
        i = j + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp == "..") {
            if (p != it->second) p = p.parent_path();
            continue;
        }
        // Windows names ignore case; the host's do not, so look for the name as it is spelled there.
        std::error_code ec;
        if (!fs::exists(p / comp, ec)) {
            const std::string want = lowerAscii(comp);
            for (const auto& e : fs::directory_iterator(p, ec)) {
                if (lowerAscii(e.path().filename().string()) == want) {
                    comp = e.path().filename().string();
                    break;
                }
            }
        }
        p /= comp;
    }
    return p;
}

std::optional<std::string> windowsPathOn(const Drives& drives, const fs::path& host) {
    std::error_code ec;
    fs::path h = fs::weakly_canonical(fs::absolute(host, ec), ec);
    if (ec) return std::nullopt;
    std::optional<std::string> best;
    size_t bestLen = 0;
    for (const auto& [letter, root] : drives) {
        fs::path r = fs::weakly_canonical(root, ec);
        if (ec) continue;
        auto mismatch = std::mismatch(r.begin(), r.end(), h.begin(), h.end());
        if (mismatch.first != r.end()) continue;
        const size_t len = static_cast<size_t>(std::distance(r.begin(), r.end()));
        if (best && len <= bestLen) continue;
        std::string w{letter, ':'};
        for (auto it = mismatch.second; it != h.end(); ++it) {
            if (it->empty()) continue;
            w += '\\';
            w += it->string();
        }
        if (w.size() == 2) w += '\\';
        best = w;
        bestLen = len;
    }
    return best;
}

std::optional<std::string> environmentVariableOf(RegistryApi& registry, const std::string& windowsDirectory,
                                                 const std::string& systemDirectory, std::string_view name) {
    // The machine's own Windows environment, built as a Windows logon builds it: the system's
    // folders, the system's Environment key, the user's profile, the user's Environment key and
    // the session's Volatile Environment, each later one winning. Entries stored as REG_EXPAND_SZ
    // are expanded in the same environment; a name met again while it is being expanded stays
    // as it is. The Linux process environment says nothing about the machine and is never used.
    RegistryApi* self = &registry;
    auto readText = [self](int32_t root, std::string_view key, std::string_view value,
                           bool* expandable) -> std::optional<std::string> {
        HKey k = nullptr;
        if (self->openKey(root, key, &k) != ERROR_SUCCESS) return std::nullopt;
        uint32_t type = REG_NONE;
        std::string data;
        const int32_t status = self->queryValue(k, value, &type, &data);
        self->closeKey(k);
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
        std::u16string text = bytesToUtf16(data);
        text.resize(std::min(text.size(), text.find(u'\0')));
        *expandable = type == REG_EXPAND_SZ;
        return utf16ToUtf8(text);
    };
    constexpr std::string_view kSystemEnvironment = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
    constexpr std::string_view kProfileList = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    constexpr std::string_view kVersion = "Software\\Microsoft\\Windows\\CurrentVersion";
    constexpr std::string_view kShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

    std::vector<std::string> resolving;
    std::function<std::optional<std::string>(const std::string&)> lookup;
    auto expand = [&](const std::string& text) {
        std::string out;
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t open = text.find('%', pos);
            const size_t close = open == std::string::npos ? open : text.find('%', open + 1);
            if (close == std::string::npos) {
                out.append(text, pos);
                break;
            }
            out.append(text, pos, open - pos);
            std::optional<std::string> v;
            if (close > open + 1) v = lookup(lowerAscii(text.substr(open + 1, close - open - 1)));
            if (v)
                out += *v;
            else
                out.append(text, open, close - open + 1);
            pos = close + 1;
        }
        return out;
    };
    auto stored = [&](int32_t root, std::string_view key, std::string_view value) -> std::optional<std::string> {
        bool expandable = false;
        std::optional<std::string> v = readText(root, key, value, &expandable);
        if (v && expandable) v = expand(*v);
        return v;
    };
    // The profile folder of the first real account (S-1-5-21-...), as ProfileList names it.
    auto profile = [&]() -> std::optional<std::string> {
        HKey k = nullptr;
        if (self->openKey(HKEY_LOCAL_MACHINE, kProfileList, &k) != ERROR_SUCCESS) return std::nullopt;
        std::vector<std::string> sids;
        std::string sub;
        for (uint32_t i = 0; self->enumKey(k, i, &sub) == ERROR_SUCCESS; ++i)
            if (sub.starts_with("S-1-5-21-") && !lowerAscii(sub).ends_with(".bak")) sids.push_back(sub);
        self->closeKey(k);
        for (const std::string& sid : sids)
            if (auto v = stored(HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\" + sid, "ProfileImagePath"))
                return v;
        return std::nullopt;
    };
    auto builtIn = [&](const std::string& n) -> std::optional<std::string> {
        const std::string& windows = windowsDirectory;
        if (n == "systemroot" || n == "windir") return windows;
        if (n == "systemdrive") return windows.substr(0, 2);
        if (n == "winsysdir") return systemDirectory;
        if (n == "programfiles") return stored(HKEY_LOCAL_MACHINE, kVersion, "ProgramFilesDir");
        if (n == "commonprogramfiles") return stored(HKEY_LOCAL_MACHINE, kVersion, "CommonFilesDir");
        if (n == "programfiles(x86)") return stored(HKEY_LOCAL_MACHINE, kVersion, "ProgramFilesDir (x86)");
        if (n == "commonprogramfiles(x86)") return stored(HKEY_LOCAL_MACHINE, kVersion, "CommonFilesDir (x86)");
        if (n == "programdata" || n == "allusersprofile") return stored(HKEY_LOCAL_MACHINE, kProfileList, "ProgramData");
        if (n == "public") return stored(HKEY_LOCAL_MACHINE, kProfileList, "Public");
        if (n == "computername")
            return stored(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName", "ComputerName");
        if (n == "appdata") return stored(HKEY_CURRENT_USER, kShellFolders, "AppData");
        if (n == "localappdata") return stored(HKEY_CURRENT_USER, kShellFolders, "Local AppData");
        const std::optional<std::string> home = profile();
        if (!home) return std::nullopt;
        if (n == "userprofile") return home;
        if (n == "homedrive" && home->size() >= 2 && (*home)[1] == ':') return home->substr(0, 2);
        if (n == "homepath" && home->size() >= 2 && (*home)[1] == ':') return home->substr(2);
        if (n == "username") return home->substr(home->find_last_of('\\') + 1);
        return std::nullopt;
    };
    lookup = [&](const std::string& n) -> std::optional<std::string> {
        if (std::find(resolving.begin(), resolving.end(), n) != resolving.end()) return std::nullopt;
        resolving.push_back(n);
        std::optional<std::string> v;
        if (n == "path") {
            // The user's PATH goes after the system's.
            const auto system = stored(HKEY_LOCAL_MACHINE, kSystemEnvironment, n);
            const auto user = stored(HKEY_CURRENT_USER, "Environment", n);
            if (system && user) v = *system + ";" + *user;
            else v = system ? system : user;
        } else if (n == "systemroot" || n == "systemdrive") {
            v = builtIn(n);  // fixed by where Windows is
        } else {
            v = stored(HKEY_CURRENT_USER, "Volatile Environment", n);
            if (!v) v = stored(HKEY_CURRENT_USER, "Environment", n);
            if (!v && n != "userprofile" && n != "homedrive" && n != "homepath" && n != "username" &&
                n != "appdata" && n != "localappdata")
                v = stored(HKEY_LOCAL_MACHINE, kSystemEnvironment, n);
            if (!v) v = builtIn(n);
            if (!v) v = stored(HKEY_LOCAL_MACHINE, kSystemEnvironment, n);
        }
        resolving.pop_back();
        return v;
    };
    return lookup(lowerAscii(name));
}

}  // namespace qv::reg
