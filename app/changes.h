// Before and after Apply: the list that shows a change set.
#pragma once

#include <QDialog>
#include <QString>
#include <filesystem>
#include <optional>
#include <vector>

#include "app/backups.h"
#include "registry/changeset.h"

class QTreeWidget;

namespace qv::reg {
class Machine;
}

namespace qv {

// Deletions that take whole branches: a key at the top of a hive, or one holding more than
// kLargeDeletion values; "KEY: N keys, M values" each.
inline constexpr size_t kLargeDeletion = 300;
QStringList largeDeletions(const reg::ChangeSet& changes);

// An imported change set cut in two: what the pages own (a value one of them writes, or a key
// one of them creates or deletes whole, with what lies in it) and every other change.
struct OwnedSplit {
    reg::ChangeSet pages, other;
    size_t pageValues = 0, otherValues = 0;  // value operations of each
};
OwnedSplit splitByOwner(const reg::ChangeSet& changes, const reg::ChangeSet& profile);

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
