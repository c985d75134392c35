// A Windows installation as a machine: its hives are read whole into the store's trees when it
// opens, so every registry call works as on a Wine prefix; a commit turns the pending changes of
// each hive into libhivex edits and replaces the changed hives together.
//
// HKEY_LOCAL_MACHINE is a tree whose "Software" and "System" keys are the roots of SOFTWARE and
// SYSTEM; HKEY_CURRENT_USER is NTUSER.DAT with UsrClass.dat in place of Software\Classes, as
// Windows links it. HKEY_CLASSES_ROOT is the merged view of both Classes keys.
#include <sys/stat.h>

#include <cstdio>
#include <unordered_map>

#include "registry/machines/machine.h"
#include "registry/text.h"
#include "registry/windows/hive.h"
#include "registry/windows/hivecommit.h"
#include "registry/windows/hiveutil.h"
#include "registry/wine/winefile.h"

namespace qv::reg {

using namespace hive;

namespace {

// Names of two lists in the store's order, each once: the user's spelling where both have one.
std::vector<std::u16string> namesOfBoth(size_t nu, const std::function<std::u16string(size_t)>& user, size_t nm,
                                        const std::function<std::u16string(size_t)>& machine) {
    std::vector<std::u16string> out;
    out.reserve(nu + nm);
    for (size_t i = 0, j = 0; i < nu || j < nm;) {
        const int c = i == nu ? 1 : j == nm ? -1 : compareNames(user(i), machine(j));
        out.push_back(c <= 0 ? user(i++) : machine(j++));
        if (c == 0) ++j;
    }
    return out;
}

// A key of HKEY_CLASSES_ROOT that both Classes keys hold. Windows shows the subkeys and values
// of both at every level, each name once, the user's value where both have one.
struct MergedKey {
    RegKey* user = nullptr;
    RegKey* machine = nullptr;
    // Listed when an enumeration starts, so that one walk sees one list.
    std::vector<std::u16string> keys, values;

    void listKeys() {
        keys = namesOfBoth(user->subkeys.size(), [&](size_t i) { return user->subkeys.nameAt(i); },
                           machine->subkeys.size(), [&](size_t i) { return machine->subkeys.nameAt(i); });
    }
    void listValues() {
        const std::vector<RegValue>& u = user->values();
        const std::vector<RegValue>& m = machine->values();
        values = namesOfBoth(u.size(), [&](size_t i) { return u[i].name; }, m.size(), [&](size_t i) { return m[i].name; });
    }
    const RegValue* value(std::u16string_view n) const {
        const RegValue* v = user->value(n);
        return v ? v : machine->value(n);
    }
};

// A place in HKEY_CLASSES_ROOT: the key of that path in each Classes key that holds one.
struct ClassPlace {
    RegKey* user = nullptr;
    RegKey* machine = nullptr;
    bool found() const { return user || machine; }
};

class WindowsMachine final : public Machine {
public:
    WindowsMachine(fs::path drive, std::string user) : Machine(Kind::Windows, drive), drive_(std::move(drive)) {
        userWanted_ = std::move(user);
    }

    void open();

    std::string windowsDirectory() const override { return windowsDir_; }
    std::string systemDirectory() const override { return windowsDir_ + "\\System32"; }
    std::string userSid() const override { return userSid_; }
    void commit() override;
    void refresh() override { reload(true); }
    bool filesAsRead() const override { return false; }
    void discardChanges() override { reload(false); }
    int32_t applyOp(const ChangeOp& op, Applier& at, bool sameKey, std::string* error) override;

    int32_t openKey(int32_t root, std::string_view path, HKey* out) override;
    int32_t createKey(int32_t root, std::string_view path, HKey* out) override;
    void closeKey(HKey key) override { merged_.erase(key); }
    int32_t queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) override;
    int32_t setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) override {
        // On a key both hold the user's takes the value, as Windows writes it.
        const MergedKey* m = mergedOf(key);
        return Machine::setValue(m ? m->user : key, name, type, data);
    }
    int32_t deleteValue(HKey key, std::string_view name) override;
    int32_t deleteKey(int32_t root, std::string_view path) override;
    int32_t enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type, std::string* data) override;
    int32_t enumKey(HKey key, uint32_t index, std::string* name) override;
    int32_t queryInfoKey(HKey key, KeyInfo* info) override;
    int32_t copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) override;
    int32_t moveKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) override;

