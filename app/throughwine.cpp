#include "app/throughwine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <map>
#include <set>

#include "registry/dotreg.h"
#include "registry/machine.h"
#include "registry/text.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

QString executableIn(const QString& dir, const QStringList& names) {
    for (const QString& n : names) {
        const QFileInfo fi(QDir(dir).filePath(n));
        if (fi.isFile() && fi.isExecutable())
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

// A full key name in one spelling for comparing: root name, backslashes, folded case.
std::u16string keyId(int32_t root, std::u16string_view key) {
    std::u16string id = reg::utf8ToUtf16(reg::rootName(root));
    if (!key.empty())
        id += u"\\" + std::u16string(key);
    for (char16_t& c : id)
        c = reg::foldLower(c);
    return id;
}
std::u16string folded(std::u16string s) {
    for (char16_t& c : s)
        c = reg::foldLower(c);
    return s;
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
        int32_t root;
        std::u16string path;
        bool present = true;
    };
    struct Value {
        std::optional<reg::StoredValue> value;  // nothing: deleted
    };
    std::map<std::u16string, Key> keys;                                    // by keyId
    std::map<std::u16string, std::map<std::u16string, Value>> values;      // keyId -> folded name
    std::map<std::u16string, std::pair<int32_t, std::u16string>> valueKeys;  // keyId -> its root, path

    explicit EndState(const reg::ChangeSet& cs) {
        for (const reg::ChangeOp& op : cs.ops) {
            const std::u16string id = keyId(op.root, op.key);
            switch (op.kind) {
            case reg::ChangeOp::Kind::SetValue:
                values[id][folded(op.name)].value = reg::StoredValue{op.name, op.type, op.data};
                valueKeys[id] = {op.root, op.key};
                keys[id] = {op.root, op.key, true};
                break;
            case reg::ChangeOp::Kind::DeleteValue:
                values[id][folded(op.name)].value.reset();
                valueKeys[id] = {op.root, op.key};
                break;
            case reg::ChangeOp::Kind::CreateKey: keys[id] = {op.root, op.key, true}; break;
            case reg::ChangeOp::Kind::DeleteKey: {
                auto under = [&](const std::u16string& k) {
                    return k == id || (k.size() > id.size() && k.compare(0, id.size(), id) == 0 &&
                                       k[id.size()] == u'\\');
                };
                std::erase_if(keys, [&](const auto& e) { return under(e.first); });
                std::erase_if(values, [&](const auto& e) { return under(e.first); });
                std::erase_if(valueKeys, [&](const auto& e) { return under(e.first); });
                keys[id] = {op.root, op.key, false};
                break;
            }
            }
        }
    }
};

}  // namespace

long serverPidOf(const reg::Machine& machine) {
    const std::optional<std::string> msg = machine.wineserverRunning();
    if (!msg)
        return 0;
    static const QRegularExpression re(QStringLiteral("\\(pid (\\d+)\\)"));
    const QRegularExpressionMatch m = re.match(QString::fromStdString(*msg));
    return m.hasMatch() ? m.captured(1).toLong() : 0;
}

WinePrograms findWinePrograms(const fs::path& prefix, long serverPid) {
    WinePrograms p;
    if (serverPid > 0) {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(serverPid)).symLinkTarget();
        if (!exe.isEmpty()) {
            const QString dir = QFileInfo(exe).absolutePath();
            p.wineserver = exe;
            // Debian keeps wine64 beside wineserver64; a build tree or Proton has bin/wine.
            p.wine = executableIn(dir, {QStringLiteral("wine"), QStringLiteral("wine64")});
            if (p.wine.isEmpty())
                p.wine = executableIn(dir + QStringLiteral("/../bin"), {QStringLiteral("wine"), QStringLiteral("wine64")});
        }
    }
    if (p.wine.isEmpty() && qEnvironmentVariableIsSet("WINELOADER"))
        p.wine = qEnvironmentVariable("WINELOADER");
    if (p.wine.isEmpty() || p.wineserver.isEmpty()) {
        const QString proton = protonBinFolder(prefix);
        if (!proton.isEmpty()) {
            if (p.wine.isEmpty())
                p.wine = executableIn(proton, {QStringLiteral("wine"), QStringLiteral("wine64")});
            if (p.wineserver.isEmpty())
                p.wineserver = executableIn(proton, {QStringLiteral("wineserver")});
        }
    }
    if (p.wineserver.isEmpty() && qEnvironmentVariableIsSet("WINESERVER"))
        p.wineserver = qEnvironmentVariable("WINESERVER");
    if (p.wine.isEmpty())
        p.wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
    if (p.wineserver.isEmpty())
        p.wineserver = QStandardPaths::findExecutable(QStringLiteral("wineserver"));
    return p;
}

