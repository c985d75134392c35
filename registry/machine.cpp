#include "machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "text.h"
#include "winefile.h"

extern char** environ;

namespace qv::reg {

std::string_view seed_system_reg();
std::string_view seed_user_reg();

namespace fs = std::filesystem;

namespace {

std::string errnoText(int e) { return std::strerror(e); }

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    bool operator==(const FileId& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileId idOf(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { int f = fd_; fd_ = -1; return f; }

private:
    int fd_;
};

// Reads a whole file; returns false with errno set.
bool readWhole(const fs::path& path, std::string* out, FileId* id) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return false;
    out->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out->size()) {
        ssize_t n = ::read(fd.get(), out->data() + done, out->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    out->resize(done);
    // A file that grows while read is picked up whole by the next look.
    char extra[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), extra, sizeof extra);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out->append(extra, static_cast<size_t>(n));
    }
    if (::fstat(fd.get(), &st) != 0) return false;
    *id = idOf(st);
    return true;
}

void writeAll(int fd, std::string_view data, const fs::path& shown) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw MachineError("Could not write " + shown.string() + ": " + errnoText(errno));
        done += static_cast<size_t>(n);
    }
}

constexpr const char* kTempMarker = ".quorvel-tmp-";

// Writes content to target so that a reader sees either the old or the new file whole, and the
// new one survives a power cut: temporary file beside it, fsync, rename, fsync of the folder.
// The target's mode and owner are kept. before() runs just before the rename.
void writeDurably(const fs::path& target, std::string_view content,
                  const std::function<void()>& before = {}) {
    const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::string tmpl = (dir / ("." + target.filename().string() + kTempMarker + "XXXXXX")).string();
    int raw = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (raw < 0) throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
    Fd fd(raw);
    const fs::path tmp(tmpl);
    try {
        struct stat st;
        if (::stat(target.c_str(), &st) == 0) {
            ::fchmod(fd.get(), st.st_mode & 07777);
            if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
                // Only root may give files away; the file is then ours, as a new file would be.
            }
        } else {
            ::fchmod(fd.get(), 0644);
        }
        writeAll(fd.get(), content, target);
        if (::fsync(fd.get()) != 0)
            throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
        if (::close(fd.release()) != 0)
            throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
        if (before) before();
        if (::rename(tmp.c_str(), target.c_str()) != 0)
            throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0) ::fsync(dfd.get());
}

// Temporary files left by a commit that was killed half way.
void removeStaleTemporaries(const fs::path& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string n = e.path().filename().string();
        if (n.size() > 1 && n[0] == '.' && n.find(kTempMarker) != std::string::npos) fs::remove(e.path(), ec);
    }
}

bool folderIsEmpty(const fs::path& p) {
    std::error_code ec;
    return fs::is_empty(p, ec) && !ec;
}

std::string lowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

// The branch a root lives in, and the path prefix HKEY_CLASSES_ROOT adds.
constexpr std::u16string_view kClassesPrefix = u"Software\\Classes";

}  // namespace


struct Machine::File {
    fs::path path;
    std::string rootComment;
    std::unique_ptr<RegFile> tree;
    FileId id;
};

namespace {

RegKey* keyOf(HKey h) { return const_cast<RegKey*>(static_cast<const RegKey*>(h)); }

const RegKey* rootOf(const RegKey* k) {
    while (k->parent) k = k->parent;
    return k;
}

// Holds the machine folder's advisory lock for the length of a commit, so that two Quorvel
// processes never interleave their read-replay-rename steps.
class FolderLock {
public:
    explicit FolderLock(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_.get() < 0) throw MachineError("Could not open " + dir.string() + ": " + errnoText(errno));
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) throw MachineError("Could not lock " + dir.string() + ": " + errnoText(errno));
        }
    }

private:
    Fd fd_;
};

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

fs::path Machine::defaultOwnFolder() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x && fs::path(x).is_absolute())
        return fs::path(x) / "quorvel" / "machine";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".local" / "share" / "quorvel" / "machine";
}

