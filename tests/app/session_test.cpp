// A session with no window at all: load, change, review, apply, undo, import, and two machines
// edited side by side. What it has to say comes back as notices, never as a dialog.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "app/session/backups.h"
#include "app/session/session.h"
#include "app_support.h"
#include "registry/machines/machine.h"
#include "registry/text.h"

namespace {

namespace fs = std::filesystem;
namespace reg = qv::reg;
using qv::Notice;
using qv::Outcome;
using qv::Session;

constexpr const char* kKey = "Software\\QuorvelSessionTest";

std::string sz(const std::string& text) { return reg::utf16ToBytes(reg::utf8ToUtf16(text) + u'\0'); }

void setOn(reg::Machine& m, const std::string& key, const std::string& name, const std::string& text) {
    reg::HKey k;
    ASSERT_EQ(m.createKey(reg::HKEY_CURRENT_USER, key, &k), 0);
    ASSERT_EQ(m.setValue(k, name, reg::REG_SZ, sz(text)), 0);
    m.closeKey(k);
}

// What the files on disk hold, read by a machine of its own ("" when the value is missing).
std::string onDisk(const fs::path& folder, const std::string& key, const std::string& name) {
    auto m = reg::Machine::openOwn(folder);
    reg::HKey k;
    if (m->openKey(reg::HKEY_CURRENT_USER, key, &k) != 0)
        return {};
    uint32_t type = 0;
    std::string data;
    const int32_t status = m->queryValue(k, name, &type, &data);
    m->closeKey(k);
    if (status != 0)
        return {};
    std::u16string text = reg::bytesToUtf16(data);
    return reg::utf16ToUtf8(text.substr(0, text.find(u'\0')));
}

QString said(const Outcome& o) {
    QStringList all;
    for (const Notice& n : o.notices)
        all << n.text;
    return all.join(QLatin1Char('|'));
}

class SessionAlone : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
        folder_ = dir_.path() / "machine";
    }
    void TearDown() override { ::unsetenv("XDG_STATE_HOME"); }
    std::unique_ptr<Session> open(const fs::path& folder) {
        auto s = std::make_unique<Session>(reg::Machine::openOwn(folder));
        EXPECT_TRUE(s->load().ok);
        return s;
    }
    qvtest::TempDir dir_;
    fs::path folder_;
};

TEST_F(SessionAlone, LoadChangeReviewApplyUndo) {
    auto s = open(folder_);
    setOn(s->machine(), kKey, "Owner", "Alice");
    ASSERT_TRUE(s->apply().ok);
    ASSERT_EQ(onDisk(folder_, kKey, "Owner"), "Alice");

    setOn(s->machine(), kKey, "Owner", "Bob");
    // The review names the one value with its old and new data, and writes nothing.
    const reg::ChangeSet review = s->pendingChanges();
    ASSERT_EQ(review.size(), 1u);
    EXPECT_EQ(review.ops[0].kind, reg::ChangeOp::Kind::SetValue);
    ASSERT_TRUE(review.ops[0].oldValue.has_value());
    EXPECT_EQ(review.ops[0].oldValue->data, sz("Alice"));
    EXPECT_EQ(onDisk(folder_, kKey, "Owner"), "Alice");

    const Outcome applied = s->apply();
    ASSERT_TRUE(applied.ok) << said(applied).toStdString();
    EXPECT_TRUE(applied.notices.empty());
    EXPECT_EQ(onDisk(folder_, kKey, "Owner"), "Bob");
    EXPECT_FALSE(s->hasEdits());

    const std::optional<reg::ChangeSet> preview = s->undoPreview();
    ASSERT_TRUE(preview && preview->size() == 1u);
    const Outcome undone = s->undoLastApply();
    ASSERT_TRUE(undone.ok) << said(undone).toStdString();
    EXPECT_FALSE(undone.status.isEmpty());
    EXPECT_EQ(onDisk(folder_, kKey, "Owner"), "Alice");
    // Nothing is left to undo but the first Apply, which made the key.
    ASSERT_TRUE(s->undoLastApply().ok);
    EXPECT_EQ(onDisk(folder_, kKey, "Owner"), "");
    const Outcome none = s->undoLastApply();
    EXPECT_FALSE(none.ok);
    ASSERT_EQ(none.notices.size(), 1u);
    EXPECT_EQ(none.notices[0].tone, Notice::Tone::Info);
}

