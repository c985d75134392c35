#include "app/batch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <ostream>
#include <set>

#include "app/controls.h"
#include "app/nodes.h"
#include "app/options.h"
#include "app/session/session.h"
#include "registry/machines/discovery.h"
#include "registry/regfile/dotreg.h"

namespace qv::cli {

namespace fs = std::filesystem;

std::string summaryLine(const Session& session, const Outcome& done, bool json) {
    const reg::Machine& m = session.machine();
    const std::string name = reg::machineName(m.kind(), m.folder());
    if (!json)
        return done.values ? "changed " + std::to_string(done.values) + " values on " + name : "no changes on " + name;
    QJsonObject o;
    o[QStringLiteral("machine")] = QString::fromStdString(name);
    o[QStringLiteral("folder")] = QString::fromStdString(m.folder().string());
    o[QStringLiteral("changed")] = done.values > 0;
    o[QStringLiteral("values")] = static_cast<qint64>(done.values);
    o[QStringLiteral("backup")] = done.backup.empty() ? QJsonValue(QJsonValue::Null)
                                                      : QJsonValue(QString::fromStdString(done.backup.string()));
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

void printHistory(Session& session, bool json, std::ostream& out) {
    const std::vector<HistoryEntry> entries = session.history();
    const ValueOwners owners = session.valueOwners();
    if (json) {
        QJsonArray all;
        for (const HistoryEntry& e : entries) {
            QJsonObject o;
            o[QStringLiteral("id")] = QString::fromStdString(e.id);
            o[QStringLiteral("when")] = e.when;
            o[QStringLiteral("undone")] = e.undone;
            o[QStringLiteral("values")] = static_cast<qint64>(valueCount(e.applied));
            o[QStringLiteral("changes")] = QJsonDocument::fromJson(QByteArray::fromStdString(changesJson(e.applied, owners))).array();
            all.append(o);
        }
        out << QJsonDocument(all).toJson(QJsonDocument::Indented).toStdString();
        return;
    }
    for (const HistoryEntry& e : entries) {
        out << e.id << "  " << e.when.toStdString() << "  " << valueCount(e.applied) << " values"
            << (e.undone ? "  (undone)" : "") << '\n';
        const std::vector<ChangeRow> rows = changeRows(e.applied);
        for (size_t i = 0; i < rows.size() && i < e.applied.ops.size(); ++i) {
            const reg::ChangeOp& op = e.applied.ops[i];
            if (op.kind == reg::ChangeOp::Kind::CreateKey)
                continue;  // a .reg file's section header, not a change of its own
            const auto owner = owners.find(valueOwnerKey(op.root, op.key, op.name));
            const NodeInfo* page = owner != owners.end() ? nodeByIndex(owner->second) : nullptr;
            out << "    " << (page ? std::string(page->text) + ": " : std::string()) << rows[i].hive.toStdString()
                << '\\' << rows[i].key.toStdString() << (rows[i].value.isEmpty() ? "" : "\\" + rows[i].value.toStdString())
                << " = " << rows[i].newData.toStdString() << '\n';
        }
    }
}

std::string folderKey(const fs::path& p) {
    std::error_code ec;
    const fs::path c = fs::weakly_canonical(p, ec);
    return (ec ? p : c).lexically_normal().string();
}

namespace {

bool ofKind(const reg::MachineEntry& m, const std::string& kind) {
    if (kind == "own")
        return m.kind == reg::Machine::Kind::Own;
    if (kind == "steam")
        return m.source == "proton";
    return m.source == kind;
}

}  // namespace

std::vector<NamedMachine> resolveMachines(const std::string& which) {
    static const std::set<std::string> kinds = {"own", "wine", "bottles", "lutris", "steam", "proton", "heroic", "playonlinux"};
    const std::vector<reg::MachineEntry> found = reg::discoverMachines(reg::discoveryOptionsFromEnvironment());
    std::vector<NamedMachine> out;
    std::set<std::string> seen;
    auto add = [&](const NamedMachine& m) {
        if (seen.insert(folderKey(m.folder)).second)
            out.push_back(m);
    };
    auto named = [](const reg::MachineEntry& m) { return NamedMachine{m.name, m.path, m.kind}; };
    if (which == "all" || kinds.count(which)) {
        for (const reg::MachineEntry& m : found)
            if (m.kind != reg::Machine::Kind::Windows && (which == "all" || ofKind(m, which)))
                add(named(m));
        return out;
    }
    size_t from = 0;
    while (from <= which.size()) {
        const size_t comma = std::min(which.find(',', from), which.size());
        const std::string item = which.substr(from, comma - from);
        from = comma + 1;
        if (item.empty())
            continue;
        const bool isPath = item.find('/') != std::string::npos;
        auto match = std::find_if(found.begin(), found.end(), [&](const reg::MachineEntry& m) {
            return isPath ? folderKey(m.path) == folderKey(item) : m.name == item;
        });
        if (match != found.end())
            add(named(*match));
        else if (isPath && reg::isWinePrefix(item))
            add({reg::machineName(reg::Machine::Kind::WinePrefix, item), item, reg::Machine::Kind::WinePrefix});
        else
            throw ctl::UsageError("--machines: '" + item + "' names no machine (see --list-machines)");
    }
    return out;
}

namespace {
std::string toldOf(const Outcome& r) {
    std::string text;
    for (const Notice& n : r.notices)
        text += (text.empty() ? "" : "; ") + n.text.toStdString();
    return text.empty() ? std::string("nothing was written") : text;
}
constexpr const char* kRunningWine = "its wineserver is running";
}  // namespace

FileResult applyFileTo(const NamedMachine& nm, const fs::path& file, RunningPrefix running) {
    FileResult r;
    try {
        Session session(reg::Machine::open(nm.kind, nm.folder));
        session.committer().setRunningPrefixChoice(running);
        Outcome step = session.load();
        if (step.ok)
            step = session.importFile(file);
        if (step.ok && session.wineRunning() && running != RunningPrefix::ThroughWine) {
            r = {FileResult::Skipped, std::string("skipped: ") + kRunningWine};
            return r;
        }
        if (step.ok)
            step = session.apply();
        r = fileResultOf(step);
    } catch (const std::exception& e) {
        r = {FileResult::Failed, std::string("failed: ") + e.what()};
    }
    return r;
}

FileResult fileResultOf(const Outcome& applied) {
    if (!applied.ok)
        return {FileResult::Failed, "failed: " + toldOf(applied)};
    if (applied.values)
        return {FileResult::Changed, "changed " + std::to_string(applied.values) + " values"};
    return {FileResult::Unchanged, "already as the file says"};
}

int runOnMachines(const Options& o, std::ostream& out, std::ostream& err) {
    const std::vector<NamedMachine> machines = resolveMachines(o.machines);
    if (machines.empty()) {
        err << "quorvel: --machines " << o.machines << " found no machine\n";
        return 1;
    }
    int status = 0;
    for (const NamedMachine& nm : machines) {
        auto failed = [&](const std::string& why) {
            out << "failed on " << nm.name << ": " << why << '\n';
            out.flush();
            status = 1;
        };
        std::unique_ptr<reg::Machine> machine;
        try {
            machine = reg::Machine::open(nm.kind, nm.folder);
        } catch (const std::exception& e) {
            failed(e.what());
            continue;
        }
        Session session(std::move(machine));
        session.committer().setRunningPrefixChoice(o.throughWine ? RunningPrefix::ThroughWine : RunningPrefix::Refuse);
        session.committer().setForce(o.force);
        auto told = toldOf;
        if (const Outcome loaded = session.load(); !loaded.ok) {
            failed(told(loaded));
            continue;
        }
        for (const Action& a : o.actions) {
            if (a.kind == Action::Import) {
                const Outcome r = session.importFile(a.value.toStdString());
                if (!r.ok) {
                    failed(told(r));
                    break;
                }
            } else if (a.kind == Action::Diff) {
                out << (o.json ? session.pendingChangesJson() : "; " + nm.name + "\n" + reg::writeRegText(session.pendingChanges()));
            } else if (session.wineRunning() && !o.throughWine && (a.kind == Action::Apply || a.kind == Action::Undo)) {
                // Wine would overwrite the files with what it holds.
                out << "skipped " << nm.name << ": " << kRunningWine << " (--through-wine writes through it)\n";
                break;
            } else {
                const Outcome r = a.kind == Action::Apply ? session.apply() : session.undoLastApply();
                if (!r.ok) {
                    failed(told(r));
                    break;
                }
                out << summaryLine(session, r, o.json) << '\n';
            }
            out.flush();
        }
    }
    return status;
}

}  // namespace qv::cli
