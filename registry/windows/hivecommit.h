// Writing a Windows installation's hives back: which keys of a hive changed, the hive written whole
// beside itself through libhivex, and the journal and renames that replace the hives together.
#pragma once

#include <hivex.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "registry/fd.h"
#include "registry/journal.h"
#include "registry/windows/hive.h"

namespace qv::reg {

class RegFile;

// One hive's pending changes turned into libhivex edits, key by key: each touched key is made to
// hold what the tree holds, with one set_values per key whose values differ.
class HiveEdit {
public:
    enum : unsigned { Exists = 1, Values = 2, Deep = 4 };

    HiveEdit(Hive& hive, RegFile& tree, std::string rootShown);

    Hive& hive() { return hive_; }
    // A key below the hive's root (rest) that the commit changes, and how.
    void touch(std::vector<std::u16string> rest, unsigned how);
    bool empty() const { return touched_.empty(); }
    // Edits the hive in memory and writes it whole to a new temporary beside it, named in *entries
    // before it is written, so that a failed commit removes it. Throws HiveError.
    void writeBeside(std::vector<JournalEntry>* entries);

private:
    class Sync;  // the libhivex side of one run
    struct Touch {
        std::vector<std::u16string> rest;
        unsigned how = 0;
    };
    void run(hive_h* h);

    Hive& hive_;
    RegFile& tree_;
    std::string shown_;
    std::map<std::u16string, Touch> touched_;
};

// Holds the commit lock of an installation's config folder. Throws HiveError.
class CommitLock {
public:
    explicit CommitLock(const std::filesystem::path& dir);

private:
    Fd fd_;
};

// Finishes a commit killed while renaming, from its temporaries, but only onto hives that are still
// the ones it read; returns what the machine should say of it. config: the hives' folder on drive.
std::vector<std::string> recoverHiveCommit(const std::filesystem::path& config, const std::filesystem::path& drive);
// Removes the temporaries an earlier commit left beside the hives, and its half-written journal.
void removeCommitLeftovers(const std::filesystem::path& config, const std::vector<Hive>& hives);
// Throws HiveError saying why the hive cannot be written now.
void checkWritable(const Hive& hv);
// Names the written temporaries in the commit journal, made durable before the first rename.
// Throws HiveError.
void writeHiveJournal(const std::filesystem::path& config, const std::vector<JournalEntry>& entries);
// Renames each temporary into place, `before` first (it may throw to stop); the journal goes once
// every hive is replaced. Returns why it stopped, or "".
std::string replaceHives(const std::filesystem::path& config, const std::vector<JournalEntry>& entries,
                         const std::function<void(const std::filesystem::path&)>& before);

}  // namespace qv::reg
