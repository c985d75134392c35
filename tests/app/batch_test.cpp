// Scripting mode's results as a fleet tool reads them: a summary per machine, idempotent runs over
// many machines, JSON that names the page owning each change, and usage errors for bad machine lists.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <fstream>

#include "app_support.h"

namespace {

namespace fs = std::filesystem;
using qvtest::runScript;
using qvtest::runScriptOn;

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
        file_ = dir_.path() / "fix.reg";
        std::ofstream(file_) << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"150\"\n\n"
                                "[HKEY_CURRENT_USER\\Software\\QuorvelBatch]\n\"Fixed\"=dword:00000001\n";
    }
    void TearDown() override { ::unsetenv("XDG_STATE_HOME"); }
    // Own machines m0.. and Wine prefixes p0.., every one seeded.
    QString makeMachines(int own, int prefixes) {
        QStringList folders;
        for (int i = 0; i < own; ++i) {
            const fs::path f = dir_.path() / ("m" + std::to_string(i));
            qv::reg::Machine::openOwn(f);
            folders << QString::fromStdString(f.string());
        }
        for (int i = 0; i < prefixes; ++i)
            folders << QString::fromStdString(qvtest::makeWinePrefix(dir_.path() / ("p" + std::to_string(i))).string());
        names_ = folders;
        return folders.join(QLatin1Char(','));
    }
    std::string registryBytes() {
        std::string all;
        for (const QString& f : names_)
            for (const char* file : {"system.reg", "user.reg"})
                all += qvtest::fileBytes(fs::path(f.toStdString()) / file);
        return all;
    }
    qvtest::TempDir dir_;
    fs::path file_;
    QStringList names_;
};

// One file onto many machines: each changed once, then a second run changes nothing, byte for byte.
TEST_F(Batch, OneFileOntoManyMachinesIsIdempotent) {
    const QString machines = makeMachines(14, 6);
    const QStringList args = {QStringLiteral("--machines"), machines, QStringLiteral("--import"),
                              QString::fromStdString(file_.string()), QStringLiteral("--apply")};
    const qvtest::ScriptRun first = runScript(args);
    ASSERT_EQ(first.status, 0) << first.err << first.out;
    for (const QString& f : names_)
        EXPECT_NE(first.out.find("changed 2 values on " + fs::path(f.toStdString()).filename().string() + "\n"),
                  std::string::npos)
            << first.out;
    const std::string after = registryBytes();
    const qvtest::ScriptRun second = runScript(args + QStringList{QStringLiteral("--json")});
    ASSERT_EQ(second.status, 0) << second.err << second.out;
    EXPECT_EQ(registryBytes(), after);
    int lines = 0;
    for (const QByteArray& line : QByteArray::fromStdString(second.out).split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        EXPECT_FALSE(o.value(QStringLiteral("changed")).toBool()) << line.toStdString();
        EXPECT_EQ(o.value(QStringLiteral("values")).toInt(-1), 0);
        EXPECT_TRUE(o.value(QStringLiteral("backup")).isNull());
        ++lines;
    }
    EXPECT_EQ(lines, names_.size());
    // Undo on every machine takes its own Apply back.
    const qvtest::ScriptRun undo = runScript({QStringLiteral("--machines"), machines, QStringLiteral("--undo")});
    ASSERT_EQ(undo.status, 0) << undo.err << undo.out;
    EXPECT_NE(registryBytes(), after);
}

