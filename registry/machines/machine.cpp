#include "registry/machines/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "registry/machines/branches.h"
#include "registry/machines/branches.h"
#include "registry/machines/discovery.h"
#include "registry/fd.h"
#include "registry/regfile/dotreg.h"
#include "registry/journal.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

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

// A 64-bit FNV-1a hash of a file's bytes, as commit journals written before contentHash hold.
uint64_t fnv1aHash(std::string_view s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

// A 64-bit hash of a file's bytes: tells a rewrite that kept size and time apart. Every open of
// a machine hashes its files, so it takes eight bytes at a time in four independent lanes (a
// byte-serial hash cost a third of a one-value query on a 20 MB registry).
uint64_t contentHash(std::string_view s) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    auto mix = [](uint64_t h, uint64_t v) {
        h ^= v * 0xC2B2AE3D27D4EB4Full;
        h = (h << 31) | (h >> 33);
        return h * kMul;
    };
    uint64_t lane[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};
    const char* p = s.data();
    size_t n = s.size();
    for (; n >= 32; p += 32, n -= 32) {
        for (int i = 0; i < 4; ++i) {
            uint64_t v;
            std::memcpy(&v, p + 8 * i, 8);
            lane[i] = mix(lane[i], v);
        }
    }
    uint64_t h = s.size() * kMul;
    for (uint64_t l : lane) h = mix(h, l);
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        h = mix(h, v);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = mix(h, tail ^ (static_cast<uint64_t>(n) << 56));
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// Reads the rest of an open file, bounded by the largest registry file accepted. The text goes
// straight into out; `expected` (the size fstat gave) saves growing it.
bool readFd(int fd, std::string* out, std::string* why, size_t expected = 0) {
    // One byte more than expected, so that a file that grew meanwhile is seen to go on.
    out->resize(std::min<size_t>(std::max<size_t>(expected + 1, 65536), Machine::kMaxFileSize + 1));
    size_t length = 0;
    for (;;) {
        if (length == out->size()) {
            if (length > Machine::kMaxFileSize) {
                *why = "it is larger than 2 GiB";
                out->clear();
                return false;
            }
            out->resize(std::min<size_t>(length * 2, Machine::kMaxFileSize + 1));
        }
        const ssize_t n = ::read(fd, out->data() + length, out->size() - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = errnoText(errno);
            out->clear();
            return false;
        }
        if (n == 0) break;
        length += static_cast<size_t>(n);
    }
    out->resize(length);
    return true;
}

// Only a regular file of a sane size is read: a FIFO would block, a device never end.
bool checkRegular(const struct stat& st, std::string* why) {
    if (!S_ISREG(st.st_mode)) {
        *why = "it is not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > Machine::kMaxFileSize) {
        *why = "it is larger than 2 GiB";
        return false;
    }
    return true;
}

// Reads a whole regular file; returns false with *why set.
bool readWhole(const fs::path& path, std::string* out, FileId* id, std::string* why, int flags = 0) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags));
    if (fd.get() < 0) {
        *why = errno == ELOOP && (flags & O_NOFOLLOW) ? "it is now a symbolic link" : errnoText(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        *why = errnoText(errno);
        return false;
    }
    if (!checkRegular(st, why)) return false;
    if (!readFd(fd.get(), out, why, static_cast<size_t>(st.st_size))) return false;
    if (::fstat(fd.get(), &st) != 0) {
        *why = errnoText(errno);
        return false;
    }
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

// The mode open(2) gives a new file asked for with 0666: the umask decides, as for the folders.
mode_t newFileMode() {
    mode_t mask = 022;
    bool known = false;
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            unsigned m;
            if (std::sscanf(line, "Umask: %o", &m) == 1) {
                mask = static_cast<mode_t>(m);
                known = true;
                break;
            }
        }
        std::fclose(f);
    }
    if (!known) {
        mask = ::umask(022);
        ::umask(mask);
    }
    return 0666 & ~mask;
}

void syncFolder(const fs::path& dir) {
    Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0) ::fsync(dfd.get());
}

fs::path folderOf(const fs::path& p) { return p.parent_path().empty() ? fs::path(".") : p.parent_path(); }

// Whether two looks found the same file (not whether it was changed in between).
bool sameFile(const struct stat& st, const FileId& id) { return st.st_dev == id.dev && st.st_ino == id.ino; }
bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Moves another program's file out of the way under a name beside its target that says what it
// is and that no clean-up takes for a temporary; returns the name.
fs::path keepAside(const fs::path& file, const fs::path& target) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (int n = 1;; ++n) {
        fs::path aside = target;
        aside += std::string(".displaced-") + stamp + (n > 1 ? "-" + std::to_string(n) : "");
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return aside;
        if (errno != EEXIST || n == 100) return file;  // left where it is, under its temporary name
    }
}