private:
    struct Target {  // a concrete place for an HKEY_CLASSES_ROOT path
        int32_t root = HKEY_LOCAL_MACHINE;
        std::string path;
    };

    void findHives();
    void chooseUser(const RegKey* software);
    void buildTrees(std::unique_ptr<RegFile>* system, std::unique_ptr<RegFile>* user);
    void reload(bool keepChanges);
    void recoverInterruptedCommit() {
        for (std::string& n : recoverHiveCommit(config_, drive_)) addNote(std::move(n));
    }

    std::string mapSystem(std::string_view path) const;
    ClassPlace classPlace(std::string_view path) const;
    RegKey* classesRoot(bool user) const;
    std::vector<Target> existingTargets(std::string_view path) const;
    Target classesKey(int32_t root, std::string_view path) const;
    Target valueTarget(std::string_view path) const;
    std::vector<Target> sourcesOf(int32_t root, std::string_view path) const;
    Target destinationOf(int32_t root, std::string_view path) const;
    bool userHolds(int32_t root, std::string_view path) const {
        return root == HKEY_CLASSES_ROOT && classPlace(path).user;
    }
    int32_t copyThroughView(int32_t srcRoot, std::string_view srcPath, std::string_view dstPath);
    HKey handleFor(const ClassPlace& p);
    MergedKey* mergedOf(HKey key) const {
        auto it = merged_.find(key);
        return it == merged_.end() ? nullptr : it->second.get();
    }

    fs::path drive_, config_;
    std::string userWanted_;
    std::string userSid_;  // the chosen user's, when ProfileList names it
    std::string windowsDir_ = "C:\\Windows";
    int currentControlSet_ = 1;
    std::vector<Hive> hives_;  // SOFTWARE, SYSTEM, NTUSER.DAT, UsrClass.dat (when there)
    std::vector<WindowsUser> users_;
    std::unordered_map<HKey, std::unique_ptr<MergedKey>> merged_;
};

RegKey* attach(RegKey* parent, std::u16string name) {
    bool found = false;
    const size_t at = parent->subkeyPosition(name, &found);
    if (found) return parent->subkeys[at].get();
    auto k = std::make_unique<RegKey>();
    k->name = std::move(name);
    k->parent = parent;
    RegKey* raw = k.get();
    parent->subkeys.insert(parent->subkeys.begin() + static_cast<ptrdiff_t>(at), std::move(k));
    return raw;
}

std::string textOf(const RegValue* v) {
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return {};
    std::u16string t = bytesToUtf16(v->data);
    t.resize(std::min(t.size(), t.find(u'\0')));
    return utf16ToUtf8(t);
}

const RegKey* descend(const RegKey* k, std::u16string_view path) {
    for (const std::u16string& c : components16(path)) {
        if (!k) return nullptr;
        k = k->subkey(c);
    }
    return k;
}

void WindowsMachine::findHives() {
    hives_.clear();
    std::string amb;
    std::optional<fs::path> config;
    for (const char* win : {"Windows", "WINNT"}) {
        config = findCaseless(drive_, std::string(win) + "/System32/config", &amb);
        if (config || !amb.empty()) break;
    }
    if (!amb.empty()) throw MachineError(amb + " exists in more than one spelling of letter case; Quorvel cannot tell which one Windows uses");
    if (!config)
        throw MachineError(drive_.string() + " is not a Windows system drive: it has no Windows/System32/config folder");
    config_ = *config;
    for (const char* name : {"SOFTWARE", "SYSTEM"}) {
        std::string twice;
        const std::optional<fs::path> p = findCaseless(config_, name, &twice);
        if (!twice.empty())
            throw MachineError((config_ / name).string() + " exists in more than one spelling of letter case");
        if (!p) throw MachineError(drive_.string() + " has no " + (config_ / name).string() + " hive");
        Hive h;
        h.label = name;
        h.path = *p;
        h.mount = {name == std::string("SOFTWARE") ? u"Software" : u"System"};
        hives_.push_back(std::move(h));
    }
}

