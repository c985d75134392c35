// Writing a Windows installation's hives: the pending changes of each turned into libhivex edits,
// each hive written whole beside itself, a journal naming them, then the renames.
#include "registry/windows/hivecommit.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <chrono>
#include <tuple>
#include <unordered_map>

#include "registry/api.h"
#include "registry/safefile.h"
#include "registry/windows/hiveutil.h"

namespace qv::reg {

using namespace hive;

namespace {

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
    return idOf(st) == read.id;
}

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

}  // namespace

// One run of a HiveEdit: the hive's keys made to hold what the tree holds through libhivex.
class HiveEdit::Sync {
public:
    Sync(Hive& hive, RegFile& tree, const std::string& shown, hive_h* h) : hive_(hive), tree_(tree), shown_(shown), h_(h) {}

    [[noreturn]] void fail(const std::vector<std::u16string>& rest, const std::string& why) const {
        std::vector<std::u16string> full = hive_.mount;
        full.insert(full.end(), rest.begin(), rest.end());
        throw HiveError(shown_ + (full.empty() ? "" : "\\" + shown(join16(full))) + ": " + why);
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

private:
    Hive& hive_;
    RegFile& tree_;
    const std::string& shown_;
    hive_h* h_;
};

HiveEdit::HiveEdit(Hive& hive, RegFile& tree, std::string rootShown)
    : hive_(hive), tree_(tree), shown_(std::move(rootShown)) {}

void HiveEdit::touch(std::vector<std::u16string> rest, unsigned how) {
    const std::u16string key = foldName(join16(rest));
    auto [it, added] = touched_.try_emplace(key, Touch{std::move(rest), how});
    if (!added) it->second.how |= how;
}

void HiveEdit::run(hive_h* h) {
    Sync sync(hive_, tree_, shown_, h);
    std::vector<const Touch*> order;
    for (const auto& [k, t] : touched_) order.push_back(&t);
    std::stable_sort(order.begin(), order.end(),
                     [](const Touch* a, const Touch* b) { return a->rest.size() < b->rest.size(); });
    for (const Touch* t : order) sync.syncPath(t->rest, t->how);
}

void HiveEdit::writeBeside(std::vector<JournalEntry>* entries) {
    Hive& hv = hive_;
    removeTemporariesOf(hv.path);
    Hivex h(hivex_open(hv.path.c_str(), HIVEX_OPEN_WRITE));
    if (!h) throw HiveError("libhivex cannot open " + hv.path.string() + ": " + errnoText(errno));
    // Keys are read as they are used, so parts of the hive may never have been looked at.
    checkHiveStructure(h.get(), hv.path);
    run(h.get());
    // The temporary is made anew and then only reached through its descriptor: whoever may
    // write to the folder could put a link in its place once it has a name, and libhivex
    // opens what it is given with O_CREAT|O_TRUNC.
    std::string tmpl = (hv.path.parent_path() / ("." + hv.path.filename().string() + kTempMarker + "XXXXXX")).string();
    const Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) throw HiveError("Could not write beside " + hv.path.string() + ": " + errnoText(errno));
    struct stat read;
    if (::stat(hv.path.c_str(), &read) != 0)
        throw HiveError("Could not read " + hv.path.string() + ": " + errnoText(errno));
    entries->push_back({tmpl, hv.path, 0, 0, stampOf(read)});
    const std::string own = "/proc/self/fd/" + std::to_string(fd.get());
    if (hivex_commit(h.get(), own.c_str(), 0) != 0)
        throw HiveError("Could not write " + tmpl + ": " + errnoText(errno));
    struct stat st;
    if (!stampAndSync(fd.get(), hv.path) || ::fstat(fd.get(), &st) != 0)
        throw HiveError("Could not write " + tmpl + ": " + errnoText(errno));
    Hivex check(hivex_open(own.c_str(), 0));
    const HiveHeader head = readHiveHeader(own);
    if (!check || !head.problem.empty())
        throw HiveError("The hive libhivex wrote for " + hv.path.string() + " does not read back");
    entries->back().size = static_cast<uint64_t>(st.st_size);
}

CommitLock::CommitLock(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_.get() < 0) throw HiveError("Could not open " + dir.string() + ": " + errnoText(errno));
    while (::flock(fd_.get(), LOCK_EX) != 0)
        if (errno != EINTR) throw HiveError("Could not lock " + dir.string() + ": " + errnoText(errno));
}

