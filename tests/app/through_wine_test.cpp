// Going through a running Wine: which Wine is run (only the caller's own, from trusted places),
// for whom (only the owner of the prefix, its server folder and server), how the registry is
// read back (argument words, never a command interpreter), and the old state an undo needs.
#include <gtest/gtest.h>

#include <QStandardPaths>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "app/session/throughwine.h"
#include "app_support.h"
#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/fake_wineserver.h"

using namespace qvtest;
namespace reg = qv::reg;

namespace {

constexpr uid_t kNobody = 65534;

void executable(const fs::path& p, const std::string& text = "#!/bin/sh\n") {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    fs::permissions(p, fs::perms::owner_all);
}

void makePrefix(const fs::path& p) {
    fs::create_directories(p);
    std::ofstream(p / "system.reg") << "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
    std::ofstream(p / "user.reg") << "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21\n\n";
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string sz(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += {char(c & 0xff), char(c >> 8)};
    return out + std::string(2, '\0');
}

// What the stand-in Wine holds: full key names to their values.
using WineState = std::map<std::u16string, std::vector<reg::StoredValue>>;

// A stand-in for `wine` and `wineserver`: records every call, one argument a line and "--" after
// the last, and answers `reg export KEY FILE /y` the way Wine does, with the subtree of KEY in
// `held` (exit 1 when KEY is not there).
class StandInWine {
public:
    StandInWine(const fs::path& dir, const WineState& held) : dir_(dir), log_(dir / "calls") {
        std::ofstream table(dir / "table");
        int n = 0;
        for (const auto& [top, values] : held) {
            reg::RegExportWriter w;
            for (const auto& [key, vals] : held) {
                if (key != top && key.rfind(top + u"\\", 0) != 0) continue;
                w.key(key);
                for (const reg::StoredValue& v : vals) w.value(v.name, v.type, v.data);
            }
            const fs::path file = dir / ("export" + std::to_string(n++));
            std::ofstream(file, std::ios::binary) << w.finish();
            table << QString::fromStdU16String(top).toStdString() << '\t' << file.string() << '\n';
        }
        executable(program(), "#!/bin/sh\n"
                              // One write per call: exports run side by side.
                              "rec=$(for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo --)\n"
                              "printf '%s\\n' \"$rec\" >> '" + log_.string() + "'\n"
                              "[ \"$1\" = reg ] && [ \"$2\" = export ] || exit 0\n"
                              "f=$(printf '%s' \"$4\" | sed -e 's/^[A-Za-z]://' -e 's#\\\\#/#g')\n"
                              "while IFS='\t' read -r k src; do\n"
                              "  if [ \"$k\" = \"$3\" ]; then cat \"$src\" > \"$f\"; exit 0; fi\n"
                              "done < '" + (dir / "table").string() + "'\n"
                              "exit 1\n");
    }
    fs::path program() const { return dir_ / "bin" / "wine"; }
    // Each call's arguments.
    std::vector<std::vector<std::string>> calls() const {
        std::vector<std::vector<std::string>> out(1);
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            if (line == "--") out.emplace_back();
            else out.back().push_back(line);
        }
        out.pop_back();
        return out;
    }

private:
    fs::path dir_, log_;
};

}  // namespace

