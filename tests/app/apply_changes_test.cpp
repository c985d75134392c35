// Apply writes only what the user changed, can show it first and take it back after, and
// carries the pages' settings to another machine as a .reg profile.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/changes.h"
#include "app/session/backups.h"
#include "app/controls.h"
#include "app_support.h"
#include "registry/changeset.h"

using namespace qvtest;
namespace reg = qv::reg;
namespace ctl = qv::ctl;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool holdsSetting(const ctl::Control& c) {
    static const QStringList kinds = {"checkbox", "option", "textbox", "slider", "scrollbar", "listitem"};
    return c.page > 0 && kinds.contains(c.kind);
}

// Another value the control can take, as --set spells it.
QString otherValue(const ctl::Control& c) {
    const QString v = ctl::valueOf(c);
    if (c.kind == "checkbox" || c.kind == "listitem") return v == "1" ? "0" : "1";
    if (c.kind == "option") return "1";
    if (c.kind == "textbox") return v + "x";
    return QString::number(v.toInt() + 1);
}

class ApplyChanges : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        state_ = dir_.path() / "state";
        ::setenv("XDG_STATE_HOME", state_.c_str(), 1);
        qv::tk::setInteractive(false);  // no dialog may wait for a user here
    }
    void TearDown() override {
        qv::tk::setInteractive(true);
        ::unsetenv("XDG_STATE_HOME");
        WindowTest::TearDown();
    }
    std::string files() {
        return slurp(machine().folder() / "system.reg") + slurp(machine().folder() / "user.reg");
    }
    void set(const QString& name, const QString& value) {
        ctl::setControl(form(), ctl::findControl(form(), name), value);
    }
    fs::path state_;
};

}  // namespace

TEST_F(ApplyChanges, NothingChangedWritesNothing) {
    const std::string before = files();
    form().cmdApply_Click();
    ASSERT_FALSE(boxes_.asked.empty());
    EXPECT_EQ(boxes_.asked.back().text, "There are no changes to apply.");
    EXPECT_TRUE(form().SaveSettings());  // OK's path: silent
    EXPECT_EQ(files(), before);
    EXPECT_FALSE(qv::latestBackup(machine()).has_value());
}

TEST_F(ApplyChanges, ControlChangedAndBackIsNoChange) {
    const std::string before = files();
    int tried = 0;
    for (const ctl::Control& c : ctl::listControls(form())) {
        if (!holdsSetting(c) || c.kind == "option") continue;
        const QString original = ctl::valueOf(c);
        try {
            ctl::setControl(form(), c, otherValue(c));
        } catch (const ctl::UsageError&) {
            continue;  // disabled or hidden as the page stands
        }
        ++tried;
        EXPECT_TRUE(form().changedPages().count(c.page)) << c.name.toStdString();
        ctl::setControl(form(), ctl::findControl(form(), c.name), original);
        EXPECT_TRUE(form().changedPages().empty()) << c.name.toStdString();
    }
    EXPECT_GT(tried, 20);
    EXPECT_TRUE(form().session().pendingChanges().empty());
    EXPECT_TRUE(form().SaveSettings());
    EXPECT_EQ(files(), before);
}

TEST_F(ApplyChanges, OnlyTheChangedPageIsWrittenAndUndoRestoresIt) {
    const std::string before = files();
    const QString owner = ctl::valueOf(ctl::findControl(form(), "txtRegisteredName"));
    const reg::RegVariant stored =
        readFromDisk(reg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "RegisteredOwner");
    set("txtRegisteredName", "Ada");
    const reg::ChangeSet shown = form().session().pendingChanges();
    ASSERT_FALSE(shown.empty());
    for (const reg::ChangeOp& op : shown.ops)
        EXPECT_NE(op.key.find(u"CurrentVersion"), std::u16string::npos) << std::string(op.key.begin(), op.key.end());
    // Showing changed nothing: the same list again, nothing pending in the store.
    EXPECT_EQ(form().session().pendingChanges(), shown);
    EXPECT_FALSE(machine().hasChanges());

    ASSERT_TRUE(form().SaveSettings());
    EXPECT_NE(files(), before);
    EXPECT_TRUE(form().changedPages().empty());
    ASSERT_TRUE(qv::latestBackup(machine()).has_value());

    ASSERT_TRUE(form().undoLastApply());
    EXPECT_EQ(ctl::valueOf(ctl::findControl(form(), "txtRegisteredName")), owner);
    EXPECT_EQ(readFromDisk(reg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "RegisteredOwner"),
              stored);
    EXPECT_FALSE(qv::latestBackup(machine()).has_value());
}

