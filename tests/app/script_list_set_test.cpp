// Scripting mode: every line --list prints is accepted by --set as it stands, whatever the
// control's name or value holds (backslashes, brackets, "=").
#include <sstream>

#include "app/script.h"
#include "app_support.h"
#include "registry/fake_registry.h"

using namespace qvtest;
namespace reg = qv::reg;

namespace {

class ListThenSet : public ::testing::Test {
protected:
    fs::path folder() const { return dir_.path() / "machine"; }
    using Run = ScriptRun;
    Run run(QStringList args) { return runScriptOn(folder(), std::move(args)); }
    // The listed line of a control, without its line break.
    static std::string line(const std::string& listing, const std::string& name) {
        std::istringstream in(listing);
        for (std::string l; std::getline(in, l);)
            if (l.rfind(name + "=", 0) == 0)
                return l;
        return {};
    }
    TempDir dir_;
};

}  // namespace

TEST_F(ListThenSet, EveryListedLineSetsItsControlAsItIs) {
    {
        auto m = reg::Machine::openOwn(folder());
        auto put = [&](int32_t root, const std::string& key, const char* name, const std::string& text) {
            reg::HKey k = nullptr;
            ASSERT_EQ(m->createKey(root, key, &k), 0);
            ASSERT_EQ(m->setValue(k, name, reg::REG_SZ, reg::test::sz(text)), 0);
            m->closeKey(k);
        };
        // 'New' menu keys whose names hold brackets and "]=".
        put(reg::HKEY_CLASSES_ROOT, ".q[1]\\ShellNew", "NullFile", "");
        put(reg::HKEY_CLASSES_ROOT, ".q]=x[\\ShellNew-", "NullFile", "");
        put(reg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Setup", "SourcePath",
            "\\\\server\\share\\n");
        m->commit();
    }
    const Run listed = run({QStringLiteral("--list")});
    ASSERT_EQ(listed.status, 0) << listed.err;
    struct Case {
        std::string name;
        std::string listedLine;  // what --list must print
        std::string changed;     // a --set of another value, to see the listed one restore it
    };
    const std::vector<Case> cases = {
        {"lvNewMenu[.q[1]\\ShellNew]", "lvNewMenu[.q[1]\\ShellNew]=1", "lvNewMenu[.q[1]\\ShellNew]=0"},
        {"lvNewMenu[.q]=x[\\ShellNew-]", "lvNewMenu[.q]=x[\\ShellNew-]=0", "lvNewMenu[.q]=x[\\ShellNew-]=1"},
        {"txtCabFilePath", "txtCabFilePath=\\\\server\\share\\n", "txtCabFilePath=C:\\other"},
    };
    for (const Case& c : cases) {
        const std::string l = line(listed.out, c.name);
        EXPECT_EQ(l, c.listedLine);
        // Changed, then set back by the listed line itself: the listing shows it as before.
        const Run back = run({QStringLiteral("--set"), QString::fromStdString(c.changed), QStringLiteral("--set"),
                              QString::fromStdString(l), QStringLiteral("--list")});
        ASSERT_EQ(back.status, 0) << c.name << ": " << back.err;
        EXPECT_EQ(line(back.out, c.name), c.listedLine);
        const Run changed = run({QStringLiteral("--set"), QString::fromStdString(c.changed), QStringLiteral("--list")});
        ASSERT_EQ(changed.status, 0) << c.name << ": " << changed.err;
        EXPECT_NE(line(changed.out, c.name), c.listedLine) << c.name;
    }
}
