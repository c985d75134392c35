// Settings profiles travel: exported on one machine and applied on another, they leave what the
// pages showed there (the 'New' menu's switches and the own overlay's icon file included), and can
// hold only what differs from Windows' defaults.
#include <cstdlib>
#include <fstream>

#include "app/session/profile.h"
#include "app_support.h"
#include "registry/text.h"

using namespace qvtest;
namespace reg = qv::reg;

namespace {

class Profiles : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1); }
    void TearDown() override { ::unsetenv("XDG_STATE_HOME"); }
    fs::path machine(const char* name) const { return dir_.path() / name; }
    QString profile() const { return QString::fromStdString((dir_.path() / "p.reg").string()); }
    static bool hasKey(const fs::path& folder, const char* key) {
        auto m = reg::Machine::openOwn(folder);
        reg::HKey k;
        return m->openKey(reg::HKEY_CLASSES_ROOT, key, &k) == reg::ERROR_SUCCESS;
    }
    TempDir dir_;
};

}  // namespace

TEST_F(Profiles, NewMenuSwitchesAndTheOwnOverlayTravelToAnotherMachine) {
    ScriptRun r = runScriptOn(machine("a"), {"--set", "lvNewMenu[.txt\\ShellNew]=0", "--set", "optShortcutIcon(1)=1",
                                             "--apply", "--export", profile()});
    ASSERT_EQ(r.status, 0) << r.err;
    r = runScriptOn(machine("b"), {"--import", profile(), "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(hasKey(machine("b"), ".txt\\ShellNew-"));
    EXPECT_FALSE(hasKey(machine("b"), ".txt\\ShellNew"));
    EXPECT_TRUE(fs::exists(machine("b") / "drive_c" / "WINDOWS" / "Quorvel" / "LightArrow.ico"));
    r = runScriptOn(machine("b"), {"--list"});
    EXPECT_NE(r.out.find("lvNewMenu[.txt\\ShellNew-]=0"), std::string::npos) << r.out;
}

TEST_F(Profiles, OnlyChangedHoldsWhatDiffersFromWindowsDefaults) {
    struct Case {
        QStringList edits;
        bool hasOwner;
    } cases[] = {{{}, false}, {{"--set", "txtRegisteredName=Ada"}, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hasOwner ? "owner changed" : "nothing changed");
        TempDir fresh;
        QStringList args = c.edits;
        if (!c.edits.isEmpty()) args << "--apply";
        args << "--export" << profile() << "--only-changed";
        const ScriptRun r = runScriptOn(fresh.path() / "m", args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string text = reg::utf16ToUtf8(reg::bytesToUtf16(fileBytes(dir_.path() / "p.reg")));
        EXPECT_EQ(text.find("RegisteredOwner") != std::string::npos, c.hasOwner) << text;
        EXPECT_EQ(text.find("ShellNew"), std::string::npos) << text;
    }
}

TEST(ProfilePaths, ExpandableStringsUnderTheWindowsFolderUseSystemRoot) {
    struct Case {
        uint32_t type;
        std::u16string in, out;
    } cases[] = {
        {reg::REG_EXPAND_SZ, u"c:\\windows\\system32\\x.dll,3", u"%SystemRoot%\\system32\\x.dll,3"},
        {reg::REG_EXPAND_SZ, u"C:\\WINDOWS", u"%SystemRoot%"},
        {reg::REG_EXPAND_SZ, u"C:\\WINDOWSOLD\\x", u"C:\\WINDOWSOLD\\x"},
        {reg::REG_SZ, u"C:\\WINDOWS\\x", u"C:\\WINDOWS\\x"},
    };
    for (const Case& c : cases) {
        reg::ChangeSet cs;
        reg::ChangeOp op;
        op.kind = reg::ChangeOp::Kind::SetValue;
        op.type = c.type;
        op.data = reg::utf16ToBytes(c.in + u'\0');
        cs.ops.push_back(op);
        qv::portablePaths(&cs, "C:\\WINDOWS");
        EXPECT_EQ(reg::bytesToUtf16(cs.ops[0].data), c.out + u'\0') << reg::utf16ToUtf8(c.in);
    }
}

// A whole-registry export names the user's keys under HKEY_USERS: they are the machine's
// HKEY_CURRENT_USER; the default profile's are not part of a machine and are refused by name.
TEST_F(Profiles, UsersBranchImportsAsTheCurrentUser) {
    const auto write = [&](const std::string& text) {
        std::ofstream(dir_.path() / "p.reg", std::ios::binary) << text;
    };
    write("REGEDIT4\n[HKEY_USERS\\S-1-5-21-0-0-0-1000\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"1234\"\n");
    ScriptRun r = runScriptOn(machine("u"), {"--import", profile(), "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = runScriptOn(machine("u"), {"--list"});
    EXPECT_NE(r.out.find("sldMenuShowDelay=1234"), std::string::npos) << r.out;

    write("REGEDIT4\n[HKEY_USERS\\.Default\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"9\"\n");
    r = runScriptOn(machine("u"), {"--import", profile(), "--apply"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("HKEY_USERS\\.Default"), std::string::npos) << r.err;
    r = runScriptOn(machine("u"), {"--list"});
    EXPECT_NE(r.out.find("sldMenuShowDelay=1234"), std::string::npos) << r.out;
}