// Writes content to a synced temporary file beside target, with the target's mode and owner (a
// new file's mode follows the umask). Returns its path; *id is what it is once written.
fs::path writeTemporary(const fs::path& target, std::string_view content, FileId* id) {
    std::string tmpl = (folderOf(target) / ("." + target.filename().string() + kTempMarker + "XXXXXX")).string();
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
            ::fchmod(fd.get(), newFileMode());
        }
        writeAll(fd.get(), content, target);
        if (::fsync(fd.get()) != 0)
            throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
        if (::fstat(fd.get(), &st) != 0)
            throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
        *id = idOf(st);
        if (::close(fd.release()) != 0)
            throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    return tmp;
}

// Writes a new file whole (a seed): temporary, sync, rename, sync of the folder.
void writeNewFile(const fs::path& target, std::string_view content) {
    FileId ignored;
    const fs::path tmp = writeTemporary(target, content, &ignored);
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        throw MachineError("Could not save " + target.string() + ": " + errnoText(e));
    }
    syncFolder(folderOf(target));
}

// Whether name is a temporary this program made for a file named file ("" for any file).
bool isTemporaryOf(const std::string& name, const std::string& file) {
    if (file.empty()) return name.size() > 1 && name[0] == '.' && name.find(kTempMarker) != std::string::npos;
    const std::string prefix = "." + file + kTempMarker;
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0;
}

// Temporary files left by a commit that was killed half way.
void removeTemporariesIn(const fs::path& dir, const std::string& file) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string n = e.path().filename().string();
        if (isTemporaryOf(n, file)) fs::remove(e.path(), ec);
    }
}

// Single quotes for a POSIX shell: everything inside is literal, a quote itself is '\''.
std::string shellQuote(std::string_view s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'') r += "'\\''";
        else r += c;
    }
    return r + "'";
}

constexpr std::string_view kCommitTag = "QUORVEL COMMIT";
constexpr size_t kMaxJournalEntries = 16;

// Whether a file holds exactly the bytes a journal entry names.
bool holds(const fs::path& p, uint64_t size, uint64_t hash) {
    std::string bytes, why;
    FileId id;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != size) return false;
    return readWhole(p, &bytes, &id, &why, O_NOFOLLOW) && bytes.size() == size &&
           (contentHash(bytes) == hash || fnv1aHash(bytes) == hash);
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
    FileId id;          // the copy on disk this tree was read from or last written as
    // and its bytes' hash, taken from the tree's text when first needed (not at opening)
    std::optional<uint64_t> hash;
    fs::path openTarget;  // the file path led to when the machine was opened
    uint64_t bytesHash() {
        if (!hash) hash = contentHash(tree->source());
        return *hash;
    }
};

struct Machine::Step {
    File* f = nullptr;
    fs::path target, tmp;
    uint64_t size = 0, hash = 0;
    FileId written;  // the temporary once written
    Fd held;         // the target as checked just before the renames
    bool swapped = false, renamed = false;
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
    // required: false for a reader, which goes on without the lock where the file system has none.
    explicit FolderLock(const fs::path& dir, bool required = true)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_.get() < 0) {
            if (!required) return;
            throw MachineError("Could not open " + dir.string() + ": " + errnoText(errno));
        }
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            if (!required) return;
            throw MachineError("Could not lock " + dir.string() + ": " + errnoText(errno));
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

void Machine::adoptTrees(std::unique_ptr<RegFile> system, const fs::path& systemName, std::unique_ptr<RegFile> user,
                         const fs::path& userName) {
    system_ = std::make_unique<File>();
    system_->path = system_->openTarget = systemName;
    system_->tree = std::move(system);
    user_ = std::make_unique<File>();
    user_->path = user_->openTarget = userName;
    user_->tree = std::move(user);
}

RegFile& Machine::systemTree() const { return *system_->tree; }
RegFile& Machine::userTree() const { return *user_->tree; }

void Machine::loadFile(File& f) {
    std::string content, why;
    if (!readWhole(f.path, &content, &f.id, &why))
        throw MachineError("Could not read " + f.path.string() + ": " + why);
    f.hash.reset();
    std::string error;
    auto tree = RegFile::parse(std::move(content), f.path.string(), &error);
    if (!tree) throw MachineError(error + "; the file is left as it is");
    f.tree = std::move(tree);
}

