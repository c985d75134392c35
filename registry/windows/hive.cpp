// A Windows installation as a machine: its hives are read whole into the store's trees when it
// opens, so every registry call works as on a Wine prefix; a commit turns the pending changes of
// each hive into libhivex edits and replaces the changed hives together.
//
// HKEY_LOCAL_MACHINE is a tree whose "Software" and "System" keys are the roots of SOFTWARE and
// SYSTEM; HKEY_CURRENT_USER is NTUSER.DAT with UsrClass.dat in place of Software\Classes, as
// Windows links it. HKEY_CLASSES_ROOT is the merged view of both Classes keys.
#include "registry/windows/hive.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <type_traits>
#include <unordered_map>

#include "registry/journal.h"
#include "registry/fd.h"
#include "registry/machines/machine.h"
#include "registry/safefile.h"
#include "registry/text.h"
#include "registry/wine/winefile.h"

namespace qv::reg {

namespace fs = std::filesystem;

namespace {

constexpr size_t kBaseBlock = 4096;
constexpr const char* kJournal = ".quorvel-commit";
constexpr const char* kTempMarker = ".quorvel-tmp-";

std::string errnoText(int e) { return std::strerror(e); }

std::string lowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}
bool sameAscii(std::string_view a, std::string_view b) { return lowerAscii(a) == lowerAscii(b); }

uint32_t u32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t baseChecksum(const unsigned char* b) {
    uint32_t x = 0;
    for (int i = 0; i < 127; ++i) x ^= u32(b + 4 * i);
    if (x == 0xFFFFFFFFu) return 0xFFFFFFFEu;
    if (x == 0) return 1;
    return x;
}

bool readAt(int fd, unsigned char* buf, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, buf + done, n - done, at + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

void syncFolder(const fs::path& dir) {
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.get() >= 0) ::fsync(d.get());
}

std::vector<std::string> components(std::string_view path, char sep) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(sep, i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::vector<std::u16string> components16(std::u16string_view path) {
    std::vector<std::u16string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos) j = path.size();
        if (j > i) out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::u16string join16(const std::vector<std::u16string>& parts, size_t from = 0) {
    std::u16string r;
    for (size_t i = from; i < parts.size(); ++i) {
        if (!r.empty()) r += u'\\';
        r += parts[i];
    }
    return r;
}

std::string join(const std::vector<std::string>& parts, size_t from = 0) {
    std::string r;
    for (size_t i = from; i < parts.size(); ++i) {
        if (!r.empty()) r += '\\';
        r += parts[i];
    }
    return r;
}

std::string shown(std::u16string_view s) { return utf16ToUtf8(s); }

// Names hivex stores the way Windows finds them again: see the note on non-ASCII names.
bool creatableName(std::u16string_view n, std::string* why) {
    if (n.size() > kMaxKeyNameLength) {
        *why = "its name is longer than 255 characters";
        return false;
    }
    for (char16_t c : n) {
        if (c == u'\\') {
            *why = "its name holds a backslash";
            return false;
        }
        if (c < 0x20 || c > 0x7E) {
            *why = "its name holds characters outside ASCII, which libhivex would file where Windows cannot find them";
            return false;
        }
    }
    return true;
}

struct HivexCloser {
    void operator()(hive_h* h) const {
        if (h) hivex_close(h);
    }
};
using Hivex = std::unique_ptr<hive_h, HivexCloser>;

struct Freed {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Freed>;


// The values of a hive node, as the store keeps them; `met` sees each value's cell before it is read.
bool readValues(hive_h* h, hive_node_h node, std::vector<RegValue>* out,
                const std::function<void(hive_value_h)>& met = {}) {
    Owned<hive_value_h> vals(hivex_node_values(h, node));
    if (!vals) return false;
    for (hive_value_h* v = vals.get(); *v; ++v) {
        if (met) met(*v);
        Owned<char> key(hivex_value_key(h, *v));
        if (!key) return false;
        // Any 32-bit type is a valid value type; read it as an integer, since most lie outside
        // the enumeration libhivex declares.
        std::underlying_type_t<hive_type> t = 0;
        size_t len = 0;
        errno = 0;
        Owned<char> data(hivex_value_value(h, *v, reinterpret_cast<hive_type*>(&t), &len));
        if (!data && len) return false;
        RegValue rv;
        rv.name = utf8ToUtf16(key.get());
        rv.type = static_cast<uint32_t>(t);
        if (data) rv.data.assign(data.get(), len);
        out->push_back(std::move(rv));
    }
    return true;
}

// The store looks keys and values up by halving, in Wine's order; a hive lists them in its own.
// Two names the store takes for one (libhivex lets non-ASCII case variants in) keep the first;
// the others go to *dropped when asked for.
template <class T, class NameOf>
size_t sortUnique(std::vector<T>& list, NameOf nameOf, std::vector<T>* dropped = nullptr) {
    std::stable_sort(list.begin(), list.end(),
                     [&](const T& a, const T& b) { return compareNames(nameOf(a), nameOf(b)) < 0; });
    size_t out = 0, count = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (out && compareNames(nameOf(list[out - 1]), nameOf(list[i])) == 0) {
            ++count;
            if (dropped) dropped->push_back(std::move(list[i]));
            continue;
        }
        if (out != i) list[out] = std::move(list[i]);
        ++out;
    }
    list.resize(out);
    return count;
}

// One bit for each cell a walk of a hive has met. libhivex hands out the file offsets of cells as
// node and value handles, and a cell starts on a multiple of 4.
class CellBits {
public:
    explicit CellBits(uint64_t fileSize) : bits_(static_cast<size_t>(fileSize / 4 + 1)) {}
    bool has(size_t cell) const { return cell / 4 < bits_.size() && bits_[cell / 4]; }
    void set(size_t cell, bool on = true) {
        if (cell / 4 >= bits_.size()) bits_.resize(cell / 4 + 1);  // the file grew after it was measured
        bits_[cell / 4] = on;
    }

private:
    std::vector<bool> bits_;
};

// Reads a whole hive below `into`, with a stack of its own (hives nest deep). Every key and value
// cell is read once: in a sound hive each is listed in one place only, and a damaged one whose
// lists lead back up, or to the same cells twice, would otherwise be read without end. Value data
// can be shared the same way; the data of sound values never adds up to more than the file.
// `suspect` is what the file's header says is wrong with it, given for libhivex's failures.
void loadHive(hive_h* h, RegKey* into, const fs::path& file, uint64_t fileSize, const std::string& label,
              const std::string& suspect, std::vector<std::string>* notes) {
    const std::string where = "Could not read " + file.string();
    auto failed = [&] { return MachineError(where + ": " + (suspect.empty() ? errnoText(errno) : suspect)); };
    auto damaged = [&](const std::string& what) {
        return MachineError(where + ": " + what + "; the file is damaged, and is left as it is");
    };
    auto place = [&](const RegKey* k) {
        std::u16string p;
        for (; k && k != into; k = k->parent) p = k->name + (p.empty() ? u"" : u"\\" + p);
        return p.empty() ? std::string("its root key") : "\"" + shown(p) + "\"";
    };
    struct Step {
        hive_node_h node;
        RegKey* key;  // null: the walk leaves the node's subtree
    };
    std::vector<Step> pending{{hivex_root(h), into}};
    if (!pending.back().node) throw failed();
    CellBits met(fileSize), open(fileSize);  // read or listed; on the path from the root
    met.set(pending.back().node);
    uint64_t dataBytes = 0;
    size_t hidden = 0, unnamable = 0;
    while (!pending.empty()) {
        const hive_node_h node = pending.back().node;
        RegKey* const key = pending.back().key;
        pending.pop_back();
        if (!key) {
            open.set(node, false);
            continue;
        }
        open.set(node);
        pending.push_back({node, nullptr});
        std::vector<RegValue>& values = key->values();
        const bool read = readValues(h, node, &values, [&](hive_value_h v) {
            if (met.has(v)) throw damaged("a value of " + place(key) + " belongs to another key as well");
            met.set(v);
        });
        if (!read) throw failed();
        for (const RegValue& v : values) dataBytes += v.data.size();
        if (dataBytes > fileSize) throw damaged("its values hold more data than the file holds (they share it)");
        hidden += sortUnique(values, [](const RegValue& v) -> const std::u16string& { return v.name; });
        Owned<hive_node_h> kids(hivex_node_children(h, node));
        if (!kids) throw failed();
        std::vector<std::pair<std::u16string, hive_node_h>> named;
        std::optional<std::u16string> again, above;
        for (hive_node_h* c = kids.get(); *c; ++c) {
            Owned<char> name(hivex_node_name(h, *c));
            if (!name) throw failed();
            named.emplace_back(utf8ToUtf16(name.get()), *c);
            if (open.has(*c) && !above) above = named.back().first;
            if (met.has(*c) && !again) again = named.back().first;
            met.set(*c);
        }
        if (above)
            throw damaged("its keys loop back on themselves: " + place(key) + " lists \"" + shown(*above) +
                          "\", a key it lies in");
        if (again)
            throw damaged("the key \"" + shown(*again) + "\" is listed twice, the second time under " + place(key));
        // No registry path names a key whose name is empty (libhivex ends names at a NUL) or holds
        // a backslash: a walk by paths would take it for its parent, or for another key.
        const size_t listed = named.size();
        std::erase_if(named, [](const auto& e) { return e.first.empty() || e.first.find(u'\\') != std::u16string::npos; });
        unnamable += listed - named.size();
        hidden += sortUnique(named, [](const auto& e) -> const std::u16string& { return e.first; });
        key->subkeys.reserve(named.size());
        for (auto& [name, c] : named) {
            auto k = std::make_unique<RegKey>();
            k->name = std::move(name);
            k->parent = key;
            const int64_t t = hivex_node_timestamp(h, c);
            k->modif = t > 0 ? static_cast<uint64_t>(t) : 0;
            pending.push_back({c, k.get()});
            key->subkeys.push_back(std::move(k));
        }
    }
    if (hidden)
        notes->push_back(label + " holds " + std::to_string(hidden) +
                         " key or value name(s) that differ from a sibling only in the case of non-ASCII letters; "
                         "only the first of each is shown, and the file keeps them all");
    if (unnamable)
        notes->push_back(label + " holds " + std::to_string(unnamable) +
                         " key(s) whose names are empty or hold a backslash, which no registry path can name; "
                         "they are not shown, and the file keeps them");
}

// Names compared exactly: a hive may hold names the store folds into one.
bool sameValues(const std::vector<RegValue>& a, const std::vector<RegValue>& b) {
    if (a.size() != b.size()) return false;
    for (const RegValue& v : a) {
        auto it = std::find_if(b.begin(), b.end(), [&](const RegValue& w) { return v.name == w.name; });
        if (it == b.end() || it->type != v.type || it->data != v.data) return false;
    }
    return true;
}

// The current time as a FILETIME.
uint64_t fileTimeNow() {
    using namespace std::chrono;
    const auto since1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(since1970) * 10 + 116444736000000000ull;
}

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

std::optional<FileId> idOf(const fs::path& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

bool isTemporaryOf(const std::string& name, const std::string& file) {
    const std::string prefix = "." + file + kTempMarker;
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0;
}

// Copies what ntfs-3g (and the kernel's ntfs3) keep of a file's Windows attributes and security
// descriptor; without them a new file would get Everyone full control.
void copyNtfsMetadata(const fs::path& from, int toFd) {
    for (const char* name : {"system.ntfs_attrib_be", "system.ntfs_acl", "system.ntfs_attrib", "system.ntfs_security"}) {
        char buf[65536];
        const ssize_t n = ::getxattr(from.c_str(), name, buf, sizeof buf);
        if (n > 0) {
            if (::fsetxattr(toFd, name, buf, static_cast<size_t>(n), 0) != 0) {
                // Best effort: another file system, or one that refuses the copy.
            }
        }
    }
}

// Case-insensitive lookup of one name in a folder.
enum class Lookup { Missing, Found, Ambiguous };
Lookup lookupEntry(const fs::path& dir, const std::string& name, fs::path* out) {
    std::error_code ec;
    const std::string want = lowerAscii(name);
    int hits = 0;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (lowerAscii(e.path().filename().string()) == want) {
            *out = e.path();
            ++hits;
        }
    }
    if (hits > 1) return Lookup::Ambiguous;
    return hits ? Lookup::Found : Lookup::Missing;
}

// Hibernation leaves hiberfil.sys starting with "hibr" (or "HIBR"): the session Windows resumes
// would overwrite whatever is written now.
bool hibernatedAt(const fs::path& dir) {
    fs::path f;
    if (lookupEntry(dir, "hiberfil.sys", &f) != Lookup::Found) return false;
    Fd fd(::open(f.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    unsigned char sig[4];
    if (fd.get() < 0 || !readAt(fd.get(), sig, 4, 0)) return false;
    return std::memcmp(sig, "hibr", 4) == 0 || std::memcmp(sig, "HIBR", 4) == 0;
}

// The drive folder and the root of the file system it lies on.
bool hibernated(const fs::path& drive) {
    if (hibernatedAt(drive)) return true;
    std::error_code ec;
    fs::path p = fs::weakly_canonical(drive, ec);
    struct stat st;
    if (ec || ::stat(p.c_str(), &st) != 0) return false;
    while (p.has_parent_path() && p.parent_path() != p) {
        struct stat up;
        if (::stat(p.parent_path().c_str(), &up) != 0 || up.st_dev != st.st_dev) break;
        p = p.parent_path();
    }
    return p != fs::weakly_canonical(drive, ec) && hibernatedAt(p);
}

}  // namespace

// ---- facts about files ---------------------------------------------------------------------

std::optional<fs::path> findCaseless(const fs::path& base, const std::string& relative, std::string* ambiguous) {
    fs::path p = base;
    for (const std::string& c : components(relative, '/')) {
        fs::path next;
        switch (lookupEntry(p, c, &next)) {
        case Lookup::Missing: return std::nullopt;
        case Lookup::Ambiguous:
            if (ambiguous) *ambiguous = (p / c).string();
            return std::nullopt;
        case Lookup::Found: p = next; break;
        }
    }
    return p;
}

HiveHeader readHiveHeader(const fs::path& hive) {
    HiveHeader h;
    Fd fd(::open(hive.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    unsigned char b[kBaseBlock];
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !readAt(fd.get(), b, std::min<size_t>(4, st.st_size), 0)) {
        h.problem = "it could not be read";
        return h;
    }
    if (st.st_size < 4 || std::memcmp(b, "regf", 4) != 0) {
        h.problem = "it is not a registry hive";
        return h;
    }
    const std::string cutShort = "its size does not match its header (it is cut short)";
    if (static_cast<uint64_t>(st.st_size) < kBaseBlock || !readAt(fd.get(), b, sizeof b, 0)) {
        h.problem = cutShort;
        return h;
    }
    h.seq1 = u32(b + 4);
    h.seq2 = u32(b + 8);
    h.major = u32(b + 20);
    h.minor = u32(b + 24);
    h.fileType = u32(b + 28);
    h.format = u32(b + 32);
    if (baseChecksum(b) != u32(b + 508)) {
        h.problem = "its header checksum is wrong (Windows has changes for it in its .LOG files)";
        return h;
    }
    // A file without all its bins cannot be read at all: that comes before what makes it unfit
    // for writing.
    const uint64_t bins = u32(b + 40);
    if (bins % 4096 || kBaseBlock + bins > static_cast<uint64_t>(st.st_size)) {
        h.problem = cutShort;
        return h;
    }
    h.readable = true;
    if (h.seq1 != h.seq2)
        h.problem = "it was not saved completely (sequence numbers " + std::to_string(h.seq1) + " and " +
                    std::to_string(h.seq2) + "): Windows keeps newer changes in its .LOG files";
    else if (h.fileType != 0 || h.format != 1)
        h.problem = "it is not a primary hive file (file type " + std::to_string(h.fileType) + ")";
    else if (h.major != 1 || h.minor < 3 || h.minor > 6)
        h.problem = "its format version " + std::to_string(h.major) + "." + std::to_string(h.minor) + " is unknown";
    return h;
}

std::optional<std::string> newerHiveLog(const fs::path& hive, uint32_t seq1) {
    for (const char* ext : {".LOG1", ".LOG2", ".LOG"}) {
        fs::path log;
        if (lookupEntry(hive.parent_path(), hive.filename().string() + ext, &log) != Lookup::Found) continue;
        Fd fd(::open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        struct stat st;
        unsigned char b[512];
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || st.st_size < 512 || !readAt(fd.get(), b, sizeof b, 0) ||
            std::memcmp(b, "regf", 4) != 0)
            continue;
        if (u32(b + 4) > seq1) return log.filename().string();
        if (u32(b + 28) != 6) continue;
        // Windows 8.1 and later: log entries, each with the sequence number it brings the hive to.
        off_t at = 512;
        unsigned char e[16];
        while (at + 40 <= st.st_size && readAt(fd.get(), e, sizeof e, at) && std::memcmp(e, "HvLE", 4) == 0) {
            const uint32_t size = u32(e + 4);
            if (u32(e + 12) >= seq1) return log.filename().string();
            if (size < 512 || size % 512) break;
            at += size;
        }
    }
    return std::nullopt;
}

// ---- the machine ---------------------------------------------------------------------------

namespace {

// One hive file and where its root sits in the machine's trees.
struct Hive {
    std::string label;            // for messages: "SOFTWARE", "alice's NTUSER.DAT"
    fs::path path;                // spelled as on disk
    bool user = false;            // in HKEY_CURRENT_USER's tree
    std::vector<std::u16string> mount;  // path of its root in that tree
    FileId id;                    // the file as read
    std::string unsafe;           // why it must not be written
};

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
    void recoverInterruptedCommit();
    void checkWritable(const Hive& hv) const;

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
        fs::path p;
        const Lookup l = lookupEntry(config_, name, &p);
        if (l == Lookup::Ambiguous)
            throw MachineError((config_ / name).string() + " exists in more than one spelling of letter case");
        if (l == Lookup::Missing) throw MachineError(drive_.string() + " has no " + (config_ / name).string() + " hive");
        Hive h;
        h.label = name;
        h.path = p;
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
        hv.id = *idOf(hv.path);
        // The header's own words say best why a file cannot be read; libhivex has only an errno.
        const HiveHeader head = readHiveHeader(hv.path);
        if (!head.readable) throw MachineError("Could not read " + hv.path.string() + ": " + head.problem + "; it is left as it is");
        hv.unsafe = head.problem;
        if (hv.unsafe.empty())
            if (auto log = newerHiveLog(hv.path, head.seq1)) hv.unsafe = "its log " + *log + " holds newer changes";
        if (!hv.unsafe.empty())
            notes.push_back(hv.path.string() + ": " + hv.unsafe + "; it is shown as the file holds it and will not be written");
        Hivex h(hivex_open(hv.path.c_str(), 0));
        if (!h)
            throw MachineError("Could not read " + hv.path.string() + ": " +
                               (head.problem.empty() ? "libhivex cannot open it (" + errnoText(errno) + ")" : head.problem) +
                               "; it is left as it is");
        RegKey* at = &(hv.user ? **user : **system).root();
        for (const std::u16string& c : hv.mount) at = attach(at, c);
        // A Classes key NTUSER.DAT may hold itself is not what Windows shows there.
        at->subkeys.clear();
        at->values().clear();
        loadHive(h.get(), at, hv.path, static_cast<uint64_t>(st.st_size), hv.label, head.problem, &notes);
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
    if (hibernated(drive_))
        notes.push_back("Windows on " + drive_.string() +
                        " is hibernated (or shut down with Fast Startup): nothing can be saved until it is started "
                        "and shut down fully");
    for (std::string& n : notes) addNote(std::move(n));
}

void WindowsMachine::reload(bool keepChanges) {
    std::unique_ptr<RegFile> system, user;
    std::vector<Hive> before = hives_;
    bool changedOnDisk = false;
    for (const Hive& hv : hives_) changedOnDisk = changedOnDisk || !(idOf(hv.path) == std::optional<FileId>(hv.id));
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

// ---- commit --------------------------------------------------------------------------------

// The commit journal: the temporaries and the hives they replace, written whole before the first
// rename, so that a commit killed half way is finished when the machine is next opened.
constexpr std::string_view kHivesTag = "QUORVEL HIVES";
constexpr size_t kMaxJournalEntries = 8;

bool readSmall(const fs::path& p, std::string* out) {
    Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 65536) return false;
    out->resize(static_cast<size_t>(st.st_size));
    return readAt(fd.get(), reinterpret_cast<unsigned char*>(out->data()), out->size(), 0);
}

bool isInside(const fs::path& p, const fs::path& dir) {
    auto m = std::mismatch(dir.begin(), dir.end(), p.begin(), p.end());
    return m.first == dir.end();
}

// A whole hive written by a commit: the size the journal names and a clean base block.
bool completeHive(const fs::path& p, uint64_t size) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != size) return false;
    const HiveHeader h = readHiveHeader(p);
    return h.problem.empty();
}

void removeTemporariesOf(const fs::path& hive) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(hive.parent_path(), ec))
        if (isTemporaryOf(e.path().filename().string(), hive.filename().string())) fs::remove(e.path(), ec);
}

