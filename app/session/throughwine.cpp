#include "app/session/throughwine.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/safefile.h"
#include "registry/text.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

// A program another user could replace is never run: the file and every folder above it must
// belong to the caller or root and be writable by their owner alone (root's sticky /tmp aside:
// there no one else may rename what is ours).
bool trustedPlace(const QString& path) {
    std::error_code ec;
    fs::path p = fs::canonical(path.toStdString(), ec);
    if (ec)
        return false;
    const uid_t me = ::geteuid();
    for (;;) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || (st.st_uid != me && st.st_uid != 0))
            return false;
        const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && st.st_uid == 0;
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !sticky)
            return false;
        if (p == p.root_path())
            return true;
        p = p.parent_path();
    }
}

QString trustedExecutableIn(const QString& dir, const QStringList& names) {
    for (const QString& n : names) {
        const QFileInfo fi(QDir(dir).filePath(n));
        if (fi.isFile() && fi.isExecutable() && trustedPlace(fi.absoluteFilePath()))
            return fi.absoluteFilePath();
    }
    return {};
}

// A Proton prefix is <compatdata>/<appid>/pfx; Proton notes the folder of its files in
// <appid>/config_info, one path per line ending in ".../files/share/...".
QString protonBinFolder(const fs::path& prefix) {
    if (prefix.filename() != "pfx")
        return {};
    QFile info(QString::fromStdString((prefix.parent_path() / "config_info").string()));
    if (!info.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : info.readAll().split('\n')) {
        const QString l = QString::fromUtf8(line).trimmed();
        const qsizetype at = l.indexOf(QLatin1String("/files/"));
        if (at > 0)
            return l.left(at) + QStringLiteral("/files/bin");
    }
    return {};
}

// The real, effective, saved and file-system uids of a process.
std::optional<std::array<uid_t, 4>> processUids(long pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> f = line.mid(4).simplified().split(' ');
        if (f.size() != 4)
            return std::nullopt;
        std::array<uid_t, 4> ids{};
        for (size_t i = 0; i < 4; ++i)
            ids[i] = static_cast<uid_t>(f[qsizetype(i)].toULong());
        return ids;
    }
    return std::nullopt;
}

bool processIsCallers(long pid) {
    const auto ids = processUids(pid);
    if (!ids)
        return false;
    for (uid_t id : *ids)
        if (id != ::geteuid())
            return false;
    return true;
}

QString userName(uid_t uid) {
    struct passwd pw, *found = nullptr;
    char buf[1024];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        return QStringLiteral("%1 (uid %2)").arg(QString::fromLocal8Bit(found->pw_name)).arg(uid);
    return QStringLiteral("uid %1").arg(uid);
}

// Keys in one spelling: HKEY_CLASSES_ROOT is Wine's view of HKLM\Software\Classes.
using KeyRef = std::pair<int32_t, std::u16string>;
KeyRef canonicalKey(int32_t root, const std::u16string& key) {
    if (root != reg::HKEY_CLASSES_ROOT)
        return {root, key};
    return {reg::HKEY_LOCAL_MACHINE, u"Software\\Classes" + (key.empty() ? std::u16string() : u"\\" + key)};
}

std::u16string folded(std::u16string s) {
    for (char16_t& c : s)
        c = reg::foldLower(c);
    return s;
}
// A full key name in one spelling for comparing: root name, backslashes, folded case.
std::u16string keyId(const KeyRef& k) {
    std::u16string id = reg::utf8ToUtf16(reg::rootName(k.first));
    if (!k.second.empty())
        id += u"\\" + k.second;
    return folded(std::move(id));
}
bool under(const std::u16string& id, const std::u16string& top) {
    return id.size() > top.size() && id.compare(0, top.size(), top) == 0 && id[top.size()] == u'\\';
}
KeyRef parentOf(const KeyRef& k) {
    const size_t slash = k.second.rfind(u'\\');
    return {k.first, slash == std::u16string::npos ? std::u16string() : k.second.substr(0, slash)};
}