Machine::Machine(Kind kind, fs::path folder) : kind_(kind), folder_(std::move(folder)) {}
Machine::~Machine() = default;

void Machine::loadFile(File& f) {
    std::string content;
    if (!readWhole(f.path, &content, &f.id))
        throw MachineError("Could not read " + f.path.string() + ": " + errnoText(errno));
    std::string error;
    auto tree = RegFile::parse(std::move(content), f.path.string(), &error);
    if (!tree) throw MachineError(error + "; the file is left as it is");
    f.tree = std::move(tree);
}

std::unique_ptr<Machine> Machine::openOwn(const fs::path& folderIn) {
    std::error_code ec;
    fs::path folder = fs::absolute(folderIn, ec);
    if (ec) folder = folderIn;
    const bool fresh = !fs::exists(folder, ec) || folderIsEmpty(folder);
    if (fresh) {
        fs::create_directories(folder, ec);
        if (ec) throw MachineError("Could not create the machine folder " + folder.string() + ": " + ec.message());
        fs::create_directories(folder / "drive_c" / "WINDOWS" / "SYSTEM", ec);
        if (ec) throw MachineError("Could not create " + (folder / "drive_c").string() + ": " + ec.message());
        writeDurably(folder / "user.reg", seed_user_reg());
        writeDurably(folder / "system.reg", seed_system_reg());
    } else if (!fs::is_directory(folder)) {
        throw MachineError(folder.string() + " is not a folder");
    }
    for (const char* name : {"system.reg", "user.reg"}) {
        if (!fs::exists(folder / name))
            throw MachineError(folder.string() + " is not a machine folder: it has no " + name +
                               " (use an empty or new folder for a new machine)");
    }
    std::unique_ptr<Machine> m(new Machine(Kind::Own, folder));
    m->system_ = std::make_unique<File>();
    m->system_->path = folder / "system.reg";
    m->user_ = std::make_unique<File>();
    m->user_->path = folder / "user.reg";
    m->loadFile(*m->system_);
    m->loadFile(*m->user_);
    m->drives_['C'] = folder / "drive_c";
    m->drives_['Z'] = "/";
    return m;
}

std::unique_ptr<Machine> Machine::openWinePrefix(const fs::path& prefixIn) {
    std::error_code ec;
    fs::path prefix = fs::absolute(prefixIn, ec);
    if (ec) prefix = prefixIn;
    if (!fs::is_directory(prefix, ec))
        throw MachineError("The Wine prefix " + prefix.string() + " does not exist");
    for (const char* name : {"system.reg", "user.reg"}) {
        if (!fs::exists(prefix / name, ec))
            throw MachineError(prefix.string() + " is not a Wine prefix: it has no " + name +
                               " (run wineboot to make one)");
    }
    std::unique_ptr<Machine> m(new Machine(Kind::WinePrefix, prefix));
    m->system_ = std::make_unique<File>();
    m->system_->path = prefix / "system.reg";
    m->user_ = std::make_unique<File>();
    m->user_->path = prefix / "user.reg";
    m->loadFile(*m->system_);
    m->loadFile(*m->user_);
    for (const auto& e : fs::directory_iterator(prefix / "dosdevices", ec)) {
        const std::string n = e.path().filename().string();
        if (n.size() == 2 && n[1] == ':' && std::isalpha(static_cast<unsigned char>(n[0]))) {
            if (auto target = canonicalDrive(e.path()))
                m->drives_[static_cast<char>(std::toupper(static_cast<unsigned char>(n[0])))] = *target;
        }
    }
    if (!m->drives_.count('C')) m->drives_['C'] = prefix / "drive_c";
    return m;
}

std::vector<std::string> Machine::warnings() const {
    std::vector<std::string> all = system_->tree->warnings();
    all.insert(all.end(), user_->tree->warnings().begin(), user_->tree->warnings().end());
    return all;
}

