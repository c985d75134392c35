// A machine's history, read from its backups: every Apply (imports and restores included) with
// what it changed, and the way back to before any of them as one commit.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "app/session/committer.h"

namespace qv {

struct HistoryEntry {
    std::string id;   // the backup's name, as --restore takes it
    QString when;     // local time, as shown
    bool undone = false;
    reg::ChangeSet applied;  // what the Apply left (empty when its file cannot be read)
};

// Oldest first.
std::vector<HistoryEntry> machineHistory(const reg::Machine& machine);

// Takes back, newest first, every Apply from the newest down to `id` that is not undone yet, as
// one commit with a way back of its own. A value another program changed since one of them is
// asked about, or refused without --force, as Undo does. reload is called once it is made.
Outcome restoreTo(Committer& committer, reg::Machine& machine, const std::string& id,
                  const std::function<void()>& reload);

}  // namespace qv
