// Reading a Windows installation's hive files: what their headers and logs say, where a name lies
// whatever its case, and a whole hive read into one of the store's trees.
#include "registry/windows/hive.h"

#include <sys/stat.h>

#include <optional>
#include <type_traits>

#include "registry/machines/error.h"
#include "registry/windows/hiveutil.h"
#include "registry/wine/keyindex.h"

namespace qv::reg {

using namespace hive;

namespace {

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

// ---- the hive as a source of keys -----------------------------------------------------------

HiveSource::HiveSource(Hive& hv) : path_(hv.path), label_(hv.label) {
    fd_ = ::open(hv.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        const int e = errno;
        if (fd_ >= 0) ::close(fd_);
        throw HiveError("Could not read " + hv.path.string() + ": " + errnoText(e));
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxRegistryFileSize) {
        ::close(fd_);
        throw HiveError("Could not read " + hv.path.string() + ": it is not a regular file of a sane size");
    }
    hv.id = idOf(st);
    // The header's own words say best why a file cannot be read; libhivex has only an errno.
    head_ = readHiveHeader("/proc/self/fd/" + std::to_string(fd_));
    if (!head_.readable) {
        ::close(fd_);
        throw HiveError("Could not read " + hv.path.string() + ": " + head_.problem + "; it is left as it is");
    }
}

HiveSource::~HiveSource() {
    if (h_) hivex_close(h_);
    if (fd_ >= 0) ::close(fd_);
}

hive_h* HiveSource::handle() const {
    if (opened_) return h_;
    opened_ = true;
    h_ = hivex_open(("/proc/self/fd/" + std::to_string(fd_)).c_str(), 0);
    if (!h_) {
        fail(head_.problem.empty() ? "libhivex cannot open it (" + errnoText(errno) + ")" : head_.problem);
        return nullptr;
    }
    root_ = static_cast<uint32_t>(hivex_root(h_));
    if (!root_) {
        fail(head_.problem.empty() ? errnoText(errno) : head_.problem);
        hivex_close(h_);
        h_ = nullptr;
    }
    return h_;
}

uint32_t HiveSource::resolve(uint32_t node) const { return node ? node : root_; }

void HiveSource::fail(const std::string& why) const {
    if (failure_.empty()) failure_ = "Could not read " + path_.string() + ": " + why + "; it is left as it is";
}

void HiveSource::damaged(const std::string& what) const {
    if (failure_.empty()) failure_ = "Could not read " + path_.string() + ": " + what + "; the file is damaged, and is left as it is";
}

std::string HiveSource::place(const RegKey* k) const {
    std::u16string p;
    for (; k && k->source() == this && k->sourceNode() != 0; k = k->parent) p = k->name + (p.empty() ? u"" : u"\\" + p);
    return p.empty() ? std::string("its root key") : "\"" + shown(p) + "\"";
}

void HiveSource::mount(RegKey* key) const { key->setSource(this, 0, 1, true); }

std::vector<std::string> HiveSource::notes() const {
    std::vector<std::string> out;
    if (!failure_.empty()) out.push_back(failure_ + "; what could not be read is not shown, and the hive will not be written");
    if (hidden_)
        out.push_back(label_ + " holds " + std::to_string(hidden_) +
                      " key or value name(s) that differ from a sibling only in the case of non-ASCII letters; "
                      "only the first of each is shown, and the file keeps them all");
    if (unnamable_)
        out.push_back(label_ + " holds " + std::to_string(unnamable_) +
                      " key(s) whose names are empty or hold a backslash, which no registry path can name; "
                      "they are not shown, and the file keeps them");
    return out;
}

// A sound hive lists each key once, under the key its parent field names: a key listed under
// another (a loop back up, or a list two keys share) is damage, found one level at a time.
void HiveSource::readSubkeys(RegKey* owner, uint32_t at, std::vector<std::unique_ptr<RegKey>>* out) const {
    hive_h* const h = handle();
    if (!h) return;
    const hive_node_h node = resolve(at);
    Owned<hive_node_h> kids(hivex_node_children(h, node));
    if (!kids) return fail(head_.problem.empty() ? errnoText(errno) : head_.problem);
    std::vector<std::pair<std::u16string, hive_node_h>> named;
    std::unordered_set<hive_node_h> seen;
    for (hive_node_h* c = kids.get(); *c; ++c) {
        Owned<char> name(hivex_node_name(h, *c));
        if (!name) return fail(head_.problem.empty() ? errnoText(errno) : head_.problem);
        std::u16string n = utf8ToUtf16(name.get());
        if (hivex_node_parent(h, *c) != node || !seen.insert(*c).second) {
            bool above = false;
            for (const RegKey* k = owner; k && k->source() == this && !above; k = k->parent)
                above = resolve(k->sourceNode()) == *c;
            if (above)
                damaged("its keys loop back on themselves: " + place(owner) + " lists \"" + shown(n) + "\", a key it lies in");
            else
                damaged("the key \"" + shown(n) + "\" is listed twice, the second time under " + place(owner));
            continue;
        }
        named.emplace_back(std::move(n), *c);
    }
    // No registry path names a key whose name is empty (libhivex ends names at a NUL) or holds
    // a backslash: a walk by paths would take it for its parent, or for another key.
    const size_t listed = named.size();
    std::erase_if(named, [](const auto& e) { return e.first.empty() || e.first.find(u'\\') != std::u16string::npos; });
    const size_t hidden = sortUnique(named, [](const auto& e) -> const std::u16string& { return e.first; });
    if (keysRead_.insert(static_cast<uint32_t>(node)).second) {
        unnamable_ += listed - named.size();
        hidden_ += hidden;
    }
    const bool software = graft_ && node == root_, classes = graft_ && software_ && node == software_;
    out->reserve(named.size() + 1);
    for (auto& [name, c] : named) {
        if (classes && classes_ && namesEqual(name, u"Classes")) continue;  // the other hive's, below
        auto k = std::make_unique<RegKey>();
        k->name = std::move(name);
        k->parent = owner;
        const int64_t t = hivex_node_timestamp(h, c);
        k->modif = t > 0 ? static_cast<uint64_t>(t) : 0;
        k->setSource(this, static_cast<uint32_t>(c), static_cast<uint32_t>(hivex_node_nr_values(h, c)),
                     hivex_node_nr_children(h, c) > 0);
        if (software && namesEqual(k->name, u"Software")) software_ = static_cast<uint32_t>(c);
        out->push_back(std::move(k));
    }
    auto add = [&](std::u16string name, uint64_t modif) {
        bool found;
        const size_t pos = wine::sortedPosition(*out, name, wine::keyName, &found);
        auto k = std::make_unique<RegKey>();
        k->name = std::move(name);
        k->parent = owner;
        k->modif = modif;
        RegKey* raw = k.get();
        out->insert(out->begin() + static_cast<ptrdiff_t>(pos), std::move(k));
        return raw;
    };
    if (software && !software_) {
        RegKey* sw = add(u"Software", owner->modif);
        auto cls = std::make_unique<RegKey>();
        cls->name = u"Classes";
        cls->parent = sw;
        cls->modif = owner->modif;
        if (classes_) classes_->mount(cls.get());
        sw->subkeys.push_back(std::move(cls));
    }
    if (classes && (classes_ || !std::any_of(out->begin(), out->end(), [](const auto& k) { return namesEqual(k->name, u"Classes"); }))) {
        RegKey* cls = add(u"Classes", owner->modif);
        if (classes_) classes_->mount(cls);
    }
}

void HiveSource::readValues(const RegKey* owner, uint32_t at, std::vector<RegValue>* out) const {
    hive_h* const h = handle();
    if (!h) return;
    const hive_node_h node = resolve(at);
    std::string damage;
    // A value, or its data, that another key's value list reaches as well is damage.
    const bool read = hive::readValues(h, node, out, [&](hive_value_h v) {
        auto [it, added] = claims_.try_emplace(static_cast<uint32_t>(v), static_cast<uint32_t>(node));
        if (!added && it->second != node && damage.empty())
            damage = "a value of " + place(owner) + " belongs to another key as well";
        size_t len = 0;
        const hive_value_h data = hivex_value_data_cell_offset(h, v, &len);
        if (!data) return;
        auto [dt, dataAdded] = claims_.try_emplace(static_cast<uint32_t>(data), static_cast<uint32_t>(v));
        if (!dataAdded && dt->second != v && damage.empty())
            damage = "the values of " + place(owner) + " share their data with another value";
    });
    if (!damage.empty()) {
        out->clear();
        return damaged(damage);
    }
    if (!read) {
        out->clear();
        return fail(head_.problem.empty() ? errnoText(errno) : head_.problem);
    }
    const size_t hidden = sortUnique(*out, [](const RegValue& v) -> const std::u16string& { return v.name; });
    if (valuesRead_.insert(static_cast<uint32_t>(node)).second) hidden_ += hidden;
}

void checkHiveStructure(hive_h* h, const fs::path& file) {
    auto named = [&](hive_node_h n) {
        std::string p;
        for (int depth = 0; n && n != hivex_root(h) && depth < 512; ++depth, n = hivex_node_parent(h, n)) {
            Owned<char> name(hivex_node_name(h, n));
            p = std::string(name ? name.get() : "?") + (p.empty() ? "" : "\\" + p);
        }
        return p.empty() ? std::string("its root key") : "\"" + p + "\"";
    };
    auto damaged = [&](const std::string& what) {
        return HiveError(file.string() + " cannot be written: " + what + "; the file is damaged, and is left as it is");
    };
    auto failed = [&] { return HiveError("libhivex could not read " + file.string() + ": " + errnoText(errno)); };
    const hive_node_h root = hivex_root(h);
    if (!root) throw failed();
    // Each key is taken only from the list of the key its parent field names, and the root from
    // none, so each is reached once and the walk ends whatever the lists say.
    std::vector<hive_node_h> pending{root};
    std::unordered_map<size_t, size_t> claims;  // a value's cell: its key; data's cell: its value
    std::unordered_set<hive_node_h> seen;
    while (!pending.empty()) {
        const hive_node_h node = pending.back();
        pending.pop_back();
        Owned<hive_node_h> kids(hivex_node_children(h, node));
        if (!kids) throw failed();
        seen.clear();
        for (hive_node_h* c = kids.get(); *c; ++c) {
            if (*c == root || hivex_node_parent(h, *c) != node || !seen.insert(*c).second)
                throw damaged("its keys loop back on themselves or a key is listed twice (under " + named(node) + ")");
            pending.push_back(*c);
        }
        Owned<hive_value_h> vals(hivex_node_values(h, node));
        if (!vals) throw failed();
        for (hive_value_h* v = vals.get(); *v; ++v) {
            if (!claims.try_emplace(*v, node).second)
                throw damaged("a value of " + named(node) + " belongs to another key as well");
            size_t len = 0;
            if (const hive_value_h data = hivex_value_data_cell_offset(h, *v, &len); data && !claims.try_emplace(data, *v).second)
                throw damaged("the values of " + named(node) + " share their data with another value");
        }
    }
}

namespace {

// The records of a hive file read one cell at a time (offsets relative to the first bin), each
// checked to lie in use within the bins; anything unusual ends the reading.
class CellReader {
public:
    CellReader(int fd, uint32_t bins, uint32_t minor) : fd_(fd), bins_(bins), minor_(minor) {}