void WindowsMachine::chooseUser(const RegKey* software) {
    users_.clear();
    auto addUser = [&](WindowsUser u) {
        std::error_code ec;
        for (const WindowsUser& o : users_)
            if (fs::equivalent(o.folder, u.folder, ec)) return;
        users_.push_back(std::move(u));
    };
    // ProfileList names the real accounts' folders; the profile folders are the fallback.
    const RegKey* profiles = descend(software, u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
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
        if (auto folder = findCaseless(drive_, p)) {
            u.folder = *folder;
            u.name = folder->filename().string();
            if (auto nt = findCaseless(*folder, "NTUSER.DAT")) u.ntuser = *nt;
        } else {
            u.folder = drive_ / p;
        }
        addUser(std::move(u));
    }
    for (const char* base : {"Users", "Documents and Settings"}) {
        auto dir = findCaseless(drive_, base);
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
    std::sort(users_.begin(), users_.end(), [](const WindowsUser& a, const WindowsUser& b) { return a.name < b.name; });

    auto list = [&] {
        std::string l;
        for (const WindowsUser& u : users_)
            l += "\n  " + u.name + (u.sid.empty() ? "" : " (" + u.sid + ")") + (u.ntuser.empty() ? " - no NTUSER.DAT" : "");
        return l;
    };
    const WindowsUser* chosen = nullptr;
    if (!userWanted_.empty()) {
        for (const WindowsUser& u : users_)
            if (sameAscii(u.name, userWanted_) || sameAscii(u.sid, userWanted_)) chosen = &u;
        if (!chosen)
            throw MachineError("This Windows has no user " + userWanted_ +
                               (users_.empty() ? std::string("; it has no user profiles at all") : "; its users are:" + list()));
    } else {
        std::vector<const WindowsUser*> available;
        for (const WindowsUser& u : users_)
            if (!u.ntuser.empty()) available.push_back(&u);
        if (available.size() != 1)
            throw MachineError(available.empty()
                                   ? "This Windows has no user profile with an NTUSER.DAT" + (users_.empty() ? std::string() : ":" + list())
                                   : "This Windows has several users; choose one with --windows-user NAME:" + list());
        chosen = available.front();
    }
    userSid_ = chosen->sid;
    if (chosen->ntuser.empty())
        throw MachineError("The profile of " + chosen->name + " (" + chosen->folder.string() + ") has no NTUSER.DAT");
    Hive nt;
    nt.label = chosen->name + "'s NTUSER.DAT";
    nt.path = chosen->ntuser;
    nt.user = true;
    hives_.push_back(std::move(nt));
    std::string amb;
    std::optional<fs::path> classes = findCaseless(chosen->folder, "AppData/Local/Microsoft/Windows/UsrClass.dat", &amb);
    if (!classes && amb.empty())
        classes = findCaseless(chosen->folder, "Local Settings/Application Data/Microsoft/Windows/UsrClass.dat", &amb);
    if (classes) {
        Hive uc;
        uc.label = chosen->name + "'s UsrClass.dat";
        uc.path = *classes;
        uc.user = true;
        uc.mount = {u"Software", u"Classes"};
        hives_.push_back(std::move(uc));
    } else {
        addNote("The profile of " + chosen->name + " has no UsrClass.dat: its own file classes are empty and cannot be saved");
    }
}

void WindowsMachine::buildTrees(std::unique_ptr<RegFile>* system, std::unique_ptr<RegFile>* user) {
    findHives();
    *system = RegFile::create("", "");
    *user = RegFile::create("", "");
    std::vector<std::string> notes;
    // The machine's hives first: SOFTWARE names the users.
    for (size_t i = 0;; ++i) {
        if (i == 2) {
            RegKey* software = nullptr;
            (*system)->findKey(u"Software", &software);
            chooseUser(software);
        }
        if (i >= hives_.size()) break;
        Hive& hv = hives_[i];
        std::string why;
        struct stat st;
        if (::stat(hv.path.c_str(), &st) != 0)
            throw MachineError("Could not read " + hv.path.string() + ": " + errnoText(errno));
        if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxFileSize)
            throw MachineError("Could not read " + hv.path.string() + ": it is not a regular file of a sane size");
        hv.id = *hiveFileId(hv.path);
        // The header's own words say best why a file cannot be read; libhivex has only an errno.
        const HiveHeader head = readHiveHeader(hv.path);
        if (!head.readable) throw MachineError("Could not read " + hv.path.string() + ": " + head.problem + "; it is left as it is");
        hv.unsafe = head.problem;
        if (hv.unsafe.empty())
            if (auto log = newerHiveLog(hv.path, head.seq1)) hv.unsafe = "its log " + *log + " holds newer changes";
        if (!hv.unsafe.empty())
            notes.push_back(hv.path.string() + ": " + hv.unsafe + "; it is shown as the file holds it and will not be written");
        RegKey* at = &(hv.user ? **user : **system).root();
        for (const std::u16string& c : hv.mount) at = attach(at, c);
        // A Classes key NTUSER.DAT may hold itself is not what Windows shows there.
        at->subkeys.clear();
        at->values().clear();
        try {
            readHive(hv, head, static_cast<uint64_t>(st.st_size), at, &notes);
        } catch (const HiveError& e) {
            throw MachineError(e.what());
        }
        if (hv.label == "SOFTWARE") {
            const RegKey* cv = descend(at, u"Microsoft\\Windows NT\\CurrentVersion");
            const std::string root = cv ? textOf(cv->value(u"SystemRoot")) : std::string();
            if (root.size() > 2 && root[1] == ':') windowsDir_ = "C:" + root.substr(2);
        }
        if (hv.label == "SYSTEM") {
            const RegKey* select = descend(at, u"Select");
            const RegValue* cur = select ? select->value(u"Current") : nullptr;
            if (cur && cur->type == REG_DWORD && cur->data.size() == 4) {
                currentControlSet_ = static_cast<int>(u32(reinterpret_cast<const unsigned char*>(cur->data.data())));
            } else {
                notes.push_back(hv.path.string() + " has no Select\\Current; CurrentControlSet is ControlSet001");
            }
            char cs[32];
            std::snprintf(cs, sizeof cs, "ControlSet%03d", currentControlSet_);
            const RegKey* power = descend(at, utf8ToUtf16(std::string(cs) + "\\Control\\Session Manager\\Power"));
            const RegValue* fast = power ? power->value(u"HiberbootEnabled") : nullptr;
            if (fast && fast->data.size() >= 4 && fast->data[0] == 1)
                notes.push_back("Fast Startup is switched on in this Windows: unless Windows was restarted or shut down "
                                "with Shift held, its hives may be out of date and will not be written");
        }
    }
    if (hives_.size() < 4) attach(attach(&(*user)->root(), u"Software"), u"Classes");
    if (windowsHibernated(drive_))
        notes.push_back("Windows on " + drive_.string() +
                        " is hibernated (or shut down with Fast Startup): nothing can be saved until it is started "
                        "and shut down fully");
    for (std::string& n : notes) addNote(std::move(n));
}