// A key name that goes on Wine's command line as one word: Wine rebuilds a Windows command line
// from its argv and reg splits it again, so a quote (or a control character) is left out of
// it altogether; such a key is read through its nearest plain ancestor.
KeyRef plainAncestor(KeyRef k) {
    auto plain = [](const std::u16string& s) {
        for (char16_t c : s)
            if (c == u'"' || c < 0x20 || c == 0x7f)
                return false;
        return true;
    };
    while (!plain(k.second))
        k = parentOf(k);
    return k;
}

// Strings compare up to their first NUL (Wine's export cuts a REG_SZ there, and whether the
// terminator was stored is no difference a program sees); lists without their trailing NULs.
std::string comparable(uint32_t type, std::string data) {
    if (type == reg::REG_SZ || type == reg::REG_EXPAND_SZ) {
        for (size_t i = 0; i + 1 < data.size(); i += 2)
            if (data[i] == 0 && data[i + 1] == 0)
                return data.substr(0, i);
    } else if (type == reg::REG_MULTI_SZ) {
        while (data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0)
            data.resize(data.size() - 2);
    }
    return data;
}

// What a change set leaves behind: each key it names present or gone, each value set or gone.
struct EndState {
    struct Key {
        KeyRef ref;
        bool present = true;
    };
    struct Value {
        std::optional<reg::StoredValue> value;  // nothing: deleted
    };
    std::map<std::u16string, Key> keys;                                // by keyId
    std::map<std::u16string, std::map<std::u16string, Value>> values;  // keyId -> folded name
    std::map<std::u16string, KeyRef> valueKeys;                        // keyId -> its key

    explicit EndState(const reg::ChangeSet& cs) {
        for (const reg::ChangeOp& op : cs.ops) {
            const KeyRef ref = canonicalKey(op.root, op.key);
            const std::u16string id = keyId(ref);
            switch (op.kind) {
            case reg::ChangeOp::Kind::SetValue:
                values[id][folded(op.name)].value = reg::StoredValue{op.name, op.type, op.data};
                valueKeys[id] = ref;
                keys[id] = {ref, true};
                break;
            case reg::ChangeOp::Kind::DeleteValue:
                values[id][folded(op.name)].value.reset();
                valueKeys[id] = ref;
                break;
            case reg::ChangeOp::Kind::CreateKey: keys[id] = {ref, true}; break;
            case reg::ChangeOp::Kind::DeleteKey: {
                auto gone = [&](const std::u16string& k) { return k == id || under(k, id); };
                std::erase_if(keys, [&](const auto& e) { return gone(e.first); });
                std::erase_if(values, [&](const auto& e) { return gone(e.first); });
                std::erase_if(valueKeys, [&](const auto& e) { return gone(e.first); });
                keys[id] = {ref, false};
                break;
            }
            }
        }
    }
};

}  // namespace

// What Wine holds in and below the exported keys.
struct ThroughWine::Held {
    struct Key {
        KeyRef ref;                                           // as Wine spells it
        std::map<std::u16string, reg::StoredValue> values;  // by folded name
    };
    std::map<std::u16string, Key> keys;  // every key the exports list, by keyId
    std::set<std::u16string> above;      // keys above an exported one: there, though not listed

    bool has(const std::u16string& id) const { return keys.count(id) || above.count(id); }
};

WinePrograms findWinePrograms(const fs::path& prefix, long serverPid) {
    const QStringList wineNames{QStringLiteral("wine"), QStringLiteral("wine64")};
    const QStringList serverNames{QStringLiteral("wineserver")};
    WinePrograms p;
    p.wine = qEnvironmentVariable("WINELOADER");
    p.wineserver = qEnvironmentVariable("WINESERVER");
    if (p.wine.isEmpty() || p.wineserver.isEmpty()) {
        if (const QString proton = protonBinFolder(prefix); !proton.isEmpty()) {
            if (p.wine.isEmpty())
                p.wine = trustedExecutableIn(proton, wineNames);
            if (p.wineserver.isEmpty())
                p.wineserver = trustedExecutableIn(proton, serverNames);
        }
    }
    if (p.wine.isEmpty())
        p.wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
    if (p.wineserver.isEmpty())
        p.wineserver = QStandardPaths::findExecutable(QStringLiteral("wineserver"));
    // Beside the running server only as the last resort, and only when it is our own process:
    // another user's server names a program that user may change.
    if ((p.wine.isEmpty() || p.wineserver.isEmpty()) && serverPid > 0 && processIsCallers(serverPid)) {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(serverPid)).symLinkTarget();
        if (!exe.isEmpty()) {
            const QString dir = QFileInfo(exe).absolutePath();
            // Debian keeps wine64 beside wineserver64; a build tree or Proton has bin/wine.
            if (p.wine.isEmpty())
                p.wine = trustedExecutableIn(dir, wineNames);
            if (p.wine.isEmpty())
                p.wine = trustedExecutableIn(dir + QStringLiteral("/../bin"), wineNames);
            if (p.wineserver.isEmpty() && trustedPlace(exe))
                p.wineserver = exe;
        }
    }
    return p;
}

