#include "app/session/history.h"

#include <QObject>
#include <algorithm>

#include "app/session/backups.h"
#include "app/session/review.h"
#include "registry/machines/machine.h"

namespace qv {

namespace {
QString tr(const char* text) { return QObject::tr(text); }
using Tone = Notice::Tone;
}  // namespace

std::vector<HistoryEntry> machineHistory(const reg::Machine& machine) {
    std::vector<HistoryEntry> out;
    for (const Backup& b : allBackups(machine)) {
        HistoryEntry e{b.stem, b.when, isUndone(b), {}};
        QString error;
        if (std::optional<reg::ChangeSet> applied = readChangeFile(b.applied, &error))
            e.applied = std::move(*applied);
        out.push_back(std::move(e));
    }
    return out;
}

Outcome restoreTo(Committer& committer, reg::Machine& machine, const std::string& id,
                  const std::function<void()>& reload) {
    Outcome out;
    const std::vector<Backup> all = allBackups(machine);
    const auto target = std::find_if(all.begin(), all.end(), [&](const Backup& b) { return b.stem == id; });
    if (target == all.end()) {
        out.tell(Tone::Error, tr("There is no Apply %1 in the history of this machine.").arg(QString::fromStdString(id)));
        return out;
    }
    std::vector<Backup> chain;  // newest first
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (!isUndone(*it))
            chain.push_back(*it);
        if (it->stem == id)
            break;
    }
    if (chain.empty()) {
        out.ok = true;  // already as it was before: every Apply since was undone
        return out;
    }
    // Wine would overwrite the restored files with what it holds.
    if (machine.kind() == reg::Machine::Kind::WinePrefix && machine.wineserverRunning()) {
        out.tell(Tone::Warning, tr("Nothing was restored: the wineserver of %1 is running; stop it first.")
                                    .arg(QString::fromStdString(machine.folder().string())));
        return out;
    }
    try {
        machine.refresh();
    } catch (const std::exception& e) {
        out.tell(Tone::Error, QString::fromUtf8(e.what()));
        return out;
    }
    // Each inverse is checked against the state the newer ones leave, then made in memory.
    const reg::Machine::Mark start = machine.mark();
    QStringList changed;
    for (const Backup& b : chain) {
        QString error;
        std::optional<reg::ChangeSet> undo = readChangeFile(b.undo, &error);
        std::optional<reg::ChangeSet> applied = undo ? readChangeFile(b.applied, &error) : std::nullopt;
        std::string why;
        if (undo && applied) {
            changed += changedSince(machine, *applied, *undo);
            if (machine.apply(*undo, &why) == reg::ERROR_SUCCESS)
                continue;
        }
        machine.rollbackTo(start);
        out.tell(Tone::Error, tr("The Apply of %1 cannot be taken back: %2")
                                  .arg(b.when, error.isEmpty() ? QString::fromStdString(why) : error));
        return out;
    }
    const QString when = chain.back().when;
    changed.removeDuplicates();
    if (!changed.isEmpty() && !committer.force()) {
        const bool asked = committer.canAsk();
        if (!asked || !committer.questions()->undoOverChanges(when, changed)) {
            machine.rollbackTo(start);
            if (!asked)
                out.tell(Tone::Warning, tr("Nothing was restored to before the Apply of %1: these settings changed since:\n%2")
                                            .arg(when, changed.join(QLatin1Char('\n'))));
            return out;
        }
    }
    const size_t values = valueCount(machine.changesSince(start).simplified());
    Outcome saved = committer.commitBacked(tr("The restore"));
    out.append(saved);
    if (!saved.ok) {
        machine.rollbackTo(start);
        return out;
    }
    reload();
    out.ok = true;
    out.values = values;
    out.backup = saved.backup;
    out.status = tr("Restored to before the Apply of %1").arg(when);
    return out;
}

}  // namespace qv
