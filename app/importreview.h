// The review of an opened .reg file: what it changes in words, and the machines it goes to. One
// Apply writes it to every ticked machine, each as its own commit with its own way back, and
// tells each machine's result.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "app/batch.h"
#include "app/changes.h"

class QProgressBar;
class QTreeWidget;

namespace qv {

class ImportReviewDialog : public ChangesDialog {
    Q_OBJECT
public:
    // applyHere writes the file to the window's machine (its pages hold it already).
    using ApplyHere = std::function<cli::FileResult()>;
    ImportReviewDialog(const reg::ChangeSet& changes, Wording words, const std::filesystem::path& file,
                       const cli::NamedMachine& current, const std::vector<cli::NamedMachine>& others,
                       ApplyHere applyHere, QWidget* parent = nullptr);

    // The list: the window's machine first, ticked; a result column once applied.
    QTreeWidget* machines() const { return machines_; }
    // Applies to every ticked machine in turn, the window's first, showing progress.
    void applyToTicked();

private:
    void updateAction();

    std::filesystem::path file_;
    std::vector<cli::NamedMachine> list_;  // in the list's order
    ApplyHere applyHere_;
    bool changesHere_;
    QTreeWidget* machines_;
    QProgressBar* progress_;
};

// Every machine an opened file may go to besides `current`, as File > Open Machine finds them
// (installed Windows drives aside, as for --machines all).
std::vector<cli::NamedMachine> otherMachines(const std::filesystem::path& current);

}  // namespace qv
