// Keys found by name: the Wine-file store answers from its files' key headers, and must find what
// the default walk through enumKey finds, whatever was read, built or changed since opening.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "registry/machines/machine.h"
#include "registry/test_files.h"

using namespace qv::reg;
namespace fs = std::filesystem;

namespace {

std::string wineFile(const char* relative, const std::vector<std::string>& keys) {
    std::string text = std::string("WINE REGISTRY Version 2\n;; All keys relative to ") + relative + "\n\n#arch=win64\n";
    for (const std::string& k : keys) {
        std::string escaped;
        for (char c : k) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        text += "\n[" + escaped + "] 1796630155\n#time=1dd8620637331ae\n@=\"x\"\n";
    }
    return text;
}

struct Layout {
    const char* what;
    std::vector<std::string> machine, user;       // key paths of system.reg and user.reg, in Wine's order
    std::function<void(Machine&)> change;         // made after opening, before the look
};

void create(Machine& m, const std::string& path) {
    HKey k;
    ASSERT_EQ(m.createKey(HKEY_CLASSES_ROOT, path, &k), 0) << path;
    m.closeKey(k);
}

}  // namespace

TEST(FindKeysNamed, TheFileStoreFindsWhatTheWalkFinds) {
    const std::vector<Layout> layouts = {
        {"places of every kind and depth, other capitals, a switched-off key",
         {"Software\\Classes\\.a\\ShellNew", "Software\\Classes\\.b\\SHELLNEW-", "Software\\Classes\\.c\\C.Doc\\shellnew",
          "Software\\Classes\\.c\\C.Doc\\shellnew\\Config", "Software\\Classes\\C.Doc\\ShellNew",
          "Software\\Classes\\Deep\\Cls\\ShellNew-\\ShellNew", "Software\\Classes\\ShellNew",
          "Software\\Classes\\ShellNewer\\x", "Software\\Other\\ShellNew"},
         {"Software\\Classes\\.u\\ShellNew"},
         nullptr},
        {"a key with no header of its own (implied by its subkey)",
         {"Software\\Classes\\.i\\ShellNew\\Sub", "Software\\Classes\\.j\\x\\ShellNew-\\y\\z"},
         {},
         nullptr},
        {"keys in both Classes keys: the file store's root is the machine's",
         {"Software\\Classes\\.both\\ShellNew", "Software\\Classes\\.m\\ShellNew-"},
         {"Software\\Classes\\.both\\ShellNew-", "Software\\Classes\\.user\\ShellNew"},
         nullptr},
        {"keys found, changed, made, moved and deleted after opening",
         {"Software\\Classes\\.a\\ShellNew", "Software\\Classes\\.b\\ShellNew", "Software\\Classes\\.c\\Cls\\ShellNew",
          "Software\\Classes\\.d\\ShellNew-", "Software\\Classes\\Cls\\shell"},
         {},
         [](Machine& m) {
             HKey k;
             ASSERT_EQ(m.openKey(HKEY_CLASSES_ROOT, ".c", &k), 0);  // built, its subkeys still lazy
             ASSERT_EQ(m.openKey(HKEY_CLASSES_ROOT, ".d\\ShellNew-", &k), 0);
             create(m, ".b\\Extra\\ShellNew");
             create(m, ".new\\ShellNew");
             create(m, "Cls\\ShellNew-");
             ASSERT_EQ(m.moveKey(HKEY_CLASSES_ROOT, ".a\\ShellNew", HKEY_CLASSES_ROOT, ".a\\ShellNew-"), 0);
             ASSERT_EQ(m.deleteKey(HKEY_CLASSES_ROOT, ".c\\Cls\\ShellNew"), 0);
         }},
    };
    for (const Layout& l : layouts) {
        qvtest::TempDir dir;
        fs::create_directories(dir.path() / "drive_c");
        qvtest::writeFile(dir.path() / "system.reg", wineFile("\\\\Machine", l.machine));
        qvtest::writeFile(dir.path() / "user.reg", wineFile("\\\\User\\\\S-1-5-21-0-0-0-1000", l.user));
        auto m = Machine::openOwn(dir.path());
        if (l.change) l.change(*m);
        for (const auto& [root, path] : std::vector<std::pair<int32_t, std::string>>{
                 {HKEY_CLASSES_ROOT, ""}, {HKEY_CLASSES_ROOT, ".c"}, {HKEY_LOCAL_MACHINE, "Software"},
                 {HKEY_CURRENT_USER, "\\Software\\"}}) {
            for (const size_t depth : {size_t(1), size_t(2), size_t(3), SIZE_MAX}) {
                std::vector<std::string> fast, walked;
                const int32_t st = m->findKeysNamed(root, path, {"ShellNew", "shellnew-"}, depth, &fast);
                EXPECT_EQ(st, m->RegistryApi::findKeysNamed(root, path, {"ShellNew", "shellnew-"}, depth, &walked))
                    << l.what;
                EXPECT_EQ(fast, walked) << l.what << " below " << path << " within " << depth;
                if (path.empty() && depth == SIZE_MAX) {
                    EXPECT_FALSE(fast.empty()) << l.what;
                }
            }
        }
    }
}