std::optional<QString> wineRefusal(const fs::path& prefix, const std::optional<reg::RunningWineserver>& server) {
    const uid_t me = ::geteuid();
    auto notOurs = [&](const QString& what, uid_t owner) {
        return QStringLiteral("%1 belongs to %2, not to %3 who runs Quorvel. Wine is run only as the owner of the "
                              "prefix and of its wineserver, so this Wine is neither used nor stopped from here: "
                              "run Quorvel as %2 for that.")
            .arg(what, userName(owner), userName(me));
    };
    const QString folder = QString::fromStdString(prefix.string());
    struct stat st;
    if (::stat(prefix.c_str(), &st) != 0)
        return QStringLiteral("The Wine prefix %1 cannot be examined: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    if (st.st_uid != me)
        return notOurs(QStringLiteral("The Wine prefix %1").arg(folder), st.st_uid);
    if (!server)
        return std::nullopt;
    // Wine makes both folders itself, private to the user it runs as.
    for (const fs::path& dir : {server->folder.parent_path(), server->folder}) {
        const QString d = QString::fromStdString(dir.string());
        if (::lstat(dir.c_str(), &st) != 0)
            return QStringLiteral("The wineserver's folder %1 cannot be examined: %2").arg(d, QString::fromLocal8Bit(std::strerror(errno)));
        if (!S_ISDIR(st.st_mode))
            return QStringLiteral("The wineserver's folder %1 is not a folder (a link or another file), so "
                                  "the server behind it is not trusted.")
                .arg(d);
        if (st.st_uid != me)
            return notOurs(QStringLiteral("The wineserver's folder %1").arg(d), st.st_uid);
    }
    if (server->pid > 0) {
        const auto ids = processUids(server->pid);
        if (!ids)
            return QStringLiteral("The wineserver (pid %1) cannot be examined.").arg(server->pid);
        for (uid_t id : *ids)
            if (id != me)
                return notOurs(QStringLiteral("The wineserver (pid %1)").arg(server->pid), id);
    }
    return std::nullopt;
}

ThroughWine::ThroughWine(const reg::Machine& machine) : machine_(machine) {
    const std::optional<reg::RunningWineserver> server = reg::runningWineserver(machine.folder());
    refusal_ = wineRefusal(machine.folder(), server);
    if (!refusal_)
        programs_ = findWinePrograms(machine.folder(), server ? server->pid : 0);
}

std::vector<ThroughWine::Result> ThroughWine::runAll(const QString& program, const std::vector<QStringList>& args,
                                                     int timeoutSec) const {
    std::vector<Result> results(args.size());
    if (program.isEmpty()) {
        for (Result& r : results)
            r.err = QStringLiteral("no Wine program was found (install Wine, or set WINELOADER)");
        return results;
    }
    // Checked again at every run: the server may have changed since.
    const std::optional<QString> refused =
        refusal_ ? refusal_ : wineRefusal(machine_.folder(), reg::runningWineserver(machine_.folder()));
    if (refused) {
        for (Result& r : results)
            r.err = *refused;
        return results;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), QString::fromStdString(machine_.folder().string()));
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // A few at once: most of a Wine process's time is its start, spent waiting on the server.
    constexpr size_t kAtOnce = 4;
    for (size_t from = 0; from < args.size(); from += kAtOnce) {
        const size_t to = std::min(args.size(), from + kAtOnce);
        std::vector<std::unique_ptr<QProcess>> procs;
        for (size_t i = from; i < to; ++i) {
            procs.push_back(std::make_unique<QProcess>());
            procs.back()->setProcessEnvironment(env);
            procs.back()->setStandardInputFile(QProcess::nullDevice());
            procs.back()->start(program, args[i]);
        }
        const QDeadlineTimer deadline{std::chrono::seconds(timeoutSec)};
        for (size_t i = from; i < to; ++i) {
            QProcess& proc = *procs[i - from];
            Result& r = results[i];
            if (!proc.waitForStarted(10000)) {
                r.err = QStringLiteral("%1 could not be started: %2").arg(program, proc.errorString());
                continue;
            }
            if (!proc.waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 1)))) {
                r.timedOut = true;
                proc.kill();
                proc.waitForFinished(5000);
                r.err = QStringLiteral("%1 %2 took longer than %3 s and was stopped")
                            .arg(program, args[i].join(QLatin1Char(' ')))
                            .arg(timeoutSec);
                continue;
            }
            r.status = proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
            r.out = QString::fromLocal8Bit(proc.readAllStandardOutput());
            r.err = QString::fromLocal8Bit(proc.readAllStandardError()).trimmed();
        }
    }
    return results;
}

