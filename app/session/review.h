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
// The same rows one at a time, for a list that makes only the rows it shows. The change set must
// outlive it.
class ChangeRows {
public:
    explicit ChangeRows(const reg::ChangeSet& changes);
    ChangeRow operator[](size_t index) const;

private:
    const reg::ChangeSet& changes_;
    std::map<size_t, size_t> moves_, movedFrom_;  // a deletion and the creation of its copy
};

// How many values a change set sets or deletes, those inside deleted keys included.
size_t valueCount(const reg::ChangeSet& changes);

// Which page writes each value it manages (node 1..33), keyed by valueOwnerKey; a key the page
// creates or deletes whole, by keyOwnerKey.
using ValueOwners = std::map<std::u16string, int>;
std::u16string valueOwnerKey(int32_t root, std::u16string_view key, std::u16string_view name);
std::u16string keyOwnerKey(int32_t root, std::u16string_view key);

// A setting as its page shows it, before and after a change: "Menu delay: 400 ms -> 100 ms".
struct ControlChange {
    int node = 0;
    QString name;           // the control's object name
    QString label;          // what the page calls it
    QString before, after;  // as the page shows them
};

// A change set in words: a group for each page that owns some of its operations (in the pages'
// order) with the settings that changed there, then "Other registry changes" (node 0) for what
// no page owns. Operations are indices into the change set.
struct Wording {
    struct Group {
        int node = 0;
        QString caption;
        std::vector<ControlChange> controls;
        std::vector<size_t> ops;
        // The one changed setting every operation of the group comes from, when there is one.
        const ControlChange* soleControl() const { return controls.size() == 1 && !ops.empty() ? &controls[0] : nullptr; }
    };
    std::vector<Group> groups;
};
Wording wordChanges(const reg::ChangeSet& changes, const ValueOwners& owners,
                    const std::vector<ControlChange>& controls = {});
// The caption of the group that no page owns.
QString otherChangesCaption();
// An operation's own .reg lines, without a file's header, as a .reg file ends them.
std::string regLinesOf(const reg::ChangeOp& op);

// A change set as a JSON array, one object per operation: the page that owns the value (its node
// and caption, or null), the setting it comes from with its old and new text as the page shows
// them (or null), the operation with hive, key, value, old and new data in .reg notation, and its
// raw .reg lines.
std::string changesJson(const reg::ChangeSet& changes, const ValueOwners& owners,
                        const std::vector<ControlChange>& controls = {});

}  // namespace qv