void WindowsMachine::reload(bool keepChanges) {
    std::unique_ptr<RegFile> system, user;
    std::vector<Hive> before = hives_;
    bool changedOnDisk = false;
    for (const Hive& hv : hives_) changedOnDisk = changedOnDisk || !(hiveFileId(hv.path) == std::optional<HiveFileId>(hv.id));
    if (!changedOnDisk) {
        // The trees take their own changes back exactly; only new files need reading.
        if (!keepChanges) rollbackTo(Mark{});
        return;
    }
    try {
        buildTrees(&system, &user);
    } catch (...) {
        hives_ = std::move(before);
        throw;
    }
    if (keepChanges) {
        system->replay(systemTree().journal());
        user->replay(userTree().journal());
    }
    merged_.clear();
    adoptTrees(std::move(system), hives_[0].path, std::move(user), hives_[2].path);
}

// ---- paths ---------------------------------------------------------------------------------

std::string WindowsMachine::mapSystem(std::string_view path) const {
    std::vector<std::string> parts = components(path, '\\');
    if (parts.size() >= 2 && sameAscii(parts[0], "System") && sameAscii(parts[1], "CurrentControlSet")) {
        char cs[32];
        std::snprintf(cs, sizeof cs, "ControlSet%03d", currentControlSet_);
        parts[1] = cs;
        return join(parts);
    }
    return std::string(path);
}

RegKey* WindowsMachine::classesRoot(bool user) const {
    // Without a UsrClass.dat the user has no classes of their own.
    if (user && hives_.size() < 4) return nullptr;
    RegKey* k = nullptr;
    (user ? userTree() : systemTree()).findKey(u"Software\\Classes", &k);
    return k;
}

ClassPlace WindowsMachine::classPlace(std::string_view path) const {
    ClassPlace p{classesRoot(true), classesRoot(false)};
    for (const std::string& c : components(path, '\\')) {
        const std::u16string n = utf8ToUtf16(c);
        p = {p.user ? p.user->subkey(n) : nullptr, p.machine ? p.machine->subkey(n) : nullptr};
        if (!p.found()) return {};
    }
    return p;
}

HKey WindowsMachine::handleFor(const ClassPlace& p) {
    if (!p.user || !p.machine) return p.user ? static_cast<HKey>(p.user) : static_cast<HKey>(p.machine);
    auto m = std::make_unique<MergedKey>();
    m->user = p.user;
    m->machine = p.machine;
    HKey h = m.get();
    merged_[h] = std::move(m);
    return h;
}

// Where an existing HKEY_CLASSES_ROOT key lives: the machine's classes, the user's, or both.
std::vector<WindowsMachine::Target> WindowsMachine::existingTargets(std::string_view path) const {
    const ClassPlace p = classPlace(path);
    std::vector<Target> out;
    if (p.machine) out.push_back({HKEY_LOCAL_MACHINE, utf16ToUtf8(p.machine->path())});
    if (p.user) out.push_back({HKEY_CURRENT_USER, utf16ToUtf8(p.user->path())});
    return out;
}

