#include "app/session/committer.h"

#include <QObject>

#include "app/session/backups.h"
#include "app/session/review.h"
#include "app/session/throughwine.h"
#include "registry/machines/machine.h"

namespace qv {

namespace {
QString tr(const char* text) { return QObject::tr(text); }
using Tone = Notice::Tone;
}  // namespace

void Committer::failed(Outcome* out, Notice::Tone tone, QString text) {
    ++failures_;
    out->tell(tone, std::move(text));
}

RunningPrefix Committer::runningChoice(const QString& action, Outcome* out) {
    if (machine_.kind() != reg::Machine::Kind::WinePrefix || !machine_.wineserverRunning())
        return RunningPrefix::Refuse;  // nothing runs: the files are written as always
    if (runningChoice_ == RunningPrefix::Refuse || runningChoice_ == RunningPrefix::Cancel)
        return runningChoice_;
    if (!canAsk() && runningChoice_ == RunningPrefix::Ask)
        return RunningPrefix::Refuse;
    // Wine runs as the prefix's owner or not at all: then neither way through it is offered.
    if (const std::optional<QString> refused = ThroughWine(machine_).refusal()) {
        failed(out, Tone::Warning,
               tr("The wineserver of %1 is running, and %2 can neither go through it nor stop it.\n\n%3")
                   .arg(QString::fromStdString(machine_.folder().string()), action, *refused));
        return RunningPrefix::Cancel;
    }
    if (runningChoice_ != RunningPrefix::Ask)
        return runningChoice_;
    return questions_->reachRunningWine(QString::fromStdString(machine_.folder().string()), action);
}

bool Committer::allowDeletions(const QStringList& branches, Outcome* out) {
    if (branches.isEmpty())
        return true;
    if (!canAsk()) {
        if (force_)
            return true;
        failed(out, Tone::Warning,
               tr("Nothing was applied: these changes delete whole registry branches:\n%1\n"
                  "Add --force to delete them.")
                   .arg(branches.mid(0, 20).join(QLatin1Char('\n'))));
        return false;
    }
    return questions_->deleteBranches(branches);
}

Outcome Committer::commit(const QString& what) { return commitWith(nullptr, what); }

Outcome Committer::commitBacked(const QString& what) {
    Outcome out;
    std::unique_ptr<PendingBackup> backup = startBackup(what, &out);
    return backup ? commitWith(backup.get(), what) : out;
}

std::unique_ptr<PendingBackup> Committer::startBackup(const QString& what, Outcome* out) {
    try {
        // Its files are written once what the commit replaces is known, or what the running Wine
        // holds.
        return std::make_unique<PendingBackup>(machine_);
    } catch (const std::exception& e) {
        failed(out, Tone::Error,
               tr("Nothing was applied to %1: %2 could not keep its way back.\n\n%3")
                   .arg(QString::fromStdString(machine_.folder().string()), what, QString::fromUtf8(e.what())));
        return nullptr;
    }
}

Outcome Committer::commitWith(PendingBackup* backup, const QString& what) {
    Outcome out;
    if (!machine_.hasChanges()) {
        out.ok = true;  // nothing to write: no file is touched
        return out;
    }
    // The backup is written again from what the commit finds on disk, so that Undo restores what
    // was really replaced, another program's values included.
    if (backup)
        machine_.setBeforeSaveHook([backup](const reg::ChangeSet& replaced) { backup->write(replaced); });
    QString why;
    try {
        machine_.commit();
        out.ok = true;
    } catch (const std::exception& e) {
        why = QString::fromUtf8(e.what());
    } catch (...) {
        why = tr("unknown failure");
    }
    machine_.setBeforeSaveHook({});
    if (out.ok) {
        if (backup) {
            backup->committed();
            out.backup = backup->backup().undo;
        }
        return out;
    }
    failed(&out, Tone::Error,
           tr("%1 could not be saved to the registry in %2.\n\n%3\n\nEverything you changed is "
              "still in the window: press Apply to try again.")
               .arg(what, QString::fromStdString(machine_.folder().string()), why));
    return out;
}

Outcome Committer::apply(RunningPrefix running, const reg::ChangeSet& changes) {
    Outcome out;
    // The way back first: an Apply that cannot be undone is not made.
    std::unique_ptr<PendingBackup> backup = startBackup(tr("the Apply"), &out);
    if (!backup)
        return out;
    if (running == RunningPrefix::ThroughWine)
        return throughWine(*backup, changes);
    if (running == RunningPrefix::StopWine) {
        Outcome stopped = stopWine(false);
        if (!stopped.ok)
            return stopped;
    }
    return commitWith(backup.get(), tr("The settings"));
}

Outcome Committer::throughWine(PendingBackup& backup, const reg::ChangeSet& changes) {
    Outcome out;
    ThroughWine wine(machine_);
    QString why;
    if (questions_)
        questions_->working(true);
    // The way back holds what Wine has now, which its files may not show yet.
    std::optional<reg::ChangeSet> held = wine.asHeld(changes, &why);
    if (held) {
        try {
            backup.write(*held);
        } catch (const std::exception& e) {
            held.reset();
            why = QString::fromUtf8(e.what());
        }
    }
    if (!held) {
        if (questions_)
            questions_->working(false);
        failed(&out, Tone::Error,
               tr("Nothing was applied through the running Wine of %1: its way back could not be kept.\n\n%2")
                   .arg(QString::fromStdString(machine_.folder().string()), why));
        return out;
    }
    const bool ok = wine.apply(changes, &why);
    if (questions_)
        questions_->working(false);
    // `reg import` is no transaction: part of it may have landed, so the backup stays.
    backup.committed();
    if (!ok) {
        failed(&out, Tone::Error,
               tr("The settings could not be applied through the running Wine of %1.\n\n%2\n\n"
                  "Everything you changed is still in the window. Part of it may have reached "
                  "Wine: Undo Last Apply takes back whatever did.")
                   .arg(QString::fromStdString(machine_.folder().string()), why));
        return out;
    }
    // Wine holds the changes and writes the files itself; the registry here stays what the files
    // hold until then.
    machine_.discardChanges();
    out.backup = backup.backup().undo;
    heldByWine_ = changes;
    heldByWineUntil_ = QDateTime::currentDateTimeUtc().addSecs(90);
    out.ok = true;
    out.status = tr("Applied through the running Wine (%1 changes)").arg(changes.size());
    return out;
}

Outcome Committer::stopWine(bool forUndo) {
    Outcome out;
    QString why;
    if (ThroughWine(machine_).stopServer(&why)) {
        out.ok = true;
        return out;
    }
    failed(&out, Tone::Error,
           forUndo ? tr("Wine could not be stopped, so nothing was undone.\n\n%1").arg(why)
                                : tr("Wine could not be stopped, so nothing was saved.\n\n%1").arg(why));
    return out;
}

bool Committer::wineCaughtUp() {
    if (!heldByWine_)
        return true;
    // A save Wine began before the Apply can still write the old values.
    bool caughtUp = false;
    try {
        machine_.refresh();
        caughtUp = changedSince(machine_, *heldByWine_).isEmpty();
    } catch (const std::exception&) {
    }
    if (!caughtUp && QDateTime::currentDateTimeUtc() < heldByWineUntil_)
        return false;
    heldByWine_.reset();
    return true;
}

reg::ChangeSet Committer::asChangeOf(const reg::ChangeSet& changes) {
    // Made in memory and taken back: what it would change, with what each value holds now, and
    // only keys it would really create.
    const reg::Machine::Mark before = machine_.mark();
    std::string why;
    reg::ChangeSet made = changes;
    if (machine_.apply(changes, &why) == reg::ERROR_SUCCESS)
        made = machine_.changesSince(before).simplified();
    machine_.rollbackTo(before);
    return made;
}

std::optional<reg::ChangeSet> Committer::undoPreview() {
    std::optional<Backup> b = latestBackup(machine_);
    QString error;
    std::optional<reg::ChangeSet> undo = b ? readChangeFile(b->undo, &error) : std::nullopt;
    if (!undo)
        return std::nullopt;
    return asChangeOf(*undo);
}

Outcome Committer::undoLastApply(const std::function<void(const reg::ChangeSet*)>& reload) {
    Outcome out;
    std::optional<Backup> b = latestBackup(machine_);
    if (!b) {
        out.tell(Tone::Info, tr("There is no Apply to undo on this machine."));
        return out;
    }
    QString error;
    std::optional<reg::ChangeSet> undo = readChangeFile(b->undo, &error);
    std::optional<reg::ChangeSet> applied = undo ? readChangeFile(b->applied, &error) : std::nullopt;
    if (!undo || !applied) {
        out.tell(Tone::Error, tr("The backup of the Apply of %1 cannot be read: %2").arg(b->when, error));
        return out;
    }
    const RunningPrefix running = runningChoice(tr("Undo"), &out);
    if (running == RunningPrefix::Cancel)
        return out;
    std::optional<ThroughWine> wine;
    if (running == RunningPrefix::StopWine) {
        const Outcome stopped = stopWine(true);
        out.append(stopped);
        if (!stopped.ok)
            return out;
    } else if (running == RunningPrefix::ThroughWine) {
        wine.emplace(machine_);
    }
    try {
        machine_.refresh();
    } catch (const std::exception& e) {
        out.tell(Tone::Error, QString::fromUtf8(e.what()));
        return out;
    }
    // A running Wine is asked what it holds now: its files can lag behind.
    QStringList changed;
    if (wine) {
        QString why;
        std::optional<QStringList> diff = wine->differences(*applied, &why);
        if (!diff) {
            out.tell(Tone::Error, tr("The running Wine could not be asked what it holds: %1").arg(why));
            return out;
        }
        changed = *diff;
    } else {
        changed = changedSince(machine_, *applied, *undo);
    }
    if (!changed.isEmpty() && !force_) {
        if (!canAsk()) {
            out.tell(Tone::Warning, tr("The Apply of %1 was not undone: these settings changed since:\n%2")
                                        .arg(b->when, changed.join(QLatin1Char('\n'))));
            return out;
        }
        if (!questions_->undoOverChanges(b->when, changed))
            return out;
    }
    if (canAsk() && !questions_->restore(asChangeOf(*undo), b->when))
        return out;
    // Marked as under way until it committed, so that an Undo cut short is settled at the next look.
    std::optional<PendingUndo> undoing;
    try {
        undoing.emplace(*b);
    } catch (const std::exception& e) {
        out.tell(Tone::Error, tr("The Apply of %1 was not undone: %2").arg(b->when, QString::fromUtf8(e.what())));
        return out;
    }
    if (wine) {
        QString why;
        if (!wine->apply(*undo, &why)) {
            failed(&out, Tone::Error, tr("The Apply of %1 could not be undone through the running Wine: %2").arg(b->when, why));
            return out;
        }
        undoing->committed();
        // The pages show what Wine now holds; the registry here stays what the files hold.
        machine_.discardChanges();
        reload(&*undo);
        out.ok = true;
        out.values = valueCount(*undo);
        out.backup = b->undo;
        out.status = tr("The Apply of %1 was undone through the running Wine").arg(b->when);
        return out;
    }
    const reg::Machine::Mark start = machine_.mark();
    std::string why;
    if (machine_.apply(*undo, &why) != reg::ERROR_SUCCESS) {
        out.tell(Tone::Error, tr("The Apply of %1 could not be undone: %2").arg(b->when, QString::fromStdString(why)));
        return out;
    }
    const Outcome saved = commit(tr("The undo"));
    out.append(saved);
    if (!saved.ok) {
        machine_.rollbackTo(start);
        return out;
    }
    undoing->committed();
    reload(nullptr);
    out.ok = true;
    out.values = valueCount(*undo);
    out.backup = b->undo;
    out.status = tr("The Apply of %1 was undone").arg(b->when);
    return out;
}

}  // namespace qv