TEST(ThroughWine, FindsTheWineThatBelongsToThePrefix) {
    enum class Runner { Plain, Proton, ProtonOpenToOthers, ProtonOfAnotherUser };
    const struct {
        const char* name;
        Runner runner;
        bool loader;         // $WINELOADER is set
        const char* wine;    // expected, relative to the temp folder ("" : `wine` on PATH)
        const char* server;  // likewise
    } cases[] = {
        {"plain prefix", Runner::Plain, false, "", ""},
        {"WINELOADER", Runner::Plain, true, "custom/bin/wine", ""},
        {"Proton", Runner::Proton, false, "Proton 8.0/files/bin/wine", "Proton 8.0/files/bin/wineserver"},
        {"WINELOADER before Proton", Runner::Proton, true, "custom/bin/wine", "Proton 8.0/files/bin/wineserver"},
        {"Proton that others may change", Runner::ProtonOpenToOthers, false, "", ""},
        {"Proton of another user", Runner::ProtonOfAnotherUser, false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.runner == Runner::ProtonOfAnotherUser && ::geteuid() != 0) continue;  // chown needs root
        TempDir dir;
        const fs::path root = dir.path();
        fs::path prefix = root / "prefix";
        if (c.runner != Runner::Plain) {
            executable(root / "Proton 8.0/files/bin/wine");
            executable(root / "Proton 8.0/files/bin/wineserver");
            prefix = root / "compatdata/620/pfx";
            fs::create_directories(prefix);
            std::ofstream(root / "compatdata/620/config_info")
                << "8.0-3\n" << (root / "Proton 8.0/files/share/fonts/").string() << "\n";
        }
        if (c.runner == Runner::ProtonOpenToOthers)
            fs::permissions(root / "Proton 8.0/files", fs::perms::others_write, fs::perm_options::add);
        if (c.runner == Runner::ProtonOfAnotherUser) {
            ASSERT_EQ(::chown((root / "Proton 8.0").c_str(), kNobody, kNobody), 0);
        }
        fs::create_directories(prefix);
        if (c.loader) {
            executable(root / "custom/bin/wine");
            ::setenv("WINELOADER", (root / "custom/bin/wine").c_str(), 1);
        } else {
            ::unsetenv("WINELOADER");
        }
        const qv::WinePrograms p = qv::findWinePrograms(prefix, 0);
        ::unsetenv("WINELOADER");
        auto expect = [&](const char* rel, const char* onPath) {
            return *rel ? QString::fromStdString((root / rel).string())
                        : QStandardPaths::findExecutable(QString::fromLatin1(onPath));
        };
        EXPECT_EQ(p.wine, expect(c.wine, "wine"));
        EXPECT_EQ(p.wineserver, expect(c.server, "wineserver"));
    }
}

