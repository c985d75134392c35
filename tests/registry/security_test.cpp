// Files Quorvel creates where someone else may have planted a link: the link is replaced, never
// written through, and private folders are the caller's own or refused.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "registry/cli/reg_tool.h"
#include "registry/machines/discovery.h"
#include "registry/safefile.h"
#include "test_files.h"

using namespace qv::reg;
namespace fs = std::filesystem;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

// Writers of files at a name the caller chose: each must leave a victim behind a planted link alone.
struct Writer {
    const char* what;
    std::function<bool(const fs::path& dir, const fs::path& target)> write;  // true: it wrote
};

const Writer kWriters[] = {
    {"safe write", [](const fs::path&, const fs::path& target) {
         writeFileSafely(target, "new");
         return true;
     }},
    {"quorvel-reg export", [](const fs::path& dir, const fs::path& target) {
         std::ostringstream out, err;
         const std::vector<std::string> args = {"--machine", (dir / "m").string(), "export", "HKCU\\Control Panel",
                                                target.string(), "/y"};
         return qv::reg::cli::runRegTool(args, out, err) == 0;
     }},
    {"recent machines list", [](const fs::path& dir, const fs::path& target) {
         RecentMachines recent(target);
         return recent.touch(dir / "m", Machine::Kind::Own, 1000, nullptr);
     }},
};

}  // namespace

TEST(SecurityPlantedLinks, AFileCreatedAtALinkedNameReplacesTheLinkNotTheVictim) {
    for (const Writer& w : kWriters) {
        for (bool dangling : {false, true}) {
            SCOPED_TRACE(std::string(w.what) + (dangling ? ", dangling link" : ", link to a victim"));
            TempDir tmp;
            Machine::openOwn(tmp.path() / "m");
            const fs::path victim = tmp.path() / "victim";
            if (!dangling) writeFile(victim, "precious");
            const fs::path target = tmp.path() / "out.reg";
            fs::create_symlink(victim, target);
            ASSERT_TRUE(w.write(tmp.path(), target));
            EXPECT_FALSE(fs::is_symlink(target));
            EXPECT_TRUE(fs::is_regular_file(target));
            if (dangling) {
                EXPECT_FALSE(fs::exists(victim));
            } else {
                EXPECT_EQ(readFile(victim), "precious");
            }
        }
    }
}

TEST(SecurityPrivateFolders, OnlyTheCallersOwnFolderIsUsedAndMadePrivate) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        const char* refusal;  // nothing: used, and 0700 afterwards
        bool needsRoot;
    } cases[] = {
        {"missing", [](const fs::path&) {}, nullptr, false},
        {"open to others", [](const fs::path& d) { fs::create_directory(d); ::chmod(d.c_str(), 0755); }, nullptr, false},
        {"a link to a folder", [](const fs::path& d) { fs::create_directory_symlink("/tmp", d); }, "symbolic link", false},
        {"a file", [](const fs::path& d) { writeFile(d, "x"); }, "not a folder", false},
        {"another user's", [](const fs::path& d) {
             fs::create_directory(d);
             ASSERT_EQ(::chown(d.c_str(), 65534, 65534), 0);
         }, "another user", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) continue;
        TempDir tmp;
        const fs::path dir = tmp.path() / "state" / "backups";
        fs::create_directories(dir.parent_path());
        c.make(dir);
        if (c.refusal) {
            try {
                ensurePrivateFolder(dir);
                ADD_FAILURE() << "used";
            } catch (const SafeFileError& e) {
                EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
            }
            continue;
        }
        ensurePrivateFolder(dir);
        struct stat st;
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
}
