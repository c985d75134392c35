#include "app/session/session.h"

#include <QObject>
#include <fstream>
#include <sys/stat.h>

#include "app/session/backups.h"
#include "app/session/profile.h"
#include "app/session/review.h"
#include "registry/machines/machine.h"
#include "registry/recorder.h"
#include "registry/regfile/dotreg.h"
#include "registry/safefile.h"
#include "registry/text.h"
#include "shell/directories.h"
#include "shell/ownicons.h"
#include "shell/paths.h"

namespace qv {

namespace {
QString tr(const char* text) { return QObject::tr(text); }
using Tone = Notice::Tone;
const PageTable kNoPages;

std::set<int> allPages() {
    std::set<int> all;
    for (int node = 1; node <= kNodeCount; ++node)
        all.insert(node);
    return all;
}
}  // namespace

Session::Session(reg::Machine& machine) : machine_(machine), committer_(machine) {
    // An Apply cut short last time must not pass for the last one.
    settleLeftBackups(machine_);
    rememberFiles();
}

Session::Session(std::unique_ptr<reg::Machine> machine) : Session(*machine) { owned_ = std::move(machine); }

Session::~Session() = default;

const PageTable& Session::pages() const { return view_.pages ? *view_.pages : kNoPages; }

// ---- loading --------------------------------------------------------------------------------

bool Session::waitsForShow(int node) {
    const bool wait = loadHiddenWhenShown_ && pages().mayWait(node) && !(view_.onScreen && view_.onScreen(node));
    if (wait)
        left_.insert(node);
    else
        left_.erase(node);
    return wait;
}

Outcome Session::load(bool keepPending) {
    reg::cRegistry reg(machine_);
    Pass pass(Pass::Kind::Load, reg, sink_);
    // The registry as it is on disk: changes a failed commit left behind are dropped (the pages
    // are about to show what is stored), and files another program changed come in fresh. After
    // an import the pages show the imported changes instead, still pending.
    if (!keepPending) {
        pass.step([&] { machine_.discardChanges(); });
        imported_.clear();
    }
    // Files read a moment ago, before the window was built, are not read again unless their
    // stamps say another program wrote them since.
    const bool justOpened = std::exchange(justOpened_, false);
    pass.step([&] {
        if (!justOpened || !machine_.filesAsRead())
            machine_.refresh();
    });
    const reg::Machine::Mark before = machine_.mark();
    pages().runLoad(pass, [this](int node) { return !waitsForShow(node); });
    Outcome out;
    out.ok = true;
    if (keepPending)
        machine_.rollbackTo(before);  // reading writes nothing of its own into an import
    else
        out = committer_.commit(tr("The settings"));
    rememberFiles();
    settled();
    return out;
}

void Session::loadLeftPage(int node) {
    if (!left_.erase(node))
        return;
    reg::cRegistry reg(machine_);
    Pass pass(Pass::Kind::Load, reg, sink_);
    const reg::Machine::Mark before = machine_.mark();
    pages().runLoad(pass, [node](int n) { return n == node; });
    pass.enterBlock(0, 0);
    machine_.rollbackTo(before);  // a page that waits only reads
    // What it shows now is what was loaded, as if the pass had filled it.
    PageValues now = pageValues();
    if (auto it = now.find(node); it != now.end())
        snapshot_[node] = std::move(it->second);
    else
        snapshot_.erase(node);
}

void Session::loadLeftPages() {
    for (const std::set<int> left = left_; int node : left)
        loadLeftPage(node);
}

std::set<int> Session::changedPages() const {
    const PageValues now = pageValues();
    std::set<int> changed = forcedChanged_;
    for (int node = 1; node <= kNodeCount; ++node) {
        auto a = snapshot_.find(node);
        auto b = now.find(node);
        const bool hadAny = a != snapshot_.end(), hasAny = b != now.end();
        if (hadAny != hasAny || (hadAny && a->second != b->second))
            changed.insert(node);
    }
    return changed;
}

void Session::markPageChanged(int node) {
    if (node >= 1 && node <= kNodeCount)
        forcedChanged_.insert(node);
}

bool Session::hasEdits() const { return !changedPages().empty() || machine_.hasChanges(); }

void Session::settled() {
    forcedChanged_.clear();
    takeSnapshot();
}

// ---- before, during and after Apply -----------------------------------------------------------

reg::ChangeSet Session::pendingChanges() {
    loadLeftPages();
    reg::cRegistry reg(machine_);
    Pass pass(Pass::Kind::Save, reg, sink_);
    const reg::Machine::Mark start = machine_.mark();
    pages().runSave(pass, machine_, changedPages());
    reg::ChangeSet cs = machine_.pendingChanges().simplified();
    machine_.rollbackTo(start);
    pass.rollbackWindow();
    return cs;
}

Outcome Session::apply() {
    loadLeftPages();  // every save block sees its page as loaded
    reg::cRegistry reg(machine_);
    Pass pass(Pass::Kind::Save, reg, sink_);
    const std::set<int> changed = changedPages();
    const reg::Machine::Mark start = machine_.mark();
    pages().runSave(pass, machine_, changed);

    Outcome out;
    if (!machine_.hasChanges()) {
        settled();
        imported_.clear();
        out.ok = true;
        return out;  // nothing to write: no file is touched
    }
    // The shell rebuilds its icon cache from the registry when the file is gone. A cache that is
    // not there is the usual case and not worth a word, even in scripting mode.
    std::optional<std::filesystem::path> cache =
        shell::HostPath(shell::WindowsDirectory(machine_) + "\\ShellIconCache");
    std::error_code ec;
    if (cache && std::filesystem::exists(std::filesystem::symlink_status(*cache, ec))) {
        pass.step([&] { shell::SetAttrNormal(*cache); });
        pass.step([&] { shell::Kill(*cache); });
    }
    auto notSaved = [&] {
        // Nothing was saved: the registry in memory goes back to before this Apply, and the
        // pages keep every edit and mark for the next try.
        machine_.rollbackTo(start);
        pass.rollbackWindow();
        out.ok = false;
        return out;
    };
    const RunningPrefix running = committer_.runningChoice(tr("Apply"), &out);
    if (running == RunningPrefix::Cancel)
        return notSaved();
    const reg::ChangeSet changes = machine_.pendingChanges().simplified();
    const QStringList branches = largeDeletions(changes);
    if (!committer_.allowDeletions(branches, &out))
        return notSaved();

    // An own overlay set by an imported profile names icon files this machine may not have yet:
    // they are written as the overlay page writes them.
    for (const reg::ChangeOp& op : changes.ops) {
        if (op.kind != reg::ChangeOp::Kind::SetValue || (op.type != reg::REG_SZ && op.type != reg::REG_EXPAND_SZ))
            continue;
        std::u16string text = reg::bytesToUtf16(op.data);
        text = text.substr(0, text.find(u'\0'));
        if (shell::ownOverlayOf(reg::utf16ToUtf8(text)) == 0)
            continue;
        std::string why;
        std::vector<std::filesystem::path> created;
        if (!shell::writeOwnOverlayFiles(&why, &created) && sink_)
            sink_(tr("the overlay icon files were not written: %1").arg(QString::fromStdString(why)));
        break;
    }

    const Outcome written = committer_.apply(running, changes);
    out.append(written);
    if (!written.ok)
        return notSaved();
    rememberFiles();
    settled();
    imported_.clear();
    if (!branches.isEmpty() && !committer_.canAsk())
        out.tell(Tone::Info, tr("Deleted: %1").arg(branches.join(QStringLiteral("; "))));
    out.ok = true;
    out.status = written.status;
    out.values = valueCount(changes);
    out.backup = written.backup;
    return out;
}

Outcome Session::commitNow(const QString& what) {
    Outcome out;
    out.ok = true;
    // A script that asked for --diff sees immediate actions in it, and nothing is written.
    if (!machine_.hasChanges() || !writeImmediately_)
        return out;
    out = committer_.commitBacked(what);
    rememberFiles();
    return out;
}

Outcome Session::undoLastApply() {
    Outcome out = committer_.undoLastApply([this](const reg::ChangeSet* heldByWine) {
        if (!heldByWine) {
            load(false);
            return;
        }
        // Wine holds the undo and its files do not yet: the pages show it from memory.
        const reg::Machine::Mark before = machine_.mark();
        std::string bad;
        if (machine_.apply(*heldByWine, &bad) == reg::ERROR_SUCCESS)
            load(true);
        machine_.rollbackTo(before);
    });
    rememberFiles();
    return out;
}

Outcome Session::restoreTo(const std::string& id) {
    Outcome out = qv::restoreTo(committer_, machine_, id, [this] { load(false); });
    rememberFiles();
    return out;
}

// ---- profiles -----------------------------------------------------------------------------------

reg::ChangeSet Session::settingsProfile() {
    loadLeftPages();
    reg::RecordingRegistry recorder(machine_);
    reg::cRegistry reg(recorder);
    Pass pass(Pass::Kind::Save, reg, sink_);
    const reg::Machine::Mark start = machine_.mark();
    pages().runSave(pass, machine_, allPages());
    reg::ChangeSet cs = recorder.recorded();
    machine_.rollbackTo(start);
    pass.rollbackWindow();
    // A save block moves only what was switched since the load; a profile carries it all.
    pages().addToProfile(machine_, &cs);
    return cs;
}

ValueOwners Session::valueOwners() {
    loadLeftPages();
    reg::RecordingRegistry recorder(machine_);
    reg::cRegistry reg(recorder);
    Pass pass(Pass::Kind::Save, reg, sink_);
    const reg::Machine::Mark start = machine_.mark();
    // Each write belongs to the page whose block (or part of a block) was running.
    std::vector<std::pair<size_t, int>> starts;
    pages().runSave(pass, machine_, allPages(), [&](int node) { starts.emplace_back(recorder.recorded().ops.size(), node); });
    machine_.rollbackTo(start);
    pass.rollbackWindow();
    ValueOwners owners;
    const std::vector<reg::ChangeOp>& ops = recorder.recorded().ops;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1].first : ops.size();
        for (size_t k = starts[i].first; k < end; ++k) {
            const reg::ChangeOp& op = ops[k];
            const bool onValue = op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue;
            owners.emplace(onValue ? valueOwnerKey(op.root, op.key, op.name) : keyOwnerKey(op.root, op.key),
                           starts[i].second);
        }
    }
    return owners;
}