// The running server's own executable is the last resort, and only when the server is ours and
// its folder trusted: another user's server names a program that user may change.
TEST(ThroughWine, TakesWineBesideTheServerOnlyFromOurOwnTrustedServer) {
    const struct {
        const char* name;
        bool othersServer;  // the server process and its folder belong to another user
        bool openFolder;    // its folder is writable by others
        bool wineOnPath;    // PATH holds a wine (never a wineserver)
        bool beside;        // expected: the server's wineserver, and its wine unless PATH has one
    } cases[] = {
        {"our server, nothing on PATH", false, false, false, true},
        {"our server, wine on PATH", false, false, true, true},
        {"our server in a folder others may change", false, true, false, false},
        {"another user's server", true, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.othersServer && ::geteuid() != 0) continue;  // setuid needs root
        TempDir dir;
        const fs::path prefix = dir.path() / "prefix";
        makePrefix(prefix);
        const fs::path runner = dir.path() / "runner";
        executable(runner / "wine");
        fs::create_directories(dir.path() / "path");
        if (c.wineOnPath) executable(dir.path() / "path" / "wine");
        fs::copy_file("/bin/sleep", runner / "wineserver");
        // The server runs `runner/wineserver`: the other user must reach it.
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fs::permissions(runner, c.openFolder ? fs::perms::all : fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        if (c.othersServer) {
            ASSERT_EQ(::chown(runner.c_str(), kNobody, kNobody), 0);
        }
        FakeWineserver server(prefix, "qv-beside-" + std::to_string(::getpid()), c.othersServer ? kNobody : uid_t(-1),
                              runner / "wineserver");
        ASSERT_GT(server.pid(), 0);
        ASSERT_TRUE(waitUntil([&] { return fs::read_symlink("/proc/" + std::to_string(server.pid()) + "/exe") == runner / "wineserver"; }));

        const ScopedEnv path("PATH", (dir.path() / "path").string());
        ::unsetenv("WINELOADER");
        const qv::WinePrograms p = qv::findWinePrograms(prefix, server.pid());
        const fs::path wine = c.wineOnPath ? dir.path() / "path" / "wine" : c.beside ? runner / "wine" : fs::path();
        EXPECT_EQ(p.wine.toStdString(), wine.string());
        EXPECT_EQ(p.wineserver.toStdString(), c.beside ? (runner / "wineserver").string() : std::string());
    }
}

// Wine runs as the user it serves: for another user's prefix, server folder or server process
// nothing is run, and the refusal says why.
TEST(ThroughWine, RunsWineOnlyForOurOwnPrefixServerFolderAndServer) {
    if (::geteuid() != 0) GTEST_SKIP() << "making files and processes of another user needs root";
    enum class Foreign { Nothing, Prefix, ServerFolder, ServerProcess };
    const struct {
        const char* name;
        Foreign foreign;
        const char* says;
    } cases[] = {
        {"all ours", Foreign::Nothing, nullptr},
        {"another user's prefix", Foreign::Prefix, "The Wine prefix"},
        {"another user's server folder", Foreign::ServerFolder, "The wineserver's folder"},
        {"another user's server", Foreign::ServerProcess, "The wineserver (pid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path prefix = dir.path() / "prefix";
        makePrefix(prefix);
        StandInWine wine(dir.path(), {{u"HKEY_CURRENT_USER", {}}});
        const ScopedEnv loader("WINELOADER", wine.program().string());
        const ScopedEnv serverProgram("WINESERVER", wine.program().string());
        FakeWineserver server(prefix, "qv-owner-" + std::to_string(::getpid()),
                              c.foreign == Foreign::ServerProcess ? kNobody : uid_t(-1));
        ASSERT_GT(server.pid(), 0);
        if (c.foreign == Foreign::Prefix) {
            ASSERT_EQ(::chown(prefix.c_str(), kNobody, kNobody), 0);
        }
        if (c.foreign == Foreign::ServerFolder) {
            ASSERT_EQ(::chown(server.folder().c_str(), kNobody, kNobody), 0);
        }

        auto m = reg::Machine::openWinePrefix(prefix);
        qv::ThroughWine tw(*m);
        reg::ChangeSet cs;
        cs.ops.push_back(reg::setValueOp(reg::HKEY_CURRENT_USER, u"Software\\Q", u"v", reg::REG_SZ, sz(u"1")));
        QString applyError, diffError, heldError, stopError;
        EXPECT_EQ(tw.apply(cs, &applyError), false);
        EXPECT_EQ(tw.differences(cs, &diffError).has_value(), !c.says);
        EXPECT_EQ(tw.asHeld(cs, &heldError).has_value(), !c.says);
        EXPECT_FALSE(tw.stopServer(&stopError));  // ours: the stand-in stops nothing
        if (!c.says) {
            EXPECT_FALSE(wine.calls().empty());
            continue;
        }
        ASSERT_TRUE(tw.refusal().has_value());
        EXPECT_NE(tw.refusal()->indexOf(QLatin1String(c.says)), -1) << tw.refusal()->toStdString();
        EXPECT_NE(tw.refusal()->indexOf(QLatin1String("uid 65534")), -1) << tw.refusal()->toStdString();
        for (const QString& e : {applyError, diffError, heldError, stopError}) EXPECT_EQ(e, *tw.refusal());
        EXPECT_TRUE(wine.calls().empty());
    }
}

// --apply --through-wine on another user's prefix says why it is refused and runs nothing.
TEST(ThroughWine, ScriptedApplyThroughAnotherUsersWineIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "making files of another user needs root";
    TempDir dir;
    const fs::path prefix = dir.path() / "prefix";
    makePrefix(prefix);
    StandInWine wine(dir.path(), {});
    const ScopedEnv loader("WINELOADER", wine.program().string());
    const ScopedEnv state("XDG_STATE_HOME", (dir.path() / "state").string());
    FakeWineserver server(prefix, "qv-script-" + std::to_string(::getpid()));
    ASSERT_GT(server.pid(), 0);
    ASSERT_EQ(::chown(prefix.c_str(), kNobody, kNobody), 0);
    const std::string user = fileBytes(prefix / "user.reg");

    const ScriptRun r = runScript({QStringLiteral("--wine-prefix"), QString::fromStdString(prefix.string()),
                                   QStringLiteral("--set"), QStringLiteral("sldMenuShowDelay=100"),
                                   QStringLiteral("--apply"), QStringLiteral("--through-wine")});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("(uid 65534)"), std::string::npos) << r.out;
    EXPECT_TRUE(wine.calls().empty());
    EXPECT_EQ(fileBytes(prefix / "user.reg"), user);
}

// Key names are registry data: they reach Wine only as single argument words of `reg export`,
// never through cmd or a batch file, and a name with a quote not even as that.
TEST(ThroughWine, KeyNamesNeverReachACommandInterpreter) {
    TempDir dir;
    const fs::path prefix = dir.path() / "prefix";
    makePrefix(prefix);
    const fs::path marker = dir.path() / "pwned";
    const std::u16string hostile = u"Software\\X\" & start /unix /usr/bin/touch " +
                                   QString::fromStdString(marker.string()).toStdU16String() + u" & \"x";
    const std::u16string percent = u"Software\\P%PATH%^&x";
    const std::u16string verb = u"Software\\Classes\\*\\shell\\A\"B";
    // Wine holds what the change set sets, so the read-back finds every key.
    const WineState held = {
        {u"HKEY_CURRENT_USER", {}},
        {u"HKEY_CURRENT_USER\\Software", {}},
        {u"HKEY_CURRENT_USER\\" + hostile, {{u"v", reg::REG_SZ, sz(u"1")}}},
        {u"HKEY_CURRENT_USER\\" + percent, {{u"w", reg::REG_SZ, sz(u"%x%")}}},
        {u"HKEY_LOCAL_MACHINE", {}},
        {u"HKEY_LOCAL_MACHINE\\Software", {}},
        {u"HKEY_LOCAL_MACHINE\\Software\\Classes", {}},
        {u"HKEY_LOCAL_MACHINE\\Software\\Classes\\*", {}},
        {u"HKEY_LOCAL_MACHINE\\Software\\Classes\\*\\shell", {}},
        {u"HKEY_LOCAL_MACHINE\\" + verb, {}},
    };
    StandInWine wine(dir.path(), held);
    const ScopedEnv loader("WINELOADER", wine.program().string());
    reg::ChangeSet cs;
    cs.ops.push_back(reg::setValueOp(reg::HKEY_CURRENT_USER, hostile, u"v", reg::REG_SZ, sz(u"1")));
    cs.ops.push_back(reg::setValueOp(reg::HKEY_CURRENT_USER, percent, u"w", reg::REG_SZ, sz(u"%x%")));
    cs.ops.push_back(reg::keyOp(reg::ChangeOp::Kind::CreateKey, reg::HKEY_CLASSES_ROOT, u"*\\shell\\A\"B"));

    auto m = reg::Machine::openWinePrefix(prefix);
    qv::ThroughWine tw(*m);
    QString error;
    EXPECT_TRUE(tw.apply(cs, &error)) << error.toStdString();

    const auto calls = wine.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].at(1), "import");
    std::set<std::string> exported;
    for (const auto& call : calls) {
        ASSERT_GE(call.size(), 3u);
        EXPECT_EQ(call[0], "reg");
        for (const std::string& word : call) EXPECT_EQ(word.find('"'), std::string::npos) << word;
        if (call[1] == "export") {
            EXPECT_EQ(call.size(), 5u);
            EXPECT_EQ(call[4], "/y");
            exported.insert(call[2]);
        }
    }
    // The quoted names are read through their nearest plain ancestors, which hold the others.
    EXPECT_EQ(exported, (std::set<std::string>{"HKEY_CURRENT_USER\\Software", "HKEY_LOCAL_MACHINE\\Software\\Classes\\*\\shell"}));
    EXPECT_FALSE(fs::exists(marker));
}

