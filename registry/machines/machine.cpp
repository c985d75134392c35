#include "registry/machines/machine.h"

#include <sys/stat.h>

#include "registry/machines/commit.h"
#include "registry/machines/environment.h"
#include "registry/machines/trees.h"
#include "registry/machines/wineserver.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

namespace qv::reg {

std::string_view seed_system_reg();
std::string_view seed_user_reg();

namespace fs = std::filesystem;

namespace {

// A folder is seeded when it holds nothing but what an interrupted seeding made.
bool needsSeed(const fs::path& folder) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        const std::string n = e.path().filename().string();
        if (n != "drive_c" && !isTemporaryOf(n, {})) return false;
    }
    return !ec;
}

}  // namespace

fs::path Machine::defaultOwnFolder() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x && fs::path(x).is_absolute())
        return fs::path(x) / "quorvel" / "machine";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".local" / "share" / "quorvel" / "machine";
}

Machine::Machine(Kind kind, fs::path folder)
    : kind_(kind), folder_(std::move(folder)), trees_(std::make_unique<Trees>()) {}
Machine::~Machine() = default;

void Machine::adoptTrees(std::unique_ptr<RegFile> system, const fs::path& systemName, std::unique_ptr<RegFile> user,
                         const fs::path& userName) {
    trees_->system = MachineFile{};
    trees_->system.path = trees_->system.openTarget = systemName;
    trees_->system.tree = std::move(system);
    trees_->user = MachineFile{};
    trees_->user.path = trees_->user.openTarget = userName;
    trees_->user.tree = std::move(user);
}

RegFile& Machine::systemTree() const { return *trees_->system.tree; }
RegFile& Machine::userTree() const { return *trees_->user.tree; }

std::unique_ptr<Machine> Machine::openOwn(const fs::path& folderIn) {
    std::error_code ec;
    fs::path folder = fs::absolute(folderIn, ec);
    if (ec) folder = folderIn;
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec))
        throw MachineError(folder.string() + " is not a folder");
    fs::create_directories(folder, ec);
    if (ec) throw MachineError("Could not create the machine folder " + folder.string() + ": " + ec.message());
    {
        // Seeded under the lock: a second program opening the same new folder waits, then
        // finds the seeded machine.
        FolderLock lock(folder, false);
        if (needsSeed(folder)) {
            fs::create_directories(folder / "drive_c" / "WINDOWS" / "SYSTEM", ec);
            if (ec) throw MachineError("Could not create " + (folder / "drive_c").string() + ": " + ec.message());
            writeNewFile(folder / "user.reg", seed_user_reg());
            writeNewFile(folder / "system.reg", seed_system_reg());
        }
    }
    for (const char* name : {"system.reg", "user.reg"}) {
        if (!fs::exists(folder / name, ec) && !fs::is_symlink(folder / name, ec))
            throw MachineError(folder.string() + " is not a machine folder: it has no " + name +
                               " (use an empty or new folder for a new machine)");
    }
    std::unique_ptr<Machine> m = openFiles(Kind::Own, folder);
    m->drives_['C'] = folder / "drive_c";
    m->drives_['Z'] = "/";
    return m;
}

std::unique_ptr<Machine> Machine::open(Kind kind, const fs::path& folder, const std::string& user) {
    switch (kind) {
    case Kind::Windows: return openWindows(folder, user);
    case Kind::WinePrefix: return openWinePrefix(folder);
    case Kind::Own: break;
    }
    return openOwn(folder);
}

std::unique_ptr<Machine> Machine::openWinePrefix(const fs::path& prefixIn) {
    std::error_code ec;
    fs::path prefix = fs::absolute(prefixIn, ec);
    if (ec) prefix = prefixIn;
    if (!fs::is_directory(prefix, ec))
        throw MachineError("The Wine prefix " + prefix.string() + " does not exist");
    for (const char* name : {"system.reg", "user.reg"}) {
        if (!fs::exists(prefix / name, ec) && !fs::is_symlink(prefix / name, ec))
            throw MachineError(prefix.string() + " is not a Wine prefix: it has no " + name +
                               " (run wineboot to make one)");
    }
    std::unique_ptr<Machine> m = openFiles(Kind::WinePrefix, prefix);
    m->drives_ = dosDevices(prefix);
    if (!m->drives_.count('C')) m->drives_['C'] = prefix / "drive_c";
    return m;
}

std::unique_ptr<Machine> Machine::openFiles(Kind kind, const fs::path& folder) {
    std::unique_ptr<Machine> m(new Machine(kind, folder));
    Trees& t = *m->trees_;
    t.system.path = folder / "system.reg";
    t.user.path = folder / "user.reg";
    for (MachineFile* f : {&t.system, &t.user}) {
        std::error_code ec;
        f->openTarget = fs::is_symlink(f->path, ec) ? fs::weakly_canonical(f->path, ec) : f->path;
        if (ec) f->openTarget = f->path;
    }
    // Under the lock, so that the two files are read as one commit left them.
    FolderLock lock(folder, false);
    Commit recovery(folder, folder / kCommitJournal, t.system, t.user);
    recovery.recoverInterrupted(&m->notes_);
    recovery.removeStaleTemporaries();
    t.system.load();
    t.user.load();
    return m;
}

std::string Machine::userSid() const { return std::string(kWineUserSid); }

bool Machine::singleView() const { return kind_ != Kind::Windows && systemTree().arch() == "win32"; }

std::vector<std::string> Machine::warnings() const {
    std::vector<std::string> all = trees_->system.tree->warnings();
    all.insert(all.end(), trees_->user.tree->warnings().begin(), trees_->user.tree->warnings().end());
    all.insert(all.end(), notes_.begin(), notes_.end());
    return all;
}