// The hive is still the file a commit read: same identity, size and times.
bool stillAsRead(const fs::path& p, const ReadStamp& read) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const ReadStamp now = stampOf(st);
    return now.dev == read.dev && now.ino == read.ino && now.size == read.size && now.mtimeNs == read.mtimeNs &&
           now.ctimeNs == read.ctimeNs;
}

// A commit killed while renaming is finished from its temporaries, but only onto hives that are
// still the ones it read: when Windows (or anyone) wrote one since, the rest of the save is dropped.
void WindowsMachine::recoverInterruptedCommit() {
    const fs::path journal = config_ / kJournal;
    struct stat st;
    if (::lstat(journal.c_str(), &st) != 0) return;
    std::string text;
    std::vector<JournalEntry> entries;
    const bool whole = readSmall(journal, &text) && parseJournal(text, kHivesTag, kMaxJournalEntries, &entries);
    std::error_code ec;
    const fs::path inside = fs::weakly_canonical(drive_, ec);
    std::vector<const JournalEntry*> pending;
    std::string finished, broken, newer, saved;
    auto list = [](std::string& l, const fs::path& p) { l += (l.empty() ? "" : ", ") + p.string(); };
    for (const JournalEntry& e : entries) {
        // Only hives of this drive and their own temporaries, whatever the journal says.
        const fs::path real = fs::weakly_canonical(e.target, ec);
        if (ec || !isInside(real, inside) || e.tmp.parent_path() != e.target.parent_path() ||
            !isTemporaryOf(e.tmp.filename().string(), e.target.filename().string()))
            continue;
        if (!whole) {
            ::unlink(e.tmp.c_str());
            continue;
        }
        if (::lstat(e.tmp.c_str(), &st) != 0) {
            list(saved, e.target);  // renamed before the kill
            continue;
        }
        if (e.read && !stillAsRead(e.target, *e.read)) list(newer, e.target);
        pending.push_back(&e);
    }
    for (const JournalEntry* e : pending) {
        if (newer.empty() && completeHive(e->tmp, e->size) && ::rename(e->tmp.c_str(), e->target.c_str()) == 0) {
            list(finished, e->target);
            syncFolder(e->target.parent_path());
            continue;
        }
        if (newer.empty()) list(broken, e->target);
        ::unlink(e->tmp.c_str());
    }
    if (!newer.empty())
        addNote("An interrupted save was discarded: " + newer + " changed since that save read it, and what was "
                "written there is kept" + (saved.empty() ? "" : "; " + saved + " had already been saved"));
    if (!finished.empty()) addNote("An interrupted save was completed: " + finished + " now holds what was saved");
    if (!broken.empty()) addNote("An interrupted save could not be completed for " + broken + ", which holds what it held before");
    if (!whole) addNote("An interrupted save had not begun to replace any hive; its temporary files were removed");
    ::unlink(journal.c_str());
    syncFolder(config_);
}

