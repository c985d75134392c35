// How quorvel-reg reaches keys: symbolic links, the 32-bit view's Wow6432Node steps and walks
// below a key, apart from the operations that list, change or copy what they reach.
#include <algorithm>
#include <unordered_set>

#include "registry/cli/tool.h"
#include "registry/text.h"

namespace qv::reg::cli {

namespace {

constexpr int kMaxLinkHops = 64;

}  // namespace

std::string identity(const Place& p) {
    int32_t root = p.root;
    std::string path = p.path;
    if (root == HKEY_CLASSES_ROOT) {
        root = HKEY_LOCAL_MACHINE;
        path = childPath("Software\\Classes", path);
    }
    return std::to_string(root) + ':' + utf16ToUtf8(foldName(utf8ToUtf16(path)));
}

std::optional<std::string> Keys::linkTarget(HKey k) {
    uint32_t type = 0;
    std::string data;
    if (machine_.queryValue(k, "SymbolicLinkValue", &type, &data) != ERROR_SUCCESS || type != REG_LINK)
        return std::nullopt;
    std::u16string target = bytesToUtf16(data);
    while (!target.empty() && target.back() == u'\0') target.pop_back();
    return utf16ToUtf8(target);
}

std::optional<Place> Keys::existingKey(const KeyArg& key) {
    bool exists;
    std::optional<Place> found = resolveFromRoot(key.root->handle, key.path, true, &exists);
    HKey k;
    if (!found || !exists || machine_.openKey(found->root, found->path, &k) != ERROR_SUCCESS) return std::nullopt;
    machine_.closeKey(k);
    return found;
}

std::optional<Place> Keys::wowNode(const Place& at) {
    Place w{at.root, childPath(at.path, "Wow6432Node")};
    HKey k;
    if (machine_.openKey(w.root, w.path, &k) != ERROR_SUCCESS) return std::nullopt;
    machine_.closeKey(k);
    return w;
}

// The 32-bit view of a 64-bit prefix, as Wine 8's `reg ... /reg:32` showed it on a fresh prefix:
// - Opening a path takes one step into a Wow6432Node: before the first component whose parent
//   has a Wow6432Node subkey (HKLM\Software\X is Software\Wow6432Node\X), or, when none had
//   one, into the key's own Wow6432Node at the end (HKLM\Software itself is its Wow6432Node).
//   Later components are taken as they are (P\Q\R with P\Wow6432Node\Q\Wow6432Node\R is
//   P\Wow6432Node\Q\R), and a component named Wow6432Node ends the redirection. Missing keys
//   are made where the path led. A walk below a key opens each subkey by name anew, so each
//   may step into its own Wow6432Node.
// - Every root is its own key but HKEY_CLASSES_ROOT, which is Software\Classes\Wow6432Node
//   (HKCR\.txt is not found there) - except that a query of HKCR itself lists the 64-bit
//   classes.
// - Wine's server shares no key by itself: the keys shared between the views are symbolic links
//   that a new prefix holds, in Software\Wow6432Node (Classes, to Software\Classes\Wow6432Node;
//   Policies; Registered Applications; Wine\Ports; and below Microsoft: Clients,
//   Cryptography\Calais\Current and \Readers, Cryptography\Services,
//   CTF\SystemShared, CTF\TIP, DFS, Driver Signing, EnterpriseCertificates, EventSystem, MSMQ,
//   Non-Driver Signing, Notepad\DefaultFonts, OLE, RAS, RPC, Shared Tools\MSInfo,
//   SystemCertificates, TermServLicensing, Transaction Server, Windows\CurrentVersion's
//   {App Paths, Control Panel\Cursors\Schemes, Explorer\AutoplayHandlers,
//   Explorer\DriveIcons, Explorer\KindMap, Group Policy, Policies, PreviewHandlers, Setup,
//   Telephony\Locations, Time Zones} and Windows NT\CurrentVersion\{Console, FontDpi,
//   FontLink, FontMapper, Fonts, FontSubstitutes, Gre_Initialize, Image File Execution Options,
//   LanguagePack, NetworkCards, Perflib, Ports, Print, ProfileList, Time Zones}) and in
//   Software\Classes\Wow6432Node (AppId, Protocols, TypeLib). So the other subkeys of
//   Software\Classes are not shared: HKCR\.new /reg:32 is made in Classes\Wow6432Node.
//   HKLM\System and HKCU (which has no Wow6432Node) are the same in both views. Links are
//   followed as they are, in the 64-bit view.
std::optional<Place> Keys::resolve(Place start, const std::string& rest, bool followLast, bool* exists) {
    // A stack: the next component at the back, with whether it came from a link's target.
    std::vector<std::pair<std::string, bool>> todo;
    for (std::string& c : components(rest)) todo.emplace_back(std::move(c), false);
    std::reverse(todo.begin(), todo.end());
    Place cur = std::move(start);
    int hops = 0;
    *exists = true;
    bool redirect = wow32_ && !todo.empty();
    // Each level is opened below the one before, so that a deep path costs its length once; a
    // Windows installation maps its paths, so there each is opened from its root.
    const bool below = machine_.kind() != Machine::Kind::Windows;
    HKey at = nullptr;  // the key at cur, while walking below
    auto drop = [&](HKey& k) {
        if (k) machine_.closeKey(k);
        k = nullptr;
    };
    while (!todo.empty()) {
        const std::string name = todo.back().first;
        if (redirect && !todo.back().second) {
            if (equalsNoCase(name, "Wow6432Node")) {
                redirect = false;
            } else if (std::optional<Place> w = wowNode(cur)) {
                cur = std::move(*w);
                redirect = false;
                drop(at);  // cur moved: the next level is opened from its root
            }
        }
        const std::string parent = cur.path;
        cur.path = childPath(cur.path, name);
        HKey k;
        const int32_t st = below && at ? machine_.openSubkey(at, name, &k) : machine_.openKey(cur.root, cur.path, &k);
        if (st != ERROR_SUCCESS) {
            cur.path = parent;
            break;
        }
        std::optional<std::string> target;
        if (todo.size() > 1 || followLast) target = linkTarget(k);
        todo.pop_back();
        drop(at);
        if (!target) {
            if (below) at = k;
            else machine_.closeKey(k);
            continue;
        }
        machine_.closeKey(k);
        const std::optional<Place> to = linkPlace(*target);
        if (!to || ++hops > kMaxLinkHops) return std::nullopt;
        cur = *to;
        // The target's own path may pass through links too.
        std::vector<std::string> parts = components(cur.path);
        cur.path.clear();
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.emplace_back(*it, true);
    }
    drop(at);
    for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
        cur.path = childPath(cur.path, it->first);
        *exists = false;
    }
    if (redirect && *exists)
        if (std::optional<Place> w = wowNode(cur)) cur = std::move(*w);
    return cur;
}