    // The data of the cell at `off`, at least `need` bytes of it.
    bool cell(uint32_t off, size_t need, std::string* out) const {
        unsigned char h[4];
        if (off % 8 || off < 32 || static_cast<uint64_t>(off) + 4 > bins_ || !readAt(fd_, h, 4, kBaseBlock + off)) return false;
        // In use: a negative size, of at least the size field and one more word.
        const uint32_t size = 0u - u32(h);
        if (size < 8 || size > 0x80000000u || static_cast<uint64_t>(off) + size > bins_) return false;
        const size_t len = size - 4;
        if (len < need) return false;
        out->resize(len);
        return readAt(fd_, reinterpret_cast<unsigned char*>(out->data()), len, kBaseBlock + off + 4);
    }

    struct Key {
        uint32_t off = 0, parent = 0, subkeys = 0, subkeyList = 0, values = 0, valueList = 0;
        std::u16string name;
        uint64_t modif = 0;
    };
    bool key(uint32_t off, Key* k) const {
        std::string d;
        if (!cell(off, 76, &d) || d[0] != 'n' || d[1] != 'k') return false;
        const auto* b = reinterpret_cast<const unsigned char*>(d.data());
        const size_t nameLen = b[72] | b[73] << 8;
        if (76 + nameLen > d.size()) return false;
        k->off = off;
        k->parent = u32(b + 16);
        k->subkeys = u32(b + 20);
        k->subkeyList = u32(b + 28);
        k->values = u32(b + 36);
        k->valueList = u32(b + 40);
        k->modif = u32(b + 4) | uint64_t(u32(b + 8)) << 32;
        return name(b + 76, nameLen, (b[2] | b[3] << 8) & 0x20, &k->name) && !k->name.empty();
    }