// A path below the Classes key of HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER. Keys made through
// HKEY_CLASSES_ROOT go to the machine's, as Windows makes them, all the way down (below a key
// only the user has too).
WindowsMachine::Target WindowsMachine::classesKey(int32_t root, std::string_view path) const {
    const std::string rest = join(components(path, '\\'));
    return {root, rest.empty() ? std::string("Software\\Classes") : "Software\\Classes\\" + rest};
}

// A value set through HKEY_CLASSES_ROOT goes to the user's key where the user's classes hold the
// key, as Windows writes it, and to the machine's otherwise.
WindowsMachine::Target WindowsMachine::valueTarget(std::string_view path) const {
    const ClassPlace p = classPlace(path);
    if (p.user) return {HKEY_CURRENT_USER, utf16ToUtf8(p.user->path())};
    return classesKey(HKEY_LOCAL_MACHINE, path);
}

// The keys a copy or move takes: both Classes keys' for HKEY_CLASSES_ROOT, the machine's first so
// that the user's win where both hold a value.
std::vector<WindowsMachine::Target> WindowsMachine::sourcesOf(int32_t root, std::string_view path) const {
    if (root == HKEY_CLASSES_ROOT) return existingTargets(path);
    return {{root, root == HKEY_LOCAL_MACHINE ? mapSystem(path) : std::string(path)}};
}

// Where a copy lands whole; HKEY_CLASSES_ROOT only when the user's classes do not hold it.
WindowsMachine::Target WindowsMachine::destinationOf(int32_t root, std::string_view path) const {
    if (root == HKEY_CLASSES_ROOT) return classesKey(HKEY_LOCAL_MACHINE, path);
    return {root, root == HKEY_LOCAL_MACHINE ? mapSystem(path) : std::string(path)};
}

// ---- registry calls ------------------------------------------------------------------------

int32_t WindowsMachine::openKey(int32_t root, std::string_view path, HKey* out) {
    if (root == HKEY_LOCAL_MACHINE) return Machine::openKey(root, mapSystem(path), out);
    if (root != HKEY_CLASSES_ROOT) return Machine::openKey(root, path, out);
    const ClassPlace p = classPlace(path);
    if (!p.found()) return ERROR_FILE_NOT_FOUND;
    *out = handleFor(p);
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::createKey(int32_t root, std::string_view path, HKey* out) {
    if (root == HKEY_LOCAL_MACHINE) return Machine::createKey(root, mapSystem(path), out);
    if (root != HKEY_CLASSES_ROOT) return Machine::createKey(root, path, out);
    const ClassPlace p = classPlace(path);
    if (p.found()) {
        *out = handleFor(p);
        return ERROR_SUCCESS;
    }
    const Target t = classesKey(HKEY_LOCAL_MACHINE, path);
    return Machine::createKey(t.root, t.path, out);
}

int32_t WindowsMachine::queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) {
    const MergedKey* m = mergedOf(key);
    if (!m) return Machine::queryValue(key, name, type, data);
    const RegValue* v = m->value(utf8ToUtf16(name));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    if (data) *data = v->data;
    return ERROR_SUCCESS;
}

