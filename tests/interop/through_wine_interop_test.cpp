// A prefix whose wineserver runs: --apply is refused unless --through-wine is given, and then
// lands every value through `wine reg import` (Wine's reg sees them at once, the files after Wine
// saves), and --undo --through-wine puts back what was there.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "registry/api.h"
#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/text.h"
#include "wine_support.h"

#ifdef QV_QUORVEL

using namespace qv::interop;
namespace reg = qv::reg;

namespace {

Proc quorvel(const fs::path& prefix, std::vector<std::string> args, const fs::path& state) {
    args.insert(args.begin(), {QV_QUORVEL, "--wine-prefix", prefix.string()});
    return runProcess(args, {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + state.string(), "WINEDEBUG=-all"}, 300);
}

// Several pages, both files, values set and keys made.
const std::vector<std::string> kSets = {
    "txtRegisteredName=Ada Lovelace",          // system: registration
    "chkDisableTilde=1",                       // system: file system
    "optShowOnAllFiles(0)=1",                  // classes: a new verb key
    "txtAddToAllFilesTitle=Open in QV",        //
    "txtAddToAllFilesCommand=notepad.exe %1",  //
    "sldMenuShowDelay=100",                    // user: desktop
    "chkSaveSettingsOnExit=0",                 // user: policies
    "lstDrives=D:",                            // user: policies, a DWORD
};

struct Value {
    std::string key, name;  // key with its root's full name
    uint32_t type;
    std::string data;
};

// The values a --diff text sets.
std::vector<Value> setValues(const std::string& diff) {
    std::string err;
    auto cs = reg::readRegFile(diff, "--diff", &err);
    EXPECT_TRUE(cs.has_value()) << err;
    std::vector<Value> out;
    if (!cs) return out;
    for (const reg::ChangeOp& op : cs->ops)
        if (op.kind == reg::ChangeOp::Kind::SetValue)
            out.push_back({std::string(reg::rootName(op.root)) + "\\" + reg::utf16ToUtf8(op.key),
                           reg::utf16ToUtf8(op.name), op.type, op.data});
    return out;
}

// How `reg query` prints data of the types the pages write.
std::string shown(uint32_t type, const std::string& data) {
    if (type == reg::REG_DWORD && data.size() == 4) {
        uint32_t v = uint8_t(data[0]) | uint8_t(data[1]) << 8 | uint8_t(data[2]) << 16 | uint32_t(uint8_t(data[3])) << 24;
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", v);
        return buf;
    }
    if (type == reg::REG_BINARY) {
        std::string hex;
        char buf[4];
        for (unsigned char c : data) {
            std::snprintf(buf, sizeof buf, "%02X", c);
            hex += buf;
        }
        return hex;
    }
    std::u16string s = reg::bytesToUtf16(data);
    if (auto nul = s.find(u'\0'); nul != std::u16string::npos) s.resize(nul);
    return reg::utf16ToUtf8(s);
}
std::string typeName(uint32_t type) {
    switch (type) {
    case reg::REG_SZ: return "REG_SZ";
    case reg::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case reg::REG_DWORD: return "REG_DWORD";
    case reg::REG_BINARY: return "REG_BINARY";
    default: return "REG_";
    }
}

// The value as Wine's reg shows it now: "TYPE DATA", or "" when there is none.
std::string wineHolds(const fs::path& p, const Value& v) {
    const std::string name = v.name.empty() ? "(Default)" : v.name;
    const Proc q = v.name.empty() ? WineWorld::get().reg(p, {"query", v.key, "/ve"})
                                  : WineWorld::get().reg(p, {"query", v.key, "/v", v.name});
    if (q.status != 0) return "";
    const std::string out = withoutCr(q.out);
    const size_t at = out.find("    " + name + "    ");
    if (at == std::string::npos) return "?" + out;
    const size_t from = at + 8 + name.size();
    std::string rest = out.substr(from, out.find('\n', from) - from);
    const size_t gap = rest.find("    ");
    return gap == std::string::npos ? rest : rest.substr(0, gap) + " " + rest.substr(gap + 4);
}

// The value as the prefix's files hold it: "TYPE DATA", or "".
std::string filesHold(const fs::path& p, const Value& v) {
    auto m = reg::Machine::openWinePrefix(p);
    const bool hklm = v.key.rfind("HKEY_LOCAL_MACHINE\\", 0) == 0;
    const std::string path = v.key.substr(v.key.find('\\') + 1);
    reg::HKey k;
    if (m->openKey(hklm ? reg::HKEY_LOCAL_MACHINE : reg::HKEY_CURRENT_USER, path, &k) != 0) return "";
    uint32_t type = 0;
    std::string data;
    const int32_t rc = m->queryValue(k, v.name, &type, &data);
    m->closeKey(k);
    return rc == 0 ? typeName(type) + " " + shown(type, data) : "";
}

class ThroughWineInterop : public WineTest {};

}  // namespace