ThroughWine::ThroughWine(const reg::Machine& machine)
    : machine_(machine), programs_(findWinePrograms(machine.folder(), serverPidOf(machine))) {}

ThroughWine::Result ThroughWine::run(const QString& program, const QStringList& args, int timeoutSec) const {
    Result r;
    if (program.isEmpty()) {
        r.err = QStringLiteral("no Wine program was found (install Wine, or set WINELOADER)");
        return r;
    }
    QProcess proc;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), QString::fromStdString(machine_.folder().string()));
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    proc.setProcessEnvironment(env);
    proc.setStandardInputFile(QProcess::nullDevice());
    proc.start(program, args);
    if (!proc.waitForStarted(10000)) {
        r.err = QStringLiteral("%1 could not be started: %2").arg(program, proc.errorString());
        return r;
    }
    if (!proc.waitForFinished(timeoutSec * 1000)) {
        r.timedOut = true;
        proc.kill();
        proc.waitForFinished(5000);
        r.err = QStringLiteral("%1 %2 took longer than %3 s and was stopped")
                    .arg(program, args.join(QLatin1Char(' ')))
                    .arg(timeoutSec);
        return r;
    }
    r.status = proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    r.out = QString::fromLocal8Bit(proc.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(proc.readAllStandardError()).trimmed();
    return r;
}

QString ThroughWine::windowsPath(const fs::path& host) const {
    if (std::optional<std::string> w = machine_.windowsPath(host))
        return QString::fromStdString(*w);
    // Wine maps Z: to / unless the prefix was changed.
    return QStringLiteral("Z:") + QString::fromStdString(host.string()).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

bool ThroughWine::apply(const reg::ChangeSet& changes, QString* error) {
    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        *error = QStringLiteral("no temporary folder for the .reg file: %1").arg(tmp.errorString());
        return false;
    }
    const fs::path file = fs::path(tmp.path().toStdString()) / "apply.reg";
    {
        QFile out(QString::fromStdString(file.string()));
        const std::string bytes = reg::writeRegFile(changes, reg::RegFormat::Unicode);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size())) {
            *error = QStringLiteral("could not write %1").arg(out.fileName());
            return false;
        }
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

