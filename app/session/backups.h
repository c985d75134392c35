// The way back from an Apply: the inverse of each Apply kept as .reg files per machine, private to
// the user and on disk before the commit they protect. An Apply that never committed (the process
// died in between) leaves no backup behind, and an Undo that went through is remembered as such, so
// the Apply it took back can be made again.
#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/changeset.h"

namespace qv::reg {
class Machine;
}

namespace qv {

// $XDG_STATE_HOME/quorvel/backups/<machine>/, <machine> being the machine folder's name and a
// short hash of its canonical path (two prefixes may share a name; `dir/`, `dir/../dir` and a
// link to it are one machine).
std::filesystem::path backupFolder(const reg::Machine& machine);

inline constexpr int kBackupsKept = 50;

// One Apply as kept: what it left (to tell whether someone changed it since) and its inverse.
struct Backup {
    std::filesystem::path undo;     // <when>.undo.reg
    std::filesystem::path applied;  // <when>.applied.reg
    QString when;                   // as shown, in local time
    std::string stem;               // <when> in UTC, as the names sort
};

// A backup being made for an Apply under way: marked pending (and held, so that no other process
// takes it for one left by a dead one) until committed() or dropped.
class PendingBackup {
public:
    // Reserves the names in the machine's backup folder. Throws std::runtime_error saying why
    // when the folder cannot be used (not writable, full, a link, another user's).
    explicit PendingBackup(const reg::Machine& machine);
    ~PendingBackup();  // drops the backup unless committed()
    PendingBackup(const PendingBackup&) = delete;
    PendingBackup& operator=(const PendingBackup&) = delete;

    // Writes (or writes again) the pair for the change set the commit is about to make: `changes`
    // with the old state it really replaces. Synced with the folder; throws on failure.
    void write(const reg::ChangeSet& changes);
    // The Apply was made: the backup is the machine's newest way back.
    void committed();
    const Backup& backup() const { return backup_; }

private:
    const reg::Machine& machine_;
    Backup backup_;
    int lock_ = -1;
    bool written_ = false, done_ = false;
};

// An Undo of `b` under way, resolved the same way: the backup is marked undone when it committed.
class PendingUndo {
public:
    explicit PendingUndo(const Backup& b);  // throws std::runtime_error
    ~PendingUndo();                          // the backup stays the newest one unless committed()
    PendingUndo(const PendingUndo&) = delete;
    PendingUndo& operator=(const PendingUndo&) = delete;
    void committed();

private:
    Backup backup_;
    int lock_ = -1;
    bool done_ = false;
};

// Settles the marks processes left when they died around a commit, from what the machine holds:
// a backup whose Apply never reached the files is removed, an Undo that did is marked undone.
void settleLeftBackups(reg::Machine& machine);
// The newest backup not yet undone. Backups that processes left pending are resolved first from
// what the machine holds: one whose Apply never reached the files is removed.
std::optional<Backup> latestBackup(reg::Machine& machine);
// Every backup of the machine, oldest first, undone ones included.
std::vector<Backup> allBackups(const reg::Machine& machine);
bool isUndone(const Backup& b);

// Reads a .reg file whole as a change set; on failure returns nothing and sets *error.
std::optional<reg::ChangeSet> readChangeFile(const std::filesystem::path& file, QString* error);

// What no longer holds what `applied` left, as "KEY" or "KEY\NAME" lines: its values and keys.
QStringList changedSince(reg::Machine& machine, const reg::ChangeSet& applied);
// The same, and in each key `undo` deletes (one the Apply created), any value or subkey added
// since: taking the Apply back would delete it too.
QStringList changedSince(reg::Machine& machine, const reg::ChangeSet& applied, const reg::ChangeSet& undo);

}  // namespace qv
