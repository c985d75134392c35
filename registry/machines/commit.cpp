// The commit of a machine's files, all or none, and the recovery of an interrupted one.
#include "registry/machines/commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <utility>

#include "registry/journal.h"
#include "registry/machines/error.h"

namespace qv::reg {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCommitTag = "QUORVEL COMMIT";
constexpr size_t kMaxJournalEntries = 16;

// Whether a file holds exactly the bytes a journal entry names (its hash of either kind).
bool holds(const fs::path& p, uint64_t size, uint64_t hash) {
    Fd fd(::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    FileHashes h;
    std::string why;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != size || !hashFd(fd.get(), &h, &why, true))
        return false;
    return h.size == size && (h.content == hash || h.fnv1a == hash);
}

}  // namespace

struct Commit::Step {
    MachineFile* f = nullptr;
    fs::path target, tmp;
    uint64_t size = 0, hash = 0;
    Temporary writing;             // the temporary until it is synced
    FileId written;                // and what it is then
    std::optional<FileId> placed;  // the file in place, looked at just after the rename
    Fd held;                       // the target as checked just before the renames
    bool swapped = false, renamed = false;
};

Commit::Commit(fs::path folder, fs::path journal, MachineFile& system, MachineFile& user)
    : folder_(std::move(folder)), journal_(std::move(journal)), files_{&system, &user} {}

