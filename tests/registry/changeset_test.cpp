// Change sets of a machine: taking pending changes back exactly, the inverse of a commit, the
// simplified form shown to users, and applying a change set as one transaction.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "registry/changeset.h"
#include "registry/machines/machine.h"
#include "registry/text.h"
#include "test_files.h"

using namespace qv::reg;
namespace fs = std::filesystem;

namespace {

struct TempMachine {
    qvtest::TempDir tmp;
    fs::path dir = tmp.path();
    std::unique_ptr<Machine> m = Machine::openOwn(dir);
    std::string file(const char* name) const { return qvtest::readFile(dir / name); }
};

// Every key and value below a root, in store order: what must come back after an undo.
void dump(Machine& m, int32_t root, const std::string& path, std::string* out) {
    HKey k;
    if (m.openKey(root, path, &k) != ERROR_SUCCESS) return;
    *out += "[" + path + "]\n";
    std::string name, data;
    uint32_t type;
    for (uint32_t i = 0; m.enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        *out += name + "=" + std::to_string(type) + ":" + data + "\n";
    std::vector<std::string> subs;
    for (uint32_t i = 0; m.enumKey(k, i, &name) == ERROR_SUCCESS; ++i) subs.push_back(name);
    for (const auto& s : subs) dump(m, root, path.empty() ? s : path + "\\" + s, out);
}

std::string dumpAll(Machine& m) {
    std::string out;
    dump(m, HKEY_LOCAL_MACHINE, "", &out);
    dump(m, HKEY_CURRENT_USER, "", &out);
    return out;
}

// All keys of a root, to pick random targets from.
void keys(Machine& m, int32_t root, const std::string& path, std::vector<std::string>* out) {
    HKey k;
    if (m.openKey(root, path, &k) != ERROR_SUCCESS) return;
    out->push_back(path);
    std::string name;
    std::vector<std::string> subs;
    for (uint32_t i = 0; m.enumKey(k, i, &name) == ERROR_SUCCESS; ++i) subs.push_back(name);
    for (const auto& s : subs) keys(m, root, path.empty() ? s : path + "\\" + s, out);
}

// A random mix of every kind of change, including moves of whole subtrees.
void randomChanges(Machine& m, std::mt19937& rng, int count) {
    for (int i = 0; i < count; ++i) {
        const int32_t root = rng() % 2 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        std::vector<std::string> all;
        keys(m, root, "", &all);
        const std::string key = all[rng() % all.size()];
        HKey k;
        switch (rng() % 6) {
        case 0:
        case 1: {
            ASSERT_EQ(m.openKey(root, key, &k), ERROR_SUCCESS);
            std::string name = rng() % 4 ? "v" + std::to_string(rng() % 5) : "";
            std::string data(rng() % 9, static_cast<char>('a' + rng() % 26));
            m.setValue(k, name, rng() % 2 ? REG_SZ : REG_BINARY, data);
            break;
        }
        case 2: {
            ASSERT_EQ(m.openKey(root, key, &k), ERROR_SUCCESS);
            std::string name;
            uint32_t type;
            if (m.enumValue(k, 0, &name, &type, nullptr) == ERROR_SUCCESS) m.deleteValue(k, name);
            break;
        }
        case 3:
            m.createKey(root, (key.empty() ? "" : key + "\\") + "New" + std::to_string(rng() % 3) + "\\Deep", &k);
            break;
        case 4:
            if (!key.empty()) m.deleteKey(root, key);
            break;
        case 5:
            if (!key.empty() && key.find("Moved") == std::string::npos) {
                m.copyKey(root, key, root, key + "Moved");
                m.deleteKey(root, key);
            }
            break;
        }
    }
}

}  // namespace

TEST(ChangeSet, RollbackAndInverseRestoreEverything) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempMachine t;
        std::mt19937 rng(seed);
        const std::string start = dumpAll(*t.m);
        const std::string system = t.file("system.reg"), user = t.file("user.reg");

        // Taken back before a commit: the files would be written exactly as they were.
        randomChanges(*t.m, rng, 30);
        t.m->rollbackTo({});
        EXPECT_FALSE(t.m->hasChanges());
        EXPECT_EQ(dumpAll(*t.m), start);
        randomChanges(*t.m, rng, 30);
        const Machine::Mark half = t.m->mark();
        const std::string atHalf = dumpAll(*t.m);
        randomChanges(*t.m, rng, 10);
        t.m->rollbackTo(half);
        EXPECT_EQ(dumpAll(*t.m), atHalf);
        t.m->rollbackTo({});
        t.m->commit();
        EXPECT_EQ(t.file("system.reg"), system);
        EXPECT_EQ(t.file("user.reg"), user);

        // Committed, then the inverse applied and committed: every key and value as at the start,
        // also after reading the files again.
        randomChanges(*t.m, rng, 40);
        const ChangeSet done = t.m->pendingChanges();
        const ChangeSet shown = done.simplified();
        t.m->commit();
        std::string why;
        ASSERT_EQ(t.m->apply(seed % 2 ? done.inverse() : shown.inverse(), &why), ERROR_SUCCESS) << why;
        t.m->commit();
        EXPECT_EQ(dumpAll(*t.m), start);
        auto again = Machine::openOwn(t.dir);
        EXPECT_EQ(dumpAll(*again), start);
    }
}

