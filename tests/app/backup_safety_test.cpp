// The way back from an Apply holds: it records what the commit really replaced, it is private and
// on disk before the commit, an Apply that cannot keep one is not made, a process that dies around
// its commit leaves no false way back, and deleting whole branches needs a yes.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <cstdlib>
#include <fstream>

#include "app/session/backups.h"
#include "app/changes.h"
#include "app/controls.h"
#include "app_support.h"
#include "registry/changeset.h"
#include "registry/text.h"

using namespace qvtest;
namespace reg = qv::reg;
namespace ctl = qv::ctl;

namespace {

const char* const kOwnerKey = "Software\\Microsoft\\Windows\\CurrentVersion";

std::string sz(const std::string& s) { return reg::utf16ToBytes(reg::utf8ToUtf16(s)) + std::string(2, '\0'); }

void setOn(reg::Machine& m, int32_t root, const std::string& key, const std::string& name, const std::string& text) {
    reg::HKey k;
    ASSERT_EQ(m.createKey(root, key, &k), 0);
    ASSERT_EQ(m.setValue(k, name, reg::REG_SZ, sz(text)), 0);
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

// Another program's edit, committed to the files.
void otherProgram(const fs::path& folder, const std::function<void(reg::Machine&)>& edit) {
    auto m = reg::Machine::openOwn(folder);
    edit(*m);
    m->commit();
}

class Backups : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        state_ = dir_.path() / "state";
        ::setenv("XDG_STATE_HOME", state_.c_str(), 1);
        qv::tk::setInteractive(false);
    }
    void TearDown() override {
        qv::tk::setInteractive(true);
        ::unsetenv("XDG_STATE_HOME");
        WindowTest::TearDown();
    }
    void set(const QString& name, const QString& value) { ctl::setControl(form(), ctl::findControl(form(), name), value); }
    std::string owner() { return std::get<std::string>(readFromDisk(reg::HKEY_LOCAL_MACHINE, kOwnerKey, "RegisteredOwner")); }
    fs::path state_;
};

}  // namespace

// Owner Alice (written by another program after the window loaded), then Bob here, then Undo: Alice.
TEST_F(Backups, UndoRestoresWhatTheCommitReplacedNotWhatTheWindowLoaded) {
    form();
    otherProgram(machine().folder(), [](reg::Machine& m) { setOn(m, reg::HKEY_LOCAL_MACHINE, kOwnerKey, "RegisteredOwner", "Alice"); });
    set("txtRegisteredName", "Bob");
    ASSERT_TRUE(form().SaveSettings());
    EXPECT_EQ(owner(), "Bob");
    ASSERT_TRUE(form().undoLastApply());
    EXPECT_EQ(owner(), "Alice");
}

// Undo's preview shows each value's old and new data, and no key that exists as "created".
TEST_F(Backups, UndoPreviewShowsOldAndNewAndCreatesNoExistingKey) {
    set("txtRegisteredName", "Ada");
    ASSERT_TRUE(form().SaveSettings());
    const std::optional<reg::ChangeSet> preview = form().session().undoPreview();
    ASSERT_TRUE(preview.has_value());
    ASSERT_FALSE(preview->empty());
    for (const qv::ChangeRow& row : qv::changeRows(*preview)) {
        EXPECT_NE(row.newData, "(key created)") << row.key.toStdString();
        if (row.value == "RegisteredOwner") {
            EXPECT_EQ(row.oldData, "\"Ada\"");
        }
    }
}