std::optional<QStringList> ThroughWine::differences(const reg::ChangeSet& changes, QString* error) {
    const EndState want(changes);
    // Each key once, and a key inside another exported key not again.
    std::vector<std::pair<std::u16string, EndState::Key>> exports;
    for (const auto& [id, k] : want.keys) {
        bool covered = false;
        for (const auto& [other, ok] : exports)
            covered |= id.size() > other.size() && id.compare(0, other.size(), other) == 0 && id[other.size()] == u'\\';
        if (!covered)
            exports.emplace_back(id, k);
    }
    for (const auto& [id, rk] : want.valueKeys)
        if (!want.keys.count(id)) {
            bool covered = false;
            for (const auto& [other, ok] : exports)
                covered |= id.size() > other.size() && id.compare(0, other.size(), other) == 0 && id[other.size()] == u'\\';
            if (!covered)
                exports.emplace_back(id, EndState::Key{rk.first, rk.second, true});
        }
    if (exports.empty())
        return QStringList();

    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        *error = QStringLiteral("no temporary folder: %1").arg(tmp.errorString());
        return std::nullopt;
    }
    const fs::path dir = tmp.path().toStdString();
    // One Wine process for every export: a batch file run by Wine's cmd.
    QByteArray batch = "@echo off\r\n";
    for (size_t i = 0; i < exports.size(); ++i) {
        const EndState::Key& k = exports[i].second;
        QString name = QString::fromStdString(std::string(reg::rootName(k.root)));
        if (!k.path.empty())
            name += QLatin1Char('\\') + QString::fromStdU16String(k.path);
        name.replace(QLatin1Char('%'), QStringLiteral("%%"));
        batch += QStringLiteral("reg export \"%1\" \"%2\" /y >nul 2>nul\r\n")
                     .arg(name, windowsPath(dir / ("k" + std::to_string(i) + ".reg")))
                     .toUtf8();
    }
    {
        QFile out(QString::fromStdString((dir / "read.bat").string()));
        if (!out.open(QIODevice::WriteOnly) || out.write(batch) != batch.size()) {
            *error = QStringLiteral("could not write %1").arg(out.fileName());
            return std::nullopt;
        }
    }
    const Result r = run(programs_.wine, {QStringLiteral("cmd"), QStringLiteral("/c"), windowsPath(dir / "read.bat")},
                         kTimeoutSec);
    if (r.status < 0) {
        *error = QStringLiteral("Wine could not read the registry back: %1").arg(r.err);
        return std::nullopt;
    }

    // What Wine holds, in the same spelling as the end state.
    std::set<std::u16string> present;
    std::map<std::u16string, std::map<std::u16string, reg::StoredValue>> held;
    for (size_t i = 0; i < exports.size(); ++i) {
        QFile in(QString::fromStdString((dir / ("k" + std::to_string(i) + ".reg")).string()));
        if (!in.open(QIODevice::ReadOnly))
            continue;  // the key is not there
        std::string why;
        const std::optional<reg::ChangeSet> got = reg::readRegFile(in.readAll().toStdString(), in.fileName().toStdString(), &why);
        if (!got) {
            *error = QStringLiteral("Wine's export could not be read: %1").arg(QString::fromStdString(why));
            return std::nullopt;
        }
        for (const reg::ChangeOp& op : got->ops) {
            const int32_t root = op.root == reg::HKEY_CLASSES_ROOT ? reg::HKEY_LOCAL_MACHINE : op.root;
            const std::u16string key = op.root == reg::HKEY_CLASSES_ROOT
                                           ? u"Software\\Classes" + (op.key.empty() ? std::u16string() : u"\\" + op.key)
                                           : op.key;
            const std::u16string id = keyId(root, key);
            present.insert(id);
            if (op.kind == reg::ChangeOp::Kind::SetValue)
                held[id][folded(op.name)] = reg::StoredValue{op.name, op.type, op.data};
        }
    }

    QStringList diff;
    auto shown = [](const std::u16string& id) { return QString::fromStdU16String(id); };
    for (const auto& [id, k] : want.keys)
        if (k.present != (present.count(id) > 0))
            diff << shown(id) + (k.present ? QStringLiteral(" (missing)") : QStringLiteral(" (still there)"));
    for (const auto& [id, names] : want.values)
        for (const auto& [name, v] : names) {
            const auto key = held.find(id);
            const reg::StoredValue* have = nullptr;
            if (key != held.end())
                if (auto it = key->second.find(name); it != key->second.end())
                    have = &it->second;
            const bool same = v.value ? have && have->type == v.value->type &&
                                            comparable(have->type, have->data) == comparable(v.value->type, v.value->data)
                                      : have == nullptr;
            if (!same)
                diff << shown(id) + QLatin1Char('\\') + (name.empty() ? QStringLiteral("(Default)") : shown(name));
        }
    return diff;
}

bool ThroughWine::stopServer(QString* error) {
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