std::string Machine::windowsDirectory() const { return kind_ == Kind::Own ? "C:\\WINDOWS" : "C:\\windows"; }
std::string Machine::systemDirectory() const {
    return kind_ == Kind::Own ? "C:\\WINDOWS\\SYSTEM" : "C:\\windows\\system32";
}

std::optional<fs::path> Machine::hostPath(std::string_view win) const {
    if (win.size() < 2 || win[1] != ':' || !std::isalpha(static_cast<unsigned char>(win[0]))) return std::nullopt;
    auto it = drives_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(win[0]))));
    if (it == drives_.end()) return std::nullopt;
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

std::optional<std::string> Machine::windowsPath(const fs::path& host) const {
    std::error_code ec;
    fs::path h = fs::weakly_canonical(fs::absolute(host, ec), ec);
    if (ec) return std::nullopt;
    std::optional<std::string> best;
    size_t bestLen = 0;
    for (const auto& [letter, root] : drives_) {
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

Machine::File* Machine::fileFor(int32_t root) const {
    switch (root) {
    case HKEY_CLASSES_ROOT:
    case HKEY_LOCAL_MACHINE: return system_.get();
    case HKEY_CURRENT_USER: return user_.get();
    default: return nullptr;
    }
}

int32_t Machine::resolve(int32_t root, std::string_view path, File** file, std::u16string* full) const {
    *file = fileFor(root);
    if (!*file) return ERROR_INVALID_HANDLE;
    full->clear();
    if (root == HKEY_CLASSES_ROOT) {
        *full = kClassesPrefix;
        full->push_back(u'\\');
    }
    *full += utf8ToUtf16(path);
    return ERROR_SUCCESS;
}

int32_t Machine::openKey(int32_t root, std::string_view path, HKey* out) {
    File* f;
    std::u16string full;
    if (int32_t st = resolve(root, path, &f, &full)) return st;
    RegKey* k;
    if (int st = f->tree->findKey(full, &k)) return st;
    *out = k;
    return ERROR_SUCCESS;
}

int32_t Machine::createKey(int32_t root, std::string_view path, HKey* out) {
    File* f;
    std::u16string full;
    if (int32_t st = resolve(root, path, &f, &full)) return st;
    RegKey* k;
    if (int st = f->tree->createKey(full, &k)) return st;
    *out = k;
    return ERROR_SUCCESS;
}

void Machine::closeKey(HKey) {}

int32_t Machine::queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegValue* v = keyOf(key)->value(utf8ToUtf16(name));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    if (data) *data = v->data;
    return ERROR_SUCCESS;
}

int32_t Machine::setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) {
    if (!key) return ERROR_INVALID_HANDLE;
    RegKey* k = keyOf(key);
    File* f = rootOf(k) == &system_->tree->root() ? system_.get() : user_.get();
    return f->tree->setValue(k, utf8ToUtf16(name), type, data);
}

int32_t Machine::deleteValue(HKey key, std::string_view name) {
    if (!key) return ERROR_INVALID_HANDLE;
    RegKey* k = keyOf(key);
    File* f = rootOf(k) == &system_->tree->root() ? system_.get() : user_.get();
    return f->tree->deleteValue(k, utf8ToUtf16(name));
}

int32_t Machine::deleteKey(int32_t root, std::string_view path) {
    // A root (HKEY_CLASSES_ROOT included) is not a key one can delete.
    if (path.find_first_not_of('\\') == std::string_view::npos) return ERROR_ACCESS_DENIED;
    File* f;
    std::u16string full;
    if (int32_t st = resolve(root, path, &f, &full)) return st;
    RegKey* k;
    if (int st = f->tree->findKey(full, &k)) return st;
    return f->tree->deleteKey(k);
}

int32_t Machine::enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type, std::string* data) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegKey* k = keyOf(key);
    if (index >= k->values().size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = k->values()[index];
    if (name) *name = utf16ToUtf8(v.name);
    if (type) *type = v.type;
    if (data) *data = v.data;
    return ERROR_SUCCESS;
}