// A key the Apply created holds values another program added since: Undo would delete them, so it
// asks (and names them) as for any setting changed since.
TEST(BackupCheck, ValuesAndSubkeysAddedToACreatedKeyCountAsChangedSince) {
    struct Case {
        const char* what;
        std::function<void(reg::Machine&)> other;
        const char* listed;  // nothing: Undo may go ahead
    } cases[] = {
        {"nothing added", [](reg::Machine&) {}, nullptr},
        {"a value added", [](reg::Machine& m) { setOn(m, reg::HKEY_CURRENT_USER, "Software\\Made", "Theirs", "x"); },
         "HKEY_CURRENT_USER\\Software\\Made\\Theirs (added since)"},
        {"a subkey added", [](reg::Machine& m) { setOn(m, reg::HKEY_CURRENT_USER, "Software\\Made\\Sub", "", "x"); },
         "HKEY_CURRENT_USER\\Software\\Made\\Sub (added since)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        auto m = reg::Machine::openOwn(dir.path() / "m");
        setOn(*m, reg::HKEY_CURRENT_USER, "Software\\Made", "Mine", "1");
        const reg::ChangeSet applied = m->pendingChanges().simplified();
        m->commit();
        otherProgram(m->folder(), c.other);
        m->refresh();
        const QStringList changed = qv::changedSince(*m, applied, applied.inverse());
        if (c.listed)
            EXPECT_TRUE(changed.contains(QString::fromUtf8(c.listed))) << changed.join(", ").toStdString();
        else
            EXPECT_TRUE(changed.isEmpty()) << changed.join(", ").toStdString();
    }
}

// The state folder cannot take a backup: the Apply is not made, the files stay, and it says why.
TEST_F(Backups, AnApplyThatCannotKeepItsBackupIsNotMade) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& backups)> spoil;
        bool needsRoot;
    } cases[] = {
        {"a file where the folder goes",
         [](const fs::path& b) {
             fs::create_directories(b.parent_path().parent_path());
             writeFile(b.parent_path(), "x");
         },
         false},
        {"a link planted as the folder",
         [](const fs::path& b) {
             fs::create_directories(b.parent_path());
             fs::create_directory_symlink("/tmp", b);
         },
         false},
        {"another user's folder",
         [](const fs::path& b) {
             fs::create_directories(b);
             ASSERT_EQ(::chown(b.c_str(), 65534, 65534), 0);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) continue;
        std::error_code ec;
        fs::remove_all(state_, ec);
        const fs::path backups = qv::backupFolder(machine());
        c.spoil(backups);
        const std::string before = fileBytes(machine().folder() / "system.reg");
        set("txtRegisteredName", QString::fromUtf8(c.what));
        boxes_.asked.clear();
        EXPECT_FALSE(form().SaveSettings());
        EXPECT_EQ(fileBytes(machine().folder() / "system.reg"), before);
        ASSERT_FALSE(boxes_.asked.empty());
        EXPECT_TRUE(boxes_.asked.back().text.startsWith("Nothing was applied")) << boxes_.asked.back().text.toStdString();
        EXPECT_FALSE(form().changedPages().empty());  // the edit waits for the next try
        set("txtRegisteredName", QString());
    }
}

