// Review data: a change set as rows a person reads, the deletions worth a question before they
// are made, and an imported change set cut into what the pages show and what they do not.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "registry/changeset.h"

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

}  // namespace qv
