// The 'New' menu page end to end in scripting mode: switch types with --set lvNewMenu[KEY]=0/1 and
// --apply, then read the machine's files afresh and compare types and bytes.
#include <fstream>
#include <functional>
#include <sstream>
#include <string_view>

#include "app/script.h"
#include "app_support.h"
#include "new_menu_support.h"
#include "registry/fake_registry.h"

using namespace qvtest;
using namespace std::string_view_literals;
namespace reg = qv::reg;
using reg::HKEY_CLASSES_ROOT;
using reg::test::sz;

namespace {

class NewMenuScript : public ::testing::Test {
protected:
    fs::path folder() const { return dir_.path() / "machine"; }

    using Run = ScriptRun;
    Run run(QStringList args) { return runScriptOn(folder(), std::move(args)); }

    // Writes raw values into the machine's files before the program runs.
    void seed(const std::function<void(reg::RegistryApi&)>& fill) {
        auto m = reg::Machine::openOwn(folder());
        fill(*m);
        m->commit();
    }
    static void put(reg::RegistryApi& api, const std::string& key, const std::string& name, uint32_t type,
                    const std::string& data) {
        reg::HKey k = nullptr;
        ASSERT_EQ(api.createKey(HKEY_CLASSES_ROOT, key, &k), reg::ERROR_SUCCESS);
        ASSERT_EQ(api.setValue(k, name, type, data), reg::ERROR_SUCCESS);
        api.closeKey(k);
    }
    static void make(reg::RegistryApi& api, const std::string& key) {
        reg::HKey k = nullptr;
        ASSERT_EQ(api.createKey(HKEY_CLASSES_ROOT, key, &k), reg::ERROR_SUCCESS);
        api.closeKey(k);
    }

    Subtree onDisk(const std::string& key) {
        auto m = reg::Machine::openOwn(folder());
        return subtree(*m, HKEY_CLASSES_ROOT, key);
    }
    bool existsOnDisk(const std::string& key) { return !onDisk(key).empty(); }
    std::string file(const char* name) {
        std::ifstream in(folder() / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TempDir dir_;
};

}  // namespace

TEST_F(NewMenuScript, SwitchingOffAndOnKeepsEveryLevelTypeAndByte) {
    seed([](reg::RegistryApi& api) {
        put(api, ".qvx", "", reg::REG_SZ, sz("Qvx.Document"));
        put(api, "Qvx.Document", "", reg::REG_SZ, sz("Qvx Document"));
        const std::string k = ".qvx\\ShellNew";
        put(api, k, "FileName", reg::REG_EXPAND_SZ, sz("%windir%\\ShellNew\\qvx.tpl"));
        put(api, k, "Multi", reg::REG_MULTI_SZ, sz("one\0two\0"sv));
        put(api, k, "Data", reg::REG_BINARY, std::string("\x00\x01\xfe\xff", 4));
        put(api, k, "Flags", reg::REG_DWORD, std::string("\x01\x00\x00\x80", 4));
        put(api, k + "\\Extra", "Level", reg::REG_SZ, sz("one"));
        put(api, k + "\\Extra\\Deeper", "Level", reg::REG_SZ, sz("two"));
        make(api, k + "\\Empty");
    });
    const Subtree before = onDisk(".qvx\\ShellNew");
    ASSERT_EQ(before.size(), 4u);

    Run r = run({"--set", "lvNewMenu[.qvx\\ShellNew]=0", "--apply", "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("lvNewMenu[.qvx\\ShellNew-]=0\n"), std::string::npos) << r.out;
    EXPECT_EQ(onDisk(".qvx\\ShellNew-"), before);
    EXPECT_FALSE(existsOnDisk(".qvx\\ShellNew"));
    // Wine's own forms: the expandable string stays unexpanded, the multi-string is kept.
    const std::string system = file("system.reg");
    EXPECT_NE(system.find("[Software\\\\Classes\\\\.qvx\\\\ShellNew-\\\\Empty]"), std::string::npos);
    EXPECT_NE(system.find("\"FileName\"=str(2):\"%windir%\\\\ShellNew\\\\qvx.tpl\""), std::string::npos);
    EXPECT_NE(system.find("\"Multi\"=str(7):\"one\\0two\\0\""), std::string::npos);

    r = run({"--set", "lvNewMenu[.qvx\\ShellNew-]=1", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(onDisk(".qvx\\ShellNew"), before);
    EXPECT_FALSE(existsOnDisk(".qvx\\ShellNew-"));
}

TEST_F(NewMenuScript, AnEmptyTemplateKeySurvivesAndApplyingAgainWritesNothing) {
    seed([](reg::RegistryApi& api) {
        put(api, ".emp", "", reg::REG_SZ, sz("empfile"));
        make(api, ".emp\\ShellNew");
    });
    Run r = run({"--set", "lvNewMenu[.emp\\ShellNew]=0", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(existsOnDisk(".emp\\ShellNew-"));
    EXPECT_FALSE(existsOnDisk(".emp\\ShellNew"));

    const std::string system = file("system.reg"), user = file("user.reg");
    r = run({"--apply", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file("system.reg"), system);
    EXPECT_EQ(file("user.reg"), user);
}
