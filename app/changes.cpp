#include "app/changes.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <stdexcept>

#include "registry/dotreg.h"
#include "registry/machine.h"
#include "registry/text.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUndoSuffix = ".undo.reg";
constexpr const char* kAppliedSuffix = ".applied.reg";

fs::path stateHome() {
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x && fs::path(x).is_absolute())
        return fs::path(x);
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".local" / "state";
}

void writeFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("Could not write " + p.string());
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
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
    QDateTime t = QDateTime::fromString(QString::fromStdString(stem.substr(0, 23)), QStringLiteral("yyyy-MM-ddTHH-mm-ss.zzz"));
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString::fromStdString(stem);
}

QString keyText(const reg::ChangeOp& op) {
    QString k = QString::fromStdString(std::string(reg::rootName(op.root)));
    if (!op.key.empty())
        k += QLatin1Char('\\') + QString::fromStdString(reg::utf16ToUtf8(op.key));
    return k;
}

QString dataText(const std::optional<reg::StoredValue>& v) {
    return v ? QString::fromStdString(reg::regDataText(v->type, v->data)) : QString();
}

}  // namespace

fs::path backupFolder(const reg::Machine& machine) {
    const std::string full = machine.folder().string();
    uint32_t h = 2166136261u;  // FNV-1a: short, stable across runs and builds
    for (unsigned char c : full) h = (h ^ c) * 16777619u;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", h);
    std::string name = machine.folder().filename().string();
    if (name.empty() || name == "." || name == "/") name = "root";
    return stateHome() / "quorvel" / "backups" / (name + "-" + hex);
}

Backup writeBackup(const reg::Machine& machine, const reg::ChangeSet& pending) {
    const fs::path dir = backupFolder(machine);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error("Could not create the backup folder " + dir.string() + ": " + ec.message());
    const QDateTime now = QDateTime::currentDateTime();
    std::string stem = now.toString(QStringLiteral("yyyy-MM-ddTHH-mm-ss.zzz")).toStdString();
    // Two Applies within one millisecond still get two backups.
    for (int n = 2; fs::exists(dir / (stem + kUndoSuffix)); ++n)
        stem = now.toString(QStringLiteral("yyyy-MM-ddTHH-mm-ss.zzz")).toStdString() + "-" + std::to_string(n);
    Backup b{dir / (stem + kUndoSuffix), dir / (stem + kAppliedSuffix), shownWhen(stem)};
    const std::string header = "Quorvel: " + machine.folder().string() + ", " +
                               now.toString(Qt::ISODate).toStdString();
    writeFile(b.applied, reg::writeRegFile(pending, reg::RegFormat::Unicode, "Applied to " + header));
    writeFile(b.undo, reg::writeRegFile(pending.inverse(), reg::RegFormat::Unicode, "Undoes the Apply to " + header));
    const auto stems = backupStems(dir);
    for (size_t i = 0; i + kBackupsKept < stems.size(); ++i) {
        fs::remove(dir / (stems[i] + kUndoSuffix), ec);
        fs::remove(dir / (stems[i] + kAppliedSuffix), ec);
    }
    return b;
}

void removeBackup(const Backup& b) {
    std::error_code ec;
    fs::remove(b.undo, ec);
    fs::remove(b.applied, ec);
}

std::optional<Backup> latestBackup(const reg::Machine& machine) {
    const fs::path dir = backupFolder(machine);
    const auto stems = backupStems(dir);
    if (stems.empty())
        return std::nullopt;
    const std::string& s = stems.back();
    return Backup{dir / (s + kUndoSuffix), dir / (s + kAppliedSuffix), shownWhen(s)};
}

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

QStringList changedSince(reg::Machine& machine, const reg::ChangeSet& applied) {
    QStringList changed;
    for (const reg::ChangeOp& op : applied.ops) {
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
        QString where = keyText(op);
        if (op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue)
            where += QLatin1Char('\\') + (op.name.empty() ? QStringLiteral("(Default)")
                                                          : QString::fromStdString(reg::utf16ToUtf8(op.name)));
        if (!changed.contains(where))
            changed << where;
    }
    return changed;
}

