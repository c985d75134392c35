// Writing a machine: its pending changes committed, or a change set carried through the machine's
// running Wine, with the way back kept on disk first; and the last Apply taken back. What it has
// to tell comes back as notices; what it has to ask goes to Questions, or is decided from the
// options when nobody can be asked (scripting mode, tests).
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "registry/changeset.h"

namespace qv::reg {
class Machine;
}

namespace qv {

class PendingBackup;

// Something a session has to tell: the window shows it in a message box, scripting mode prints it.
struct Notice {
    enum class Tone { Info, Warning, Error };
    Tone tone = Tone::Info;
    QString text;
};

// How an operation went, with what there is to tell in the order it arose.
struct Outcome {
    bool ok = false;
    std::vector<Notice> notices;
    QString status;  // a line for the status bar when it went well
    size_t values = 0;                  // values written (set or deleted)
    std::filesystem::path backup;       // the way back it kept (its .undo.reg), if any
    void tell(Notice::Tone tone, QString text) { notices.push_back({tone, std::move(text)}); }
    void append(const Outcome& o) { notices.insert(notices.end(), o.notices.begin(), o.notices.end()); }
};

// What Apply and Undo do when a Wine prefix's wineserver runs: ask, go through `wine reg
// import`, stop the server first, or write the files (and be refused, as a script without
// --through-wine is).
enum class RunningPrefix { Ask, ThroughWine, StopWine, Refuse, Cancel };

// The questions a session puts to the person in front of it.
class Questions {
public:
    virtual ~Questions() = default;
    // False when nobody can be asked now: the session then decides from its options.
    virtual bool canAsk() const = 0;
    virtual RunningPrefix reachRunningWine(const QString& folder, const QString& action) = 0;
    virtual bool deleteBranches(const QStringList& branches) = 0;
    // An Undo over settings changed since the Apply it takes back.
    virtual bool undoOverChanges(const QString& when, const QStringList& changed) = 0;
    // The last look before an Undo: what it restores.
    virtual bool restore(const reg::ChangeSet& restores, const QString& when) = 0;
    // An imported file that also changes what no page shows.
    virtual bool importOthers(const reg::ChangeSet& others, const QString& file) = 0;
    // Long work under way (a wait for Wine): an hourglass.
    virtual void working(bool on) { (void)on; }
};

class Committer {
public:
    explicit Committer(reg::Machine& machine) : machine_(machine) {}

    void setQuestions(Questions* q) { questions_ = q; }
    void setRunningPrefixChoice(RunningPrefix c) { runningChoice_ = c; }
    // Undo over settings changed since, and Applies that delete whole branches, go ahead unasked.
    void setForce(bool on) { force_ = on; }
    bool force() const { return force_; }
    bool canAsk() const { return questions_ && questions_->canAsk(); }
    Questions* questions() const { return questions_; }
    int failures() const { return failures_; }

    // What to do about a running wineserver for `action` (Apply, Undo): Refuse when none runs
    // (the files are written as always); Cancel, with its reason in *out, when nothing may be done.
    RunningPrefix runningChoice(const QString& action, Outcome* out);
    // Deleting whole branches: asked, or allowed by --force; otherwise refused in *out.
    bool allowDeletions(const QStringList& branches, Outcome* out);

    // Commits the machine's pending changes, nothing else kept (reading passes, immediate actions).
    Outcome commit(const QString& what);
    // The same with its way back kept first: an Apply that cannot be undone is not made.
    Outcome commitBacked(const QString& what);
    // An Apply of the machine's pending changes (`changes`), the way `running` says: through the
    // running Wine (then they are dropped from the machine, whose files Wine writes later, and
    // heldByWine() says what Wine holds), after stopping it, or into the files. Its way back is
    // kept first.
    Outcome apply(RunningPrefix running, const reg::ChangeSet& changes);
    // Stops the prefix's wineserver so that its files can be written (for an Apply or an Undo).
    Outcome stopWine(bool forUndo);

    // What an Apply through Wine left in Wine, until the files hold it too (or time is up).
    const std::optional<reg::ChangeSet>& heldByWine() const { return heldByWine_; }
    // Whether the files now hold what Wine was given; the wait ends when they do or time is up.
    bool wineCaughtUp();

    // Takes the last Apply back. Once it is made, reload is called for the pages to show it: with
    // the undo when it went through a running Wine (the files do not hold it yet), else with null.
    Outcome undoLastApply(const std::function<void(const reg::ChangeSet* heldByWine)>& reload);
    // What Undo Last Apply would change now (nothing without a backup).
    std::optional<reg::ChangeSet> undoPreview();
    // A change set as it would change this machine now: old state filled in, existing keys not
    // "created".
    reg::ChangeSet asChangeOf(const reg::ChangeSet& changes);

private:
    std::unique_ptr<PendingBackup> startBackup(const QString& what, Outcome* out);
    Outcome commitWith(PendingBackup* backup, const QString& what);
    Outcome throughWine(PendingBackup& backup, const reg::ChangeSet& changes);
    void failed(Outcome* out, Notice::Tone tone, QString text);

    reg::Machine& machine_;
    Questions* questions_ = nullptr;
    RunningPrefix runningChoice_ = RunningPrefix::Ask;
    bool force_ = false;
    int failures_ = 0;
    std::optional<reg::ChangeSet> heldByWine_;
    QDateTime heldByWineUntil_;
};

}  // namespace qv
