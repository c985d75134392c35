// Apply changes only what the user changed, on a real Wine prefix: each page changed alone
// changes only its own values (everything else in both files stays), --diff names exactly those
// values beforehand, --undo brings back what Wine saw at the start, and a profile exported from
// one prefix and imported into a fresh one shows the same settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

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
    return runProcess(args, {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + state.string()}, 120);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Every value of both files as "ROOT\key|name" -> "type:bytes", read by the store itself: a
// change anywhere shows, key times aside.
using Values = std::map<std::string, std::string>;
void collect(reg::Machine& m, int32_t root, const std::string& rootName, const std::string& path, Values* out) {
    reg::HKey k;
    if (m.openKey(root, path, &k) != 0) return;
    const std::string key = lower(rootName + (path.empty() ? "" : "\\" + path));
    (*out)[key + "|<key>"] = "";
    std::string name, data;
    uint32_t type;
    for (uint32_t i = 0; m.enumValue(k, i, &name, &type, &data) == 0; ++i)
        (*out)[key + "|" + lower(name)] = std::to_string(type) + ":" + data;
    std::vector<std::string> subs;
    for (uint32_t i = 0; m.enumKey(k, i, &name) == 0; ++i) subs.push_back(name);
    for (const auto& s : subs) collect(m, root, rootName, path.empty() ? s : path + "\\" + s, out);
}
Values values(const fs::path& prefix) {
    auto m = reg::Machine::openWinePrefix(prefix);
    Values v;
    collect(*m, reg::HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "", &v);
    collect(*m, reg::HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "", &v);
    return v;
}
std::set<std::string> differing(const Values& a, const Values& b) {
    std::set<std::string> d;
    for (const auto& [k, v] : a)
        if (auto it = b.find(k); it == b.end() || it->second != v) d.insert(k);
    for (const auto& [k, v] : b)
        if (!a.count(k)) d.insert(k);
    return d;
}

// The values a --diff text names, in the same spelling as values(): HKCR under HKLM\Software\Classes.
std::set<std::string> named(const std::string& diffText) {
    std::string err;
    auto cs = reg::readRegFile(diffText, "--diff", &err);
    EXPECT_TRUE(cs.has_value()) << err << "\n" << diffText;
    std::set<std::string> n;
    if (!cs) return n;
    for (const reg::ChangeOp& op : cs->ops) {
        std::string key = std::string(reg::rootName(op.root));
        if (op.root == reg::HKEY_CLASSES_ROOT) key = "HKEY_LOCAL_MACHINE\\Software\\Classes";
        if (!op.key.empty()) key += "\\" + reg::utf16ToUtf8(op.key);
        key = lower(key);
        if (op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue)
            n.insert(key + "|" + lower(reg::utf16ToUtf8(op.name)));
        else
            n.insert(key + "|<key>");
    }
    return n;
}

// `wine reg export` of every key the pages know, as one text: what Windows programs see.
const std::vector<std::string> kPageKeys = {
    "HKCR\\*\\shell", "HKCR\\Folder\\shell", "HKCR\\Directory\\shell", "HKCR\\Unknown\\shell",
    "HKCR\\AudioCD\\shell", "HKCR\\.bmp", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup",
    "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Icons",
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer",
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies",
    "HKCU\\Control Panel\\Desktop", "HKLM\\System\\CurrentControlSet\\Control\\FileSystem"};
std::string wineView(const fs::path& p, const std::string& tag) {
    std::vector<std::vector<std::string>> cmds;
    for (size_t i = 0; i < kPageKeys.size(); ++i)
        cmds.push_back({"reg", "export", kPageKeys[i], winPath(p / (tag + std::to_string(i) + ".reg")), "/y"});
    runBatch(p, tag, cmds);
    WineWorld::get().stop(p);
    // Wine keeps the host's network cards under the registration key and adds them whenever its
    // services first see one; they are no page's.
    auto withoutWinesOwn = [](const std::string& exported) {
        const std::string bytes = exported.size() >= 2 ? exported.substr(2) : std::string();  // the BOM
        const Blocks b = splitKeys(withoutCr(qv::reg::utf16ToUtf8(qv::reg::bytesToUtf16(bytes))));
        std::string out = b.head;
        for (const std::string& k : b.order)
            if (k.find("\\NetworkCards") == std::string::npos) out += b.text.at(k);
        return out;
    };
    std::string all;
    for (size_t i = 0; i < kPageKeys.size(); ++i) {
        const fs::path f = p / (tag + std::to_string(i) + ".reg");
        all += kPageKeys[i] + ":\n" + (fs::exists(f) ? withoutWinesOwn(readFile(f)) : std::string("(none)\n"));
        fs::remove(f);
    }
    return all;
}

struct PageChange {
    int page;
    std::vector<std::string> sets;
    const char* where;  // every value the change touches lies under a key containing this
};
const PageChange kChanges[] = {
    {4, {"optExploreFromHere(0)=1"}, "folder\\shell"},
    {5, {"optMSDOSPromptOnDirs(0)=1"}, "directory\\shell\\ms-dos prompt"},
    {6, {"optShowOnAllFiles(0)=1", "txtAddToAllFilesTitle=Open in QV", "txtAddToAllFilesCommand=notepad.exe %1"},
     "*\\shell"},
    {8, {"txtIconIdx=30"}, "shell icons"},
    {10, {"optShortcutIcon(1)=1"}, "shell icons"},
    {11, {"chkShowShortcutToOnNewShortcuts=0"}, "currentversion\\explorer"},
    {13, {"chkSaveSettingsOnExit=0"}, "policies\\explorer"},
    {15, {"chkExploreAsDefault=1"}, "folder\\shell"},
    {16, {"lstDrives=D:"}, "policies\\explorer"},
    {18, {"txtUnassociatedFilesCommand=notepad.exe %1"}, "unknown\\shell\\openas"},
    {21, {"chkAutoplayAudio=1"}, "audiocd"},
    {22, {"chkAutoPlay(3)=0"}, "policies\\explorer"},
    {23, {"chkClickHeretoBegin=0"}, "policies\\explorer"},
    {24, {"chkAnimateWindows=1"}, "control panel\\desktop\\windowmetrics"},
    {26, {"sldMenuShowDelay=100"}, "control panel\\desktop"},
    {30, {"chkDisableTilde=1"}, "control\\filesystem"},
    {31, {"txtRegisteredName=Ada"}, "currentversion"},
    {32, {"txtCabFilePath=D:\\cabs"}, "currentversion\\setup"},
    {33, {"sldHungApp=4000"}, "control panel\\desktop"},
};