int32_t Machine::enumKey(HKey key, uint32_t index, std::string* name) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegKey* k = keyOf(key);
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    if (name) *name = utf16ToUtf8(k->subkeys[index]->name);
    return ERROR_SUCCESS;
}

int32_t Machine::queryInfoKey(HKey key, KeyInfo* info) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegKey* k = keyOf(key);
    KeyInfo r;
    r.subkeys = static_cast<uint32_t>(k->subkeys.size());
    r.values = static_cast<uint32_t>(k->values().size());
    for (const auto& s : k->subkeys) r.maxSubkeyNameLength = std::max<uint32_t>(r.maxSubkeyNameLength, static_cast<uint32_t>(s->name.size()));
    for (const auto& v : k->values()) {
        r.maxValueNameLength = std::max<uint32_t>(r.maxValueNameLength, static_cast<uint32_t>(v.name.size()));
        r.maxValueDataLength = std::max<uint32_t>(r.maxValueDataLength, static_cast<uint32_t>(v.data.size()));
    }
    *info = r;
    return ERROR_SUCCESS;
}

int32_t Machine::copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    File* sf;
    std::u16string sfull;
    if (int32_t st = resolve(srcRoot, srcPath, &sf, &sfull)) return st;
    RegKey* src;
    if (int st = sf->tree->findKey(sfull, &src)) return st;
    File* df;
    std::u16string dfull;
    if (int32_t st = resolve(dstRoot, dstPath, &df, &dfull)) return st;

    // Take the whole source first: the destination may lie inside it.
    struct Node {
        std::u16string rel;
        std::vector<RegValue> values;
    };
    std::vector<Node> nodes;
    // Each key before its subkeys, with a stack of its own: keys may nest deeper than calls can.
    std::vector<std::pair<const RegKey*, std::u16string>> pending;
    pending.emplace_back(src, std::u16string());
    while (!pending.empty()) {
        auto [k, rel] = std::move(pending.back());
        pending.pop_back();
        for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it)
            pending.emplace_back(it->get(), rel.empty() ? (*it)->name : rel + u"\\" + (*it)->name);
        nodes.push_back({std::move(rel), k->values()});
    }
    for (const Node& n : nodes) {
        RegKey* d;
        std::u16string path = n.rel.empty() ? dfull : dfull + u"\\" + n.rel;
        if (int st = df->tree->createKey(path, &d)) return st;
        for (const RegValue& v : n.values) {
            if (int st = df->tree->setValue(d, v.name, v.type, v.data)) return st;
        }
    }
    return ERROR_SUCCESS;
}

std::optional<std::string> Machine::environmentVariable(std::string_view name) const {
    const std::string n = lowerAscii(name);
    if (n == "windir" || n == "systemroot") return windowsDirectory();
    if (n == "systemdrive") return std::string("C:");
    if (n == "winsysdir") return systemDirectory();
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        size_t eq = entry.find('=');
        if (eq != std::string_view::npos && lowerAscii(entry.substr(0, eq)) == n) return std::string(entry.substr(eq + 1));
    }
    return std::nullopt;
}

namespace {

// The subtree as a list, each key before its subkeys (walked with a stack of its own, as keys may
// nest deeper than calls can).
void flatten(const RegKey& top, const std::u16string& topRel, std::vector<StoredKey>* out) {
    std::vector<std::pair<const RegKey*, std::u16string>> pending;
    pending.emplace_back(&top, topRel);
    while (!pending.empty()) {
        auto [k, rel] = std::move(pending.back());
        pending.pop_back();
        for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it)
            pending.emplace_back(it->get(), rel.empty() ? (*it)->name : rel + u"\\" + (*it)->name);
        StoredKey sk;
        sk.path = std::move(rel);
        for (const RegValue& v : k->values()) sk.values.push_back({v.name, v.type, v.data});
        out->push_back(std::move(sk));
    }
}