    // The subkeys of k, each checked to name k as its parent.
    bool subkeys(const Key& k, std::vector<Key>* out) const {
        if (!k.subkeys) return true;
        // Leaves an index shares could list more than the file holds: no more than it can hold.
        if (k.subkeys > bins_ / 80) return false;
        std::vector<uint32_t> offs;
        if (!list(k.subkeyList, true, k.subkeys, &offs) || offs.size() != k.subkeys) return false;
        for (uint32_t o : offs) {
            out->emplace_back();
            if (!key(o, &out->back()) || out->back().parent != k.off) return false;
        }
        return true;
    }

    bool values(const Key& k, std::vector<RegValue>* out) const {
        if (!k.values) return true;
        std::string l, d;
        if (k.values > 0x100000 || !cell(k.valueList, size_t(k.values) * 4, &l)) return false;
        for (uint32_t i = 0; i < k.values; ++i) {
            if (!cell(u32(reinterpret_cast<const unsigned char*>(l.data()) + 4 * i), 20, &d) || d[0] != 'v' || d[1] != 'k')
                return false;
            const auto* b = reinterpret_cast<const unsigned char*>(d.data());
            const size_t nameLen = b[2] | b[3] << 8;
            RegValue v;
            if (20 + nameLen > d.size() || !name(b + 20, nameLen, (b[16] | b[17] << 8) & 1, &v.name)) return false;
            v.type = u32(b + 12);
            const uint32_t size = u32(b + 4);
            if (size & 0x80000000u) {
                if ((size & 0x7FFFFFFFu) > 4) return false;
                v.data.assign(d, 8, size & 0x7FFFFFFFu);
            } else if (size) {
                // Data over one cell's worth is a big-data record: libhivex reads those.
                std::string data;
                if ((minor_ >= 4 && size > kMaxHiveValueSize) || !cell(u32(b + 8), size, &data)) return false;
                v.data = data.substr(0, size);
            }
            out->push_back(std::move(v));
        }
        return true;
    }

private:
    // Names as libhivex gives them: Latin-1 or UTF-16; names no path can hold end the reading.
    static bool name(const unsigned char* p, size_t len, bool latin1, std::u16string* out) {
        if (latin1) out->assign(p, p + len);
        else if (len % 2) return false;
        else
            for (size_t i = 0; i < len; i += 2) out->push_back(static_cast<char16_t>(p[i] | p[i + 1] << 8));
        for (char16_t c : *out)
            if (c == 0 || c == u'\\' || (c >= 0xD800 && c < 0xE000)) return false;
        return true;
    }

