// Review data: a change set as rows a person reads, the deletions worth a question before they
// are made, and an imported change set cut into what the pages show and what they do not.
#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <string>
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

// How many values a change set sets or deletes, those inside deleted keys included.
size_t valueCount(const reg::ChangeSet& changes);

// Which page writes each value it manages (node 1..33), keyed by valueOwnerKey.
using ValueOwners = std::map<std::u16string, int>;
std::u16string valueOwnerKey(int32_t root, std::u16string_view key, std::u16string_view name);

// A change set as a JSON array, one object per operation: the page that owns the value (its node
// and caption, or null), the operation with hive, key, value, old and new data in .reg notation,
// and its raw .reg lines.
std::string changesJson(const reg::ChangeSet& changes, const ValueOwners& owners);

}  // namespace qv