namespace {
// The settings of a page whose raw values differ between two looks, in the page's order.
void diffPage(int node, const std::vector<std::pair<QString, QString>>& before,
              const std::vector<std::pair<QString, QString>>& after, std::vector<ControlChange>* out) {
    // A list's entries may come and go between the looks.
    std::map<QString, std::pair<const QString*, const QString*>> byName;
    std::vector<QString> order;
    for (const auto& [name, value] : before) {
        byName[name].first = &value;
        order.push_back(name);
    }
    for (const auto& [name, value] : after) {
        auto& slot = byName[name];
        if (!slot.first && !slot.second)
            order.push_back(name);
        slot.second = &value;
    }
    for (const QString& name : order) {
        const auto& [was, is] = byName[name];
        if (!(was && is && *was == *is))
            out->push_back({node, name, name, was ? *was : QString(), is ? *is : QString()});
    }
}

// Changes of settings made after those in `into`: a setting changed twice keeps its first before.
void followedBy(std::vector<ControlChange>* into, const std::vector<ControlChange>& later) {
    for (const ControlChange& c : later) {
        auto same = std::find_if(into->begin(), into->end(),
                                 [&](const ControlChange& w) { return w.node == c.node && w.name == c.name; });
        if (same == into->end())
            into->push_back(c);
        else
            same->after = c.after;
    }
}

std::vector<ControlChange> diffPages(const PageValues& before, const PageValues& after, const std::set<int>& nodes) {
    static const std::vector<std::pair<QString, QString>> none;
    std::vector<ControlChange> out;
    for (int node : nodes) {
        auto a = before.find(node);
        auto b = after.find(node);
        diffPage(node, a != before.end() ? a->second : none, b != after.end() ? b->second : none, &out);
    }
    return out;
}
}  // namespace

