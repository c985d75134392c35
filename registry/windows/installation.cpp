// What an installation's hives say about it, read from the trees the machine built of them.
#include "registry/windows/installation.h"

#include <cstdio>

#include "registry/api.h"
#include "registry/windows/hive.h"
#include "registry/windows/hiveutil.h"

namespace qv::reg {

using namespace hive;

const RegKey* descendKey(const RegKey* k, std::u16string_view path) {
    for (const std::u16string& c : components16(path)) {
        if (!k) return nullptr;
        k = k->subkey(c);
    }
    return k;
}

std::string textOf(const RegValue* v) {
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return {};
    std::u16string t = bytesToUtf16(v->data);
    t.resize(std::min(t.size(), t.find(u'\0')));
    return utf16ToUtf8(t);
}

std::string controlSetName(int n) {
    char cs[32];
    std::snprintf(cs, sizeof cs, "ControlSet%03d", n);
    return cs;
}

std::string windowsFolderOf(const RegKey* software) {
    const RegKey* cv = descendKey(software, u"Microsoft\\Windows NT\\CurrentVersion");
    const std::string root = cv ? textOf(cv->value(u"SystemRoot")) : std::string();
    return root.size() > 2 && root[1] == ':' ? "C:" + root.substr(2) : std::string();
}

std::optional<int> currentControlSetOf(const RegKey* system) {
    const RegKey* select = descendKey(system, u"Select");
    const RegValue* cur = select ? select->value(u"Current") : nullptr;
    if (!cur || cur->type != REG_DWORD || cur->data.size() != 4) return std::nullopt;
    return static_cast<int>(u32(reinterpret_cast<const unsigned char*>(cur->data.data())));
}

bool fastStartupOn(const RegKey* system, int controlSet) {
    const RegKey* power = descendKey(system, utf8ToUtf16(controlSetName(controlSet) + "\\Control\\Session Manager\\Power"));
    const RegValue* fast = power ? power->value(u"HiberbootEnabled") : nullptr;
    return fast && fast->data.size() >= 4 && fast->data[0] == 1;
}

std::vector<WindowsUser> listWindowsUsers(const fs::path& drive, const RegKey* software) {
    std::vector<WindowsUser> users;
    auto addUser = [&](WindowsUser u) {
        std::error_code ec;
        for (const WindowsUser& o : users)
            if (fs::equivalent(o.folder, u.folder, ec)) return;
        users.push_back(std::move(u));
    };
    // ProfileList names the real accounts' folders; the profile folders are the fallback.
    const RegKey* profiles = descendKey(software, u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    for (size_t i = 0, n = profiles ? profiles->subkeys.size() : 0; i < n; ++i) {
        const auto& k = profiles->subkeys[i];
        const std::string sid = utf16ToUtf8(k->name);
        if (!sid.starts_with("S-1-5-21-") || lowerAscii(sid).ends_with(".bak")) continue;
        std::string p = textOf(k->value(u"ProfileImagePath"));
        if (sameAscii(p.substr(0, std::min<size_t>(p.size(), 13)), "%SystemDrive%")) p = p.substr(13);
        else if (p.size() >= 2 && p[1] == ':') p = p.substr(2);
        std::replace(p.begin(), p.end(), '\\', '/');
        const std::vector<std::string> parts = components(p, '/');
        if (parts.empty()) continue;
        WindowsUser u;
        u.name = parts.back();
        u.sid = sid;
        if (auto folder = findCaseless(drive, p)) {
            u.folder = *folder;
            u.name = folder->filename().string();
            if (auto nt = findCaseless(*folder, "NTUSER.DAT")) u.ntuser = *nt;
        } else {
            u.folder = drive / p;
        }
        addUser(std::move(u));
    }
    for (const char* base : {"Users", "Documents and Settings"}) {
        auto dir = findCaseless(drive, base);
        std::error_code ec;
        if (!dir) continue;
        for (const auto& e : fs::directory_iterator(*dir, ec)) {
            const std::string n = e.path().filename().string();
            if (e.is_symlink(ec) || !e.is_directory(ec)) continue;  // junctions such as "Default User"
            const std::string l = lowerAscii(n);
            if (l == "default" || l == "default user" || l == "all users" || l == "public") continue;
            auto nt = findCaseless(e.path(), "NTUSER.DAT");
            if (!nt) continue;
            addUser({n, {}, e.path(), *nt});
        }
    }
    std::sort(users.begin(), users.end(), [](const WindowsUser& a, const WindowsUser& b) { return a.name < b.name; });
    return users;
}

const WindowsUser& chooseWindowsUser(const std::vector<WindowsUser>& users, const std::string& wanted) {
    auto list = [&] {
        std::string l;
        for (const WindowsUser& u : users)
            l += "\n  " + u.name + (u.sid.empty() ? "" : " (" + u.sid + ")") + (u.ntuser.empty() ? " - no NTUSER.DAT" : "");
        return l;
    };
    const WindowsUser* chosen = nullptr;
    if (!wanted.empty()) {
        for (const WindowsUser& u : users)
            if (sameAscii(u.name, wanted) || sameAscii(u.sid, wanted)) chosen = &u;
        if (!chosen)
            throw HiveError("This Windows has no user " + wanted +
                            (users.empty() ? std::string("; it has no user profiles at all") : "; its users are:" + list()));
    } else {
        std::vector<const WindowsUser*> available;
        for (const WindowsUser& u : users)
            if (!u.ntuser.empty()) available.push_back(&u);
        if (available.size() != 1)
            throw HiveError(available.empty()
                                ? "This Windows has no user profile with an NTUSER.DAT" + (users.empty() ? std::string() : ":" + list())
                                : "This Windows has several users; choose one with --windows-user NAME:" + list());
        chosen = available.front();
    }
    return *chosen;
}

}  // namespace qv::reg
