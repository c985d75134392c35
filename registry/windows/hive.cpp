// Reading a Windows installation's hive files: what their headers and logs say, where a name lies
// whatever its case, and a whole hive read into one of the store's trees.
#include "registry/windows/hive.h"

#include <sys/stat.h>

#include <optional>
#include <type_traits>

#include "registry/windows/hiveutil.h"

namespace qv::reg {

using namespace hive;

namespace {

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
    auto failed = [&] { return HiveError(where + ": " + (suspect.empty() ? errnoText(errno) : suspect)); };
    auto damaged = [&](const std::string& what) {
        return HiveError(where + ": " + what + "; the file is damaged, and is left as it is");
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

}  // namespace

// The drive folder and the root of the file system it lies on.
bool windowsHibernated(const fs::path& drive) {
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

bool hive::readValues(hive_h* h, hive_node_h node, std::vector<RegValue>* out,
                      const std::function<void(hive_value_h)>& met) {
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

void readHive(const Hive& hv, const HiveHeader& head, uint64_t fileSize, RegKey* into, std::vector<std::string>* notes) {
    Hivex h(hivex_open(hv.path.c_str(), 0));
    if (!h)
        throw HiveError("Could not read " + hv.path.string() + ": " +
                        (head.problem.empty() ? "libhivex cannot open it (" + errnoText(errno) + ")" : head.problem) +
                        "; it is left as it is");
    loadHive(h.get(), into, hv.path, fileSize, hv.label, head.problem, notes);
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