TEST_F(ThroughWineInterop, ApplyAndUndoGoThroughTheRunningWine) {
    const fs::path p = w.copy("throughwine");
    const fs::path state = p / "state";
    std::vector<std::string> args;
    for (const std::string& s : kSets) args.insert(args.end(), {"--set", s});

    std::vector<std::string> diffArgs = args;
    diffArgs.push_back("--diff");
    const Proc diff = quorvel(p, diffArgs, state);
    ASSERT_EQ(diff.status, 0) << diff.err;
    const std::vector<Value> values = setValues(diff.out);
    ASSERT_GE(values.size(), 6u) << diff.out;  // a value or more for each page touched

    std::map<std::string, std::string> before;
    for (const Value& v : values) before[v.key + "|" + v.name] = filesHold(p, v);

    w.startServer(p);
    // Another program changes a value in the running Wine only: its files do not show it yet, and
    // the way back must hold Wine's value, not theirs.
    const std::string delayKey = "HKEY_CURRENT_USER\\Control Panel\\Desktop";
    ASSERT_EQ(w.reg(p, {"add", delayKey, "/v", "MenuShowDelay", "/d", "250", "/f"}).status, 0);
    ASSERT_TRUE(before.count(delayKey + "|MenuShowDelay"));
    before[delayKey + "|MenuShowDelay"] = "REG_SZ 250";
    // Without --through-wine the running server refuses the Apply and nothing is written.
    const std::string sys = readFile(p / "system.reg"), user = readFile(p / "user.reg");
    std::vector<std::string> refused = args;
    refused.push_back("--apply");
    const Proc no = quorvel(p, refused, state);
    EXPECT_EQ(no.status, 1);
    EXPECT_NE(no.out.find("wineserver"), std::string::npos) << no.out << no.err;

    std::vector<std::string> through = refused;
    through.push_back("--through-wine");
    const Proc yes = quorvel(p, through, state);
    ASSERT_EQ(yes.status, 0) << yes.out << yes.err;
    // Wine has every value now, though nothing of ours wrote the files.
    for (const Value& v : values) {
        SCOPED_TRACE(v.key + "\\" + v.name);
        EXPECT_EQ(wineHolds(p, v), typeName(v.type) + " " + shown(v.type, v.data));
    }
    w.stop(p);
    EXPECT_TRUE(readFile(p / "system.reg") != sys || readFile(p / "user.reg") != user);
    for (const Value& v : values) {
        SCOPED_TRACE(v.key + "\\" + v.name);
        EXPECT_EQ(filesHold(p, v), typeName(v.type) + " " + shown(v.type, v.data));
    }

    // The undo through the running Wine restores what Wine held before the Apply.
    w.startServer(p);
    const Proc undo = quorvel(p, {"--undo", "--through-wine"}, state);
    ASSERT_EQ(undo.status, 0) << undo.out << undo.err;
    for (const Value& v : values) {
        SCOPED_TRACE(v.key + "\\" + v.name);
        EXPECT_EQ(wineHolds(p, v), before[v.key + "|" + v.name]);
    }
    w.stop(p);
    for (const Value& v : values) {
        SCOPED_TRACE(v.key + "\\" + v.name);
        EXPECT_EQ(filesHold(p, v), before[v.key + "|" + v.name]);
    }
}