void appendOps(const std::vector<RegOp>& journal, size_t from, int32_t root, ChangeSet* cs) {
    for (size_t i = from; i < journal.size(); ++i) {
        const RegOp& op = journal[i];
        ChangeOp c;
        c.root = root;
        c.key = op.path;
        c.oldKnown = true;
        switch (op.kind) {
        case RegOp::CreateKey: c.kind = ChangeOp::Kind::CreateKey; break;
        case RegOp::DeleteKey:
            c.kind = ChangeOp::Kind::DeleteKey;
            if (op.removed) flatten(*op.removed, {}, &c.oldTree);
            break;
        case RegOp::SetValue:
        case RegOp::DeleteValue:
            c.kind = op.kind == RegOp::SetValue ? ChangeOp::Kind::SetValue : ChangeOp::Kind::DeleteValue;
            c.name = op.name;
            if (op.kind == RegOp::SetValue) {
                c.type = op.type;
                c.data = op.data;
            }
            if (op.hadValue) c.oldValue = StoredValue{op.name, op.oldType, op.oldData};
            break;
        }
        cs->ops.push_back(std::move(c));
    }
}

}  // namespace

Machine::Mark Machine::mark() const { return {system_->tree->journal().size(), user_->tree->journal().size()}; }

ChangeSet Machine::changesSince(Mark m) const {
    ChangeSet cs;
    appendOps(system_->tree->journal(), m.system, HKEY_LOCAL_MACHINE, &cs);
    appendOps(user_->tree->journal(), m.user, HKEY_CURRENT_USER, &cs);
    return cs;
}

ChangeSet Machine::pendingChanges() const { return changesSince({}); }

void Machine::rollbackTo(Mark m) {
    system_->tree->rollbackTo(m.system);
    user_->tree->rollbackTo(m.user);
}

int32_t Machine::apply(const ChangeSet& changes, std::string* error) {
    const Mark start = mark();
    auto fail = [&](int32_t st, const ChangeOp& op, std::string_view what) {
        rollbackTo(start);
        if (error) {
            std::string key(rootName(op.root));
            if (!op.key.empty()) key += "\\" + utf16ToUtf8(op.key);
            *error = key + ": " + (what.empty() ? statusText(st) : std::string(what));
        }
        return st;
    };
    for (const ChangeOp& op : changes.ops) {
        File* f = nullptr;
        std::u16string path;
        if (op.root == HKEY_LOCAL_MACHINE || op.root == HKEY_CURRENT_USER) {
            f = fileFor(op.root);
            path = op.key;
        } else if (op.root == HKEY_CLASSES_ROOT) {
            f = system_.get();
            path = std::u16string(kClassesPrefix);
            if (!op.key.empty()) path += u"\\" + op.key;
        } else {
            const std::string_view r = rootName(op.root);
            return fail(ERROR_INVALID_HANDLE, op,
                        r.empty() ? "not a registry root" : "this machine has no " + std::string(r));
        }
        RegKey* k = nullptr;
        int st = ERROR_SUCCESS;
        switch (op.kind) {
        case ChangeOp::Kind::CreateKey: st = f->tree->createKey(path, &k); break;
        case ChangeOp::Kind::SetValue:
            st = f->tree->createKey(path, &k);
            if (st == ERROR_SUCCESS) st = f->tree->setValue(k, op.name, op.type, op.data);
            break;
        case ChangeOp::Kind::DeleteValue:
            st = f->tree->findKey(path, &k);
            if (st == ERROR_SUCCESS) st = f->tree->deleteValue(k, op.name);
            if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;
            break;
        case ChangeOp::Kind::DeleteKey:
            if (path.find_first_not_of(u'\\') == std::u16string::npos)
                return fail(ERROR_ACCESS_DENIED, op, "a root key cannot be deleted");
            st = f->tree->findKey(path, &k);
            if (st == ERROR_SUCCESS) st = f->tree->deleteKey(k);
            if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;
            break;
        }
        if (st != ERROR_SUCCESS) return fail(st, op, {});
    }
    return ERROR_SUCCESS;
}

void Machine::setBeforeRenameHook(std::function<void(const fs::path&)> hook) { beforeRename_ = std::move(hook); }

