// A machine's commit (written files, a journal, the renames) and the recovery of one that a killed
// process left half done: apart from Machine, which holds the files and decides when to commit.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "registry/machines/files.h"

namespace qv::reg {

class Commit {
public:
    // folder: the machine folder, which the caller holds locked; journal: the commit journal in it.
    Commit(std::filesystem::path folder, std::filesystem::path journal, MachineFile& system, MachineFile& user);

    // Finishes or undoes a commit that was killed while renaming, saying what it did in *notes.
    void recoverInterrupted(std::vector<std::string>* notes);
    // Removes the temporaries a killed commit left, beside the files and their links' targets.
    void removeStaleTemporaries() const;
    // Writes every changed file, all or none, in rounds until no other program rewrites one in
    // between. ready is called when all is written and checked, just before anything is replaced,
    // and beforeRename before each rename; either throwing stops the commit.
    void run(const std::function<void()>& ready, const std::function<void(const std::filesystem::path&)>& beforeRename);

private:
    struct Step;  // one file of a commit under way
    enum class Round { Saved, Changed };
    Round round(const std::function<void()>& ready, const std::function<void(const std::filesystem::path&)>& beforeRename);
    std::filesystem::path resolveTarget(const MachineFile& f) const;

    std::filesystem::path folder_, journal_;
    MachineFile* files_[2];
};

}  // namespace qv::reg