std::optional<Place> Keys::resolveFromRoot(int32_t root, const std::string& rest, bool followLast, bool* exists) {
    Place start{root, {}};
    if (wow32_ && root == HKEY_CLASSES_ROOT) {
        bool found;
        const std::optional<Place> classes = resolve({HKEY_LOCAL_MACHINE, {}}, "Software\\Classes", true, &found);
        if (!classes || !found) {
            *exists = false;
            return Place{root, rest};
        }
        start = *classes;
    }
    return resolve(std::move(start), rest, followLast, exists);
}

std::optional<Place> Keys::enter(const Place& parent, const std::string& name) {
    bool exists;
    return resolve(parent, name, true, &exists);
}

std::vector<std::string> Keys::subkeyNames(HKey k) {
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; machine_.enumKey(k, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
}

void Keys::walkTree(const Place& at, const std::string& shown, bool linkBacks,
                    const std::function<bool(const Place&, const std::string&)>& visit) {
    struct Frame {
        Place place;
        std::string shown, id;
        std::vector<std::string> subs;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    std::unordered_set<std::string> onPath;
    auto enterKey = [&](const Place& p, const std::string& sh, std::string id) {
        HKey k;
        std::vector<std::string> subs;
        if (machine_.openKey(p.root, p.path, &k) == ERROR_SUCCESS) {
            subs = subkeyNames(k);
            machine_.closeKey(k);
        }
        onPath.insert(id);
        stack.push_back(Frame{p, sh, std::move(id), std::move(subs), 0});
    };
    enterKey(at, shown, identity(at));
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.subs.size()) {
            onPath.erase(f.id);
            stack.pop_back();
            continue;
        }
        const std::string& name = f.subs[f.next++];
        const std::optional<Place> child = enter(f.place, name);
        if (!child) continue;
        std::string sh = f.shown + '\\' + name;
        std::string id = identity(*child);
        const bool linkBack = onPath.count(id) > 0;
        if (linkBack && !linkBacks) continue;
        if (visit(*child, sh) && !linkBack) enterKey(*child, sh, std::move(id));
    }
}

std::vector<StoredValue> Keys::valuesOf(HKey k) {
    std::vector<StoredValue> values;
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; machine_.enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        values.push_back({utf8ToUtf16(name), type, data});
    return values;
}

}  // namespace qv::reg::cli