    bool list(uint32_t off, bool top, size_t most, std::vector<uint32_t>* out) const {
        std::string d;
        if (!cell(off, 4, &d)) return false;
        const auto* b = reinterpret_cast<const unsigned char*>(d.data());
        const size_t n = b[2] | b[3] << 8;
        const std::string_view sig(d.data(), 2);
        const size_t step = sig == "lf" || sig == "lh" ? 8 : 4;
        if ((sig != "lf" && sig != "lh" && sig != "li" && !(top && sig == "ri")) || 4 + n * step > d.size()) return false;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t o = u32(b + 4 + i * step);
            if (sig == "ri") {
                if (!list(o, false, most, out)) return false;
            } else if (out->size() < most) {
                out->push_back(o);
            } else {
                return false;
            }
        }
        return true;
    }

    int fd_;
    uint64_t bins_;
    uint32_t minor_;
};

}  // namespace

bool HiveSource::glance(const std::vector<std::u16string>& paths, RegKey* into) const {
    unsigned char b[kBaseBlock];
    if (!readAt(fd_, b, kBaseBlock, 0)) return false;
    const CellReader r(fd_, u32(b + 40), head_.minor);
    CellReader::Key root;
    if (!r.key(u32(b + 36), &root)) return false;
    // Names folded onto one another are left to the full reader, which says so.
    auto unique = [](auto& list, auto nameOf) {
        const size_t n = list.size();
        return sortUnique(list, nameOf) == 0 && list.size() == n;
    };
    auto copyValues = [&](const CellReader::Key& k, RegKey* to) {
        std::vector<RegValue> vals;
        if (!r.values(k, &vals) || !unique(vals, [](const RegValue& v) -> const std::u16string& { return v.name; }))
            return false;
        to->values() = std::move(vals);
        return true;
    };
    for (const std::u16string& path : paths) {
        std::vector<std::u16string> parts = components16(path);
        const bool each = !parts.empty() && parts.back() == u"*";
        if (each) parts.pop_back();
        CellReader::Key at = root;
        RegKey* to = into;
        bool missing = false;
        for (const std::u16string& part : parts) {
            std::vector<CellReader::Key> kids;
            if (!r.subkeys(at, &kids) || !unique(kids, [](const CellReader::Key& k) -> const std::u16string& { return k.name; }))
                return false;
            auto it = std::find_if(kids.begin(), kids.end(), [&](const CellReader::Key& k) { return namesEqual(k.name, part); });
            if (it == kids.end()) {
                missing = true;
                break;
            }
            at = std::move(*it);
            RegKey* next = to->subkey(at.name);
            if (!next) {
                bool found;
                const size_t pos = to->subkeyPosition(at.name, &found);
                auto k = std::make_unique<RegKey>();
                k->name = at.name;
                k->parent = to;
                k->modif = at.modif;
                next = k.get();
                to->subkeys.insert(to->subkeys.begin() + static_cast<ptrdiff_t>(pos), std::move(k));
            }
            to = next;
        }
        if (missing) continue;
        if (!each) {
            if (!copyValues(at, to)) return false;
            continue;
        }
        std::vector<CellReader::Key> kids;
        if (!r.subkeys(at, &kids) || !unique(kids, [](const CellReader::Key& k) -> const std::u16string& { return k.name; }))
            return false;
        for (CellReader::Key& c : kids) {
            auto k = std::make_unique<RegKey>();
            k->name = c.name;
            k->parent = to;
            k->modif = c.modif;
            if (!copyValues(c, k.get())) return false;
            bool found;
            const size_t pos = to->subkeyPosition(c.name, &found);
            if (!found) to->subkeys.insert(to->subkeys.begin() + static_cast<ptrdiff_t>(pos), std::move(k));
        }
    }
    return true;
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