void WindowsMachine::checkWritable(const Hive& hv) const {
    const fs::path dir = hv.path.parent_path();
    struct statvfs vfs;
    if (::statvfs(dir.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
        throw MachineError(dir.string() + " is on a file system mounted read-only (ntfs-3g does that for a hibernated "
                           "Windows or one shut down with Fast Startup); start Windows, shut it down fully, and mount "
                           "the partition for writing");
    if (::access(dir.c_str(), W_OK) != 0)
        throw MachineError(dir.string() + " is not writable (" + errnoText(errno) + ")");
    // Users take the write permission away to keep programs from changing a file; root ignores it.
    struct stat st;
    if (::access(hv.path.c_str(), W_OK) != 0 || (::stat(hv.path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0))
        throw MachineError(hv.path.string() + " is read-only, so it was left as it is");
}

// One hive's pending changes turned into libhivex edits, key by key: each touched key is made to
// hold what the tree holds, with one set_values per key whose values differ.
class HiveEdit {
public:
    enum : unsigned { Exists = 1, Values = 2, Deep = 4 };

    HiveEdit(Hive& hive, RegFile& tree, std::string rootShown) : hive_(hive), tree_(tree), shown_(std::move(rootShown)) {}

    Hive& hive() { return hive_; }
    void touch(std::vector<std::u16string> rest, unsigned how) {
        const std::u16string key = foldName(join16(rest));
        auto [it, added] = touched_.try_emplace(key, Touch{std::move(rest), how});
        if (!added) it->second.how |= how;
    }
    bool empty() const { return touched_.empty(); }

    void run(hive_h* h) {
        h_ = h;
        std::vector<const Touch*> order;
        for (const auto& [k, t] : touched_) order.push_back(&t);
        std::stable_sort(order.begin(), order.end(),
                         [](const Touch* a, const Touch* b) { return a->rest.size() < b->rest.size(); });
        for (const Touch* t : order) syncPath(t->rest, t->how);
    }

private:
    struct Touch {
        std::vector<std::u16string> rest;
        unsigned how = 0;
    };

    [[noreturn]] void fail(const std::vector<std::u16string>& rest, const std::string& why) const {
        std::string path = shown_;
        for (const auto& c : hive_.mount) path += "\\" + shown(c);
        for (const auto& c : rest) path += "\\" + shown(c);
        throw MachineError(path + ": " + why);
    }

    RegKey* treeKey(const std::vector<std::u16string>& rest) const {
        std::vector<std::u16string> full = hive_.mount;
        full.insert(full.end(), rest.begin(), rest.end());
        RegKey* k = nullptr;
        return tree_.findKey(join16(full), &k) == ERROR_SUCCESS ? k : nullptr;
    }

    hive_node_h node(const std::vector<std::u16string>& rest, size_t n) const {
        hive_node_h at = hivex_root(h_);
        for (size_t i = 0; i < n && at; ++i) at = hivex_node_get_child(h_, at, utf16ToUtf8(rest[i]).c_str());
        return at;
    }

    // NTUSER.DAT's own Software\Classes is not the user's classes (UsrClass.dat is): left alone.
    bool keptAside(const std::vector<std::u16string>& at, std::u16string_view child) const {
        return hive_.user && hive_.mount.empty() && at.size() == 1 && namesEqual(at[0], u"Software") &&
               namesEqual(child, u"Classes");
    }

    void syncPath(const std::vector<std::u16string>& rest, unsigned how) {
        if (rest.size() == 2 && keptAside({rest[0]}, rest[1])) return;
        const RegKey* t = treeKey(rest);
        const hive_node_h n = node(rest, rest.size());
        if (!t) {
            if (n && hivex_node_delete_child(h_, n) != 0) fail(rest, "libhivex could not delete it: " + errnoText(errno));
            return;
        }
        if (!n) {
            hive_node_h parent = node(rest, rest.size() - 1);
            if (!parent) {
                syncPath({rest.begin(), rest.end() - 1}, Exists);
                parent = node(rest, rest.size() - 1);
                if (!parent) fail(rest, "its parent key could not be made");
            }
            writeNew(parent, *t, rest);
            return;
        }
        if (how & (Values | Deep)) syncValues(n, *t, rest, !(how & Deep));
        if (how & Deep) syncChildren(n, *t, rest);
    }

    // The key's values made what the tree holds. With `keepHidden`, the values the tree does not
    // show (names it folds onto another's, see sortUnique) stay as the hive holds them; a key
    // that was deleted lost them with the rest.
    void syncValues(hive_node_h n, const RegKey& t, const std::vector<std::u16string>& rest, bool keepHidden) {
        std::vector<RegValue> now;
        if (!readValues(h_, n, &now)) fail(rest, "libhivex could not read its values: " + errnoText(errno));
        std::vector<RegValue> want = t.values();
        if (keepHidden) {
            std::vector<RegValue> shownOnes = now, hidden;
            sortUnique(shownOnes, [](const RegValue& v) -> const std::u16string& { return v.name; }, &hidden);
            for (RegValue& v : hidden)
                if (std::none_of(want.begin(), want.end(), [&](const RegValue& w) { return w.name == v.name; }))
                    want.push_back(std::move(v));
        }
        if (sameValues(want, now)) return;
        for (const RegValue& v : now)
            if (v.data.size() > kMaxHiveValueSize)
                fail(rest, "it holds the value \"" + shown(v.name) + "\" of " + std::to_string(v.data.size()) +
                               " bytes, which libhivex would damage when it rewrites the key; change this key with "
                               "Windows' own Registry Editor");
        setValues(n, want, rest);
    }

    void setValues(hive_node_h n, const std::vector<RegValue>& values, const std::vector<std::u16string>& rest) {
        std::vector<std::string> names;
        names.reserve(values.size());
        for (const RegValue& v : values) {
            if (v.data.size() > kMaxHiveValueSize)
                fail(rest, "the value \"" + shown(v.name) + "\" would hold " + std::to_string(v.data.size()) +
                               " bytes; a hive edited here holds at most " + std::to_string(kMaxHiveValueSize) +
                               " bytes a value");
            names.push_back(utf16ToUtf8(v.name));
        }
        std::vector<hive_set_value> set(values.size());
        for (size_t i = 0; i < set.size(); ++i) {
            const RegValue& v = values[i];
            set[i].key = names[i].data();
            static_assert(sizeof(set[i].t) == sizeof(v.type));
            std::memcpy(&set[i].t, &v.type, sizeof(v.type));  // any 32-bit type, not only the enumerated
            set[i].len = v.data.size();
            set[i].value = const_cast<char*>(v.data.data());
        }
        if (hivex_node_set_values(h_, n, set.size(), set.data(), 0) != 0)
            fail(rest, "libhivex could not write its values: " + errnoText(errno));
    }

    // A key new to the hive, with everything below it.
    void writeNew(hive_node_h parent, const RegKey& top, const std::vector<std::u16string>& topRest) {
        std::vector<std::tuple<hive_node_h, const RegKey*, std::vector<std::u16string>>> pending{{parent, &top, topRest}};
        while (!pending.empty()) {
            auto [p, k, rest] = std::move(pending.back());
            pending.pop_back();
            std::string why;
            if (!creatableName(k->name, &why)) fail(rest, "this key cannot be made in a hive: " + why);
            const hive_node_h n = hivex_node_add_child(h_, p, utf16ToUtf8(k->name).c_str());
            if (!n) fail(rest, "libhivex could not make it: " + errnoText(errno));
            if (!k->values().empty()) setValues(n, k->values(), rest);
            for (const auto& c : k->subkeys) {
                std::vector<std::u16string> r = rest;
                r.push_back(c->name);
                pending.emplace_back(n, c.get(), std::move(r));
            }
        }
    }

    // A key that was deleted and made again: the whole subtree as the tree holds it, nothing the
    // tree did not show kept.
    void syncChildren(hive_node_h top, const RegKey& t, const std::vector<std::u16string>& topRest) {
        std::vector<std::tuple<hive_node_h, const RegKey*, std::vector<std::u16string>>> pending{{top, &t, topRest}};
        while (!pending.empty()) {
            auto [n, k, rest] = std::move(pending.back());
            pending.pop_back();
            if (n != top) syncValues(n, *k, rest, false);
            Owned<hive_node_h> kids(hivex_node_children(h_, n));
            if (!kids) fail(rest, "libhivex could not list its subkeys: " + errnoText(errno));
            std::vector<std::pair<std::u16string, hive_node_h>> have;
            for (hive_node_h* c = kids.get(); *c; ++c) {
                Owned<char> name(hivex_node_name(h_, *c));
                have.emplace_back(utf8ToUtf16(name ? name.get() : ""), *c);
            }
            // Each subkey of the tree keeps the hive's key of its exact name, else one the store
            // takes for it; the hive's other keys go.
            std::vector<hive_node_h> kept(k->subkeys.size(), 0);
            std::vector<bool> taken(have.size(), false);
            for (bool exact : {true, false}) {
                auto spelled = [&](const std::u16string& n) { return exact ? n : foldName(n); };
                std::unordered_map<std::u16string, std::vector<size_t>> named;
                for (size_t j = have.size(); j-- > 0;)
                    if (!taken[j]) named[spelled(have[j].first)].push_back(j);
                for (size_t i = 0; i < kept.size(); ++i) {
                    auto it = kept[i] ? named.end() : named.find(spelled(k->subkeys[i]->name));
                    if (it == named.end() || it->second.empty()) continue;
                    const size_t j = it->second.back();  // the first listed
                    it->second.pop_back();
                    kept[i] = have[j].second;
                    taken[j] = true;
                }
            }
            for (size_t j = 0; j < have.size(); ++j) {
                if (taken[j] || keptAside(rest, have[j].first)) continue;
                if (hivex_node_delete_child(h_, have[j].second) != 0)
                    fail(rest, "libhivex could not delete a subkey: " + errnoText(errno));
            }
            for (size_t i = 0; i < kept.size(); ++i) {
                const RegKey* sub = k->subkeys[i].get();
                std::vector<std::u16string> r = rest;
                r.push_back(sub->name);
                if (!kept[i]) writeNew(n, *sub, r);
                else pending.emplace_back(kept[i], sub, std::move(r));
            }
        }
    }

    Hive& hive_;
    RegFile& tree_;
    std::string shown_;
    hive_h* h_ = nullptr;
    std::map<std::u16string, Touch> touched_;
};

class CommitLock {
public:
    explicit CommitLock(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_.get() < 0) throw MachineError("Could not open " + dir.string() + ": " + errnoText(errno));
        while (::flock(fd_.get(), LOCK_EX) != 0)
            if (errno != EINTR) throw MachineError("Could not lock " + dir.string() + ": " + errnoText(errno));
    }

private:
    Fd fd_;
};

// Stamps the written hive with the time of the save (base block and first bin, as Windows keeps
// them): an old-format log that names the previous time no longer applies to it.
bool stampAndSync(int fd, const fs::path& original) {
    unsigned char b[kBaseBlock + 32];
    if (!readAt(fd, b, sizeof b, 0)) return false;
    const uint64_t now = fileTimeNow();
    for (int i = 0; i < 8; ++i) {
        b[12 + i] = static_cast<unsigned char>(now >> (8 * i));
        if (std::memcmp(b + kBaseBlock, "hbin", 4) == 0) b[kBaseBlock + 20 + i] = b[12 + i];
    }
    put32(b + 508, baseChecksum(b));
    if (::pwrite(fd, b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return false;
    struct stat st;
    if (::stat(original.c_str(), &st) == 0) {
        ::fchmod(fd, st.st_mode & 07777);
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only root may give files away; the file is then ours.
        }
    }
    copyNtfsMetadata(original, fd);
    return ::fsync(fd) == 0;
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

    CommitLock lock(config_);
    recoverInterruptedCommit();
    if (hibernated(drive_))
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
        if (!(idOf(hv.path) == std::optional<FileId>(hv.id)))
            throw nothing(hv.path.string() + " changed on disk since it was read; open the machine again");
        const HiveHeader head = readHiveHeader(hv.path);
        if (!head.problem.empty()) throw nothing(hv.path.string() + " cannot be written: " + head.problem);
        if (auto log = newerHiveLog(hv.path, head.seq1))
            throw nothing(hv.path.string() + " cannot be written: its log " + *log + " holds newer changes");
        try {
            checkWritable(hv);
        } catch (const MachineError& err) {
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
        for (auto& e : edits) {
            Hive& hv = e->hive();
            removeTemporariesOf(hv.path);
            Hivex h(hivex_open(hv.path.c_str(), HIVEX_OPEN_WRITE));
            if (!h) throw MachineError("libhivex cannot open " + hv.path.string() + ": " + errnoText(errno));
            e->run(h.get());
            // The temporary is made anew and then only reached through its descriptor: whoever may
            // write to the folder could put a link in its place once it has a name, and libhivex
            // opens what it is given with O_CREAT|O_TRUNC.
            std::string tmpl = (hv.path.parent_path() / ("." + hv.path.filename().string() + kTempMarker + "XXXXXX")).string();
            const Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC | O_NOFOLLOW));
            if (fd.get() < 0) throw MachineError("Could not write beside " + hv.path.string() + ": " + errnoText(errno));
            struct stat read;
            if (::stat(hv.path.c_str(), &read) != 0)
                throw MachineError("Could not read " + hv.path.string() + ": " + errnoText(errno));
            entries.push_back({tmpl, hv.path, 0, 0, stampOf(read)});
            const std::string own = "/proc/self/fd/" + std::to_string(fd.get());
            if (hivex_commit(h.get(), own.c_str(), 0) != 0)
                throw MachineError("Could not write " + tmpl + ": " + errnoText(errno));
            struct stat st;
            if (!stampAndSync(fd.get(), hv.path) || ::fstat(fd.get(), &st) != 0)
                throw MachineError("Could not write " + tmpl + ": " + errnoText(errno));
            Hivex check(hivex_open(own.c_str(), 0));
            const HiveHeader head = readHiveHeader(own);
            if (!check || !head.problem.empty())
                throw MachineError("The hive libhivex wrote for " + hv.path.string() + " does not read back");
            entries.back().size = static_cast<uint64_t>(st.st_size);
        }
        const fs::path journal = config_ / kJournal;
        const fs::path jtmp = config_ / (std::string(kJournal) + kTempMarker);
        {
            // A name others can plant a link at: what is there is removed, never written through.
            ::unlink(jtmp.c_str());
            Fd fd(createNewFile(jtmp, 0644));
            const std::string text = formatJournal(kHivesTag, entries);
            if (fd.get() < 0 || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
                ::fsync(fd.get()) != 0)
                throw MachineError("Could not write " + jtmp.string() + ": " + errnoText(errno));
        }
        for (const JournalEntry& j : entries) syncFolder(j.tmp.parent_path());
        if (::rename(jtmp.c_str(), journal.c_str()) != 0) {
            ::unlink(jtmp.c_str());
            throw MachineError("Could not write " + journal.string() + ": " + errnoText(errno));
        }
        syncFolder(config_);
    } catch (const MachineError& e) {
        dropTemps();
        throw nothing(e.what());
    }
    std::string failed;
    for (const JournalEntry& j : entries) {
        try {
            beforeRename(j.target);
        } catch (const std::exception& e) {
            failed = e.what();
            break;
        }
        if (::rename(j.tmp.c_str(), j.target.c_str()) != 0) {
            failed = "Could not replace " + j.target.string() + ": " + errnoText(errno);
            break;
        }
        syncFolder(j.target.parent_path());
    }
    if (!failed.empty())
        throw MachineError(failed + "; the save is completed when the machine is next opened");
    ::unlink((config_ / kJournal).c_str());
    syncFolder(config_);
    for (auto& e : edits) e->hive().id = *idOf(e->hive().path);
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
        } catch (const MachineError&) {
            // A folder that cannot be locked can still be read.
        }
        recoverInterruptedCommit();
        buildTrees(&system, &user);
        for (const Hive& hv : hives_) removeTemporariesOf(hv.path);
        ::unlink((config_ / (std::string(kJournal) + kTempMarker)).c_str());
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

std::string installedWindowsVersion(const fs::path& drive) {
    const auto software = findCaseless(drive, "Windows/System32/config/SOFTWARE");
    if (!software) return {};
    Hivex h(hivex_open(software->c_str(), 0));
    if (!h) return {};
    hive_node_h n = hivex_root(h.get());
    for (const char* part : {"Microsoft", "Windows NT", "CurrentVersion"})
        if (n) n = hivex_node_get_child(h.get(), n, part);
    if (!n) return {};
    auto text = [&](const char* name) -> std::string {
        const hive_value_h v = hivex_node_get_value(h.get(), n, name);
        if (!v) return {};
        Owned<char> s(hivex_value_string(h.get(), v));
        return s ? std::string(s.get()) : std::string();
    };
    const std::string product = text("ProductName"), version = text("CurrentVersion");
    if (!product.empty() && !version.empty()) return product + " (" + version + ")";
    return !product.empty() ? product : version.empty() ? std::string() : "Windows " + version;
}

}  // namespace qv::reg