TEST_F(ApplyChanges, UndoRefusesAfterAnOutsideChange) {
    set("txtRegisteredName", "Ada");
    ASSERT_TRUE(form().SaveSettings());
    {
        auto other = reg::Machine::openOwn(machine().folder());
        QString error;
        const auto applied = qv::readChangeFile(qv::latestBackup(*other)->applied, &error);
        ASSERT_TRUE(applied.has_value()) << error.toStdString();
        for (const reg::ChangeOp& op : applied->ops) {
            if (op.kind != reg::ChangeOp::Kind::SetValue) continue;
            reg::HKey k;
            ASSERT_EQ(other->createKey(op.root, std::string(op.key.begin(), op.key.end()), &k), 0);
            ASSERT_EQ(other->setValue(k, std::string(op.name.begin(), op.name.end()), reg::REG_SZ,
                                      std::string("B\0o\0b\0\0\0", 8)), 0);
        }
        other->commit();
    }
    const std::string changed = files();
    boxes_.asked.clear();
    EXPECT_FALSE(form().undoLastApply());
    ASSERT_FALSE(boxes_.asked.empty());
    EXPECT_TRUE(boxes_.asked.back().text.contains("changed since")) << boxes_.asked.back().text.toStdString();
    EXPECT_EQ(files(), changed);
    EXPECT_TRUE(form().undoLastApply(/*force=*/true));
    EXPECT_NE(files(), changed);
}

TEST(ChangeRows, ShowOldAndNewDataAndMarkMovesAndDeletions) {
    auto op = [](reg::ChangeOp::Kind kind, std::u16string key, std::u16string name = {}, std::string data = {}) {
        reg::ChangeOp o;
        o.kind = kind;
        o.root = reg::HKEY_LOCAL_MACHINE;
        o.key = std::move(key);
        o.name = std::move(name);
        o.type = reg::REG_SZ;
        o.data = std::move(data);
        o.oldKnown = true;
        return o;
    };
    reg::ChangeSet cs;
    cs.ops.push_back(op(reg::ChangeOp::Kind::CreateKey, u".t\\ShellNew-"));
    cs.ops.push_back(op(reg::ChangeOp::Kind::SetValue, u".t\\ShellNew-", u"NullFile", std::string("\0\0", 2)));
    reg::ChangeOp gone = op(reg::ChangeOp::Kind::DeleteKey, u".t\\ShellNew");
    gone.oldTree.push_back({u"", {{u"NullFile", reg::REG_SZ, std::string("\0\0", 2)}}});
    cs.ops.push_back(gone);
    reg::ChangeOp other = op(reg::ChangeOp::Kind::DeleteKey, u"Old");
    other.oldTree.push_back({u"", {{u"x", reg::REG_SZ, std::string("\0\0", 2)}}});
    cs.ops.push_back(other);
    reg::ChangeOp del = op(reg::ChangeOp::Kind::DeleteValue, u"K", u"v");
    del.oldValue = reg::StoredValue{u"v", reg::REG_DWORD, std::string("\x2a\0\0\0", 4)};
    cs.ops.push_back(del);

    const std::vector<qv::ChangeRow> rows = qv::changeRows(cs);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].newData, "(moved here from .t\\ShellNew)");
    EXPECT_EQ(rows[1].oldData, "(not set)");
    EXPECT_EQ(rows[1].newData, "\"\"");
    EXPECT_EQ(rows[2].newData, "(moved to .t\\ShellNew-)");
    EXPECT_EQ(rows[3].newData, "(key deleted)");  // nothing of it came back elsewhere
    EXPECT_EQ(rows[4].oldData, "dword:0000002a");
    EXPECT_EQ(rows[4].newData, "(deleted)");
}