namespace {

bool isInside(const fs::path& p, const fs::path& dir) {
    auto m = std::mismatch(dir.begin(), dir.end(), p.begin(), p.end());
    return m.first == dir.end();
}

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

std::unique_ptr<Machine> Machine::openFiles(Kind kind, const fs::path& folder) {
    std::unique_ptr<Machine> m(new Machine(kind, folder));
    m->system_ = std::make_unique<File>();
    m->system_->path = folder / "system.reg";
    m->user_ = std::make_unique<File>();
    m->user_->path = folder / "user.reg";
    for (File* f : {m->system_.get(), m->user_.get()}) {
        std::error_code ec;
        f->openTarget = fs::is_symlink(f->path, ec) ? fs::weakly_canonical(f->path, ec) : f->path;
        if (ec) f->openTarget = f->path;
    }
    // Under the lock, so that the two files are read as one commit left them.
    FolderLock lock(folder, false);
    m->recoverInterruptedCommit();
    m->removeStaleTemporaries();
    m->loadFile(*m->system_);
    m->loadFile(*m->user_);
    return m;
}

void Machine::removeStaleTemporaries() const {
    removeTemporariesIn(folder_, {});
    std::error_code ec;
    const fs::path inside = fs::weakly_canonical(folder_, ec);
    for (const File* f : {system_.get(), user_.get()}) {
        // The temporary of a file written through a link lies beside the link's target.
        if (f->openTarget != f->path && !isInside(f->openTarget, inside))
            removeTemporariesIn(folderOf(f->openTarget), f->openTarget.filename().string());
    }
}

// A commit killed while renaming left its journal: every temporary it names was complete before
// the journal was written, so the renames are finished, but only onto files that are still the
// ones the commit read. When another program wrote one since, the save is dropped instead: its
// file stays, and a file the commit had already replaced goes back to what it was. A journal that
// was not written whole means no rename had begun, and its temporaries go.
void Machine::recoverInterruptedCommit() {
    const fs::path journal = folder_ / kCommitJournal;
    std::string text, why;
    FileId id;
    struct stat st;
    if (::lstat(journal.c_str(), &st) != 0) return;
    std::vector<JournalEntry> entries;
    const bool whole = readWhole(journal, &text, &id, &why, O_NOFOLLOW) && parseJournal(text, kCommitTag, kMaxJournalEntries, &entries);
    // Only this machine's files and their own temporaries are touched, whatever a journal says.
    std::vector<JournalEntry> valid;
    std::error_code ec;
    const fs::path inside = fs::weakly_canonical(folder_, ec);
    for (const JournalEntry& e : entries) {
        bool ours = false;
        for (const File* f : {system_.get(), user_.get()}) {
            const fs::path now = fs::weakly_canonical(f->path, ec);
            ours = ours || e.target == f->path || e.target == f->openTarget ||
                   (e.target == now && isInside(now, inside));
        }
        if (ours && folderOf(e.tmp) == folderOf(e.target) &&
            isTemporaryOf(e.tmp.filename().string(), e.target.filename().string()))
            valid.push_back(e);
    }
    std::string done, finished, broken, newer, restored, stuck;
    auto list = [](std::string& l, const fs::path& p) { l += (l.empty() ? "" : ", ") + p.filename().string(); };
    auto asRead = [](const fs::path& p, const ReadStamp& r) { return holds(p, r.size, r.hash); };
    if (whole && valid.size() == entries.size()) {
        std::vector<const JournalEntry*> pending, saved;
        for (const JournalEntry& e : valid) {
            if (holds(e.target, e.size, e.hash)) {
                list(done, e.target);
                saved.push_back(&e);
            } else if (e.read && e.read->hash && !asRead(e.target, *e.read)) {
                list(newer, e.target);
            } else if (holds(e.tmp, e.size, e.hash)) {
                pending.push_back(&e);
            } else {
                list(broken, e.target);
            }
        }
        if (!newer.empty()) {
            // A file this save had replaced goes back when the one it displaced is still at hand.
            for (const JournalEntry* e : saved) {
                if (e->read && e->read->hash && asRead(e->tmp, *e->read) &&
                    ::renameat2(AT_FDCWD, e->tmp.c_str(), AT_FDCWD, e->target.c_str(), RENAME_EXCHANGE) == 0)
                    list(restored, e->target);
                else
                    list(stuck, e->target);
            }
        } else if (broken.empty()) {
            for (const JournalEntry* e : pending) {
                if (::rename(e->tmp.c_str(), e->target.c_str()) == 0) list(finished, e->target);
                else list(broken, e->target);
            }
        }
        for (const JournalEntry& e : valid) {
            ::unlink(e.tmp.c_str());
            syncFolder(folderOf(e.target));
        }
        if (!newer.empty())
            notes_.push_back("An interrupted save was discarded: " + newer +
                             " changed since that save read it, and another program's changes are kept" +
                             (restored.empty() ? "" : "; " + restored + " was put back as it was before that save") +
                             (stuck.empty() ? "" : "; " + stuck + " had been saved and could not be put back"));
        else if (!broken.empty())
            notes_.push_back("An interrupted save could not be completed: the saved copy of " + broken +
                             " was damaged" + (done.empty() ? "" : "; " + done + " had been saved") +
                             (finished.empty() ? "" : "; " + finished + " was completed"));
        else if (!finished.empty())
            notes_.push_back("An interrupted save was completed: " + finished + " now holds what was saved" +
                             (done.empty() ? "" : " with " + done));
    } else if (!whole) {
        for (const JournalEntry& e : valid) ::unlink(e.tmp.c_str());
        notes_.push_back("An interrupted save had not begun to replace any file; its temporary files were removed");
    } else {
        notes_.push_back(journal.string() + " named files that are not this machine's; it was removed");
    }
    if (::unlink(journal.c_str()) != 0 && errno != ENOENT)
        notes_.push_back("Could not remove " + journal.string() + ": " + errnoText(errno));
    syncFolder(folder_);
}

std::string Machine::userSid() const { return std::string(kWineUserSid); }

bool Machine::singleView() const { return kind_ != Kind::Windows && systemTree().arch() == "win32"; }

std::vector<std::string> Machine::warnings() const {
    std::vector<std::string> all = system_->tree->warnings();
    all.insert(all.end(), user_->tree->warnings().begin(), user_->tree->warnings().end());
    all.insert(all.end(), notes_.begin(), notes_.end());
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
    RegKey* k;
    if (root != HKEY_CLASSES_ROOT) {
        // Looked up in UTF-8 from the root, with no path built.
        if (!(f = fileFor(root))) return ERROR_INVALID_HANDLE;
        if (int st = f->tree->findKey(&f->tree->root(), path, &k)) return st;
        *out = k;
        return ERROR_SUCCESS;
    }
    std::u16string full;
    if (int32_t st = resolve(root, path, &f, &full)) return st;
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

int32_t Machine::openSubkey(HKey parent, std::string_view path, HKey* out) {
    if (!parent) return ERROR_INVALID_HANDLE;
    RegKey* k;
    if (int st = RegFile::findKey(keyOf(parent), path, &k)) return st;
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
    if (name) *name = utf16ToUtf8(k->subkeys.nameAt(index));
    return ERROR_SUCCESS;
}

int32_t Machine::queryInfoKey(HKey key, KeyInfo* info) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegKey* k = keyOf(key);
    KeyInfo r;
    r.subkeys = static_cast<uint32_t>(k->subkeys.size());
    r.values = static_cast<uint32_t>(k->values().size());
    for (size_t i = 0; i < r.subkeys; ++i)
        r.maxSubkeyNameLength = std::max<uint32_t>(r.maxSubkeyNameLength, static_cast<uint32_t>(k->subkeys.nameAt(i).size()));
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

int32_t Machine::moveKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    File* sf;
    File* df;
    std::u16string sfull, dfull;
    if (int32_t st = resolve(srcRoot, srcPath, &sf, &sfull)) return st;
    if (int32_t st = resolve(dstRoot, dstPath, &df, &dfull)) return st;
    if (sfull.find_first_not_of(u'\\') == std::u16string::npos) return ERROR_ACCESS_DENIED;
    // Within one file the move is recorded as one, so that a replay moves the key as it is then.
    if (sf == df) return sf->tree->moveKey(sfull, dfull);
    const Mark start = mark();
    int32_t st = copyKey(srcRoot, srcPath, dstRoot, dstPath);
    if (st == ERROR_SUCCESS) st = deleteKey(srcRoot, srcPath);
    if (st != ERROR_SUCCESS) rollbackTo(start);
    return st;
}

std::optional<std::string> Machine::environmentVariable(std::string_view name) const {
    // The machine's own Windows environment, built as a Windows logon builds it: the system's
    // folders, the system's Environment key, the user's profile, the user's Environment key and
    // the session's Volatile Environment, each later one winning. Entries stored as REG_EXPAND_SZ
    // are expanded in the same environment; a name met again while it is being expanded stays
    // as it is. The Linux process environment says nothing about the machine and is never used.
    auto* self = const_cast<Machine*>(this);  // only reads
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
        const std::string windows = windowsDirectory();
        if (n == "systemroot" || n == "windir") return windows;
        if (n == "systemdrive") return windows.substr(0, 2);
        if (n == "winsysdir") return systemDirectory();
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
        sk.link = k->link;
        for (const RegValue& v : k->values()) sk.values.push_back({v.name, v.type, v.data});
        out->push_back(std::move(sk));
    }
}