ThroughWine::Result ThroughWine::run(const QString& program, const QStringList& args, int timeoutSec) const {
    return runAll(program, {args}, timeoutSec).front();
}

QString ThroughWine::windowsPath(const fs::path& host) const {
    if (std::optional<std::string> w = machine_.windowsPath(host))
        return QString::fromStdString(*w);
    // Wine maps Z: to / unless the prefix was changed.
    return QStringLiteral("Z:") + QString::fromStdString(host.string()).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

bool ThroughWine::apply(const reg::ChangeSet& changes, QString* error) {
    if (refusal_) {
        *error = *refusal_;
        return false;
    }
    // A line break in a key name would end its [header] in the .reg file and start lines of its own.
    for (const reg::ChangeOp& op : changes.ops)
        if (op.key.find_first_of(u"\r\n") != std::u16string::npos) {
            *error = QStringLiteral("the key name \"%1\" holds a line break, which a .reg file for Wine cannot carry")
                         .arg(QString::fromStdU16String(op.key));
            return false;
        }
    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        *error = QStringLiteral("no temporary folder for the .reg file: %1").arg(tmp.errorString());
        return false;
    }
    const fs::path file = fs::path(tmp.path().toStdString()) / "apply.reg";
    try {
        reg::writeFileSafely(file, reg::writeRegFile(changes, reg::RegFormat::Unicode),
                             {.privateFile = true, .durable = false, .replace = false});
    } catch (const reg::SafeFileError& e) {
        *error = QString::fromUtf8(e.what());
        return false;
    }
    const Result r = run(programs_.wine, {QStringLiteral("reg"), QStringLiteral("import"), windowsPath(file)}, kTimeoutSec);
    if (r.status != 0) {
        *error = QStringLiteral("wine reg import failed (exit %1): %2").arg(r.status).arg(r.err.isEmpty() ? r.out.trimmed() : r.err);
        return false;
    }
    std::optional<QStringList> diff = differences(changes, error);
    if (!diff)
        return false;
    if (!diff->isEmpty()) {
        *error = QStringLiteral("Wine took the import but does not hold these afterwards:\n%1")
                     .arg(diff->mid(0, 20).join(QLatin1Char('\n')));
        return false;
    }
    return true;
}