// With nobody to ask, a session decides as a script does, and says so in its notices.
TEST_F(SessionAlone, DecidesFromItsOptionsAndTellsWhy) {
    struct Row {
        const char* what;
        bool force;
        bool applied;
        const char* told;
    } rows[] = {
        {"whole branch without --force", false, false, "Add --force"},
        {"whole branch with --force", true, true, "Deleted: "},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const fs::path folder = dir_.path() / (r.force ? "forced" : "refused");
        auto s = open(folder);
        for (int i = 0; i < 400; ++i)
            setOn(s->machine(), kKey, "v" + std::to_string(i), "x");
        ASSERT_TRUE(s->apply().ok);
        ASSERT_EQ(s->machine().deleteKey(reg::HKEY_CURRENT_USER, kKey), 0);
        s->committer().setForce(r.force);
        const int failuresBefore = s->committer().failures();
        const Outcome o = s->apply();
        EXPECT_EQ(o.ok, r.applied);
        EXPECT_TRUE(said(o).contains(QString::fromLatin1(r.told))) << said(o).toStdString();
        EXPECT_EQ(onDisk(folder, kKey, "v7"), r.applied ? "" : "x");
        EXPECT_EQ(s->committer().failures(), failuresBefore + (r.applied ? 0 : 1));
        // A refused Apply keeps the change pending for the next try; a made one leaves nothing.
        EXPECT_EQ(s->machine().hasChanges(), !r.applied);
    }
}

// A .reg file imported into one session and applied leaves the other machine as it was; each
// session keeps its own way back.
TEST_F(SessionAlone, TwoMachinesSideBySide) {
    auto a = open(dir_.path() / "a");
    auto b = open(dir_.path() / "b");
    const fs::path file = dir_.path() / "in.reg";
    std::ofstream(file) << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\QuorvelSessionTest]\n\"Owner\"=\"Carol\"\n";
    const Outcome imported = a->importFile(file);
    ASSERT_TRUE(imported.ok) << said(imported).toStdString();
    // No page shows the value: the session counts it among the others.
    EXPECT_TRUE(said(imported).contains(QStringLiteral("0 page value(s), 1 other value(s)"))) << said(imported).toStdString();
    EXPECT_TRUE(a->machine().hasChanges());
    EXPECT_FALSE(b->machine().hasChanges());

    setOn(b->machine(), kKey, "Owner", "Dan");
    ASSERT_TRUE(a->apply().ok);
    ASSERT_TRUE(b->apply().ok);
    EXPECT_EQ(onDisk(dir_.path() / "a", kKey, "Owner"), "Carol");
    EXPECT_EQ(onDisk(dir_.path() / "b", kKey, "Owner"), "Dan");
    ASSERT_TRUE(a->undoLastApply().ok);
    EXPECT_EQ(onDisk(dir_.path() / "a", kKey, "Owner"), "");
    EXPECT_EQ(onDisk(dir_.path() / "b", kKey, "Owner"), "Dan");

    const Outcome missing = a->importFile(dir_.path() / "missing.reg");
    EXPECT_FALSE(missing.ok);
    ASSERT_EQ(missing.notices.size(), 1u);
    EXPECT_EQ(missing.notices[0].tone, Notice::Tone::Error);
}

// Another program's write is news to the session; its own commit is not.
TEST_F(SessionAlone, TellsOtherProgramsWritesFromItsOwn) {
    auto s = open(folder_);
    setOn(s->machine(), kKey, "Owner", "Eve");
    ASSERT_TRUE(s->apply().ok);
    Outcome loaded;
    EXPECT_EQ(s->lookAtFiles(&loaded), Session::DiskNews::None);
    {
        auto other = reg::Machine::openOwn(folder_);
        setOn(*other, kKey, "Owner", "Frank");
        other->commit();
    }
    EXPECT_EQ(s->lookAtFiles(&loaded), Session::DiskNews::Reloaded);
    setOn(s->machine(), kKey, "Owner", "Grace");
    {
        auto other = reg::Machine::openOwn(folder_);
        setOn(*other, kKey, "Other", "x");
        other->commit();
    }
    EXPECT_EQ(s->lookAtFiles(&loaded), Session::DiskNews::Edited);
    ASSERT_TRUE(s->apply().ok);
    EXPECT_EQ(onDisk(folder_, kKey, "Owner"), "Grace");
    EXPECT_EQ(onDisk(folder_, kKey, "Other"), "x");
}

}  // namespace