// A commit killed while renaming is finished from its temporaries, but only onto hives that are
// still the ones it read: when Windows (or anyone) wrote one since, the rest of the save is dropped.
std::vector<std::string> recoverHiveCommit(const fs::path& config, const fs::path& drive) {
    std::vector<std::string> notes;
    const fs::path journal = config / kJournal;
    struct stat st;
    if (::lstat(journal.c_str(), &st) != 0) return notes;
    std::string text;
    std::vector<JournalEntry> entries;
    const bool whole = readSmall(journal, &text) && parseJournal(text, kHivesTag, kMaxJournalEntries, &entries);
    std::error_code ec;
    const fs::path inside = fs::weakly_canonical(drive, ec);
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
            syncFolderEntries(e->target.parent_path());
            continue;
        }
        if (newer.empty()) list(broken, e->target);
        ::unlink(e->tmp.c_str());
    }
    if (!newer.empty())
        notes.push_back("An interrupted save was discarded: " + newer + " changed since that save read it, and what was "
                "written there is kept" + (saved.empty() ? "" : "; " + saved + " had already been saved"));
    if (!finished.empty()) notes.push_back("An interrupted save was completed: " + finished + " now holds what was saved");
    if (!broken.empty()) notes.push_back("An interrupted save could not be completed for " + broken + ", which holds what it held before");
    if (!whole) notes.push_back("An interrupted save had not begun to replace any hive; its temporary files were removed");
    ::unlink(journal.c_str());
    syncFolderEntries(config);
    return notes;
}

void checkWritable(const Hive& hv) {
    const fs::path dir = hv.path.parent_path();
    struct statvfs vfs;
    if (::statvfs(dir.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
        throw HiveError(dir.string() + " is on a file system mounted read-only (ntfs-3g does that for a hibernated "
                           "Windows or one shut down with Fast Startup); start Windows, shut it down fully, and mount "
                           "the partition for writing");
    if (::access(dir.c_str(), W_OK) != 0)
        throw HiveError(dir.string() + " is not writable (" + errnoText(errno) + ")");
    // Users take the write permission away to keep programs from changing a file; root ignores it.
    struct stat st;
    if (::access(hv.path.c_str(), W_OK) != 0 || (::stat(hv.path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0))
        throw HiveError(hv.path.string() + " is read-only, so it was left as it is");
}

void writeHiveJournal(const fs::path& config, const std::vector<JournalEntry>& entries) {
    const fs::path journal = config / kJournal;
    const fs::path jtmp = config / (std::string(kJournal) + kTempMarker);
    {
        // A name others can plant a link at: what is there is removed, never written through.
        ::unlink(jtmp.c_str());
        Fd fd(createNewFile(jtmp, 0644));
        const std::string text = formatJournal(kHivesTag, entries);
        if (fd.get() < 0 || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            ::fsync(fd.get()) != 0)
            throw HiveError("Could not write " + jtmp.string() + ": " + errnoText(errno));
    }
    for (const JournalEntry& j : entries) syncFolderEntries(j.tmp.parent_path());
    if (::rename(jtmp.c_str(), journal.c_str()) != 0) {
        ::unlink(jtmp.c_str());
        throw HiveError("Could not write " + journal.string() + ": " + errnoText(errno));
    }
    syncFolderEntries(config);
}

std::string replaceHives(const fs::path& config, const std::vector<JournalEntry>& entries,
                         const std::function<void(const fs::path&)>& before) {
    std::string failed;
    for (const JournalEntry& j : entries) {
        try {
            before(j.target);
        } catch (const std::exception& e) {
            failed = e.what();
            break;
        }
        if (::rename(j.tmp.c_str(), j.target.c_str()) != 0) {
            failed = "Could not replace " + j.target.string() + ": " + errnoText(errno);
            break;
        }
        syncFolderEntries(j.target.parent_path());
    }
    if (failed.empty()) {
        ::unlink((config / kJournal).c_str());
        syncFolderEntries(config);
    }
    return failed;
}

void removeCommitLeftovers(const fs::path& config, const std::vector<Hive>& hives) {
    for (const Hive& hv : hives) removeTemporariesOf(hv.path);
    ::unlink((config / (std::string(kJournal) + kTempMarker)).c_str());
}

}  // namespace qv::reg