TEST(ChangeSet, SimplifiedShowsOnlyNetChanges) {
    TempMachine t;
    Machine& m = *t.m;
    HKey k;
    ASSERT_EQ(m.createKey(HKEY_CURRENT_USER, "A", &k), 0);
    m.setValue(k, "same", REG_SZ, "x");
    m.setValue(k, "same", REG_SZ, "y");
    m.deleteValue(k, "same");  // created and removed again: no change
    m.setValue(k, "kept", REG_DWORD, std::string("\1\0\0\0", 4));
    m.setValue(k, "kept", REG_DWORD, std::string("\2\0\0\0", 4));
    ASSERT_EQ(m.createKey(HKEY_CURRENT_USER, "Temp\\Sub", &k), 0);
    m.setValue(k, "t", REG_SZ, "z");
    ASSERT_EQ(m.deleteKey(HKEY_CURRENT_USER, "Temp"), 0);

    const ChangeSet s = m.pendingChanges().simplified();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s.ops[0].kind, ChangeOp::Kind::CreateKey);
    EXPECT_EQ(s.ops[0].key, u"A");
    EXPECT_EQ(s.ops[1].kind, ChangeOp::Kind::SetValue);
    EXPECT_EQ(s.ops[1].name, u"kept");
    EXPECT_EQ(s.ops[1].data, std::string("\2\0\0\0", 4));
    EXPECT_FALSE(s.ops[1].oldValue.has_value());

    // A value set and then removed with its key stays in order before the deletion.
    ASSERT_EQ(m.createKey(HKEY_LOCAL_MACHINE, "Software", &k), 0);
    m.setValue(k, "x", REG_SZ, "1");
    ASSERT_EQ(m.deleteKey(HKEY_LOCAL_MACHINE, "Software"), 0);
    std::vector<ChangeOp> machineOps;
    for (const ChangeOp& o : m.pendingChanges().simplified().ops)
        if (o.root == HKEY_LOCAL_MACHINE) machineOps.push_back(o);
    ASSERT_EQ(machineOps.size(), 2u);
    EXPECT_EQ(machineOps[0].kind, ChangeOp::Kind::SetValue);
    EXPECT_EQ(machineOps[1].kind, ChangeOp::Kind::DeleteKey);
    EXPECT_GT(machineOps[1].oldTree.size(), 1u);
}

TEST(ChangeSet, ApplyIsOneTransaction) {
    TempMachine t;
    const std::string start = dumpAll(*t.m);
    auto op = [](ChangeOp::Kind kind, int32_t root, std::u16string key, std::u16string name = {}) {
        ChangeOp o;
        o.kind = kind;
        o.root = root;
        o.key = std::move(key);
        o.name = std::move(name);
        o.type = REG_SZ;
        o.data = "x";
        return o;
    };
    struct Case {
        const char* what;
        ChangeOp bad;
        const char* message;
    } cases[] = {
        {"a root this machine lacks", op(ChangeOp::Kind::SetValue, HKEY_USERS, u".Default\\X", u"v"),
         "HKEY_USERS\\.Default\\X: this machine has no HKEY_USERS"},
        {"deleting a root", op(ChangeOp::Kind::DeleteKey, HKEY_CURRENT_USER, u""), "HKEY_CURRENT_USER: "},
        {"a name too long", op(ChangeOp::Kind::CreateKey, HKEY_CURRENT_USER, std::u16string(300, u'k')), "HKEY_CURRENT_USER\\kkk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChangeSet cs;
        cs.ops.push_back(op(ChangeOp::Kind::SetValue, HKEY_CLASSES_ROOT, u".new\\ShellNew", u"NullFile"));
        cs.ops.push_back(op(ChangeOp::Kind::DeleteKey, HKEY_CURRENT_USER, u"Control Panel"));
        cs.ops.push_back(c.bad);
        std::string why;
        EXPECT_NE(t.m->apply(cs, &why), ERROR_SUCCESS);
        EXPECT_EQ(why.rfind(c.message, 0), 0u) << why;
        EXPECT_FALSE(t.m->hasChanges());
        EXPECT_EQ(dumpAll(*t.m), start);
    }
    // Without the bad step it lands, HKEY_CLASSES_ROOT under HKLM\Software\Classes; deleting what
    // is not there is no error.
    ChangeSet ok;
    ok.ops.push_back(op(ChangeOp::Kind::SetValue, HKEY_CLASSES_ROOT, u".new\\ShellNew", u"NullFile"));
    ok.ops.push_back(op(ChangeOp::Kind::DeleteKey, HKEY_CURRENT_USER, u"No\\Such\\Key"));
    ok.ops.push_back(op(ChangeOp::Kind::DeleteValue, HKEY_CURRENT_USER, u"Control Panel", u"nothing"));
    std::string why;
    ASSERT_EQ(t.m->apply(ok, &why), ERROR_SUCCESS) << why;
    HKey k;
    EXPECT_EQ(t.m->openKey(HKEY_LOCAL_MACHINE, "Software\\Classes\\.new\\ShellNew", &k), ERROR_SUCCESS);
}
