// One machine being edited: the pages' load and save passes over it, what they loaded (to tell
// which pages the user changed), what Apply would write and the Apply itself, Undo, profiles in and
// out, and its registry files watched for other programs' writes. No widget: the window shows
// what a session answers, and scripting mode and the tests drive one with or without a window.
// Several sessions may be open at once, one per machine.
#pragma once

#include <QString>
#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "app/pass.h"
#include "app/session/committer.h"
#include "app/session/history.h"
#include "app/session/pages.h"
#include "app/session/review.h"

namespace qv {

class Session {
public:
    // A session over a machine someone else keeps, or one it keeps itself.
    explicit Session(reg::Machine& machine);
    explicit Session(std::unique_ptr<reg::Machine> machine);
    ~Session();

    reg::Machine& machine() { return machine_; }
    const reg::Machine& machine() const { return machine_; }
    Committer& committer() { return committer_; }

    // The window's part: its pages, what their controls hold now, and whether a page is on screen.
    // Without a view the session has no pages: it edits the machine alone.
    struct View {
        const PageTable* pages = nullptr;
        std::function<PageValues()> values;
        std::function<bool(int node)> onScreen;
        // Fills in each changed setting's label and its before and after as the page shows them
        // (ControlChange's node, name, before and after come in as the controls' raw values).
        std::function<void(std::vector<ControlChange>*)> words;
    };
    void setView(View view) { view_ = std::move(view); }
    // Pages not on screen load when they are first shown or a save pass needs them.
    void setLoadHiddenPagesWhenShown(bool on) { loadHiddenWhenShown_ = on; }
    void setFailureSink(Pass::FailureSink sink) { sink_ = std::move(sink); }
    // Off in a script that shows --diff: immediate actions leave their changes pending.
    void setWriteImmediately(bool on) { writeImmediately_ = on; }

    // ---- loading ----------------------------------------------------------------------------
    // The pages filled from the registry on disk (pending changes dropped), or, keepPending, from
    // the registry with its pending changes (an import, an Undo through Wine); what the pages
    // show now counts as loaded.
    Outcome load(bool keepPending = false);
    // A page left for later: loaded now, its values counting as loaded, not as edited.
    void loadLeftPage(int node);
    void loadLeftPages();
    // The pages whose controls no longer hold what was loaded, and those marked changed.
    std::set<int> changedPages() const;
    void markPageChanged(int node);
    // Whether anything waits for Apply: an edited page or a change made in the registry.
    bool hasEdits() const;

    // ---- before, during and after Apply ---------------------------------------------------------
    // What an Apply would write now (the registry and the window are left as they are).
    reg::ChangeSet pendingChanges();
    // Writes what the changed pages hold. On failure nothing is kept and the pages keep the edits.
    Outcome apply();
    // Commits what an immediate action (outside the passes) wrote, with its way back.
    Outcome commitNow(const QString& what);
    Outcome undoLastApply();
    std::optional<reg::ChangeSet> undoPreview() { return committer_.undoPreview(); }
    // Every Apply kept for this machine, oldest first, and the way back to before one of them.
    std::vector<HistoryEntry> history() const { return machineHistory(machine_); }
    Outcome restoreTo(const std::string& id);

    // ---- profiles ---------------------------------------------------------------------------------
    // Every value the pages manage, as a full Apply of every page would leave it.
    reg::ChangeSet settingsProfile();
    // Which page writes each value the pages manage.
    ValueOwners valueOwners();
    // The settings the pages show changed since they were loaded, in words when there is a view.
    std::vector<ControlChange> changedControls() const;
    // What an Apply would write now, grouped by the pages that own it (see wordChanges).
    Wording pendingWords(const reg::ChangeSet& pending) { return wordChanges(pending, valueOwners(), changedControls()); }
    // What an Apply would write now, as JSON (see changesJson).
    std::string pendingChangesJson() {
        const reg::ChangeSet pending = pendingChanges();
        return changesJson(pending, valueOwners(), changedControls());
    }
    Outcome exportProfile(const std::filesystem::path& file, bool onlyChanged = false);
    // A .reg file's changes made pending and shown in the pages; what no page shows is asked for
    // apart (unless the caller shows it otherwise), or told.
    Outcome importFile(const std::filesystem::path& file, bool askAboutOthers = true);

    // ---- the files on disk --------------------------------------------------------------------------
    enum class DiskNews {
        None,      // nothing new, or a save not yet whole, or Wine not yet caught up
        Reloaded,  // another program wrote the files; nothing was edited, so the pages show them
        Edited,    // another program wrote the files while the pages hold unsaved edits
    };
    // Looks at the registry files now (a watcher heard of a change): *loaded says how a reload went.
    DiskNews lookAtFiles(Outcome* loaded);
    // The pages not edited show the files' values; the edits stay.
    void reloadUneditedPages();
    // Our own writes are no news.
    void rememberFiles();
    // For a Wine prefix: whether its wineserver runs now.
    bool wineRunning() const;

private:
    bool waitsForShow(int node);
    PageValues pageValues() const { return view_.values ? view_.values() : PageValues{}; }
    void takeSnapshot() { snapshot_ = pageValues(); }
    void settled();
    const PageTable& pages() const;

    // What identifies a registry file's version on disk: a rename or a write changes it.
    struct FileStamp {
        unsigned long long dev = 0, ino = 0, size = 0;
        long long mtimeNs = 0;
        bool exists = false;
        bool operator==(const FileStamp&) const = default;
    };
    std::array<FileStamp, 2> stampFiles() const;

    std::unique_ptr<reg::Machine> owned_;
    reg::Machine& machine_;
    Committer committer_;
    View view_;
    Pass::FailureSink sink_;
    bool loadHiddenWhenShown_ = false;
    bool justOpened_ = true;  // until the first load pass
    bool writeImmediately_ = true;
    PageValues snapshot_;
    std::set<int> forcedChanged_;
    std::vector<ControlChange> imported_;  // what imports set, as the pages showed it before
    std::set<int> left_;  // pages not loaded yet
    std::array<FileStamp, 2> known_{};
};

}  // namespace qv
