// Before and after Apply: the list that shows a change set, and the backups that take an Apply
// back (the inverse of each Apply, kept as .reg files per machine).
#pragma once

#include <QDialog>
#include <QString>
#include <filesystem>
#include <optional>
#include <vector>

#include "registry/changeset.h"

class QTreeWidget;

namespace qv::reg {
class Machine;
}

namespace qv {

// $XDG_STATE_HOME/quorvel/backups/<machine>/, <machine> being the machine folder's name and a
// short hash of its whole path (two prefixes may share a name).
std::filesystem::path backupFolder(const reg::Machine& machine);

// One Apply as kept: what it left (to tell whether someone changed it since) and its inverse.
struct Backup {
    std::filesystem::path undo;     // <when>.undo.reg
    std::filesystem::path applied;  // <when>.applied.reg
    QString when;                   // as shown
};

inline constexpr int kBackupsKept = 50;

// Writes the pair for an Apply about to be committed (its simplified pending change set); the
// oldest beyond kBackupsKept go. Throws std::runtime_error when the folder cannot be written.
Backup writeBackup(const reg::Machine& machine, const reg::ChangeSet& pending);
void removeBackup(const Backup& b);
// The newest backup of the machine, if any.
std::optional<Backup> latestBackup(const reg::Machine& machine);

// Reads a .reg file whole as a change set; on failure returns nothing and sets *error.
std::optional<reg::ChangeSet> readChangeFile(const std::filesystem::path& file, QString* error);

// The keys and values of `applied` that no longer hold what it set, as "KEY" or "KEY\NAME" lines.
QStringList changedSince(reg::Machine& machine, const reg::ChangeSet& applied);

// The rows of the list: hive, key, value, old data, new data, one per operation.
struct ChangeRow {
    QString hive, key, value, oldData, newData;
};
std::vector<ChangeRow> changeRows(const reg::ChangeSet& changes);

// Read-only list of a change set with a button that carries it out (Apply, Restore...).
class ChangesDialog : public QDialog {
    Q_OBJECT
public:
    ChangesDialog(const reg::ChangeSet& changes, const QString& title, const QString& intro,
                  const QString& actionText, QWidget* parent = nullptr);
    QTreeWidget* list() const { return list_; }

private:
    QTreeWidget* list_;
};

}  // namespace qv