// The old state comes from what Wine holds, not from the files: an undo built from it restores
// Wine's values, brings back the subtree Wine had, keeps a key Wine already had and removes the
// keys that setting a value made.
TEST(ThroughWine, AsHeldTakesEveryOldStateFromWine) {
    TempDir dir;
    const fs::path prefix = dir.path() / "prefix";
    makePrefix(prefix);
    const std::string one("\1\0\0\0", 4), bin("\1\2", 2);
    const WineState held = {
        {u"HKEY_CURRENT_USER", {}},
        {u"HKEY_CURRENT_USER\\Software", {}},
        {u"HKEY_CURRENT_USER\\Software\\App", {{u"Old", reg::REG_SZ, sz(u"wine")}, {u"Gone", reg::REG_DWORD, one}}},
        {u"HKEY_CURRENT_USER\\Software\\App\\Made", {}},
        {u"HKEY_CURRENT_USER\\Software\\App\\Sub", {{u"s", reg::REG_SZ, sz(u"1")}}},
        {u"HKEY_CURRENT_USER\\Software\\App\\Sub\\Deeper", {{u"d", reg::REG_BINARY, bin}}},
        {u"HKEY_CURRENT_USER\\Software\\App\\Sub More", {}},
    };
    StandInWine wine(dir.path(), held);
    const ScopedEnv loader("WINELOADER", wine.program().string());
    const int32_t cu = reg::HKEY_CURRENT_USER;
    using K = reg::ChangeOp::Kind;
    auto known = [](reg::ChangeOp op, std::optional<reg::StoredValue> old = {}, bool isKnown = true) {
        op.oldKnown = isKnown;
        op.oldValue = std::move(old);
        return op;
    };
    // As the files had it: other old values, no Sub, no Made.
    reg::ChangeSet files;
    files.ops = {
        known(reg::setValueOp(cu, u"Software\\App", u"Old", reg::REG_SZ, sz(u"new")), reg::StoredValue{u"Old", reg::REG_SZ, sz(u"file")}),
        known(reg::deleteValueOp(cu, u"Software\\App", u"Gone")),
        known(reg::keyOp(K::DeleteKey, cu, u"Software\\App\\Sub")),
        known(reg::keyOp(K::CreateKey, cu, u"Software\\App\\Made")),
        known(reg::setValueOp(cu, u"Software\\New\\Deep", u"v", reg::REG_DWORD, one)),
        known(reg::deleteValueOp(cu, u"Software\\App", u"Missing")),
    };
    reg::ChangeOp sub = files.ops[2];
    sub.oldTree = {{u"", {{u"s", reg::REG_SZ, sz(u"1")}}}, {u"Deeper", {{u"d", reg::REG_BINARY, bin}}}};
    reg::ChangeSet want;
    want.ops = {
        known(files.ops[0], reg::StoredValue{u"Old", reg::REG_SZ, sz(u"wine")}),
        known(files.ops[1], reg::StoredValue{u"Gone", reg::REG_DWORD, one}),
        sub,
        known(files.ops[3], {}, false),
        known(reg::keyOp(K::CreateKey, cu, u"Software\\New")),
        known(reg::keyOp(K::CreateKey, cu, u"Software\\New\\Deep")),
        files.ops[4],
        files.ops[5],
    };

    auto m = reg::Machine::openWinePrefix(prefix);
    qv::ThroughWine tw(*m);
    QString error;
    const std::optional<reg::ChangeSet> got = tw.asHeld(files, &error);
    ASSERT_TRUE(got.has_value()) << error.toStdString();
    ASSERT_EQ(got->ops.size(), want.ops.size());
    for (size_t i = 0; i < want.ops.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got->ops[i], want.ops[i]);
    }
    // New\Deep is missing, so is New: a key counts as missing only where its parent's export says so.
    std::multiset<std::string> exported;
    for (const auto& call : wine.calls()) exported.insert(call.at(2));
    EXPECT_EQ(exported, (std::multiset<std::string>{"HKEY_CURRENT_USER\\Software\\App", "HKEY_CURRENT_USER\\Software\\New\\Deep",
                                                  "HKEY_CURRENT_USER\\Software\\New", "HKEY_CURRENT_USER\\Software"}));
}