// A value of a key both hold leaves the view only when it leaves both.
int32_t WindowsMachine::deleteValue(HKey key, std::string_view name) {
    const MergedKey* m = mergedOf(key);
    if (!m) return Machine::deleteValue(key, name);
    const bool user = Machine::deleteValue(m->user, name) == ERROR_SUCCESS;
    const bool machine = Machine::deleteValue(m->machine, name) == ERROR_SUCCESS;
    return user || machine ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

int32_t WindowsMachine::deleteKey(int32_t root, std::string_view path) {
    if (root == HKEY_LOCAL_MACHINE) return Machine::deleteKey(root, mapSystem(path));
    if (root != HKEY_CLASSES_ROOT) return Machine::deleteKey(root, path);
    if (path.find_first_not_of('\\') == std::string_view::npos) return ERROR_ACCESS_DENIED;
    const std::vector<Target> ts = existingTargets(path);
    if (ts.empty()) return ERROR_FILE_NOT_FOUND;
    const Mark start = mark();
    for (const Target& t : ts) {
        if (int32_t st = Machine::deleteKey(t.root, t.path)) {
            rollbackTo(start);
            return st;
        }
    }
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::enumKey(HKey key, uint32_t index, std::string* name) {
    MergedKey* m = mergedOf(key);
    if (!m) return Machine::enumKey(key, index, name);
    if (index == 0 || m->keys.empty()) m->listKeys();
    if (index >= m->keys.size()) return ERROR_NO_MORE_ITEMS;
    if (name) *name = utf16ToUtf8(m->keys[index]);
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type, std::string* data) {
    MergedKey* m = mergedOf(key);
    if (!m) return Machine::enumValue(key, index, name, type, data);
    if (index == 0 || m->values.empty()) m->listValues();
    const RegValue* v = index < m->values.size() ? m->value(m->values[index]) : nullptr;
    if (!v) return ERROR_NO_MORE_ITEMS;
    if (name) *name = utf16ToUtf8(v->name);
    if (type) *type = v->type;
    if (data) *data = v->data;
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::queryInfoKey(HKey key, KeyInfo* info) {
    MergedKey* m = mergedOf(key);
    if (!m) return Machine::queryInfoKey(key, info);
    m->listKeys();
    m->listValues();
    KeyInfo r;
    r.subkeys = static_cast<uint32_t>(m->keys.size());
    r.values = static_cast<uint32_t>(m->values.size());
    for (const std::u16string& n : m->keys) r.maxSubkeyNameLength = std::max<uint32_t>(r.maxSubkeyNameLength, static_cast<uint32_t>(n.size()));
    for (const std::u16string& n : m->values) {
        r.maxValueNameLength = std::max<uint32_t>(r.maxValueNameLength, static_cast<uint32_t>(n.size()));
        r.maxValueDataLength = std::max<uint32_t>(r.maxValueDataLength, static_cast<uint32_t>(m->value(n)->data.size()));
    }
    *info = r;
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    const std::vector<Target> from = sourcesOf(srcRoot, srcPath);
    if (from.empty()) return ERROR_FILE_NOT_FOUND;
    if (userHolds(dstRoot, dstPath)) return copyThroughView(srcRoot, srcPath, dstPath);
    const Target to = destinationOf(dstRoot, dstPath);
    const Mark start = mark();
    for (const Target& f : from) {
        if (int32_t st = Machine::copyKey(f.root, f.path, to.root, to.path)) {
            rollbackTo(start);
            return st;
        }
    }
    return ERROR_SUCCESS;
}

// A copy onto a key the user's classes hold, made key by key through HKEY_CLASSES_ROOT so that
// each key and value lands where a write there lands. The source is read whole first: the
// destination may lie inside it.
int32_t WindowsMachine::copyThroughView(int32_t srcRoot, std::string_view srcPath, std::string_view dstPath) {
    struct Node {
        std::string rel;
        std::vector<std::tuple<std::string, uint32_t, std::string>> values;
    };
    auto below = [](std::string_view base, const std::string& rel) {
        std::vector<std::string> parts = components(base, '\\');
        if (!rel.empty()) parts.push_back(rel);
        return join(parts);
    };
    std::vector<Node> nodes;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        Node n{std::move(pending.back()), {}};
        pending.pop_back();
        HKey k;
        if (int32_t st = openKey(srcRoot, below(srcPath, n.rel), &k)) return st;
        std::string name, data;
        uint32_t type = 0;
        for (uint32_t i = 0; enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i) n.values.emplace_back(name, type, data);
        for (uint32_t i = 0; enumKey(k, i, &name) == ERROR_SUCCESS; ++i) pending.push_back(below(n.rel, name));
        closeKey(k);
        nodes.push_back(std::move(n));
    }
    const Mark start = mark();
    for (const Node& n : nodes) {
        HKey k;
        int32_t st = createKey(HKEY_CLASSES_ROOT, below(dstPath, n.rel), &k);
        if (st == ERROR_SUCCESS) {
            for (const auto& [name, type, data] : n.values)
                if (st == ERROR_SUCCESS) st = setValue(k, name, type, data);
            closeKey(k);
        }
        if (st != ERROR_SUCCESS) {
            rollbackTo(start);
            return st;
        }
    }
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::moveKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    if (srcRoot != HKEY_CLASSES_ROOT && dstRoot != HKEY_CLASSES_ROOT)
        return Machine::moveKey(srcRoot, srcRoot == HKEY_LOCAL_MACHINE ? mapSystem(srcPath) : std::string(srcPath),
                                dstRoot, dstRoot == HKEY_LOCAL_MACHINE ? mapSystem(dstPath) : std::string(dstPath));
    if (srcPath.find_first_not_of('\\') == std::string_view::npos) return ERROR_ACCESS_DENIED;
    const std::vector<Target> from = sourcesOf(srcRoot, srcPath);
    if (from.empty()) return ERROR_FILE_NOT_FOUND;
    // A key renamed within HKEY_CLASSES_ROOT to a name it does not show stays in the Classes key
    // that holds it (each part in its own, where both do); a key of one tree landing whole in one
    // place moves there. Either moves as one, so that a commit onto a file another program
    // changed moves the key as that file holds it.
    std::vector<Target> to;
    if (srcRoot == HKEY_CLASSES_ROOT && dstRoot == HKEY_CLASSES_ROOT && !classPlace(dstPath).found())
        for (const Target& f : from) to.push_back(classesKey(f.root, dstPath));
    else if (from.size() == 1 && !userHolds(dstRoot, dstPath))
        to.push_back(destinationOf(dstRoot, dstPath));
    const Mark start = mark();
    int32_t st = ERROR_SUCCESS;
    for (size_t i = 0; i < to.size(); ++i)
        if (!st) st = Machine::moveKey(from[i].root, from[i].path, to[i].root, to[i].path);
    if (!to.empty()) {
        if (st) rollbackTo(start);
        return st;
    }
    st = copyKey(srcRoot, srcPath, dstRoot, dstPath);
    for (const Target& f : from)
        if (!st) st = Machine::deleteKey(f.root, f.path);
    if (st) rollbackTo(start);
    return st;
}

int32_t WindowsMachine::applyOp(const ChangeOp& op, Applier& at, bool, std::string* error) {
    // Each HKEY_CLASSES_ROOT path is placed by what the operations before it made, so a key is
    // looked up again every time.
    if (op.root == HKEY_LOCAL_MACHINE) {
        ChangeOp c = op;
        c.key = utf8ToUtf16(mapSystem(utf16ToUtf8(op.key)));
        return Machine::applyOp(c, at, false, error);
    }
    if (op.root != HKEY_CLASSES_ROOT) return Machine::applyOp(op, at, false, error);
    const std::string path = utf16ToUtf8(op.key);
    std::vector<Target> ts;
    switch (op.kind) {
    case ChangeOp::Kind::CreateKey:
        if (classPlace(path).found()) return ERROR_SUCCESS;
        ts.push_back(classesKey(HKEY_LOCAL_MACHINE, path));
        break;
    case ChangeOp::Kind::SetValue: ts.push_back(valueTarget(path)); break;
    case ChangeOp::Kind::DeleteValue: ts = existingTargets(path); break;  // it leaves the view from both
    case ChangeOp::Kind::DeleteKey:
        if (path.find_first_not_of('\\') == std::string::npos) {
            ts.push_back({HKEY_LOCAL_MACHINE, "Software\\Classes"});  // refused below, as a root
            break;
        }
        ts = existingTargets(path);
        break;
    }
    for (const Target& t : ts) {
        ChangeOp c = op;
        c.root = t.root;
        c.key = utf8ToUtf16(t.path);
        if (op.kind == ChangeOp::Kind::DeleteKey && c.key == u"Software\\Classes") c.key.clear();
        if (int32_t st = Machine::applyOp(c, at, false, error)) return st;
    }
    return ERROR_SUCCESS;
}

void WindowsMachine::commit() {
    if (!hasChanges()) return;
    // Every change routed to the hive that holds its key.
    std::vector<std::unique_ptr<HiveEdit>> edits;
    auto editFor = [&](Hive& hv) -> HiveEdit& {
        for (auto& e : edits)
            if (&e->hive() == &hv) return *e;
        edits.push_back(std::make_unique<HiveEdit>(hv, hv.user ? userTree() : systemTree(),
                                                   hv.user ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE"));
        return *edits.back();
    };
    auto route = [&](const RegOp& op, bool userSide) {
        if (op.kind == RegOp::MoveKey) return;  // the ops after it carry the move
        const std::vector<std::u16string> parts = components16(op.path());
        const std::string where = std::string(userSide ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE") +
                                  (parts.empty() ? "" : "\\" + shown(join16(parts)));
        Hive* hv = nullptr;
        for (Hive& h : hives_) {
            if (h.user != userSide || h.mount.size() > parts.size()) continue;
            bool under = true;
            for (size_t i = 0; i < h.mount.size(); ++i) under = under && namesEqual(parts[i], h.mount[i]);
            if (under && (!hv || h.mount.size() > hv->mount.size())) hv = &h;
        }
        const bool classes = userSide && parts.size() >= 2 && namesEqual(parts[0], u"Software") && namesEqual(parts[1], u"Classes");
        if (!hv || (classes && hv->mount.empty()))
            throw MachineError(where + (classes ? ": this user has no UsrClass.dat to hold it"
                                                : ": no hive file holds this key (only Software and System are hives here)"));
        std::vector<std::u16string> rest(parts.begin() + static_cast<ptrdiff_t>(hv->mount.size()), parts.end());
        if (op.kind == RegOp::DeleteKey) {
            if (rest.empty() || (userSide && parts.size() == 1 && namesEqual(parts[0], u"Software")))
                throw MachineError(where + ": it holds a whole hive's root, which cannot be deleted");
            editFor(*hv).touch(std::move(rest), HiveEdit::Deep);
        } else {
            editFor(*hv).touch(std::move(rest), op.kind == RegOp::CreateKey ? HiveEdit::Exists : HiveEdit::Values);
        }
    };
    auto nothing = [](const std::string& why) { return MachineError(why + "; nothing was saved"); };
    try {
        for (const RegOp& op : systemTree().journal()) route(op, false);
        for (const RegOp& op : userTree().journal()) route(op, true);
    } catch (const MachineError& e) {
        throw nothing(e.what());
    }
    if (edits.empty()) return;

    std::optional<CommitLock> lock;
    try {
        lock.emplace(config_);
    } catch (const HiveError& e) {
        throw MachineError(e.what());
    }
    recoverInterruptedCommit();
    if (windowsHibernated(drive_))
        throw nothing("Windows on " + drive_.string() + " is hibernated or was shut down with Fast Startup, and would "
                      "overwrite these changes when it resumes; start Windows and shut it down fully (or switch "
                      "hibernation off with \"powercfg /h off\" in Windows)");
    if (!hives_[1].unsafe.empty())
        throw nothing("The SYSTEM hive " + hives_[1].path.string() + " is not clean (" + hives_[1].unsafe +
                      "): Windows did not shut down fully; start Windows and shut it down fully");
    for (auto& e : edits) {
        Hive& hv = e->hive();
        if (!hv.unsafe.empty())
            throw nothing(hv.path.string() + " cannot be written: " + hv.unsafe +
                          "; start Windows and shut it down fully, then open it again");
        if (!(hiveFileId(hv.path) == std::optional<HiveFileId>(hv.id)))
            throw nothing(hv.path.string() + " changed on disk since it was read; open the machine again");
        const HiveHeader head = readHiveHeader(hv.path);
        if (!head.problem.empty()) throw nothing(hv.path.string() + " cannot be written: " + head.problem);
        if (auto log = newerHiveLog(hv.path, head.seq1))
            throw nothing(hv.path.string() + " cannot be written: its log " + *log + " holds newer changes");
        try {
            checkWritable(hv);
        } catch (const HiveError& err) {
            throw nothing(err.what());
        }
    }

    try {
        beforeSave();
    } catch (const std::exception& e) {
        throw nothing(e.what());
    }
    // Every hive edited in memory and written whole beside itself before anything is replaced.
    std::vector<JournalEntry> entries;
    auto dropTemps = [&] {
        for (const JournalEntry& j : entries) ::unlink(j.tmp.c_str());
    };
    try {
        for (auto& e : edits) e->writeBeside(&entries);
        writeHiveJournal(config_, entries);
    } catch (const HiveError& e) {
        dropTemps();
        throw nothing(e.what());
    }
    const std::string failed = replaceHives(config_, entries, [&](const fs::path& p) { beforeRename(p); });
    if (!failed.empty())
        throw MachineError(failed + "; the save is completed when the machine is next opened");
    for (auto& e : edits) e->hive().id = *hiveFileId(e->hive().path);
    systemTree().clearJournal();
    userTree().clearJournal();
}

void WindowsMachine::open() {
    std::error_code ec;
    if (!fs::is_directory(drive_, ec)) throw MachineError("The Windows drive " + drive_.string() + " does not exist");
    findHives();
    std::unique_ptr<RegFile> system, user;
    {
        // Under the commit lock, so that the hives are read as one commit left them.
        std::optional<CommitLock> lock;
        try {
            lock.emplace(config_);
        } catch (const HiveError&) {
            // A folder that cannot be locked can still be read.
        }
        recoverInterruptedCommit();
        buildTrees(&system, &user);
        removeCommitLeftovers(config_, hives_);
    }
    adoptTrees(std::move(system), hives_[0].path, std::move(user), hives_[2].path);
    setDrive('C', drive_);
}

}  // namespace

std::unique_ptr<Machine> Machine::openWindows(const fs::path& driveIn, const std::string& user) {
    std::error_code ec;
    fs::path drive = fs::absolute(driveIn, ec);
    if (ec) drive = driveIn;
    auto m = std::make_unique<WindowsMachine>(drive.lexically_normal(), user);
    m->open();
    return m;
}

}  // namespace qv::reg
