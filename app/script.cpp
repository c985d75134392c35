#include "app/script.h"

#include <QApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <ostream>

#include "app/batch.h"
#include "app/changes.h"
#include "app/importreview.h"
#include "app/controls.h"
#include "app/firstpaint.h"
#include "app/frmmain.h"
#include "app/openmachine.h"
#include "app/toolkit.h"
#include "registry/machines/discovery.h"
#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"

namespace qv::cli {

using ctl::UsageError;

namespace {

namespace fs = std::filesystem;

std::string s(const QString& q) { return q.toStdString(); }

// "NAME=VALUE"; a list-view entry's key may itself hold "=", "[" and "]=", and its value (0 or 1)
// none of them, so its name ends at the last "]=".
std::pair<QString, QString> splitAssignment(const QString& opt, const QString& arg) {
    qsizetype eq = -1;
    const qsizetype bracket = arg.indexOf(QLatin1Char('['));
    if (bracket >= 0 && bracket < arg.indexOf(QLatin1Char('='))) {
        const qsizetype close = arg.lastIndexOf(QStringLiteral("]="));
        eq = close < bracket ? -1 : close + 1;
    } else {
        eq = arg.indexOf(QLatin1Char('='));
    }
    if (eq <= 0)
        throw UsageError(s(opt) + " needs NAME=" + (opt == QLatin1String("--grab") ? "FILE" : "VALUE") +
                         ", got '" + s(arg) + "'");
    return {arg.left(eq), arg.mid(eq + 1)};
}

struct Restore {
    ~Restore() {
        tk::setMessageBoxHook({});
        tk::setInteractive(true);
        tk::takeRefusedDialogs();
    }
};

// A listed line is what --set takes: text as it is, backslashes single. Only a line break, which a
// line cannot hold, is shown as "\n" ("\r" for a carriage return).
QString oneLine(QString v) {
    return v.replace(QLatin1Char('\n'), QStringLiteral("\\n")).replace(QLatin1Char('\r'), QStringLiteral("\\r"));
}

// Written by hand so that every object keeps the field order the listing documents.
std::string jsonString(const QString& v) {
    const QByteArray doc = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return doc.mid(1, doc.size() - 2).toStdString();  // the string inside "[...]"
}
std::string jsonString(const std::string& v) { return jsonString(QString::fromStdString(v)); }

void list(frmMain& form, bool json, std::ostream& out) {
    const auto controls = ctl::listControls(form);
    const reg::Machine& m = form.machine();
    const std::string name = reg::machineName(m.kind(), m.folder());
    const std::string kind = reg::kindName(m.kind());
    if (!json) {
        // A comment line, which --set would not take: which machine the values come from.
        out << "# " << name << " (" << kind << "): " << m.folder().string() << '\n';
        for (const auto& c : controls)
            out << s(c.name) << '=' << s(oneLine(ctl::valueOf(c))) << '\n';
        return;
    }
    auto str = [](const QString& v) { return jsonString(v); };
    // The first object is the machine itself, as the text listing's first line.
    out << "[\n  {\"name\": \"machine\", \"page\": 0, \"kind\": \"machine\", \"value\": "
        << jsonString(m.folder().string()) << ", \"enabled\": true, \"visible\": true, \"text\": "
        << jsonString(name) << ", \"machineKind\": " << jsonString(kind) << "}"
        << (controls.empty() ? "" : ",") << '\n';
    for (size_t i = 0; i < controls.size(); ++i) {
        const auto& c = controls[i];
        const QString v = ctl::valueOf(c);
        out << "  {\"name\": " << str(c.name) << ", \"page\": " << c.page
            << ", \"kind\": " << str(c.kind) << ", \"value\": "
            << (ctl::isNumeric(c) ? std::to_string(v.toLongLong()) : str(v))
            << ", \"enabled\": " << (ctl::enabledOf(c) ? "true" : "false")
            << ", \"visible\": " << (ctl::visibleOf(form, c) ? "true" : "false");
        if (c.kind == QLatin1String("listitem"))
            out << ", \"text\": " << str(ctl::textOf(c));
        out << '}' << (i + 1 < controls.size() ? "," : "") << '\n';
    }
    out << "]\n";
}

QString describe(const Action& a) {
    switch (a.kind) {
    case Action::List: return QStringLiteral("--list");
    case Action::Set: return QStringLiteral("--set ") + a.name;
    case Action::Click: return QStringLiteral("--click ") + a.name;
    case Action::Apply: return QStringLiteral("--apply");
    case Action::Grab: return QStringLiteral("--grab ") + a.name;
    case Action::Diff: return QStringLiteral("--diff");
    case Action::Undo: return QStringLiteral("--undo");
    case Action::Export: return QStringLiteral("--export ") + a.value;
    case Action::Import: return QStringLiteral("--import ") + a.value;
    case Action::History: return QStringLiteral("--history");
    case Action::Restore: return QStringLiteral("--restore ") + a.value;
    }
    return {};
}

}  // namespace

QString usage() {
    return QStringLiteral(
        "Usage: quorvel [--machine DIR | --wine-prefix DIR | --windows DIR [--windows-user NAME]]\n"
        "               [ACTION... | FILE.reg]\n"
        "Edits Windows shell and system settings in a Wine prefix, in Quorvel's own machine or in\n"
        "an installed Windows.\n"
        "\n"
        "  --machine DIR      use the own machine in DIR (created and seeded when missing or empty)\n"
        "  --wine-prefix DIR  use the Wine prefix DIR (it must hold system.reg and user.reg)\n"
        "  --windows DIR      use the Windows installation whose system drive is DIR (a mounted\n"
        "                     partition or a copy), through its registry hive files\n"
        "  --windows-user NAME  with --windows: the user (profile folder or SID) whose settings\n"
        "                     are edited; needed when that Windows has several users\n"
        "Without any, the machine opened last in the window is used (at first the own machine).\n"
        "A FILE.reg given alone opens the window with the file's changes pending and shown in\n"
        "the review, before anything is written.\n"
        "  --list-machines    print the machines File > Open Machine lists (with --json: as JSON)\n"
        "\n"
        "With an action the window is built offscreen, loads as at start-up, runs the actions in\n"
        "order and exits:\n"
        "  --list             print a first line \"# NAME (KIND): FOLDER\" naming the machine, then\n"
        "                     every control as NAME=VALUE, in node order; each line can be\n"
        "                     given to --set as it is (a line break in a value shows as \\n)\n"
        "  --json             with --list: one JSON array of {name, page, kind, value, enabled, visible},\n"
        "                     the first object (kind \"machine\") naming the machine\n"
        "  --set NAME=VALUE   set a control as a user would (its page is shown first)\n"
        "  --click NAME       press a button or menu item\n"
        "  --apply            run the save pass (Apply)\n"
        "  --grab NAME=FILE   save a PNG picture of a control (frmMain: the whole window;\n"
        "                     frmChanges: the Review Changes dialog; frmImportReview: the\n"
        "                     review of the file --import read, with its machine list;\n"
        "                     frmOpenMachine: the Open Machine dialog)\n"
        "  --diff             print what --apply would change, as a .reg text; write nothing\n"
        "  --undo             undo the last Apply on this machine (refused when the keys it\n"
        "                     restores changed since)\n"
        "  --history          list every Apply kept for this machine, oldest first, each with its\n"
        "                     ID, when, how many values and what it changed (--json: as JSON)\n"
        "  --restore ID       take back every Apply from the newest down to ID, as one commit\n"
        "                     that can itself be undone (refused like --undo when a value\n"
        "                     changed since)\n"
        "  --force            --undo and --restore even over settings changed since; --apply\n"
        "                     even when it deletes whole registry branches (a key at the top\n"
        "                     of a hive, or one holding hundreds of values)\n"
        "  --through-wine     --apply and --undo on a Wine prefix whose wineserver runs write\n"
        "                     through that Wine (wine reg import, then read back with Wine's\n"
        "                     reg); without it they are refused there, as Wine would overwrite them\n"
        "  --export FILE      write every value the pages manage to FILE (.reg), the 'New' menu's\n"
        "                     switches included and paths under the Windows folder as %SystemRoot%\n"
        "  --only-changed     with --export: only what differs from Windows' defaults\n"
        "  --import FILE      make a .reg file's changes pending and show them in the pages\n"
        "                     (then --apply to write them, or --diff to see them)\n"
        "  --machines WHICH   run --import, --diff, --apply and --undo on every machine WHICH\n"
        "                     names, each in turn and without a window: all (every machine\n"
        "                     --list-machines shows but installed Windows), a kind (own, wine,\n"
        "                     bottles, lutris, steam, heroic, playonlinux), or a comma list of\n"
        "                     names and folders; a running prefix is skipped without\n"
        "                     --through-wine\n"
        "  --json             with --apply and --undo: the summary as a JSON object per machine;\n"
        "                     with --diff: the changes as JSON, each with the page that owns it\n"
        "  --help, --version\n"
        "\n"
        "Values: check box 0/1/2; option button 1; text box the text; slider and scroll bar an\n"
        "integer; check-box list the checked entries (\"A:,C:\"); list-view entry NAME[KEY] 0/1.\n"
        "Apply writes only the pages that were changed, and keeps the way back first: the inverse\n"
        "of every Apply is kept under $XDG_STATE_HOME/quorvel/backups/ (the last 50 per machine).\n"
        "Every --apply, --undo and --restore ends with a line \"changed N values on NAME\" or \"no changes on\n"
        "NAME\".\n"
        "Exit status: 0 done (changed or not), 2 usage error, 1 a machine could not be opened or\n"
        "written.\n");
}

QString versionText() {
    return QStringLiteral("%1 %2\n").arg(tk::App::Title(), tk::App::Version());
}

Options parse(const QStringList& args) {
    Options o;
    auto valueFor = [&](qsizetype& i, const QString& opt, QString inlineValue) -> QString {
        if (!inlineValue.isNull())
            return inlineValue;
        if (i + 1 >= args.size())
            throw UsageError(s(opt) + " needs a value");
        return args[++i];
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString opt = args[i];
        QString inlineValue;
        if (opt.startsWith(QLatin1String("--")) && opt.contains(QLatin1Char('='))) {
            const qsizetype eq = opt.indexOf(QLatin1Char('='));
            inlineValue = opt.mid(eq + 1);
            opt = opt.left(eq);
        }
        if (opt == QLatin1String("--machine")) {
            o.machine = std::filesystem::path(valueFor(i, opt, inlineValue).toStdString());
        } else if (opt == QLatin1String("--wine-prefix")) {
            o.winePrefix = std::filesystem::path(valueFor(i, opt, inlineValue).toStdString());
        } else if (opt == QLatin1String("--windows")) {
            o.windows = std::filesystem::path(valueFor(i, opt, inlineValue).toStdString());
        } else if (opt == QLatin1String("--windows-user")) {
            o.windowsUser = valueFor(i, opt, inlineValue).toStdString();
            if (o.windowsUser.empty())
                throw UsageError("--windows-user needs a NAME");
        } else if (opt == QLatin1String("--list")) {
            o.actions.push_back({Action::List, {}, {}});
        } else if (opt == QLatin1String("--list-machines")) {
            o.listMachines = true;
        } else if (opt == QLatin1String("--machines")) {
            o.machines = valueFor(i, opt, inlineValue).toStdString();
            if (o.machines.empty())
                throw UsageError("--machines needs the machines to use");
        } else if (opt == QLatin1String("--json")) {
            o.json = true;
        } else if (opt == QLatin1String("--force")) {
            o.force = true;
        } else if (opt == QLatin1String("--only-changed")) {
            o.onlyChanged = true;
        } else if (opt == QLatin1String("--through-wine")) {
            o.throughWine = true;
        } else if (opt == QLatin1String("--apply")) {
            o.actions.push_back({Action::Apply, {}, {}});
        } else if (opt == QLatin1String("--set") || opt == QLatin1String("--grab")) {
            const auto [name, value] = splitAssignment(opt, valueFor(i, opt, inlineValue));
            if (opt == QLatin1String("--grab") && value.isEmpty())
                throw UsageError("--grab needs NAME=FILE");
            o.actions.push_back({opt == QLatin1String("--set") ? Action::Set : Action::Grab, name, value});
        } else if (opt == QLatin1String("--diff")) {
            o.actions.push_back({Action::Diff, {}, {}});
        } else if (opt == QLatin1String("--undo")) {
            o.actions.push_back({Action::Undo, {}, {}});
        } else if (opt == QLatin1String("--history")) {
            o.actions.push_back({Action::History, {}, {}});
        } else if (opt == QLatin1String("--restore")) {
            const QString id = valueFor(i, opt, inlineValue);
            if (id.isEmpty())
                throw UsageError("--restore needs an ID from --history");
            o.actions.push_back({Action::Restore, {}, id});
        } else if (opt == QLatin1String("--export") || opt == QLatin1String("--import")) {
            const QString file = valueFor(i, opt, inlineValue);
            if (file.isEmpty())
                throw UsageError(s(opt) + " needs a FILE");
            o.actions.push_back({opt == QLatin1String("--export") ? Action::Export : Action::Import, {}, file});
        } else if (opt == QLatin1String("--click")) {
            o.actions.push_back({Action::Click, valueFor(i, opt, inlineValue), {}});
        } else if (opt == QLatin1String("--help") || opt == QLatin1String("-h")) {
            o.help = true;
        } else if (opt == QLatin1String("--version")) {
            o.version = true;
        } else if (!opt.startsWith(QLatin1Char('-')) && !o.openFile) {
            o.openFile = std::filesystem::path(opt.toStdString());
        } else {
            throw UsageError("unknown option '" + s(args[i]) + "'");
        }
    }
    if (int(o.machine.has_value()) + int(o.winePrefix.has_value()) + int(o.windows.has_value()) > 1)
        throw UsageError("--machine, --wine-prefix and --windows exclude each other");
    if (!o.windowsUser.empty() && !o.windows)
        throw UsageError("--windows-user goes with --windows");
    if (o.listMachines && (!o.actions.empty() || o.machine || o.winePrefix || o.windows))
        throw UsageError("--list-machines takes no machine and no action (only --json)");
    if (o.openFile && (!o.actions.empty() || o.listMachines || !o.machines.empty()))
        throw UsageError("FILE opens in the window; a script takes it with --import FILE");
    if (!o.machines.empty()) {
        if (o.machine || o.winePrefix || o.windows || o.listMachines)
            throw UsageError("--machines names the machines itself: no --machine, --wine-prefix, --windows or --list-machines");
        if (o.actions.empty() || std::any_of(o.actions.begin(), o.actions.end(), [](const Action& a) {
                return a.kind != Action::Import && a.kind != Action::Apply && a.kind != Action::Diff && a.kind != Action::Undo;
            }))
            throw UsageError("--machines takes --import, --diff, --apply and --undo only");
    }
    // --json alone means the JSON listing; --apply, --undo and --diff print their own JSON.
    if (o.json && !o.listMachines && std::none_of(o.actions.begin(), o.actions.end(), [](const Action& a) {
            return a.kind == Action::List || a.kind == Action::Apply || a.kind == Action::Undo || a.kind == Action::Diff ||
                   a.kind == Action::History || a.kind == Action::Restore;
        }))
        o.actions.push_back({Action::List, {}, {}});
    return o;
}

MachineToOpen chooseMachine(const Options& o) {
    using K = MachineToOpen::Kind;
    if (o.windows)
        return {K::Windows, *o.windows, o.windowsUser};
    if (o.winePrefix)
        return {K::WinePrefix, *o.winePrefix, {}};
    if (o.machine)
        return {K::Own, *o.machine, {}};
    if (const char* w = std::getenv("WINEPREFIX"); w && *w && reg::isWinePrefix(w))
        return {K::WinePrefix, fs::path(w), {}};
    // The machine of the last session, unless it went away since.
    const reg::RecentMachines recent;
    if (const auto last = recent.last()) {
        std::error_code ec;
        if (last->kind == reg::Machine::Kind::WinePrefix && reg::isWinePrefix(last->path))
            return {K::WinePrefix, last->path, {}};
        if (last->kind == reg::Machine::Kind::Own && fs::is_directory(last->path, ec))
            return {K::Own, last->path, {}};
    }
    return {K::Own, reg::Machine::defaultOwnFolder(), {}, recent.entries().empty()};
}

std::unique_ptr<reg::Machine> openChosen(const MachineToOpen& m) {
    switch (m.kind) {
    case MachineToOpen::Kind::Windows: return reg::Machine::openWindows(m.path, m.windowsUser);
    case MachineToOpen::Kind::WinePrefix: return reg::Machine::openWinePrefix(m.path);
    case MachineToOpen::Kind::Own: break;
    }
    return reg::Machine::openOwn(m.path);
}

std::unique_ptr<reg::Machine> openMachine(const Options& o) { return openChosen(chooseMachine(o)); }

int listMachines(const Options& o, std::ostream& out) {
    const auto machines = reg::discoverMachines(reg::discoveryOptionsFromEnvironment());
    auto used = [](const reg::MachineEntry& m) {
        return m.lastUsed ? QDateTime::fromSecsSinceEpoch(qint64(*m.lastUsed)).toString(Qt::ISODate).toStdString()
                          : std::string();
    };
    if (!o.json) {
        // One machine a line, fields split by tabs: name, kind, source, Windows, server, last used, folder.
        for (const auto& m : machines)
            out << m.name << '\t' << reg::kindName(m.kind) << '\t' << m.source << '\t'
                << (m.windowsVersion.empty() ? "-" : m.windowsVersion) << '\t'
                << (m.kind != reg::Machine::Kind::WinePrefix ? "-" : m.running ? "running" : "stopped") << '\t'
                << (m.lastUsed ? used(m) : "-") << '\t' << m.path.string() << '\n';
        return 0;
    }
    out << "[\n";
    for (size_t i = 0; i < machines.size(); ++i) {
        const auto& m = machines[i];
        out << "  {\"name\": " << jsonString(m.name) << ", \"path\": " << jsonString(m.path.string())
            << ", \"kind\": " << jsonString(reg::kindName(m.kind)) << ", \"source\": " << jsonString(m.source)
            << ", \"windows\": " << jsonString(m.windowsVersion)
            << ", \"running\": " << (m.running ? "true" : "false")
            << ", \"lastUsed\": " << (m.lastUsed ? jsonString(used(m)) : "null") << '}'
            << (i + 1 < machines.size() ? "," : "") << '\n';
    }
    out << "]\n";
    return 0;
}

int runScript(const Options& o, std::ostream& out, std::ostream& err) {
    if (!o.machines.empty()) {
        Restore restore;
        tk::setInteractive(false);
        return runOnMachines(o, out, err);
    }
    std::unique_ptr<reg::Machine> machine;
    try {
        machine = openMachine(o);
    } catch (const std::exception& e) {
        err << "quorvel: " << e.what() << '\n';
        return 1;
    }
    for (const std::string& w : machine->warnings())
        err << w << '\n';

    Restore restore;
    tk::setInteractive(false);
    tk::setMessageBoxHook([&out](const tk::MessageBoxRequest& req) {
        out << s(req.text) << '\n';
        out.flush();
        return req.defaultResult;
    });

    frmMain form(*machine, [&err](const QString& line) { err << "quorvel: " << s(line) << '\n'; });
    // The script drives the window's session: what it applies, undoes, imports and exports.
    Session& session = form.session();
    session.committer().setRunningPrefixChoice(o.throughWine ? RunningPrefix::ThroughWine : RunningPrefix::Refuse);
    session.committer().setForce(o.force);
    session.setWriteImmediately(std::none_of(o.actions.begin(), o.actions.end(),
                                             [](const Action& a) { return a.kind == Action::Diff; }));
    form.show();
    QCoreApplication::processEvents();
    if (form.commitFailures() > 0) {
        err << "quorvel: the registry could not be written\n";
        return 1;
    }

    QString lastImport;  // for a picture of its review
    for (const Action& a : o.actions) {
        if (form.isUnloaded()) {
            err << "quorvel: the window was closed before " << s(describe(a)) << '\n';
            return 2;
        }
        const int failures = form.commitFailures();
        try {
            switch (a.kind) {
            case Action::List:
                list(form, o.json, out);
                break;
            case Action::Set:
                ctl::setControl(form, ctl::findControl(form, a.name), a.value);
                break;
            case Action::Click:
                ctl::clickControl(form, ctl::findControl(form, a.name));
                break;
            case Action::Apply:
                form.cmdApply_Click();
                // Every Apply ends with what it did to the machine, done or not.
                if (form.lastApply().ok)
                    out << summaryLine(session, form.lastApply(), o.json) << '\n';
                break;
            case Action::Diff:
                out << (o.json ? session.pendingChangesJson() : reg::writeRegText(session.pendingChanges()));
                break;
            case Action::History:
                printHistory(session, o.json, out);
                break;
            case Action::Restore:
            case Action::Undo: {
                const Outcome undone = a.kind == Action::Undo ? session.undoLastApply() : session.restoreTo(a.value.toStdString());
                if (!form.tell(undone))
                    return 1;
                out << summaryLine(session, undone, o.json) << '\n';
                break;
            }
            case Action::Export:
            case Action::Import: {
                const Outcome done = a.kind == Action::Export ? session.exportProfile(a.value.toStdString(), o.onlyChanged)
                                                              : session.importFile(a.value.toStdString());
                if (!done.ok) {
                    for (const Notice& n : done.notices)
                        err << "quorvel: " << s(n.text) << '\n';
                    return 1;
                }
                form.tell(done);
                if (a.kind == Action::Import)
                    lastImport = a.value;
                break;
            }
            case Action::Grab: {
                QWidget* w = &form;
                std::unique_ptr<ChangesDialog> review;
                std::unique_ptr<ImportReviewDialog> imported;
                std::unique_ptr<OpenMachineDialog> machines;
                if (a.name == QLatin1String("frmOpenMachine")) {
                    // File > Open Machine's list as this computer gives it now, details read.
                    machines = std::make_unique<OpenMachineDialog>(
                        reg::discoverMachines(reg::discoveryOptionsFromEnvironment()), form.machine().folder(), &form,
                        false);
                    machines->show();
                    w = machines.get();
                } else if (a.name == QLatin1String("frmImportReview")) {
                    // The review File > Open Registry File would show for the file imported last.
                    if (lastImport.isEmpty())
                        throw UsageError("frmImportReview needs an --import before it");
                    imported.reset(form.makeImportReview(lastImport.toStdString()));
                    imported->show();
                    w = imported.get();
                } else if (a.name == QLatin1String("frmChanges")) {
                    // The review dialog as File > Review Changes would show it now.
                    review.reset(form.makeReviewDialog());
                    review->show();
                    w = review.get();
                } else if (a.name != QLatin1String("frmMain")) {
                    const ctl::Control c = ctl::findControl(form, a.name);
                    if (c.page > 0 && form.iCurrentOption != c.page)
                        form.selectNode(c.page);
                    w = ctl::widgetOf(form, c);
                    if (!w)
                        throw UsageError(s(a.name) + " (" + s(c.kind) + ") cannot be drawn on its own");
                }
                QCoreApplication::processEvents();
                if (!w->grab().save(a.value, "PNG")) {
                    err << "quorvel: could not write the picture " << s(a.value) << '\n';
                    return 1;
                }
                break;
            }
            }
        } catch (const UsageError& e) {
            err << "quorvel: " << e.what() << '\n';
            return 2;
        } catch (const std::exception& e) {
            // A control refusing what a page handler gave it; the window would have shrugged.
            err << "quorvel: " << s(describe(a)) << ": " << e.what() << '\n';
            return 2;
        }
        QCoreApplication::processEvents();
        if (const QStringList refused = tk::takeRefusedDialogs(); !refused.isEmpty()) {
            err << "quorvel: " << s(describe(a)) << " needs " << s(refused.first())
                << ", which scripting mode cannot show\n";
            return 2;
        }
        if (form.commitFailures() > failures) {
            err << "quorvel: the registry could not be written\n";
            return 1;
        }
    }
    out.flush();
    return 0;
}

namespace {

// The very first start, when this computer has Wine prefixes: the user picks the registry to edit
// rather than finding the own machine open without a word.
std::optional<MachineToOpen> askFirstMachine() {
    reg::DiscoveryOptions options = reg::discoveryOptionsFromEnvironment();
    options.readDetails = false;  // the dialog reads them while it is shown
    std::vector<reg::MachineEntry> machines = reg::discoverMachines(options);
    if (std::none_of(machines.begin(), machines.end(),
                     [](const reg::MachineEntry& m) { return m.kind == reg::Machine::Kind::WinePrefix; }))
        return std::nullopt;
    OpenMachineDialog dlg(std::move(machines), reg::Machine::defaultOwnFolder());
    dlg.explainFirstStart();
    if (dlg.exec() != QDialog::Accepted || !dlg.choice())
        return std::nullopt;
    using K = MachineToOpen::Kind;
    const MachineChoice c = *dlg.choice();
    return MachineToOpen{c.kind == reg::Machine::Kind::Own       ? K::Own
                         : c.kind == reg::Machine::Kind::Windows ? K::Windows
                                                                 : K::WinePrefix,
                         c.folder, {}};
}

}  // namespace

int runWindow(const Options& o, std::future<std::unique_ptr<reg::Machine>> opening) {
    // The window is drawn before pages it does not show have read the registry.
    frmMain::setLoadHiddenPagesWhenShown(true);
    // A machine being read on its own thread meanwhile gets its window built in the same time.
    std::unique_ptr<frmMain> form;
    if (opening.valid())
        form = std::make_unique<frmMain>(Pass::FailureSink{});
    std::unique_ptr<reg::Machine> machine;
    try {
        if (opening.valid()) {
            machine = opening.get();
        } else {
            MachineToOpen chosen = chooseMachine(o);
            if (chosen.firstStart)
                chosen = askFirstMachine().value_or(chosen);
            machine = openChosen(chosen);
        }
    } catch (const std::exception& e) {
        form.reset();
        tk::MsgBox(QStringLiteral("The registry could not be opened.\n\n%1").arg(QString::fromUtf8(e.what())),
                   tk::vbOKOnly | tk::vbCritical);
        return 1;
    }
    std::optional<fs::path> opened = o.openFile;
    // File > Open Machine unloads the window with the next machine open: a new window edits it.
    for (int status = 0;;) {
        for (const std::string& w : machine->warnings())
            fprintf(stderr, "%s\n", w.c_str());
        std::string error;
        // An installed Windows is opened on purpose, never again by default: it is not listed.
        if (machine->kind() != reg::Machine::Kind::Windows &&
            !reg::RecentMachines().touch(machine->folder(), machine->kind(), std::time(nullptr), &error))
            fprintf(stderr, "quorvel: the list of recent machines was not saved: %s\n", error.c_str());
        if (form)
            form->attachMachine(*machine);
        else
            form = std::make_unique<frmMain>(*machine);
        QObject::connect(form.get(), &frmMain::unloaded, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        // The start-up benchmark times a run up to the first drawing of the window.
        if (qEnvironmentVariableIsSet("QV_EXIT_WHEN_DRAWN"))
            tk::quitOnFirstPaint(*form);
        form->show();
        // A .reg file given on the command line (a file manager's double click) is reviewed once
        // the window is up.
        if (std::optional<fs::path> file = std::exchange(opened, std::nullopt))
            QTimer::singleShot(0, form.get(), [f = form.get(), file] { f->openRegistryFile(*file); });
        status = QApplication::exec();
        std::unique_ptr<reg::Machine> next = form->takeNextMachine();
        if (!next)
            return status;
        form.reset();
        machine = std::move(next);
    }
}

}  // namespace qv::cli