bool ThroughWine::readBack(const std::vector<KeyRef>& keys, Held* held, QString* error) {
    if (refusal_) {
        *error = *refusal_;
        return false;
    }
    // The keys to export, none below another; a key Wine lacks is looked for through its parent,
    // so that a key counts as missing only where an export that worked does not list it.
    std::map<std::u16string, KeyRef> pending;
    auto want = [&](const KeyRef& wanted) {
        const KeyRef k = plainAncestor(wanted);
        const std::u16string id = keyId(k);
        for (const auto& [other, ref] : pending)
            if (other == id || under(id, other))
                return;
        std::erase_if(pending, [&](const auto& e) { return under(e.first, id); });
        pending.emplace(id, k);
    };
    for (const KeyRef& k : keys)
        want(k);

    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        *error = QStringLiteral("no temporary folder: %1").arg(tmp.errorString());
        return false;
    }
    const fs::path dir = tmp.path().toStdString();
    int serial = 0;
    while (!pending.empty()) {
        const std::vector<std::pair<std::u16string, KeyRef>> round(pending.begin(), pending.end());
        pending.clear();
        std::vector<QStringList> args;
        std::vector<fs::path> files;
        for (const auto& [id, k] : round) {
            QString name = QString::fromStdString(std::string(reg::rootName(k.first)));
            if (!k.second.empty())
                name += QLatin1Char('\\') + QString::fromStdU16String(k.second);
            files.push_back(dir / ("k" + std::to_string(serial++) + ".reg"));
            args.push_back({QStringLiteral("reg"), QStringLiteral("export"), name, windowsPath(files.back()),
                            QStringLiteral("/y")});
        }
        const std::vector<Result> results = runAll(programs_.wine, args, kTimeoutSec);
        for (size_t i = 0; i < round.size(); ++i) {
            const auto& [id, k] = round[i];
            const Result& r = results[i];
            if (r.timedOut || r.status < 0) {
                *error = QStringLiteral("Wine could not read the registry back: %1").arg(r.err);
                return false;
            }
            std::optional<reg::ChangeSet> got;
            std::string why = "no file was written";
            if (r.status == 0) {
                QFile in(QString::fromStdString(files[i].string()));
                if (in.open(QIODevice::ReadOnly))
                    got = reg::readRegFile(in.readAll().toStdString(), files[i].string(), &why);
            }
            // The export must start at the key asked for: anything else is no answer about it.
            if (got && (got->ops.empty() || keyId(canonicalKey(got->ops.front().root, got->ops.front().key)) != id)) {
                why = "the export names another key";
                got.reset();
            }
            if (!got) {
                if (k.second.empty()) {
                    *error = QStringLiteral("Wine could not export %1: %2")
                                 .arg(QString::fromStdString(std::string(reg::rootName(k.first))),
                                      r.err.isEmpty() ? QString::fromStdString(why) : r.err);
                    return false;
                }
                want(parentOf(k));
                continue;
            }
            for (KeyRef a = k; !a.second.empty();) {
                a = parentOf(a);
                held->above.insert(keyId(a));
            }
            for (const reg::ChangeOp& op : got->ops) {
                const KeyRef ref = canonicalKey(op.root, op.key);
                const std::u16string kid = keyId(ref);
                if (kid != id && !under(kid, id))
                    continue;
                Held::Key& key = held->keys.try_emplace(kid, Held::Key{ref, {}}).first->second;
                if (op.kind == reg::ChangeOp::Kind::SetValue)
                    key.values[folded(op.name)] = reg::StoredValue{op.name, op.type, op.data};
            }
        }
    }
    return true;
}

std::optional<QStringList> ThroughWine::differences(const reg::ChangeSet& changes, QString* error) {
    const EndState want(changes);
    std::vector<KeyRef> keys;
    for (const auto& [id, k] : want.keys)
        keys.push_back(k.ref);
    for (const auto& [id, ref] : want.valueKeys)
        keys.push_back(ref);
    if (keys.empty())
        return QStringList();
    Held held;
    if (!readBack(keys, &held, error))
        return std::nullopt;

    QStringList diff;
    auto shown = [](const std::u16string& id) { return QString::fromStdU16String(id); };
    for (const auto& [id, k] : want.keys)
        if (k.present != held.has(id))
            diff << shown(id) + (k.present ? QStringLiteral(" (missing)") : QStringLiteral(" (still there)"));
    for (const auto& [id, names] : want.values)
        for (const auto& [name, v] : names) {
            const auto key = held.keys.find(id);
            const reg::StoredValue* have = nullptr;
            if (key != held.keys.end())
                if (auto it = key->second.values.find(name); it != key->second.values.end())
                    have = &it->second;
            const bool same = v.value ? have && have->type == v.value->type &&
                                            comparable(have->type, have->data) == comparable(v.value->type, v.value->data)
                                      : have == nullptr;
            if (!same)
                diff << shown(id) + QLatin1Char('\\') + (name.empty() ? QStringLiteral("(Default)") : shown(name));
        }
    return diff;
}