void Commit::removeStaleTemporaries() const {
    removeTemporariesIn(folder_, {});
    std::error_code ec;
    const fs::path inside = fs::weakly_canonical(folder_, ec);
    for (const MachineFile* f : files_) {
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
void Commit::recoverInterrupted(std::vector<std::string>* notes) {
    const fs::path& journal = journal_;
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
        for (const MachineFile* f : files_) {
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
    auto asRead = [](const fs::path& p, const ReadStamp& r) { return holds(p, static_cast<uint64_t>(r.id.size), r.hash); };
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
            syncFolderEntries(folderOf(e.target));
        }
        if (!newer.empty())
            notes->push_back("An interrupted save was discarded: " + newer +
                             " changed since that save read it, and another program's changes are kept" +
                             (restored.empty() ? "" : "; " + restored + " was put back as it was before that save") +
                             (stuck.empty() ? "" : "; " + stuck + " had been saved and could not be put back"));
        else if (!broken.empty())
            notes->push_back("An interrupted save could not be completed: the saved copy of " + broken +
                             " was damaged" + (done.empty() ? "" : "; " + done + " had been saved") +
                             (finished.empty() ? "" : "; " + finished + " was completed"));
        else if (!finished.empty())
            notes->push_back("An interrupted save was completed: " + finished + " now holds what was saved" +
                             (done.empty() ? "" : " with " + done));
    } else if (!whole) {
        for (const JournalEntry& e : valid) ::unlink(e.tmp.c_str());
        notes->push_back("An interrupted save had not begun to replace any file; its temporary files were removed");
    } else {
        notes->push_back(journal.string() + " named files that are not this machine's; it was removed");
    }
    if (::unlink(journal.c_str()) != 0 && errno != ENOENT)
        notes->push_back("Could not remove " + journal.string() + ": " + errnoText(errno));
    syncFolderEntries(folder_);
}

void Commit::run(const std::function<void()>& ready, const std::function<void(const fs::path&)>& beforeRename) {
    // Another program that writes a file without the lock can change it at any moment: each
    // time that is seen the file is read again and the changes replayed, a few times at most.
    constexpr int kRounds = 8;
    for (int n = 1; round(ready, beforeRename) != Round::Saved; ++n) {
        if (n == kRounds)
            throw MachineError("Nothing was saved: another program kept rewriting the registry files in " +
                               folder_.string() + " while they were being saved; try again");
    }
}

fs::path Commit::resolveTarget(const MachineFile& f) const {
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

Commit::Round Commit::round(const std::function<void()>& ready, const std::function<void(const fs::path&)>& beforeRename) {
    std::deque<Step> steps;
    const fs::path& journal = journal_;
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
        // Every file whole and synced, and the journal that names them, before anything is
        // replaced: all are written before any is synced, so that the syncs go to disk together.
        for (MachineFile* f : files_) {
            if (!f->tree->changed()) continue;
            Step& s = steps.emplace_back();
            s.f = f;
            s.target = resolveTarget(*f);
            f->reloadIfChanged();
            struct stat st;
            // Users take the write permission away to keep programs from changing a file.
            if (::stat(s.target.c_str(), &st) == 0 &&
                ((st.st_mode & 0222) == 0 || ::access(s.target.c_str(), W_OK) != 0))
                throw MachineError(s.target.string() + " is read-only, so it was left as it is");
            const std::string content = f->tree->serialize();
            s.size = content.size();
            s.writing = startTemporary(s.target, content);
            s.tmp = s.writing.path;
            s.hash = contentHash(content);  // while the disk takes the bytes
        }
        std::vector<JournalEntry> entries;
        for (Step& s : steps) {
            // The file this round read: the journal is finished later only onto that file.
            entries.push_back({s.tmp, s.target, s.size, s.hash, ReadStamp{s.f->id, s.f->bytesHash()}});
        }
        {
            // Renamed into place, so that a journal is there whole or not at all.
            Temporary jt = startTemporary(journal, formatJournal(kCommitTag, entries));
            FileId ignored;
            try {
                for (Step& s : steps) finishTemporary(s.writing, &s.written);
            } catch (...) {
                ::unlink(jt.path.c_str());
                throw;
            }
            finishTemporary(jt, &ignored);
            for (Step& s : steps)
                if (folderOf(s.target) != folder_) syncFolderEntries(folderOf(s.target));
            const fs::path& jtmp = jt.path;
            if (::rename(jtmp.c_str(), journal.c_str()) != 0) {
                const int e = errno;
                ::unlink(jtmp.c_str());
                throw MachineError("Could not write " + journal.string() + ": " + errnoText(e));
            }
            journalWritten = true;
        }
        syncFolderEntries(folder_);

        // Last look, under the lock and just before the renames: each path must still lead to
        // the file this commit started from, and that file must hold what was read (its identity
        // tells, or its bytes when the identity is too fresh to).
        bool changedOnDisk = false;
        for (Step& s : steps) {
            std::error_code ec;
            const bool sameWay = s.target == s.f->path ? !fs::is_symlink(s.f->path, ec)
                                                       : fs::canonical(s.f->path, ec) == s.target;
            s.held = Fd(::open(s.target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!sameWay || (s.held.get() < 0 && errno == ELOOP))
                throw MachineError(s.f->path.string() + " was replaced by a link while it was being saved");
            std::string why;
            struct stat st;
            if (s.held.get() < 0 || ::fstat(s.held.get(), &st) != 0 || !checkRegular(st, &why) ||
                !s.f->stillHeldIn(s.held.get(), st))
                changedOnDisk = true;
        }
        if (changedOnDisk) {
            discard();
            return Round::Changed;
        }
        ready();
    } catch (const std::exception& e) {
        discard();
        throw MachineError(std::string(e.what()) + "; nothing was saved");
    }

    // What is in place is taken as this commit's file only with the size and mtime it was
    // written with: a write after the look just after the rename moves the ctime kept here. Any
    // other identity is the temporary's, which the renamed file no longer has, so the next look
    // reads it.
    auto adopt = [](Step& s) {
        const bool ours = s.placed && s.placed->sameWrite(s.written);
        s.f->id = ours ? *s.placed : s.written;
        s.f->settled = ours;
        s.f->hash = s.hash;
        s.f->tree->clearJournal();
    };
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
            if (s.renamed) adopt(s);
        return MachineError(why + "; " + names(true) + " was saved, " + names(false) +
                            " was not (it is completed when the machine is next opened)");
    };
    auto failed = [&](const std::string& why) {
        if (!undo()) return partly(why + asideNote());
        discard();
        syncFolderEntries(folder_);
        return MachineError(why + "; nothing was saved" + asideNote());
    };
    for (Step& s : steps) {
        try {
            if (beforeRename) beforeRename(s.target);
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
        // A rename moves the file's ctime: what is in place is known by the look right after.
        struct stat st;
        if (::lstat(s.target.c_str(), &st) == 0) s.placed = idOf(st);
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
        syncFolderEntries(folder_);
        if (!setAside.empty())
            throw MachineError("Other programs replaced a registry file while it was being saved; nothing was saved" +
                               asideNote());
        return Round::Changed;
    }
    // The renames are durable before the journal goes: one sync of each folder they were in.
    std::vector<fs::path> renamedIn;
    for (Step& s : steps) {
        if (s.swapped) ::unlink(s.tmp.c_str());  // the file replaced
        if (std::find(renamedIn.begin(), renamedIn.end(), folderOf(s.target)) == renamedIn.end())
            renamedIn.push_back(folderOf(s.target));
    }
    for (const fs::path& dir : renamedIn) syncFolderEntries(dir);
    ::unlink(journal.c_str());
    syncFolderEntries(folder_);
    for (Step& s : steps) adopt(s);
    return Round::Saved;
}

}  // namespace qv::reg