void appendOps(const RegJournal& journal, size_t from, size_t to, int32_t root, ChangeSet* cs) {
    for (size_t i = from; i < std::min(to, journal.size()); ++i) {
        const RegOp& op = journal[i];
        ChangeOp c;
        c.root = root;
        c.key = op.path();
        c.oldKnown = true;
        switch (op.kind) {
        case RegOp::MoveKey: continue;  // the ops after the marker carry the move
        case RegOp::CreateKey:
            c.kind = ChangeOp::Kind::CreateKey;
            c.link = op.link;
            break;
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

ChangeSet Machine::changesBetween(Mark from, Mark to) const {
    ChangeSet cs;
    appendOps(system_->tree->journal(), from.system, to.system, HKEY_LOCAL_MACHINE, &cs);
    appendOps(user_->tree->journal(), from.user, to.user, HKEY_CURRENT_USER, &cs);
    return cs;
}

ChangeSet Machine::changesSince(Mark m) const { return changesBetween(m, mark()); }

void Machine::keepOnly(Mark start, const std::vector<std::pair<Mark, Mark>>& ranges) {
    std::vector<std::pair<RegJournal, RegJournal>> slices;
    auto slice = [](const RegJournal& journal, size_t from, size_t to) {
        to = std::min(to, journal.size());
        return from < to ? RegJournal(journal.begin() + static_cast<std::ptrdiff_t>(from),
                                      journal.begin() + static_cast<std::ptrdiff_t>(to))
                         : RegJournal();
    };
    for (const auto& [from, to] : ranges)
        slices.emplace_back(slice(system_->tree->journal(), from.system, to.system),
                            slice(user_->tree->journal(), from.user, to.user));
    rollbackTo(start);
    for (const auto& [system, user] : slices) {
        system_->tree->replay(system);
        user_->tree->replay(user);
    }
}

ChangeSet Machine::pendingChanges() const { return changesSince({}); }

void Machine::rollbackTo(Mark m) {
    system_->tree->rollbackTo(m.system);
    user_->tree->rollbackTo(m.user);
}

int32_t Machine::Applier::add(const ChangeOp& op, bool sameKey, std::string* error) {
    if (!sameKey) depth_ = keyDepth(op.key), key_ = nullptr;
    int32_t st;
    if (depth_ > kMaxKeyDepth && (op.kind == ChangeOp::Kind::CreateKey || op.kind == ChangeOp::Kind::SetValue)) {
        st = ERROR_INVALID_PARAMETER;
        if (error)
            *error = std::string(rootName(op.root)) + "\\" + utf16ToUtf8(op.key) + ": the key is deeper than the " +
                     std::to_string(kMaxKeyDepth) + " levels Windows allows";
    } else {
        st = machine_.applyOp(op, *this, sameKey, error);
    }
    if (st != ERROR_SUCCESS) cancel();
    return st;
}

int32_t Machine::applyOp(const ChangeOp& op, Applier& at, bool sameKey, std::string* error) {
    auto fail = [&](int32_t st, std::string_view what) {
        if (error) {
            std::string key(rootName(op.root));
            if (!op.key.empty()) key += "\\" + utf16ToUtf8(op.key);
            *error = key + ": " + (what.empty() ? statusText(st) : std::string(what));
        }
        return st;
    };
    RegKey* k = sameKey && op.kind != ChangeOp::Kind::DeleteKey ? at.key_ : nullptr;
    at.key_ = nullptr;
    File* f = nullptr;
    std::u16string classes;
    std::u16string_view path = op.key;
    if (op.root == HKEY_LOCAL_MACHINE || op.root == HKEY_CURRENT_USER) {
        f = fileFor(op.root);
    } else if (op.root == HKEY_CLASSES_ROOT) {
        f = system_.get();
        if (!k) {
            classes = kClassesPrefix;
            if (!op.key.empty()) classes += u"\\" + op.key;
            path = classes;
        }
    } else {
        const std::string_view r = rootName(op.root);
        return fail(ERROR_INVALID_HANDLE, r.empty() ? "not a registry root" : "this machine has no " + std::string(r));
    }
    int st = ERROR_SUCCESS;
    switch (op.kind) {
    case ChangeOp::Kind::CreateKey:
        if (!k) st = f->tree->createKey(path, &k, op.link);  // a key known to be there is no new one
        break;
    case ChangeOp::Kind::SetValue:
        if (!k) st = f->tree->createKey(path, &k);
        if (st == ERROR_SUCCESS) st = f->tree->setValue(k, op.name, op.type, op.data);
        break;
    case ChangeOp::Kind::DeleteValue:
        if (!k) st = f->tree->findKey(path, &k);
        if (st == ERROR_SUCCESS) st = f->tree->deleteValue(k, op.name);
        if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;  // k stays null when the key is not there
        break;
    case ChangeOp::Kind::DeleteKey:
        if (path.find_first_not_of(u'\\') == std::u16string::npos)
            return fail(ERROR_ACCESS_DENIED, "a root key cannot be deleted");
        st = f->tree->findKey(path, &k);
        if (st == ERROR_SUCCESS) st = f->tree->deleteKey(k);
        if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;
        k = nullptr;
        break;
    }
    if (st != ERROR_SUCCESS) return fail(st, {});
    at.key_ = k;
    return ERROR_SUCCESS;
}

int32_t Machine::apply(const ChangeSet& changes, std::string* error) {
    Applier at(*this);
    const ChangeOp* before = nullptr;
    for (const ChangeOp& op : changes.ops) {
        const bool sameKey = before && before->root == op.root && before->key == op.key;
        if (int32_t st = at.add(op, sameKey, error)) return st;
        before = &op;
    }
    return ERROR_SUCCESS;
}

int32_t Machine::applyRegFile(std::string_view bytes, const std::string& name, std::string* error, bool* unreadable,
                              std::vector<std::string>* inMemory) {
    if (unreadable) *unreadable = false;
    // Read through first: a file that is bad anywhere changes nothing and says so first.
    if (!readRegFileOps(bytes, name, error, [](const ChangeOp&, size_t) { return true; })) {
        if (unreadable) *unreadable = true;
        return ERROR_INVALID_DATA;
    }
    Applier at(*this);
    ChangeOp mapped;
    int32_t st = ERROR_SUCCESS;
    readRegFileOps(bytes, name, nullptr, [&](const ChangeOp& op, size_t) {
        // A value names the key of the operation before it: its [KEY] line's or another value's.
        const bool value = op.kind == ChangeOp::Kind::SetValue || op.kind == ChangeOp::Kind::DeleteValue;
        switch (prepareOp(*this, op, &mapped, error, inMemory)) {
        case Prepared::Refuse: st = ERROR_INVALID_PARAMETER; break;
        case Prepared::Drop: return true;
        case Prepared::Mapped: st = at.add(mapped, value, error); break;
        case Prepared::Keep: st = at.add(op, value, error); break;
        }
        return st == ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) at.cancel();
    return st;
}

void Machine::setBeforeRenameHook(std::function<void(const fs::path&)> hook) { beforeRename_ = std::move(hook); }

bool Machine::hasChanges() const { return system_->tree->changed() || user_->tree->changed(); }

std::optional<std::string> Machine::wineserverRunning() const {
    if (kind_ != Kind::WinePrefix) return std::nullopt;
    return wineserverRunningAt(folder_);
}

namespace {

// A server folder's lock file, opened without following a link at either name and only when it
// is a plain file: another user's folder is looked into too, and a fifo there must not block.
// -1 when there is none.
int openServerLock(const fs::path& dir) {
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (d.get() < 0) return -1;
    Fd lock(::openat(d.get(), "lock", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (lock.get() < 0 || ::fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return lock.release();
}

}  // namespace

// Here rather than in discovery.cpp: it shares this file's reading helpers.
std::optional<RunningWineserver> runningWineserver(const fs::path& prefix) {
    struct stat st;
    if (::stat(prefix.c_str(), &st) != 0) return std::nullopt;
    char server[64];
    std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    // Wine names the folder after the uid it runs as: the caller's, or the owner's when another
    // user's Wine serves the prefix.
    std::vector<fs::path> dirs;
    dirs.push_back(fs::path("/tmp") / (".wine-" + std::to_string(::getuid())) / server);
    if (st.st_uid != ::getuid()) dirs.push_back(fs::path("/tmp") / (".wine-" + std::to_string(st.st_uid)) / server);
    std::string name, why;
    FileId ignored;
    if (readWhole(prefix / "wineserver", &name, &ignored, &why, O_NOFOLLOW)) {
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        struct stat named;
        // A file in the prefix names it: a link is not followed, and a folder of neither the
        // caller nor the prefix's owner holds no server of this prefix.
        if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != ".." &&
            ::lstat((fs::path("/tmp") / name).c_str(), &named) == 0 && S_ISDIR(named.st_mode) &&
            (named.st_uid == ::geteuid() || named.st_uid == st.st_uid))
            dirs.push_back(fs::path("/tmp") / name / server);
    }
    for (const fs::path& dir : dirs) {
        Fd lock(openServerLock(dir));
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
        if (running) return RunningWineserver{dir, pid};
    }
    return std::nullopt;
}

std::optional<std::string> wineserverRunningAt(const fs::path& prefix) {
    const std::optional<RunningWineserver> server = runningWineserver(prefix);
    if (!server) return std::nullopt;
    const std::string who = server->pid > 0 ? " (pid " + std::to_string(server->pid) + ")" : "";
    return "The Wine prefix " + prefix.string() + " is in use: its wineserver" + who +
           " is running and would overwrite these changes. Close its Wine programs, or stop it with: "
           "WINEPREFIX=" + shellQuote(prefix.string()) + " wineserver -k";
}

void Machine::checkWineserver() const {
    if (auto msg = wineserverRunning()) throw MachineError(*msg);
}

void Machine::reloadIfChanged(File& f, bool* reloaded) {
    *reloaded = false;
    std::string content, why;
    FileId id;
    if (!readWhole(f.path, &content, &id, &why))
        throw MachineError("Could not read " + f.path.string() + ": " + why);
    const uint64_t hash = contentHash(content);
    if (id == f.id && hash == f.bytesHash()) return;
    // Someone else wrote the file: take their version and put our pending changes on top.
    std::string error;
    auto fresh = RegFile::parse(std::move(content), f.path.string(), &error);
    if (!fresh) throw MachineError(error + "; the file is left as it is");
    fresh->replay(f.tree->journal());
    f.tree = std::move(fresh);
    f.id = id;
    f.hash = hash;
    *reloaded = true;
}

void Machine::refresh() {
    bool reloaded;
    reloadIfChanged(*system_, &reloaded);
    reloadIfChanged(*user_, &reloaded);
}

bool Machine::filesAsRead() const {
    for (const File* f : {system_.get(), user_.get()}) {
        struct stat st;
        if (::stat(f->path.c_str(), &st) != 0 || !(idOf(st) == f->id)) return false;
    }
    return true;
}

void Machine::discardChanges() {
    for (File* f : {system_.get(), user_.get()}) {
        if (!f->tree->changed()) continue;
        File fresh;
        fresh.path = f->path;
        loadFile(fresh);
        f->tree = std::move(fresh.tree);
        f->id = fresh.id;
        f->hash = fresh.hash;
    }
}

fs::path Machine::resolveTarget(const File& f) const {
    struct stat st;
    if (::lstat(f.path.c_str(), &st) != 0)
        throw MachineError("Could not read " + f.path.string() + ": " + errnoText(errno));
    if (!S_ISLNK(st.st_mode)) return f.path;
    // A link is written through to its target, so the link itself stays; but only to a target
    // in the machine folder or to the one it had when the machine was opened.
    std::error_code ec;
    const fs::path real = fs::canonical(f.path, ec);
    if (ec) throw MachineError("Could not resolve " + f.path.string() + ": " + ec.message());
    const fs::path inside = fs::weakly_canonical(folder_, ec);
    if (real != f.openTarget && !isInside(real, inside))
        throw MachineError(f.path.string() + " now links to " + real.string() +
                           ", outside the machine folder and not where it pointed when the machine was "
                           "opened; it is not written through");
    return real;
}

void Machine::commit() {
    if (!hasChanges()) return;
    checkWineserver();
    FolderLock lock(folder_);
    recoverInterruptedCommit();
    removeStaleTemporaries();
    // Another program that writes a file without the lock can change it at any moment: each
    // time that is seen the file is read again and the changes replayed, a few times at most.
    constexpr int kRounds = 8;
    for (int round = 1; commitRound() != Round::Saved; ++round) {
        if (round == kRounds)
            throw MachineError("Nothing was saved: another program kept rewriting the registry files in " +
                               folder_.string() + " while they were being saved; try again");
    }
}

Machine::Round Machine::commitRound() {
    std::deque<Step> steps;
    const fs::path journal = folder_ / kCommitJournal;
    bool journalWritten = false;
    auto discard = [&] {
        for (Step& s : steps)
            if (!s.tmp.empty() && !s.renamed) ::unlink(s.tmp.c_str());
        if (journalWritten) ::unlink(journal.c_str());
    };
    auto names = [&](bool saved) {
        std::string l;
        for (const Step& s : steps)
            if (s.renamed == saved) l += (l.empty() ? "" : " and ") + s.f->path.filename().string();
        return l;
    };
    try {
        // Every file whole and synced before anything is replaced.
        for (File* f : {system_.get(), user_.get()}) {
            if (!f->tree->changed()) continue;
            Step& s = steps.emplace_back();
            s.f = f;
            s.target = resolveTarget(*f);
            bool reloaded;
            reloadIfChanged(*f, &reloaded);
            struct stat st;
            // Users take the write permission away to keep programs from changing a file.
            if (::stat(s.target.c_str(), &st) == 0 &&
                ((st.st_mode & 0222) == 0 || ::access(s.target.c_str(), W_OK) != 0))
                throw MachineError(s.target.string() + " is read-only, so it was left as it is");
            const std::string content = f->tree->serialize();
            s.size = content.size();
            s.hash = contentHash(content);
            s.tmp = writeTemporary(s.target, content, &s.written);
        }
        std::vector<JournalEntry> entries;
        for (Step& s : steps) {
            // The file this round read: the journal is finished later only onto that file.
            ReadStamp read;
            read.dev = static_cast<uint64_t>(s.f->id.dev);
            read.ino = static_cast<uint64_t>(s.f->id.ino);
            read.size = static_cast<uint64_t>(s.f->id.size);
            read.mtimeNs = static_cast<int64_t>(s.f->id.mtime.tv_sec) * 1000000000 + s.f->id.mtime.tv_nsec;
            read.hash = s.f->bytesHash();
            entries.push_back({s.tmp, s.target, s.size, s.hash, read});
            if (folderOf(s.target) != folder_) syncFolder(folderOf(s.target));
        }
        {
            // Renamed into place, so that a journal is there whole or not at all.
            FileId ignored;
            const fs::path jtmp = writeTemporary(journal, formatJournal(kCommitTag, entries), &ignored);
            if (::rename(jtmp.c_str(), journal.c_str()) != 0) {
                const int e = errno;
                ::unlink(jtmp.c_str());
                throw MachineError("Could not write " + journal.string() + ": " + errnoText(e));
            }
            journalWritten = true;
        }
        syncFolder(folder_);

        // Last look, under the lock and just before the renames: each path must still lead to
        // the file this commit started from, and that file must hold what was read.
        bool changedOnDisk = false;
        for (Step& s : steps) {
            std::error_code ec;
            const bool sameWay = s.target == s.f->path ? !fs::is_symlink(s.f->path, ec)
                                                       : fs::canonical(s.f->path, ec) == s.target;
            s.held = Fd(::open(s.target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!sameWay || (s.held.get() < 0 && errno == ELOOP))
                throw MachineError(s.f->path.string() + " was replaced by a link while it was being saved");
            std::string bytes, why;
            struct stat st;
            if (s.held.get() < 0 || ::fstat(s.held.get(), &st) != 0 || !checkRegular(st, &why) ||
                !(idOf(st) == s.f->id) || !readFd(s.held.get(), &bytes, &why, static_cast<size_t>(st.st_size)) ||
                contentHash(bytes) != s.f->bytesHash())
                changedOnDisk = true;
        }
        if (changedOnDisk) {
            discard();
            return Round::Changed;
        }
        checkWineserver();
        beforeSave();
    } catch (const std::exception& e) {
        discard();
        throw MachineError(std::string(e.what()) + "; nothing was saved");
    }

    // Each file is swapped with its temporary, so that the one replaced stays at hand: to take
    // the renames back when a later one fails, and to see whether another program's file was
    // renamed in after the last look.
    std::vector<fs::path> setAside;  // other programs' files that could not stay in place
    auto undo = [&] {
        bool all = true;
        for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
            if (!it->renamed) continue;
            if (!it->swapped ||
                ::renameat2(AT_FDCWD, it->tmp.c_str(), AT_FDCWD, it->target.c_str(), RENAME_EXCHANGE) != 0) {
                all = false;
                continue;
            }
            it->renamed = it->swapped = false;
            // Another program may have renamed its file over ours since the swap, so that the
            // swap back just took its file out of place: that newest file goes back in. The one
            // ours displaced is then left over; it is dropped only when it is the file this round
            // read (its content went into ours, and from there to whoever replaced ours).
            struct stat back, left, held;
            if (::lstat(it->tmp.c_str(), &back) != 0 || sameFile(back, it->written) ||
                ::renameat2(AT_FDCWD, it->tmp.c_str(), AT_FDCWD, it->target.c_str(), RENAME_EXCHANGE) != 0)
                continue;
            if (::lstat(it->tmp.c_str(), &left) == 0 && ::fstat(it->held.get(), &held) == 0 && sameFile(left, held))
                continue;
            setAside.push_back(keepAside(it->tmp, it->target));
            it->tmp.clear();
        }
        return all;
    };
    auto asideNote = [&] {
        std::string l;
        for (const fs::path& p : setAside)
            l += "; a version another program had put in place was displaced by a third one and is kept as " +
                 p.string();
        return l;
    };
    auto partly = [&](const std::string& why) {
        // The journal stays: the next open or save completes the rest from the temporaries.
        for (Step& s : steps)
            if (s.renamed) {
                s.f->id = s.written;
                s.f->hash = s.hash;
                s.f->tree->clearJournal();
            }
        return MachineError(why + "; " + names(true) + " was saved, " + names(false) +
                            " was not (it is completed when the machine is next opened)");
    };
    auto failed = [&](const std::string& why) {
        if (!undo()) return partly(why + asideNote());
        discard();
        syncFolder(folder_);
        return MachineError(why + "; nothing was saved" + asideNote());
    };
    for (Step& s : steps) {
        try {
            if (beforeRename_) beforeRename_(s.target);
        } catch (const std::exception& e) {
            throw failed(e.what());
        }
        if (::renameat2(AT_FDCWD, s.tmp.c_str(), AT_FDCWD, s.target.c_str(), RENAME_EXCHANGE) == 0) {
            s.swapped = true;
        } else if ((errno == EINVAL || errno == ENOSYS || errno == ENOENT) &&
                   ::rename(s.tmp.c_str(), s.target.c_str()) == 0) {
            // A file system without the swap: a plain rename.
        } else {
            throw failed("Could not save " + s.target.string() + ": " + errnoText(errno));
        }
        s.renamed = true;
    }

    // A file that is not the one last looked at was renamed in by another program since: every
    // swap is taken back (its file is in place again, with this commit's files not yet visible
    // to anyone who looks now) and the round starts over from it.
    bool slipped = false;
    for (Step& s : steps) {
        struct stat displaced, held;
        if (s.swapped && (::lstat(s.tmp.c_str(), &displaced) != 0 || ::fstat(s.held.get(), &held) != 0 ||
                          !sameFile(displaced, held)))
            slipped = true;
    }
    if (slipped) {
        if (!undo()) throw partly("Another program replaced a registry file while it was being saved" + asideNote());
        discard();
        syncFolder(folder_);
        if (!setAside.empty())
            throw MachineError("Other programs replaced a registry file while it was being saved; nothing was saved" +
                               asideNote());
        return Round::Changed;
    }
    for (Step& s : steps) {
        if (s.swapped) ::unlink(s.tmp.c_str());  // the file replaced
        syncFolder(folderOf(s.target));
    }
    ::unlink(journal.c_str());
    syncFolder(folder_);
    for (Step& s : steps) {
        s.f->id = s.written;
        s.f->hash = s.hash;
        s.f->tree->clearJournal();
    }
    return Round::Saved;
}

}  // namespace qv::reg