// A key name in a profile is data: going through Wine runs nothing it spells, Wine holds the key
// under exactly that name, and the undo through Wine takes it away again.
TEST_F(ThroughWineInterop, AKeyNameSpellingACommandRunsNothing) {
    const fs::path p = w.copy("hostilekey");
    const fs::path state = p / "state";
    const fs::path marker = p / "pwned";
    const std::string key = "Software\\Q\" & start /unix /usr/bin/touch " + marker.string() + " & \"x";
    reg::ChangeSet cs;
    cs.ops.push_back(reg::setValueOp(reg::HKEY_CURRENT_USER, reg::utf8ToUtf16(key), u"v", reg::REG_SZ,
                                     std::string("1\0\0\0", 4)));
    const fs::path profile = p / "profile.reg";
    std::ofstream(profile, std::ios::binary) << reg::writeRegFile(cs, reg::RegFormat::Unicode);
    auto held = [&] {
        const fs::path out = p / "held.reg";
        fs::remove(out);
        const Proc e = w.reg(p, {"export", "HKEY_CURRENT_USER\\Software", winPath(out), "/y"});
        EXPECT_EQ(e.status, 0) << e.err;
        const auto keys = parseExport(readFile(out));
        const auto k = keys.find("HKEY_CURRENT_USER\\" + key);
        return k == keys.end() ? std::string("(no key)") : k->second.count("v") ? k->second.at("v").data : std::string();
    };

    w.startServer(p);
    const Proc apply = quorvel(p, {"--import", profile.string(), "--apply", "--through-wine"}, state);
    EXPECT_EQ(apply.status, 0) << apply.out << apply.err;
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(held(), std::string("1\0\0\0", 4));

    const Proc undo = quorvel(p, {"--undo", "--through-wine"}, state);
    EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(held(), "(no key)");
}

#endif

// One file onto several real prefixes at once, one of them with its wineserver running: the
// stopped one is written, the running one is skipped with its reason, and --through-wine then
// writes it through its Wine; a second run finds nothing to change anywhere.
TEST_F(ThroughWineInterop, ManyPrefixesOneRunningSkippedOrWrittenThroughItsWine) {
    const fs::path stopped = w.copy("batchstopped"), running = w.copy("batchrunning");
    const fs::path state = stopped / "state";
    const fs::path file = stopped / "fix.reg";
    std::ofstream(file) << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"150\"\n";
    auto batch = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {QV_QUORVEL, "--machines", stopped.string() + "," + running.string(),
                                         "--import", file.string(), "--apply"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runProcess(args, {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + state.string(), "WINEDEBUG=-all"}, 300);
    };
    const Value delay{"HKEY_CURRENT_USER\\Control Panel\\Desktop", "MenuShowDelay", reg::REG_SZ, {}};
    w.startServer(running);
    const std::string runningFiles = readFile(running / "user.reg");
    const Proc first = batch({});
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_NE(first.out.find("changed 1 values on batchstopped"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("skipped batchrunning: its wineserver is running"), std::string::npos) << first.out;
    EXPECT_EQ(filesHold(stopped, delay), "REG_SZ 150");
    EXPECT_EQ(readFile(running / "user.reg"), runningFiles);

    const Proc through = batch({"--through-wine"});
    EXPECT_EQ(through.status, 0) << through.out << through.err;
    EXPECT_NE(through.out.find("no changes on batchstopped"), std::string::npos) << through.out;
    EXPECT_NE(through.out.find("changed 1 values on batchrunning"), std::string::npos) << through.out;
    EXPECT_EQ(wineHolds(running, delay), "REG_SZ 150");
    w.stop(running);
    EXPECT_EQ(filesHold(running, delay), "REG_SZ 150");
}
