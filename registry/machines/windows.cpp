// A Windows installation as a machine: its hives are read whole into the store's trees when it
// opens, so every registry call works as on a Wine prefix; a commit turns the pending changes of
// each hive into libhivex edits and replaces the changed hives together.
//
// HKEY_LOCAL_MACHINE is a tree whose "Software" and "System" keys are the roots of SOFTWARE and
// SYSTEM; HKEY_CURRENT_USER is NTUSER.DAT with UsrClass.dat in place of Software\Classes, as
// Windows links it. HKEY_CLASSES_ROOT is the merged view of both Classes keys (classes.cpp).
#include <sys/stat.h>

#include "registry/machines/classes.h"
#include "registry/machines/machine.h"
#include "registry/text.h"
#include "registry/windows/hive.h"
#include "registry/windows/hivecommit.h"
#include "registry/windows/hiveutil.h"
#include "registry/windows/installation.h"
#include "registry/wine/winefile.h"

namespace qv::reg {

using namespace hive;

namespace {

class WindowsMachine final : public Machine {
public:
    WindowsMachine(fs::path drive, std::string user) : Machine(Kind::Windows, drive), drive_(std::move(drive)) {
        userWanted_ = std::move(user);
    }

    void open();

    std::vector<std::string> warnings() const override {
        // Hives are read as they are used: what reading met so far.
        std::vector<std::string> all = Machine::warnings();
        for (const auto& src : sources_)
            for (std::string& n : src->notes()) all.push_back(std::move(n));
        return all;
    }
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
    void closeKey(HKey key) override { classes_.close(key); }
    int32_t queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) override;
    int32_t setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) override {
        // On a key both hold the user's takes the value, as Windows writes it.
        const MergedKey* m = classes_.mergedOf(key);
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
    using Target = ClassesView::Target;

    void findHives();
    void chooseUser(const RegKey* software);
    void buildTrees(std::unique_ptr<RegFile>* system, std::unique_ptr<RegFile>* user,
                    std::vector<std::shared_ptr<HiveSource>>* sources);
    void reload(bool keepChanges);
    void recoverInterruptedCommit() {
        for (std::string& n : recoverHiveCommit(config_, drive_)) addNote(std::move(n));
    }

    RegKey* classesRoot(bool user) const;

    fs::path drive_, config_;
    std::string userWanted_;
    std::string userSid_;  // the chosen user's, when ProfileList names it
    std::string windowsDir_ = "C:\\Windows";
    std::vector<Hive> hives_;  // SOFTWARE, SYSTEM, NTUSER.DAT, UsrClass.dat (when there)
    // The hives the trees read from, in hives_' order; and every earlier one, which copies of
    // its keys (in journals, in trees replayed) may still read.
    std::vector<std::shared_ptr<HiveSource>> sources_, retired_;
    ClassesView classes_{[this](bool user) { return classesRoot(user); }};
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
    const std::vector<WindowsUser> users = listWindowsUsers(drive_, software);
    const WindowsUser* chosen = nullptr;
    try {
        chosen = &chooseWindowsUser(users, userWanted_);
    } catch (const HiveError& e) {
        throw MachineError(e.what());
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

void WindowsMachine::buildTrees(std::unique_ptr<RegFile>* system, std::unique_ptr<RegFile>* user,
                                std::vector<std::shared_ptr<HiveSource>>* built) {
    findHives();
    std::vector<std::shared_ptr<HiveSource>>& sources = *built;
    *system = RegFile::create("", "");
    *user = RegFile::create("", "");
    std::vector<std::string> notes;
    std::vector<std::unique_ptr<RegFile>> glances;  // kept while the open reads them
    RegKey* software = nullptr;
    // The machine's hives first: SOFTWARE names the users.
    for (size_t i = 0;; ++i) {
        if (i == 2) chooseUser(software);
        if (i >= hives_.size()) break;
        Hive& hv = hives_[i];
        std::shared_ptr<HiveSource> src;
        try {
            src = std::make_shared<HiveSource>(hv);
        } catch (const HiveError& e) {
            throw MachineError(e.what());
        }
        sources.push_back(src);
        const HiveHeader& head = src->header();
        hv.unsafe = head.problem;
        if (hv.unsafe.empty())
            if (auto log = newerHiveLog(hv.path, head.seq1)) hv.unsafe = "its log " + *log + " holds newer changes";
        if (!hv.unsafe.empty())
            notes.push_back(hv.path.string() + ": " + hv.unsafe + "; it is shown as the file holds it and will not be written");
        // UsrClass.dat stands in for NTUSER.DAT's own Software\Classes, as Windows links it; the
        // keys of each are read when first used.
        RegKey* at = &(hv.user ? **user : **system).root();
        if (i == 3) {
            sources[2]->graftClasses(src.get());
            continue;
        }
        for (const std::u16string& c : hv.mount) at = attach(at, c);
        src->mount(at);
        // What the open reads of SOFTWARE and SYSTEM, read without opening them whole when it can.
        glances.push_back(RegFile::create("", ""));
        auto read = [&, glance = &glances.back()->root()](std::vector<std::u16string> paths) -> RegKey* {
            return src->glance(paths, glance) ? glance : at;
        };
        if (hv.label == "SOFTWARE") {
            software = read({u"Microsoft\\Windows NT\\CurrentVersion", u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\*"});
            if (std::string dir = windowsFolderOf(software); !dir.empty()) windowsDir_ = std::move(dir);
        }
        if (hv.label == "SYSTEM") {
            if (const std::optional<int> cs = currentControlSetOf(read({u"Select"}))) classes_.setControlSet(*cs);
            else notes.push_back(hv.path.string() + " has no Select\\Current; CurrentControlSet is ControlSet001");
            const std::u16string power = utf8ToUtf16(controlSetName(classes_.controlSet())) + u"\\Control\\Session Manager\\Power";
            if (fastStartupOn(read({power}), classes_.controlSet()))
                notes.push_back("Fast Startup is switched on in this Windows: unless Windows was restarted or shut down "
                                "with Shift held, its hives may be out of date and will not be written");
        }
    }
    if (hives_.size() < 4) sources[2]->graftClasses(nullptr);
    // What the open read of a hive must be readable.
    for (const auto& src : sources)
        if (!src->failure().empty()) throw MachineError(src->failure());
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
    for (const Hive& hv : hives_) changedOnDisk = changedOnDisk || !(fileIdAt(hv.path) == std::optional<FileId>(hv.id));
    if (!changedOnDisk) {
        // The trees take their own changes back exactly; only new files need reading.
        if (!keepChanges) rollbackTo(Mark{});
        return;
    }
    std::vector<std::shared_ptr<HiveSource>> sources;
    try {
        buildTrees(&system, &user, &sources);
    } catch (...) {
        hives_ = std::move(before);
        throw;
    }
    if (keepChanges) {
        system->replay(systemTree().journal());
        user->replay(userTree().journal());
    }
    classes_.closeAll();
    adoptTrees(std::move(system), hives_[0].path, std::move(user), hives_[2].path);
    retired_.insert(retired_.end(), sources_.begin(), sources_.end());
    sources_ = std::move(sources);
}

RegKey* WindowsMachine::classesRoot(bool user) const {
    // Without a UsrClass.dat the user has no classes of their own.
    if (user && hives_.size() < 4) return nullptr;
    RegKey* k = nullptr;
    (user ? userTree() : systemTree()).findKey(u"Software\\Classes", &k);
    return k;
}

// ---- registry calls ------------------------------------------------------------------------

int32_t WindowsMachine::openKey(int32_t root, std::string_view path, HKey* out) {
    if (root == HKEY_LOCAL_MACHINE) return Machine::openKey(root, classes_.mapSystem(path), out);
    if (root != HKEY_CLASSES_ROOT) return Machine::openKey(root, path, out);
    const ClassPlace p = classes_.place(path);
    if (!p.found()) return ERROR_FILE_NOT_FOUND;
    *out = classes_.handleFor(p);
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::createKey(int32_t root, std::string_view path, HKey* out) {
    if (root == HKEY_LOCAL_MACHINE) return Machine::createKey(root, classes_.mapSystem(path), out);
    if (root != HKEY_CLASSES_ROOT) return Machine::createKey(root, path, out);
    const ClassPlace p = classes_.place(path);
    if (p.found()) {
        *out = classes_.handleFor(p);
        return ERROR_SUCCESS;
    }
    const Target t = classes_.classesKey(HKEY_LOCAL_MACHINE, path);
    return Machine::createKey(t.root, t.path, out);
}

int32_t WindowsMachine::queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) {
    const MergedKey* m = classes_.mergedOf(key);
    return m ? m->queryValue(name, type, data) : Machine::queryValue(key, name, type, data);
}

// A value of a key both hold leaves the view only when it leaves both.
int32_t WindowsMachine::deleteValue(HKey key, std::string_view name) {
    const MergedKey* m = classes_.mergedOf(key);
    if (!m) return Machine::deleteValue(key, name);
    const bool user = Machine::deleteValue(m->user, name) == ERROR_SUCCESS;
    const bool machine = Machine::deleteValue(m->machine, name) == ERROR_SUCCESS;
    return user || machine ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

int32_t WindowsMachine::deleteKey(int32_t root, std::string_view path) {
    if (root == HKEY_LOCAL_MACHINE) return Machine::deleteKey(root, classes_.mapSystem(path));
    if (root != HKEY_CLASSES_ROOT) return Machine::deleteKey(root, path);
    if (path.find_first_not_of('\\') == std::string_view::npos) return ERROR_ACCESS_DENIED;
    const std::vector<Target> ts = classes_.existingTargets(path);
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
    MergedKey* m = classes_.mergedOf(key);
    return m ? m->enumKey(index, name) : Machine::enumKey(key, index, name);
}

int32_t WindowsMachine::enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type, std::string* data) {
    MergedKey* m = classes_.mergedOf(key);
    return m ? m->enumValue(index, name, type, data) : Machine::enumValue(key, index, name, type, data);
}

int32_t WindowsMachine::queryInfoKey(HKey key, KeyInfo* info) {
    MergedKey* m = classes_.mergedOf(key);
    return m ? m->queryInfoKey(info) : Machine::queryInfoKey(key, info);
}

int32_t WindowsMachine::copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    const std::vector<Target> from = classes_.sourcesOf(srcRoot, srcPath);
    if (from.empty()) return ERROR_FILE_NOT_FOUND;
    const Mark start = mark();
    // A copy onto a key the user's classes hold goes key by key through HKEY_CLASSES_ROOT, so
    // that each key and value lands where a write there lands.
    if (classes_.userHolds(dstRoot, dstPath)) {
        const int32_t st = copyKeyByKey(*this, srcRoot, srcPath, HKEY_CLASSES_ROOT, dstPath);
        if (st) rollbackTo(start);
        return st;
    }
    const Target to = classes_.destinationOf(dstRoot, dstPath);
    for (const Target& f : from) {
        if (int32_t st = Machine::copyKey(f.root, f.path, to.root, to.path)) {
            rollbackTo(start);
            return st;
        }
    }
    return ERROR_SUCCESS;
}

int32_t WindowsMachine::moveKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    if (srcRoot != HKEY_CLASSES_ROOT && dstRoot != HKEY_CLASSES_ROOT)
        return Machine::moveKey(srcRoot, classes_.mapped(srcRoot, srcPath), dstRoot, classes_.mapped(dstRoot, dstPath));
    if (srcPath.find_first_not_of('\\') == std::string_view::npos) return ERROR_ACCESS_DENIED;
    const std::vector<Target> from = classes_.sourcesOf(srcRoot, srcPath);
    if (from.empty()) return ERROR_FILE_NOT_FOUND;
    // A key renamed within HKEY_CLASSES_ROOT to a name it does not show stays in the Classes key
    // that holds it (each part in its own, where both do); a key of one tree landing whole in one
    // place moves there. Either moves as one, so that a commit onto a file another program
    // changed moves the key as that file holds it.
    std::vector<Target> to;
    if (srcRoot == HKEY_CLASSES_ROOT && dstRoot == HKEY_CLASSES_ROOT && !classes_.place(dstPath).found())
        for (const Target& f : from) to.push_back(classes_.classesKey(f.root, dstPath));
    else if (from.size() == 1 && !classes_.userHolds(dstRoot, dstPath))
        to.push_back(classes_.destinationOf(dstRoot, dstPath));
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
        c.key = utf8ToUtf16(classes_.mapSystem(utf16ToUtf8(op.key)));
        return Machine::applyOp(c, at, false, error);
    }
    if (op.root != HKEY_CLASSES_ROOT) return Machine::applyOp(op, at, false, error);
    const std::string path = utf16ToUtf8(op.key);
    std::vector<Target> ts;
    switch (op.kind) {
    case ChangeOp::Kind::CreateKey:
        if (classes_.place(path).found()) return ERROR_SUCCESS;
        ts.push_back(classes_.classesKey(HKEY_LOCAL_MACHINE, path));
        break;
    case ChangeOp::Kind::SetValue: ts.push_back(classes_.valueTarget(path)); break;
    case ChangeOp::Kind::DeleteValue: ts = classes_.existingTargets(path); break;  // it leaves the view from both
    case ChangeOp::Kind::DeleteKey:
        if (path.find_first_not_of('\\') == std::string::npos) {
            ts.push_back({HKEY_LOCAL_MACHINE, "Software\\Classes"});  // refused below, as a root
            break;
        }
        ts = classes_.existingTargets(path);
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
        if (const std::string& bad = sources_[static_cast<size_t>(&hv - hives_.data())]->failure(); !bad.empty())
            throw nothing(bad);
        if (!(fileIdAt(hv.path) == std::optional<FileId>(hv.id)))
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
    for (auto& e : edits) e->hive().id = *fileIdAt(e->hive().path);
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
        buildTrees(&system, &user, &sources_);
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