// A machine that cannot take the file is told; the others still get it, and the exit says so.
TEST_F(Batch, FailuresAreToldPerMachineAndInTheExitStatus) {
    const QString machines = makeMachines(2, 0);
    const qvtest::ScriptRun run = runScript({QStringLiteral("--machines"), machines, QStringLiteral("--import"),
                                             QString::fromStdString((dir_.path() / "missing.reg").string()),
                                             QStringLiteral("--apply")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("failed on m0: Could not open"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("failed on m1: Could not open"), std::string::npos) << run.out;
}

TEST_F(Batch, BadMachineListsAndMixesAreUsageErrors) {
    makeMachines(1, 0);
    const QString m0 = names_[0];
    struct Row {
        QStringList args;
        const char* said;
    } rows[] = {
        {{QStringLiteral("--machines"), QStringLiteral("no-such-machine"), QStringLiteral("--apply")}, "names no machine"},
        {{QStringLiteral("--machines"), m0, QStringLiteral("--set"), QStringLiteral("x=1")}, "--import, --diff, --apply and --undo only"},
        {{QStringLiteral("--machines"), m0, QStringLiteral("--machine"), m0, QStringLiteral("--apply")}, "names the machines itself"},
        {{QStringLiteral("--machines"), m0}, "--import, --diff, --apply and --undo only"},
    };
    for (const Row& r : rows) {
        const qvtest::ScriptRun run = runScript(r.args);
        EXPECT_EQ(run.status, 2) << r.args.join(' ').toStdString();
        EXPECT_NE(run.err.find(r.said), std::string::npos) << run.err;
    }
}

// --diff --json names the page that owns each value a control writes; an Apply and an Undo end with
// their summary.
TEST_F(Batch, JsonNamesThePageOfEachChangeAndSummariesFollowApplyAndUndo) {
    const fs::path m = dir_.path() / "m";
    struct Row {
        QString set;
        QString value;  // the registry value it writes
        QString page;
    } rows[] = {
        {QStringLiteral("txtRegisteredName=Ada"), QStringLiteral("RegisteredOwner"), QStringLiteral("Registration Information")},
        {QStringLiteral("sldMenuShowDelay=250"), QStringLiteral("MenuShowDelay"), QStringLiteral("Menu Speed")},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.set.toStdString());
        const qvtest::ScriptRun diff = runScriptOn(m, {QStringLiteral("--set"), r.set, QStringLiteral("--diff"), QStringLiteral("--json")});
        ASSERT_EQ(diff.status, 0) << diff.err;
        const QJsonArray ops = QJsonDocument::fromJson(QByteArray::fromStdString(diff.out)).array();
        bool found = false;
        for (const QJsonValue& op : ops)
            if (op[QStringLiteral("value")].toString() == r.value) {
                found = true;
                EXPECT_EQ(op[QStringLiteral("page")].toString(), r.page);
                EXPECT_TRUE(op[QStringLiteral("reg")].toString().contains(r.value));
            }
        EXPECT_TRUE(found) << diff.out;
    }
    const qvtest::ScriptRun apply = runScriptOn(m, {QStringLiteral("--set"), rows[0].set, QStringLiteral("--apply")});
    ASSERT_EQ(apply.status, 0) << apply.err;
    EXPECT_NE(apply.out.find("changed 1 values on m\n"), std::string::npos) << apply.out;
    const qvtest::ScriptRun again = runScriptOn(m, {QStringLiteral("--set"), rows[0].set, QStringLiteral("--apply")});
    EXPECT_NE(again.out.find("no changes on m\n"), std::string::npos) << again.out;
    const qvtest::ScriptRun undo = runScriptOn(m, {QStringLiteral("--undo")});
    ASSERT_EQ(undo.status, 0) << undo.err;
    EXPECT_NE(undo.out.find("changed 1 values on m\n"), std::string::npos) << undo.out;
}

// N applies give N history entries; restoring to before the first gives back every value the
// pages show, refused while another program's later value would be overwritten, unless forced.
TEST_F(Batch, HistoryListsEachApplyAndRestoreTakesThemBackAsOne) {
    const fs::path m = dir_.path() / "m";
    auto listed = [&] {
        const qvtest::ScriptRun r = runScriptOn(m, {QStringLiteral("--list")});
        std::string lines;
        for (const std::string key : {"txtRegisteredName=", "sldMenuShowDelay=", "txtRegisteredCompany="})
            if (const size_t at = r.out.find("\n" + key); at != std::string::npos)
                lines += r.out.substr(at, r.out.find('\n', at + 1) - at);
        return lines;
    };
    const std::string start = listed();
    const QStringList sets[] = {{QStringLiteral("txtRegisteredName=A")},
                                {QStringLiteral("sldMenuShowDelay=250")},
                                {QStringLiteral("txtRegisteredName=B"), QStringLiteral("txtRegisteredCompany=Org")}};
    for (const QStringList& set : sets) {
        QStringList args;
        for (const QString& s : set)
            args << QStringLiteral("--set") << s;
        ASSERT_EQ(runScriptOn(m, args << QStringLiteral("--apply")).status, 0);
    }
    const qvtest::ScriptRun history = runScriptOn(m, {QStringLiteral("--history"), QStringLiteral("--json")});
    ASSERT_EQ(history.status, 0) << history.err;
    const QJsonArray entries = QJsonDocument::fromJson(QByteArray::fromStdString(history.out)).array();
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[2][QStringLiteral("values")].toInt(), 2);
    const QString first = entries[0][QStringLiteral("id")].toString();

    struct Row {
        const char* what;
        QStringList extra;
        int status;
    } rows[] = {
        {"another program's value stops it", {}, 1},
        {"--force restores over it", {QStringLiteral("--force")}, 0},
    };
    // Another program sets the owner after the last Apply.
    {
        auto other = qv::reg::Machine::openOwn(m);
        qv::reg::cRegistry reg(*other);
        reg.setClassKey(qv::reg::HKEY_LOCAL_MACHINE);
        reg.setSectionKey("Software\\Microsoft\\Windows\\CurrentVersion");
        reg.setValueKey("RegisteredOwner");
        reg.setValueType(qv::reg::REG_SZ);
        reg.setValue(std::string("Other"));
        other->commit();
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const qvtest::ScriptRun restore = runScriptOn(m, QStringList{QStringLiteral("--restore"), first} + r.extra);
        EXPECT_EQ(restore.status, r.status) << restore.out << restore.err;
        if (r.status == 0)
            EXPECT_NE(restore.out.find("changed "), std::string::npos) << restore.out;
        else
            EXPECT_NE(restore.out.find("RegisteredOwner"), std::string::npos) << restore.out;
    }
    EXPECT_EQ(listed(), start);
    // The restore is an Apply of its own in the history, and an unknown ID is refused.
    const qvtest::ScriptRun after = runScriptOn(m, {QStringLiteral("--history"), QStringLiteral("--json")});
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(after.out)).array().size(), 4);
    EXPECT_EQ(runScriptOn(m, {QStringLiteral("--restore"), QStringLiteral("1999-01-01T00-00-00.000Z")}).status, 1);
}

}  // namespace
