#include "app/session/backups.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/safefile.h"
#include "registry/text.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUndoSuffix = ".undo.reg";
constexpr const char* kAppliedSuffix = ".applied.reg";
// Marks beside a backup: an Apply not yet known to have reached the files, an Undo under way, and
// an Undo that went through.
constexpr const char* kPendingMark = ".pending";
constexpr const char* kUndoingMark = ".undoing";
constexpr const char* kUndoneMark = ".undone";
constexpr const char* kStemFormat = "yyyy-MM-ddTHH-mm-ss.zzz";

fs::path stateHome() {
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x && fs::path(x).is_absolute())
        return fs::path(x);
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".local" / "state";
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

fs::path withSuffix(const fs::path& dir, const std::string& stem, const char* suffix) { return dir / (stem + suffix); }

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

// Backups of the machine, oldest first (names start with a sortable time).
std::vector<std::string> backupStems(const fs::path& dir) {
    std::vector<std::string> stems;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string n = e.path().filename().string();
        if (endsWith(n, kUndoSuffix)) stems.push_back(n.substr(0, n.size() - std::string_view(kUndoSuffix).size()));
    }
    std::sort(stems.begin(), stems.end());
    return stems;
}

QString shownWhen(const std::string& stem) {
    const QString text = QString::fromStdString(stem.substr(0, 23));
    QDateTime t = QDateTime::fromString(text, QString::fromLatin1(kStemFormat));
    if (!t.isValid()) return QString::fromStdString(stem);
    // Names end in Z since they are kept in UTC; older ones were in local time.
    if (stem.size() > 23 && stem[23] == 'Z') {
        t.setTimeZone(QTimeZone::utc());
        t = t.toLocalTime();
    }
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

Backup backupOf(const fs::path& dir, const std::string& stem) {
    return Backup{withSuffix(dir, stem, kUndoSuffix), withSuffix(dir, stem, kAppliedSuffix), shownWhen(stem), stem};
}

void removeStem(const fs::path& dir, const std::string& stem) {
    std::error_code ec;
    for (const char* suffix : {kUndoSuffix, kAppliedSuffix, kPendingMark, kUndoingMark, kUndoneMark})
        fs::remove(withSuffix(dir, stem, suffix), ec);
}

// A mark created anew and held for as long as its process works on the backup: a mark nobody
// holds was left by a process that died.
int createHeldMark(const fs::path& mark) {
    const int fd = reg::createNewFile(mark, 0600);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool heldByAnother(const fs::path& mark) {
    const int fd = ::open(mark.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

QString keyText(int32_t root, std::u16string_view key) {
    QString k = QString::fromStdString(std::string(reg::rootName(root)));
    if (!key.empty())
        k += QLatin1Char('\\') + QString::fromStdU16String(std::u16string(key));
    return k;
}

QString valueText(const reg::ChangeOp& op) {
    return keyText(op.root, op.key) + QLatin1Char('\\') +
           (op.name.empty() ? QStringLiteral("(Default)") : QString::fromStdString(reg::utf16ToUtf8(op.name)));
}

// Values and subkeys in `key` that `applied` did not put there, up to a bound: deleting the key
// would take them along.
void addedSince(reg::Machine& machine, const reg::ChangeOp& del, const reg::ChangeSet& applied, QStringList* out) {
    std::set<std::u16string> keys, values;  // folded full key paths; key + '\n' + folded value name
    for (const reg::ChangeOp& op : applied.ops) {
        const std::u16string k = reg::foldedKeyPath(op.root, op.key);
        if (op.kind == reg::ChangeOp::Kind::CreateKey || op.kind == reg::ChangeOp::Kind::SetValue) {
            keys.insert(k);
            if (op.kind == reg::ChangeOp::Kind::SetValue) values.insert(k + u'\n' + reg::foldName(op.name));
        }
    }
    constexpr size_t kMaxLooked = 10000;
    size_t looked = 0;
    std::vector<std::u16string> todo{del.key};
    while (!todo.empty() && out->size() < 20) {
        const std::u16string path = std::move(todo.back());
        todo.pop_back();
        reg::HKey h = nullptr;
        if (machine.openKey(del.root, reg::utf16ToUtf8(path), &h) != reg::ERROR_SUCCESS) continue;
        const std::u16string f = reg::foldedKeyPath(del.root, path);
        if (!keys.count(f)) {
            *out << keyText(del.root, path) + QStringLiteral(" (added since)");
            machine.closeKey(h);
            continue;
        }
        std::string name, data;
        uint32_t type = 0;
        for (uint32_t i = 0; machine.enumValue(h, i, &name, &type, &data) == reg::ERROR_SUCCESS; ++i)
            if (!values.count(f + u'\n' + reg::foldName(reg::utf8ToUtf16(name))))
                *out << keyText(del.root, path) + QLatin1Char('\\') +
                            (name.empty() ? QStringLiteral("(Default)") : QString::fromStdString(name)) +
                            QStringLiteral(" (added since)");
        for (uint32_t i = 0; machine.enumKey(h, i, &name) == reg::ERROR_SUCCESS; ++i) {
            if (++looked > kMaxLooked) {
                *out << keyText(del.root, del.key) + QStringLiteral(" (too much in it to compare)");
                machine.closeKey(h);
                return;
            }
            todo.push_back(path + u"\\" + reg::utf8ToUtf16(name));
        }
        machine.closeKey(h);
    }
}

bool holdsNow(reg::Machine& machine, const reg::ChangeSet& cs) { return changedSince(machine, cs).isEmpty(); }

// A process that died around its commit left a mark: settle it from what the machine holds.
void resolveLeftMarks(reg::Machine& machine, const fs::path& dir, const std::vector<std::string>& stems) {
    // Files of a running Wine lag behind it: they cannot tell yet.
    if (machine.wineserverRunning()) return;
    for (const std::string& stem : stems) {
        const fs::path pending = withSuffix(dir, stem, kPendingMark), undoing = withSuffix(dir, stem, kUndoingMark);
        const bool isPending = present(pending) && !heldByAnother(pending);
        const bool isUndoing = present(undoing) && !heldByAnother(undoing);
        if (!isPending && !isUndoing) continue;
        QString error;
        const Backup b = backupOf(dir, stem);
        const std::optional<reg::ChangeSet> applied = readChangeFile(b.applied, &error);
        const std::optional<reg::ChangeSet> undo = applied ? readChangeFile(b.undo, &error) : std::nullopt;
        std::error_code ec;
        if (!applied || !undo) {
            // Cut short while being written: its Apply had not begun.
            if (isPending) removeStem(dir, stem);
            else fs::remove(undoing, ec);
            continue;
        }
        const bool appliedHolds = holdsNow(machine, *applied), undoHolds = holdsNow(machine, *undo);
        if (isPending) {
            if (undoHolds && !appliedHolds) removeStem(dir, stem);  // the Apply never reached the files
            else fs::remove(pending, ec);
        } else if (undoHolds && !appliedHolds) {
            fs::rename(undoing, withSuffix(dir, stem, kUndoneMark), ec);
        } else {
            fs::remove(undoing, ec);
        }
    }
    reg::syncFolderEntries(dir);
}

void pruneOld(const fs::path& dir) {
    const auto stems = backupStems(dir);
    for (size_t i = 0; i + kBackupsKept < stems.size(); ++i)
        if (!present(withSuffix(dir, stems[i], kPendingMark)) && !present(withSuffix(dir, stems[i], kUndoingMark)))
            removeStem(dir, stems[i]);
}

}  // namespace

fs::path backupFolder(const reg::Machine& machine) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(fs::absolute(machine.folder(), ec), ec);
    if (ec) canonical = fs::absolute(machine.folder()).lexically_normal();
    while (canonical.has_parent_path() && canonical.filename().empty() && canonical != canonical.root_path())
        canonical = canonical.parent_path();
    const std::string full = canonical.string();
    uint32_t h = 2166136261u;  // FNV-1a: short, stable across runs and builds
    for (unsigned char c : full) h = (h ^ c) * 16777619u;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", h);
    std::string name = canonical.filename().string();
    if (name.empty() || name == "." || name == "/") name = "root";
    return stateHome() / "quorvel" / "backups" / (name + "-" + hex);
}

PendingBackup::PendingBackup(const reg::Machine& machine) : machine_(machine) {
    const fs::path dir = backupFolder(machine);
    try {
        reg::ensurePrivateFolder(dir.parent_path().parent_path());
        reg::ensurePrivateFolder(dir.parent_path());
        reg::ensurePrivateFolder(dir);
    } catch (const reg::SafeFileError& e) {
        throw std::runtime_error(std::string("No undo backup can be kept: ") + e.what());
    }
    const std::string base = QDateTime::currentDateTimeUtc().toString(QString::fromLatin1(kStemFormat)).toStdString() + "Z";
    // Two Applies within one millisecond still get two backups.
    for (int n = 1; lock_ < 0; ++n) {
        const std::string stem = n == 1 ? base : base + "-" + std::to_string(n);
        if (present(withSuffix(dir, stem, kUndoSuffix))) continue;
        lock_ = createHeldMark(withSuffix(dir, stem, kPendingMark));
        if (lock_ >= 0) {
            backup_ = backupOf(dir, stem);
        } else if (errno != EEXIST || n > 1000) {
            throw std::runtime_error("No undo backup can be kept in " + dir.string() + ": " + std::strerror(errno));
        }
    }
}

void PendingBackup::write(const reg::ChangeSet& changes) {
    const std::string header = "Quorvel: " + machine_.folder().string() + ", " +
                               QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
    reg::SafeWrite how;
    how.privateFile = true;
    try {
        reg::writeFileSafely(backup_.applied, reg::writeRegFile(changes, reg::RegFormat::Unicode, "Applied to " + header), how);
        reg::writeFileSafely(backup_.undo,
                             reg::writeRegFile(changes.inverse(), reg::RegFormat::Unicode, "Undoes the Apply to " + header), how);
    } catch (const reg::SafeFileError& e) {
        throw std::runtime_error(std::string("No undo backup could be written: ") + e.what());
    }
    written_ = true;
}

void PendingBackup::committed() {
    if (done_) return;
    done_ = true;
    const fs::path dir = backup_.undo.parent_path();
    ::unlink(withSuffix(dir, backup_.stem, kPendingMark).c_str());
    reg::syncFolderEntries(dir);
    ::close(lock_);
    lock_ = -1;
    pruneOld(dir);
}

PendingBackup::~PendingBackup() {
    if (!done_) removeStem(backup_.undo.parent_path(), backup_.stem);
    if (lock_ >= 0) ::close(lock_);
}

PendingUndo::PendingUndo(const Backup& b) : backup_(b) {
    lock_ = createHeldMark(withSuffix(b.undo.parent_path(), b.stem, kUndoingMark));
    if (lock_ < 0)
        throw std::runtime_error(errno == EEXIST ? "Another Undo of the Apply of " + b.when.toStdString() + " is under way"
                                                 : "The Undo cannot be recorded in " + b.undo.parent_path().string() +
                                                       ": " + std::strerror(errno));
}

void PendingUndo::committed() {
    if (done_) return;
    done_ = true;
    const fs::path dir = backup_.undo.parent_path();
    std::error_code ec;
    fs::rename(withSuffix(dir, backup_.stem, kUndoingMark), withSuffix(dir, backup_.stem, kUndoneMark), ec);
    reg::syncFolderEntries(dir);
}

PendingUndo::~PendingUndo() {
    if (!done_) ::unlink(withSuffix(backup_.undo.parent_path(), backup_.stem, kUndoingMark).c_str());
    if (lock_ >= 0) ::close(lock_);
}

void settleLeftBackups(reg::Machine& machine) {
    const fs::path dir = backupFolder(machine);
    resolveLeftMarks(machine, dir, backupStems(dir));
}

std::optional<Backup> latestBackup(reg::Machine& machine) {
    settleLeftBackups(machine);
    const fs::path dir = backupFolder(machine);
    const auto stems = backupStems(dir);
    for (auto it = stems.rbegin(); it != stems.rend(); ++it)
        if (!present(withSuffix(dir, *it, kUndoneMark)) && !present(withSuffix(dir, *it, kPendingMark)))
            return backupOf(dir, *it);
    return std::nullopt;
}

std::vector<Backup> allBackups(const reg::Machine& machine) {
    const fs::path dir = backupFolder(machine);
    std::vector<Backup> all;
    for (const std::string& stem : backupStems(dir)) all.push_back(backupOf(dir, stem));
    return all;
}

bool isUndone(const Backup& b) { return present(withSuffix(b.undo.parent_path(), b.stem, kUndoneMark)); }

std::optional<reg::ChangeSet> readChangeFile(const fs::path& file, QString* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = QStringLiteral("Could not open %1").arg(QString::fromStdString(file.string()));
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string why;
    auto cs = reg::readRegFile(bytes.str(), file.string(), &why);
    if (!cs)
        *error = QString::fromStdString(why);
    return cs;
}

namespace {

// Operations a later one of the same set overrides (a key deleted after it was made, as a .reg
// file's section header makes it; a value set twice): only the end state of the set counts.
// The key and each of its ancestors, longest first.
std::vector<std::u16string> keyAndAncestors(const std::u16string& key) {
    std::vector<std::u16string> out{key};
    for (size_t at = key.rfind(u'\\'); at != std::u16string::npos && at > 0; at = key.rfind(u'\\', at - 1))
        out.push_back(key.substr(0, at));
    return out;
}

std::vector<bool> overridden(const reg::ChangeSet& cs) {
    std::vector<bool> out(cs.ops.size(), false);
    std::set<std::u16string> deletedLater, valuesLater, madeLater;  // folded keys; key + '\n' + name
    for (size_t i = cs.ops.size(); i-- > 0;) {
        const reg::ChangeOp& op = cs.ops[i];
        const std::vector<std::u16string> up = keyAndAncestors(reg::foldedKeyPath(op.root, op.key));
        const bool gone = std::any_of(up.begin(), up.end(), [&](const std::u16string& k) { return deletedLater.count(k) > 0; });
        switch (op.kind) {
        case reg::ChangeOp::Kind::SetValue:
        case reg::ChangeOp::Kind::DeleteValue: {
            const std::u16string v = up.front() + u'\n' + reg::foldName(op.name);
            out[i] = gone || valuesLater.count(v) > 0;
            valuesLater.insert(v);
            madeLater.insert(up.begin(), up.end());
            break;
        }
        case reg::ChangeOp::Kind::CreateKey:
            out[i] = gone;
            madeLater.insert(up.begin(), up.end());
            break;
        case reg::ChangeOp::Kind::DeleteKey:
            out[i] = gone || madeLater.count(up.front()) > 0;
            deletedLater.insert(up.front());
            break;
        }
    }
    return out;
}

}  // namespace

QStringList changedSince(reg::Machine& machine, const reg::ChangeSet& applied) {
    QStringList changed;
    const std::vector<bool> skip = overridden(applied);
    for (size_t i = 0; i < applied.ops.size(); ++i) {
        if (skip[i])
            continue;
        const reg::ChangeOp& op = applied.ops[i];
        reg::HKey k = nullptr;
        const int32_t st = machine.openKey(op.root, reg::utf16ToUtf8(op.key), &k);
        bool holds = true;
        switch (op.kind) {
        case reg::ChangeOp::Kind::CreateKey: holds = st == reg::ERROR_SUCCESS; break;
        case reg::ChangeOp::Kind::DeleteKey: holds = st != reg::ERROR_SUCCESS; break;
        case reg::ChangeOp::Kind::SetValue:
        case reg::ChangeOp::Kind::DeleteValue: {
            uint32_t type = 0;
            std::string data;
            const bool there = st == reg::ERROR_SUCCESS &&
                               machine.queryValue(k, reg::utf16ToUtf8(op.name), &type, &data) == reg::ERROR_SUCCESS;
            holds = op.kind == reg::ChangeOp::Kind::DeleteValue ? !there : there && type == op.type && data == op.data;
            break;
        }
        }
        if (k)
            machine.closeKey(k);
        if (holds)
            continue;
        const QString where = op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue
                                  ? valueText(op)
                                  : keyText(op.root, op.key);
        if (!changed.contains(where))
            changed << where;
    }
    return changed;
}

QStringList changedSince(reg::Machine& machine, const reg::ChangeSet& applied, const reg::ChangeSet& undo) {
    QStringList changed = changedSince(machine, applied);
    for (const reg::ChangeOp& op : undo.ops)
        if (op.kind == reg::ChangeOp::Kind::DeleteKey) {
            QStringList added;
            addedSince(machine, op, applied, &added);
            for (const QString& a : added)
                if (!changed.contains(a))
                    changed << a;
        }
    return changed;
}

}  // namespace qv