// Backups are private, found from any spelling of the machine's folder, and named in UTC.
TEST_F(Backups, BackupsArePrivateAndFoundByTheCanonicalFolder) {
    set("txtRegisteredName", "Ada");
    ASSERT_TRUE(form().SaveSettings());
    const std::optional<qv::Backup> b = qv::latestBackup(machine());
    ASSERT_TRUE(b.has_value());
    struct stat st;
    ASSERT_EQ(::stat(b->undo.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const fs::path& f : {b->undo, b->applied}) {
        ASSERT_EQ(::lstat(f.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
    EXPECT_EQ(b->stem.substr(0, 13),
              QDateTime::currentDateTimeUtc().toString("yyyy-MM-ddTHH").toStdString());
    EXPECT_EQ(b->stem.at(23), 'Z');

    const fs::path folder = machine().folder();
    fs::create_directory_symlink(folder, dir_.path() / "alias");
    for (const fs::path& spelling : {fs::path(folder.string() + "/"), folder / ".." / folder.filename(), dir_.path() / "alias"}) {
        SCOPED_TRACE(spelling.string());
        auto same = reg::Machine::openOwn(spelling);
        const std::optional<qv::Backup> found = qv::latestBackup(*same);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->undo, b->undo);
    }
}

// A process dies at each point around an Apply's or an Undo's commit; the next look finds the
// way back that matches what the files hold.
TEST(BackupMarks, AProcessThatDiesAroundItsCommitLeavesTheRightWayBack) {
    enum Stage { ApplyWritten, ApplyCommitted, UndoStarted, UndoCommitted };
    struct Case {
        Stage stage;
        bool backupOffered;  // latestBackup still offers the Apply
        bool valueThere;
    } cases[] = {
        {ApplyWritten, false, false},
        {ApplyCommitted, true, true},
        {UndoStarted, true, true},
        {UndoCommitted, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        TempDir dir;
        ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
        const fs::path folder = dir.path() / "m";
        reg::Machine::openOwn(folder);
        const pid_t pid = ::fork();
        if (pid == 0) {
            auto m = reg::Machine::openOwn(folder);
            setOn(*m, reg::HKEY_CURRENT_USER, "Software\\Q", "V", "new");
            {
                auto* b = new qv::PendingBackup(*m);  // never destroyed: the process dies with it
                b->write(m->pendingChanges().simplified());
                if (c.stage != ApplyWritten) {
                    m->commit();
                    if (c.stage != ApplyCommitted) b->committed();
                }
                if (c.stage == UndoStarted || c.stage == UndoCommitted) {
                    QString error;
                    const auto undo = qv::readChangeFile(b->backup().undo, &error);
                    new qv::PendingUndo(b->backup());
                    if (c.stage == UndoCommitted && undo) {
                        std::string why;
                        m->apply(*undo, &why);
                        m->commit();
                    }
                }
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        auto m = reg::Machine::openOwn(folder);
        reg::HKey k;
        EXPECT_EQ(m->openKey(reg::HKEY_CURRENT_USER, "Software\\Q", &k) == 0 && m->queryValue(k, "V", nullptr, nullptr) == 0,
                  c.valueThere);
        EXPECT_EQ(qv::latestBackup(*m).has_value(), c.backupOffered);
        for (const auto& e : fs::directory_iterator(qv::backupFolder(*m))) {
            const std::string n = e.path().filename().string();
            EXPECT_EQ(n.find(".pending"), std::string::npos) << n;
            EXPECT_EQ(n.find(".undoing"), std::string::npos) << n;
        }
        ::unsetenv("XDG_STATE_HOME");
    }
}

// An imported profile that deletes a whole hive branch is applied only with --force, which then
// says what went.
TEST(Scripting, DeletingAWholeBranchNeedsForce) {
    TempDir dir;
    ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
    const fs::path folder = dir.path() / "m";
    const fs::path profile = dir.path() / "p.reg";
    writeFile(profile, "REGEDIT4\r\n\r\n[-HKEY_CURRENT_USER\\Software]\r\n");
    const QString p = QString::fromStdString(profile.string());
    const ScriptRun refused = runScriptOn(folder, {"--import", p, "--apply"});
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(refused.out.find("Add --force"), std::string::npos) << refused.out;
    EXPECT_NE(fileBytes(folder / "user.reg").find("[Software"), std::string::npos);

    const ScriptRun forced = runScriptOn(folder, {"--import", p, "--apply", "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(forced.out.find("Deleted: HKEY_CURRENT_USER\\Software:"), std::string::npos) << forced.out;
    EXPECT_EQ(fileBytes(folder / "user.reg").find("[Software"), std::string::npos);
    ::unsetenv("XDG_STATE_HOME");
}

// An import is cut into what the pages own and the rest, which the window asks about apart.
TEST(ImportSplit, ValuesNoPageOwnsAreListedApart) {
    auto op = [](reg::ChangeOp::Kind kind, int32_t root, std::u16string key, std::u16string name = {}) {
        reg::ChangeOp o;
        o.kind = kind;
        o.root = root;
        o.key = std::move(key);
        o.name = std::move(name);
        return o;
    };
    using K = reg::ChangeOp::Kind;
    reg::ChangeSet profile;
    profile.ops = {op(K::SetValue, reg::HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion", u"RegisteredOwner"),
                   op(K::CreateKey, reg::HKEY_LOCAL_MACHINE, u"Software\\Classes\\.txt\\ShellNew")};
    struct Case {
        reg::ChangeOp op;
        bool owned;
    } cases[] = {
        {op(K::SetValue, reg::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"registeredowner"), true},
        {op(K::CreateKey, reg::HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion"), true},
        {op(K::SetValue, reg::HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", u"Evil"), false},
        {op(K::SetValue, reg::HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion", u"ProgramFilesDir"), false},
        {op(K::SetValue, reg::HKEY_CLASSES_ROOT, u".txt\\ShellNew", u"NullFile"), true},
        {op(K::DeleteKey, reg::HKEY_CLASSES_ROOT, u".txt\\ShellNew\\Deeper"), true},
        {op(K::DeleteKey, reg::HKEY_CURRENT_USER, u"Software"), false},
    };
    reg::ChangeSet changes;
    size_t owned = 0, ownedValues = 0, otherValues = 0;
    for (const Case& c : cases) {
        changes.ops.push_back(c.op);
        owned += c.owned;
        if (c.op.kind == K::SetValue) ++(c.owned ? ownedValues : otherValues);
    }
    const qv::OwnedSplit split = qv::splitByOwner(changes, profile);
    EXPECT_EQ(split.pages.size(), owned);
    EXPECT_EQ(split.other.size(), changes.size() - owned);
    EXPECT_EQ(split.pageValues, ownedValues);
    EXPECT_EQ(split.otherValues, otherValues);
    for (const reg::ChangeOp& o : split.other.ops)
        for (const Case& c : cases)
            if (c.op == o) {
                EXPECT_FALSE(c.owned) << reg::utf16ToUtf8(o.key);
            }
}