namespace {

std::u16string foldedKey(int32_t root, std::u16string_view key) {
    return reg::utf8ToUtf16(std::string(reg::rootName(root))) + u"\\" + reg::foldName(key);
}

// A deleted key whose whole content the same change set made again elsewhere was moved there
// (the 'New' menu moves keys so): deletion index -> index of the CreateKey of the copy.
std::map<size_t, size_t> findMoves(const reg::ChangeSet& cs) {
    using Content = std::set<std::tuple<std::u16string, std::u16string, uint32_t, std::string>>;
    std::map<std::u16string, std::pair<size_t, Content>> made;  // created key -> its op, what went in
    for (size_t i = 0; i < cs.ops.size(); ++i) {
        const reg::ChangeOp& op = cs.ops[i];
        const std::u16string key = foldedKey(op.root, op.key);
        if (op.kind == reg::ChangeOp::Kind::CreateKey && !made.count(key))
            made[key] = {i, {}};
        if (op.kind != reg::ChangeOp::Kind::SetValue && op.kind != reg::ChangeOp::Kind::CreateKey)
            continue;
        for (auto& [top, entry] : made) {
            if (key.size() < top.size() || key.compare(0, top.size(), top) != 0 ||
                (key.size() > top.size() && key[top.size()] != u'\\'))
                continue;
            const std::u16string rel = key.size() > top.size() ? key.substr(top.size() + 1) : u"";
            if (op.kind == reg::ChangeOp::Kind::SetValue) {
                entry.second.insert({rel, reg::foldName(op.name), op.type, op.data});
            } else {
                entry.second.insert({rel, u"<key>", 0, {}});
            }
        }
    }
    std::map<size_t, size_t> moves;
    for (size_t i = 0; i < cs.ops.size(); ++i) {
        const reg::ChangeOp& op = cs.ops[i];
        if (op.kind != reg::ChangeOp::Kind::DeleteKey || op.oldTree.empty())
            continue;
        Content gone;
        for (const reg::StoredKey& k : op.oldTree) {
            const std::u16string rel = reg::foldName(k.path);
            gone.insert({rel, u"<key>", 0, {}});
            for (const reg::StoredValue& v : k.values)
                gone.insert({rel, reg::foldName(v.name), v.type, v.data});
        }
        for (const auto& [key, entry] : made)
            if (key != foldedKey(op.root, op.key) && entry.second == gone) {
                moves[i] = entry.first;
                break;
            }
    }
    return moves;
}

}  // namespace

std::vector<ChangeRow> changeRows(const reg::ChangeSet& changes) {
    std::vector<ChangeRow> rows;
    const std::map<size_t, size_t> moves = findMoves(changes);
    std::map<size_t, size_t> movedFrom;
    for (const auto& [from, to] : moves)
        movedFrom[to] = from;
    for (size_t index = 0; index < changes.ops.size(); ++index) {
        const reg::ChangeOp& op = changes.ops[index];
        ChangeRow r;
        r.hive = QString::fromStdString(std::string(reg::rootName(op.root)));
        r.key = op.key.empty() ? QStringLiteral("\\") : QString::fromStdString(reg::utf16ToUtf8(op.key));
        const QString name = op.name.empty() ? QStringLiteral("(Default)") : QString::fromStdString(reg::utf16ToUtf8(op.name));
        switch (op.kind) {
        case reg::ChangeOp::Kind::SetValue:
            r.value = name;
            r.oldData = op.oldKnown ? (op.oldValue ? dataText(op.oldValue) : QStringLiteral("(not set)")) : QString();
            r.newData = QString::fromStdString(reg::regDataText(op.type, op.data));
            break;
        case reg::ChangeOp::Kind::DeleteValue:
            r.value = name;
            r.oldData = dataText(op.oldValue);
            r.newData = QStringLiteral("(deleted)");
            break;
        case reg::ChangeOp::Kind::CreateKey:
            r.newData = movedFrom.count(index)
                            ? QStringLiteral("(moved here from %1)").arg(QString::fromStdString(
                                  reg::utf16ToUtf8(changes.ops[movedFrom.at(index)].key)))
                            : QStringLiteral("(key created)");
            break;
        case reg::ChangeOp::Kind::DeleteKey: {
            size_t values = 0;
            for (const auto& k : op.oldTree) values += k.values.size();
            if (op.oldKnown && !op.oldTree.empty())
                r.oldData = QStringLiteral("%1 key(s), %2 value(s)").arg(op.oldTree.size()).arg(values);
            r.newData = moves.count(index) ? QStringLiteral("(moved to %1)").arg(QString::fromStdString(
                                                 reg::utf16ToUtf8(changes.ops[moves.at(index)].key)))
                                           : QStringLiteral("(key deleted)");
            break;
        }
        }
        rows.push_back(std::move(r));
    }
    return rows;
}

ChangesDialog::ChangesDialog(const reg::ChangeSet& changes, const QString& title, const QString& intro,
                             const QString& actionText, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmChanges"));
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(intro, this);
    label->setObjectName(QStringLiteral("lblChanges"));
    label->setWordWrap(true);
    layout->addWidget(label);
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("lvChanges"));
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setHeaderLabels({tr("Hive"), tr("Key"), tr("Value"), tr("Old"), tr("New")});
    for (const ChangeRow& r : changeRows(changes)) {
        auto* item = new QTreeWidgetItem(list_, {r.hive, r.key, r.value, r.oldData, r.newData});
        for (int c = 0; c < 5; ++c)
            item->setToolTip(c, item->text(c));
    }
    list_->header()->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c < 5; ++c)
        list_->resizeColumnToContents(c);
    for (int c = 1; c < 5; ++c)
        list_->setColumnWidth(c, std::min(list_->columnWidth(c), 320));
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(this);
    if (!actionText.isEmpty()) {
        QPushButton* act = buttons->addButton(actionText, QDialogButtonBox::AcceptRole);
        act->setObjectName(QStringLiteral("cmdChangesAction"));
        act->setEnabled(!changes.empty());
        act->setDefault(true);
    }
    buttons->addButton(QDialogButtonBox::Close)->setObjectName(QStringLiteral("cmdChangesClose"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(900, 420);
}

}  // namespace qv