class ApplyChangesInterop : public WineTest {};

}  // namespace

TEST_F(ApplyChangesInterop, EachPageAloneChangesOnlyItsValuesAndUndoRestoresThem) {
    const fs::path p = w.copy("onlychanges");
    const fs::path state = p / "state";
    // Wine itself writes a few keys of its own when its server saves: look after it has run.
    const std::string startView = wineView(p, "start");
    ASSERT_NE(startView.find("\"RegisteredOwner\""), std::string::npos) << startView.substr(0, 400);
    const Values start = values(p);

    // Nothing changed: nothing written, not even a key time.
    const std::string sys = readFile(p / "system.reg"), user = readFile(p / "user.reg");
    const Proc none = quorvel(p, {"--apply"}, state);
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(readFile(p / "system.reg"), sys);
    EXPECT_EQ(readFile(p / "user.reg"), user);

    for (const PageChange& c : kChanges) {
        SCOPED_TRACE("page " + std::to_string(c.page));
        std::vector<std::string> args;
        for (const std::string& s : c.sets) args.insert(args.end(), {"--set", s});
        std::vector<std::string> diffArgs = args;
        diffArgs.push_back("--diff");
        const Proc diff = quorvel(p, diffArgs, state);
        ASSERT_EQ(diff.status, 0) << diff.err;
        args.push_back("--apply");
        const Proc apply = quorvel(p, args, state);
        ASSERT_EQ(apply.status, 0) << apply.err;

        const std::set<std::string> changed = differing(start, values(p));
        EXPECT_FALSE(changed.empty());
        for (const std::string& k : changed) {
            // A key made on the way to the page's own key counts as the page's.
            bool ours = k.find(c.where) != std::string::npos;
            const std::string key = k.substr(0, k.find('|')) + "\\";
            for (const std::string& o : changed)
                ours = ours || (o.rfind(key, 0) == 0 && o.find(c.where) != std::string::npos);
            EXPECT_TRUE(ours) << k;
        }
        // --diff named every changed value and nothing else (a key it names may already exist).
        std::set<std::string> shown = named(diff.out);
        for (const std::string& k : changed) EXPECT_TRUE(shown.count(k)) << k << " missing from\n" << diff.out;
        for (const std::string& k : shown) {
            const bool isKey = k.size() >= 6 && k.compare(k.size() - 6, 6, "|<key>") == 0;
            EXPECT_TRUE(isKey || changed.count(k)) << k;
        }

        const Proc undo = quorvel(p, {"--undo"}, state);
        ASSERT_EQ(undo.status, 0) << undo.out << undo.err;
        EXPECT_TRUE(differing(start, values(p)).empty());
    }
    EXPECT_EQ(wineView(p, "end"), startView);
}

TEST_F(ApplyChangesInterop, ProfileCarriesTheSettingsToAFreshPrefix) {
    const fs::path a = w.copy("profile-a"), b = w.copy("profile-b");
    std::vector<std::string> args;
    for (const PageChange& c : kChanges)
        if (c.page != 8)  // both overlay pages share one value: the later one decides
            for (const std::string& s : c.sets) args.insert(args.end(), {"--set", s});
    args.insert(args.end(), {"--apply", "--export", (a / "profile.reg").string()});
    const Proc applied = quorvel(a, args, a / "state");
    ASSERT_EQ(applied.status, 0) << applied.err;
    ASSERT_TRUE(fs::exists(a / "profile.reg"));
    const Proc exported = quorvel(a, {"--list"}, a / "state");
    ASSERT_EQ(exported.status, 0) << exported.err;

    const Proc imported = quorvel(b, {"--import", (a / "profile.reg").string(), "--apply"}, b / "state");
    ASSERT_EQ(imported.status, 0) << imported.err;
    const Proc listed = quorvel(b, {"--list"}, b / "state");
    ASSERT_EQ(listed.status, 0) << listed.err;
    // Both prefixes read afresh list the same settings (the title names each machine).
    auto settings = [](const std::string& out) {
        std::istringstream in(out);
        std::set<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("#", 0) != 0 && line.rfind("frmMain=", 0) != 0 && line.find('=') != std::string::npos)
                lines.insert(line);
        return lines;
    };
    const std::set<std::string> expected = settings(exported.out), got = settings(listed.out);
    std::vector<std::string> onlyA, onlyB;
    std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(), std::back_inserter(onlyA));
    std::set_difference(got.begin(), got.end(), expected.begin(), expected.end(), std::back_inserter(onlyB));
    EXPECT_TRUE(onlyA.empty() && onlyB.empty()) << "first: " << (onlyA.empty() ? "" : onlyA[0])
                                                << "\nsecond: " << (onlyB.empty() ? "" : onlyB[0]);
}

#endif