bool Machine::hasChanges() const { return system_->tree->changed() || user_->tree->changed(); }

std::optional<std::string> Machine::wineserverRunning() const {
    if (kind_ != Kind::WinePrefix) return std::nullopt;
    struct stat st;
    if (::stat(folder_.c_str(), &st) != 0) return std::nullopt;
    char server[64];
    std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::vector<fs::path> dirs;
    dirs.push_back(fs::path("/tmp") / (".wine-" + std::to_string(::getuid())) / server);
    std::string name;
    FileId ignored;
    if (readWhole(folder_ / "wineserver", &name, &ignored)) {
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..")
            dirs.push_back(fs::path("/tmp") / name / server);
    }
    for (const fs::path& dir : dirs) {
        Fd lock(::open((dir / "lock").c_str(), O_RDONLY | O_CLOEXEC));
        if (lock.get() < 0) continue;
        struct flock fl{};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        bool running = false;
        pid_t pid = 0;
        if (::fcntl(lock.get(), F_GETLK, &fl) == 0) {
            running = fl.l_type != F_UNLCK;
            pid = fl.l_pid;
        } else {
            // No locks on this file system: a socket that answers means a server.
            Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            const std::string sp = (dir / "socket").string();
            if (sock.get() >= 0 && sp.size() < sizeof addr.sun_path) {
                std::memcpy(addr.sun_path, sp.c_str(), sp.size() + 1);
                running = ::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            }
        }
        if (running) {
            std::string who = pid > 0 ? " (pid " + std::to_string(pid) + ")" : "";
            return "The Wine prefix " + folder_.string() + " is in use: its wineserver" + who +
                   " is running and would overwrite these changes. Close its Wine programs, or stop it with: "
                   "WINEPREFIX=\"" + folder_.string() + "\" wineserver -k";
        }
    }
    return std::nullopt;
}

void Machine::checkWineserver() const {
    if (auto msg = wineserverRunning()) throw MachineError(*msg);
}

void Machine::reloadIfChanged(File& f, bool* reloaded) {
    *reloaded = false;
    struct stat st;
    if (::stat(f.path.c_str(), &st) != 0)
        throw MachineError("Could not read " + f.path.string() + ": " + errnoText(errno));
    if (idOf(st) == f.id) return;
    // Someone else wrote the file: take their version and put our pending changes on top.
    std::vector<RegOp> pending = f.tree->journal();
    File fresh;
    fresh.path = f.path;
    loadFile(fresh);
    fresh.tree->replay(pending);
    f.tree = std::move(fresh.tree);
    f.id = fresh.id;
    *reloaded = true;
}

void Machine::refresh() {
    bool reloaded;
    reloadIfChanged(*system_, &reloaded);
    reloadIfChanged(*user_, &reloaded);
}

void Machine::discardChanges() {
    for (File* f : {system_.get(), user_.get()}) {
        if (!f->tree->changed()) continue;
        File fresh;
        fresh.path = f->path;
        loadFile(fresh);
        f->tree = std::move(fresh.tree);
        f->id = fresh.id;
    }
}

void Machine::commit() {
    if (!hasChanges()) return;
    checkWineserver();
    FolderLock lock(folder_);
    removeStaleTemporaries(folder_);
    for (File* f : {system_.get(), user_.get()}) {
        if (!f->tree->changed()) continue;
        bool reloaded;
        reloadIfChanged(*f, &reloaded);
        std::error_code ec;
        // A link is written through to its target, so the link itself stays.
        fs::path target = fs::is_symlink(f->path, ec) ? fs::canonical(f->path, ec) : f->path;
        if (ec) throw MachineError("Could not resolve " + f->path.string() + ": " + ec.message());
        const std::string content = f->tree->serialize();
        writeDurably(target, content, [&] {
            checkWineserver();
            if (beforeRename_) beforeRename_(target);
        });
        struct stat st;
        if (::stat(f->path.c_str(), &st) == 0) f->id = idOf(st);
        f->tree->clearJournal();
    }
}

}  // namespace qv::reg