std::optional<reg::ChangeSet> ThroughWine::asHeld(const reg::ChangeSet& changes, QString* error) {
    std::vector<KeyRef> keys;
    for (const reg::ChangeOp& op : changes.ops)
        keys.push_back(canonicalKey(op.root, op.key));
    Held held;
    if (!keys.empty() && !readBack(keys, &held, error))
        return std::nullopt;

    // The operations walk over Wine's state in order, each taking its old state from it.
    reg::ChangeSet out;
    auto created = [&](const reg::ChangeOp& like, std::u16string key) {
        reg::ChangeOp c = reg::keyOp(reg::ChangeOp::Kind::CreateKey, like.root, std::move(key));
        c.oldKnown = true;
        return c;
    };
    // Makes the key and the parents Wine lacks, as setting a value or creating the key does.
    auto makeParents = [&](const reg::ChangeOp& op, bool withKey) {
        std::vector<std::u16string> missing;
        for (std::u16string k = op.key; !k.empty(); k = parentOf({op.root, k}).second) {
            const KeyRef ref = canonicalKey(op.root, k);
            if (held.has(keyId(ref)))
                break;
            missing.push_back(k);
            held.keys.emplace(keyId(ref), Held::Key{ref, {}});
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it)
            if (withKey || *it != op.key)
                out.ops.push_back(created(op, *it));
    };
    for (reg::ChangeOp op : changes.ops) {
        const KeyRef ref = canonicalKey(op.root, op.key);
        const std::u16string id = keyId(ref);
        op.oldKnown = true;
        op.oldValue.reset();
        op.oldTree.clear();
        switch (op.kind) {
        case reg::ChangeOp::Kind::SetValue:
        case reg::ChangeOp::Kind::DeleteValue: {
            if (op.kind == reg::ChangeOp::Kind::SetValue)
                makeParents(op, true);
            auto key = held.keys.find(id);
            if (key != held.keys.end()) {
                auto& values = key->second.values;
                if (auto v = values.find(folded(op.name)); v != values.end())
                    op.oldValue = v->second;
                if (op.kind == reg::ChangeOp::Kind::SetValue)
                    values[folded(op.name)] = reg::StoredValue{op.name, op.type, op.data};
                else
                    values.erase(folded(op.name));
            }
            break;
        }
        case reg::ChangeOp::Kind::CreateKey:
            if (held.has(id)) {
                op.oldKnown = false;  // there already: nothing for an undo to take away
                break;
            }
            makeParents(op, false);
            break;
        case reg::ChangeOp::Kind::DeleteKey: {
            // The key, then the keys below it in name order: each after its parent.
            auto take = [&](std::map<std::u16string, Held::Key>::iterator it) {
                const std::u16string& path = it->second.ref.second;
                reg::StoredKey sk;
                sk.path = it->first == id ? std::u16string() : path.substr(path.size() - (it->first.size() - id.size() - 1));
                for (const auto& [name, v] : it->second.values)
                    sk.values.push_back(v);
                op.oldTree.push_back(std::move(sk));
                return held.keys.erase(it);
            };
            if (auto it = held.keys.find(id); it != held.keys.end())
                take(it);
            for (auto it = held.keys.lower_bound(id + u"\\"); it != held.keys.end() && under(it->first, id);)
                it = take(it);
            std::erase_if(held.above, [&](const std::u16string& k) { return k == id || under(k, id); });
            break;
        }
        }
        out.ops.push_back(std::move(op));
    }
    return out;
}

bool ThroughWine::stopServer(QString* error) {
    if (refusal_) {
        *error = *refusal_;
        return false;
    }
    const Result k = run(programs_.wineserver, {QStringLiteral("-k")}, 60);
    const Result w = run(programs_.wineserver, {QStringLiteral("-w")}, 60);
    if (w.status != 0 || k.timedOut) {
        *error = QStringLiteral("the wineserver did not stop: %1").arg(w.err.isEmpty() ? k.err : w.err);
        return false;
    }
    if (auto still = machine_.wineserverRunning()) {
        *error = QString::fromStdString(*still);
        return false;
    }
    return true;
}

}  // namespace qv