std::vector<ControlChange> Session::changedControls() const {
    const PageValues now = pageValues();
    const std::set<int> edited = changedPages();
    std::vector<ControlChange> out = diffPages(snapshot_, now, edited);
    // An imported file's settings, which the pages have shown since as loaded, while they still
    // hold what it set.
    for (const ControlChange& c : imported_) {
        if (edited.count(c.node))
            continue;
        auto page = now.find(c.node);
        const bool holds = page != now.end() && std::any_of(page->second.begin(), page->second.end(), [&](const auto& v) {
                               return v.first == c.name && v.second == c.after;
                           });
        if (holds || (c.after.isEmpty() && page == now.end()))
            out.push_back(c);
    }
    if (view_.words)
        view_.words(&out);
    return out;
}

Outcome Session::exportProfile(const std::filesystem::path& file, bool onlyChanged) {
    reg::ChangeSet profile = settingsProfile();
    if (onlyChanged)
        profile = changedFromDefaults(profile);
    portablePaths(&profile, machine_.windowsDirectory());
    const std::string comment = "Quorvel settings profile, exported " +
                                QDateTime::currentDateTime().toString(Qt::ISODate).toStdString() + " from " +
                                machine_.folder().string();
    const std::string bytes = reg::writeRegFile(profile, reg::RegFormat::Unicode, comment);
    Outcome out;
    try {
        // A link planted at the name is replaced, never written through.
        reg::writeFileSafely(file, bytes);
        out.ok = true;
    } catch (const std::exception& e) {
        out.tell(Tone::Error, QString::fromUtf8(e.what()));
    }
    return out;
}