std::string Machine::windowsDirectory() const { return kind_ == Kind::Own ? "C:\\WINDOWS" : "C:\\windows"; }
std::string Machine::systemDirectory() const {
    return kind_ == Kind::Own ? "C:\\WINDOWS\\SYSTEM" : "C:\\windows\\system32";
}

std::optional<fs::path> Machine::hostPath(std::string_view win) const { return hostPathOn(drives_, win); }
std::optional<std::string> Machine::windowsPath(const fs::path& host) const { return windowsPathOn(drives_, host); }

int32_t Machine::openKey(int32_t root, std::string_view path, HKey* out) { return trees_->openKey(root, path, out); }
int32_t Machine::createKey(int32_t root, std::string_view path, HKey* out) { return trees_->createKey(root, path, out); }
int32_t Machine::openSubkey(HKey parent, std::string_view path, HKey* out) { return Trees::openSubkey(parent, path, out); }
void Machine::closeKey(HKey) {}
int32_t Machine::queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) {
    return Trees::queryValue(key, name, type, data);
}
int32_t Machine::setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) {
    return trees_->setValue(key, name, type, data);
}
int32_t Machine::deleteValue(HKey key, std::string_view name) { return trees_->deleteValue(key, name); }
int32_t Machine::deleteKey(int32_t root, std::string_view path) { return trees_->deleteKey(root, path); }
int32_t Machine::enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type, std::string* data) {
    return Trees::enumValue(key, index, name, type, data);
}
int32_t Machine::enumKey(HKey key, uint32_t index, std::string* name) { return Trees::enumKey(key, index, name); }
int32_t Machine::queryInfoKey(HKey key, KeyInfo* info) { return Trees::queryInfoKey(key, info); }
int32_t Machine::copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    return trees_->copyKey(srcRoot, srcPath, dstRoot, dstPath);
}

int32_t Machine::moveKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    MachineFile* sf;
    MachineFile* df;
    std::u16string sfull, dfull;
    if (int32_t st = trees_->resolve(srcRoot, srcPath, &sf, &sfull)) return st;
    if (int32_t st = trees_->resolve(dstRoot, dstPath, &df, &dfull)) return st;
    if (sfull.find_first_not_of(u'\\') == std::u16string::npos) return ERROR_ACCESS_DENIED;
    // Within one file the move is recorded as one, so that a replay moves the key as it is then.
    if (sf == df) return sf->tree->moveKey(sfull, dfull);
    const Mark start = mark();
    int32_t st = copyKey(srcRoot, srcPath, dstRoot, dstPath);
    if (st == ERROR_SUCCESS) st = deleteKey(srcRoot, srcPath);
    if (st != ERROR_SUCCESS) rollbackTo(start);
    return st;
}

int32_t Machine::findKeysNamed(int32_t root, std::string_view path, const std::vector<std::string>& names,
                               size_t maxDepth, std::vector<std::string>* found) {
    if (kind_ == Kind::Windows) return RegistryApi::findKeysNamed(root, path, names, maxDepth, found);
    HKey k;
    if (int32_t st = openKey(root, path, &k)) return st;
    std::vector<std::u16string> wanted;
    for (const std::string& n : names) wanted.push_back(utf8ToUtf16(n));
    std::u16string prefix;
    std::vector<std::u16string> paths;
    static_cast<const RegKey*>(k)->subkeys.findNamed(wanted, maxDepth, prefix, &paths);
    for (const std::u16string& p : paths) found->push_back(utf16ToUtf8(p));
    return ERROR_SUCCESS;
}

std::optional<std::string> Machine::environmentVariable(std::string_view name) const {
    // Read through this machine's own calls, which a machine that places keys its own way overrides.
    return environmentVariableOf(*const_cast<Machine*>(this), windowsDirectory(), systemDirectory(), name);
}

void Machine::setBeforeRenameHook(std::function<void(const fs::path&)> hook) { beforeRename_ = std::move(hook); }

bool Machine::hasChanges() const { return trees_->system.tree->changed() || trees_->user.tree->changed(); }

std::optional<std::string> Machine::wineserverRunning() const {
    if (kind_ != Kind::WinePrefix) return std::nullopt;
    return wineserverRunningAt(folder_);
}

void Machine::checkWineserver() const {
    if (auto msg = wineserverRunning()) throw MachineError(*msg);
}

void Machine::refresh() {
    trees_->system.reloadIfChanged();
    trees_->user.reloadIfChanged();
}

bool Machine::filesAsRead() const {
    for (const MachineFile* f : {&trees_->system, &trees_->user}) {
        struct stat st;
        if (::stat(f->path.c_str(), &st) != 0 || !(idOf(st) == f->id)) return false;
    }
    return true;
}

void Machine::discardChanges() {
    for (MachineFile* f : {&trees_->system, &trees_->user}) {
        if (!f->tree->changed()) continue;
        MachineFile fresh;
        fresh.path = f->path;
        fresh.load();
        f->tree = std::move(fresh.tree);
        f->id = fresh.id;
        f->settled = fresh.settled;
        f->hash = fresh.hash;
    }
}

void Machine::commit() {
    if (!hasChanges()) return;
    checkWineserver();
    FolderLock lock(folder_);
    Commit c(folder_, folder_ / kCommitJournal, trees_->system, trees_->user);
    c.recoverInterrupted(&notes_);
    c.removeStaleTemporaries();
    c.run(
        [this] {
            checkWineserver();
            beforeSave();
        },
        beforeRename_);
}

}  // namespace qv::reg