Outcome Session::importFile(const std::filesystem::path& file, bool askAboutOthers) {
    Outcome out;
    // Applied as it is read, never held as a change set: a large file costs about its own size.
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        out.tell(Tone::Error, QStringLiteral("Could not open %1").arg(QString::fromStdString(file.string())));
        return out;
    }
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    std::string bytes(ec ? 0 : static_cast<size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    std::string why;
    bool unreadable = false;
    std::vector<std::string> inMemory;
    const QString name = QString::fromStdString(file.string());
    // Unsaved edits are kept: they become pending changes under the file's, as Apply would write them.
    const reg::Machine::Mark unedited = machine_.mark();
    const PageValues shownBefore = pageValues();
    const std::set<int> edited = changedPages();
    std::vector<ControlChange> words = diffPages(snapshot_, shownBefore, edited);
    if (!edited.empty()) {
        loadLeftPages();
        reg::cRegistry reg(machine_);
        Pass pass(Pass::Kind::Save, reg, sink_);
        pages().runSave(pass, machine_, edited);
    }
    const reg::Machine::Mark before = machine_.mark();
    if (machine_.applyRegFile(bytes, file.string(), &why, &unreadable, &inMemory) != reg::ERROR_SUCCESS) {
        machine_.rollbackTo(unedited);
        out.tell(Tone::Error, unreadable ? QString::fromStdString(why)
                                         : tr("%1 was not imported: %2").arg(name, QString::fromStdString(why)));
        return out;
    }
    // What no page shows is never taken silently: it is asked for apart, or told.
    const OwnedSplit split = splitByOwner(machine_.changesSince(before), settingsProfile());
    if (!split.other.empty() && committer_.canAsk() && askAboutOthers) {
        if (!committer_.questions()->importOthers(split.other, name)) {
            machine_.rollbackTo(before);
            if (machine_.apply(split.pages, &why) != reg::ERROR_SUCCESS) {
                machine_.rollbackTo(unedited);
                out.tell(Tone::Error, tr("%1 was not imported: %2").arg(name, QString::fromStdString(why)));
                return out;
            }
        }
    } else if (!committer_.canAsk() || !inMemory.empty()) {
        // A caller that shows the changes itself is told only what they cannot show.
        QString told = tr("Imported %1: %2 page value(s), %3 other value(s)").arg(name).arg(split.pageValues).arg(split.otherValues);
        QStringList left;
        for (const std::string& k : inMemory)
            left << QString::fromStdString(k);
        if (!left.isEmpty())
            told += tr("; left out, as Wine keeps them only in memory: %1").arg(left.join(QStringLiteral(", ")));
        out.tell(Tone::Info, told);
    }
    out.append(load(true));
    std::set<int> all;
    for (int node = 1; node <= kNodeCount; ++node)
        all.insert(node);
    // An edit the file then changed again is one change, from what was loaded to what it set.
    followedBy(&words, diffPages(shownBefore, pageValues(), all));
    followedBy(&imported_, words);
    std::erase_if(imported_, [](const ControlChange& c) { return c.before == c.after; });
    out.ok = true;
    return out;
}

// ---- the files on disk ------------------------------------------------------------------------

std::array<Session::FileStamp, 2> Session::stampFiles() const {
    std::array<FileStamp, 2> out{};
    const char* names[] = {"system.reg", "user.reg"};
    for (size_t i = 0; i < 2; ++i) {
        struct stat st;
        if (::stat((machine_.folder() / names[i]).c_str(), &st) != 0)
            continue;
        out[i] = {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
                  static_cast<unsigned long long>(st.st_size),
                  static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec, true};
    }
    return out;
}

void Session::rememberFiles() { known_ = stampFiles(); }

bool Session::wineRunning() const { return machine_.wineserverRunning().has_value(); }

Session::DiskNews Session::lookAtFiles(Outcome* loaded) {
    const std::array<FileStamp, 2> now = stampFiles();
    if (now == known_)
        return DiskNews::None;
    known_ = now;
    // A file half written or gone for a moment is looked at again once it is whole.
    if (!now[0].exists || !now[1].exists)
        return DiskNews::None;
    // After an Apply through Wine, a save Wine began before it can still write the old values:
    // the pages keep showing what Wine holds until its files have it too.
    if (!committer_.wineCaughtUp())
        return DiskNews::None;
    if (hasEdits())
        return DiskNews::Edited;
    *loaded = load(false);
    return DiskNews::Reloaded;
}

void Session::reloadUneditedPages() {
    const std::set<int> edited = changedPages();
    PageValues kept;
    for (int node : edited)
        if (auto it = snapshot_.find(node); it != snapshot_.end())
            kept.insert(*it);
    reg::cRegistry reg(machine_);
    Pass pass(Pass::Kind::Load, reg, sink_);
    // The files' new state under the pending changes, which stay.
    pass.step([&] { machine_.refresh(); });
    rememberFiles();
    const reg::Machine::Mark before = machine_.mark();
    pages().runLoad(pass, [&](int node) { return !edited.count(node) && !waitsForShow(node); });
    pass.enterBlock(0, 0);
    machine_.rollbackTo(before);
    // Edited pages still compare with what they held before, so they stay edited.
    takeSnapshot();
    for (auto& [node, values] : kept)
        snapshot_[node] = std::move(values);
}

}  // namespace qv
