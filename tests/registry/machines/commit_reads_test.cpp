// How often a commit reads the registry files: once at the opening when nobody else writes them,
// again only when their identity says another program may have, or is too fresh to say.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "bench/bytes_read.h"
#include "registry/cli/reg_tool.h"
#include "registry/fileid.h"
#include "registry/machines/files.h"
#include "registry/machines/machine.h"
#include "registry/test_files.h"
#include "registry/text.h"

using namespace qv::reg;
namespace fs = std::filesystem;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

// A file of about 1 MB: whole reads of it stand out from everything else a commit reads.
std::string bigFile(const std::string& head) {
    std::string text = head;
    for (int i = 0; i < 4000; ++i)
        text += "\n[Software\\\\Pad\\\\K" + std::to_string(i) + "] 1796630155\n\"V\"=\"" + std::string(220, 'a') + "\"\n";
    return text;
}

const std::string kSystemHead = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n";
const std::string kUserHead =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n"
    "\n[Control Panel\\\\Desktop] 1796630155\n\"MenuShowDelay\"=\"400\"\n";

// Until the file's times are old enough for its identity to tell a later write apart.
void waitSettled(const fs::path& p) {
    while (!settledAt(*fileIdAt(p), wallClockNow())) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

std::string sz(const std::string& s) { return utf16ToBytes(utf8ToUtf16(s)) + std::string(2, '\0'); }

void set(Machine& m, int32_t root, const std::string& name, const std::string& data) {
    HKey k;
    ASSERT_EQ(m.createKey(root, "Software\\Q", &k), 0);
    ASSERT_EQ(m.setValue(k, name, REG_SZ, sz(data)), 0);
}

std::string get(Machine& m, int32_t root, const std::string& path, const std::string& name) {
    HKey k;
    std::string data;
    if (m.openKey(root, path, &k) != 0 || m.queryValue(k, name, nullptr, &data) != 0) return "(none)";
    return data;
}

// Another program's edit in place: same length, and the mtime it ends with. Made through a
// mapping, so that the test's own look at the file is not counted as a read.
enum class Mtime { PutBack, MovedBack };
void editInPlace(const fs::path& file, const std::string& from, const std::string& to, Mtime how) {
    struct stat st;
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fstat(fd, &st), 0);
    void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    std::string_view text(static_cast<char*>(map), static_cast<size_t>(st.st_size));
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string_view::npos);
    std::memcpy(static_cast<char*>(map) + at, to.data(), to.size());
    ::munmap(map, static_cast<size_t>(st.st_size));
    timespec times[2] = {st.st_atim, st.st_mtim};
    if (how == Mtime::MovedBack) times[1].tv_sec -= 3;
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
}

}  // namespace

// Two commits of an open machine, each with an edit in both files; the table says what happens
// around them and how many whole files each commit reads.
TEST(CommitReads, AFileIsReadAgainOnlyWhenItMayHaveBeenWritten) {
    struct Case {
        const char* what;
        bool fresh;                                     // user.reg's times not older than the opening
        std::function<void(const fs::path&)> duringFirst;  // after system.reg is renamed in
        std::function<void(const fs::path&)> between;
        int firstReads, secondReads;
        const char* delay;  // MenuShowDelay at the end: another program's edit must survive
    };
    const Case cases[] = {
        {"nobody else writes", false, {}, {}, 0, 0, "400"},
        {"user.reg's times are ahead of the look", true, {}, {}, 2, 0, "400"},
        {"user.reg edited in place after the commit, size and mtime put back", false, {},
         [](const fs::path& dir) {
             waitSettled(dir / "user.reg");
             editInPlace(dir / "user.reg", "\"400\"", "\"777\"", Mtime::PutBack);
             waitSettled(dir / "user.reg");
         },
         0, 1, "777"},
        {"system.reg edited in place just after the commit renamed it in", false,
         [](const fs::path& dir) { editInPlace(dir / "system.reg", "\"V\"=\"a", "\"V\"=\"b", Mtime::MovedBack); },
         [](const fs::path& dir) { waitSettled(dir / "system.reg"); }, 0, 1, "400"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        const fs::path dir = tmp.path() / "m";
        fs::create_directories(dir / "drive_c");
        writeFile(dir / "system.reg", bigFile(kSystemHead));
        writeFile(dir / "user.reg", bigFile(kUserHead));
        const double size = static_cast<double>(fs::file_size(dir / "user.reg"));
        waitSettled(dir / "system.reg");
        waitSettled(dir / "user.reg");
        if (c.fresh) {
            const timespec ahead[2] = {{0, UTIME_OMIT}, {wallClockNow().tv_sec + 60, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "user.reg").c_str(), ahead, 0), 0);
        }
        auto m = Machine::openOwn(dir);
        m->setBeforeRenameHook([&](const fs::path& target) {
            if (target.filename() == "user.reg" && c.duringFirst) c.duringFirst(dir);
        });
        auto commitCountingReads = [&](const std::string& tag) {
            set(*m, HKEY_LOCAL_MACHINE, "S", tag);
            set(*m, HKEY_CURRENT_USER, "U", tag);
            const uint64_t before = qvbench::bytesReadSoFar();
            m->commit();
            return static_cast<int>(static_cast<double>(qvbench::bytesReadSoFar() - before) / size + 0.5);
        };
        EXPECT_EQ(commitCountingReads("one"), c.firstReads);
        m->setBeforeRenameHook({});
        if (c.between) c.between(dir);
        EXPECT_EQ(commitCountingReads("two"), c.secondReads);

        auto after = Machine::openOwn(dir);
        EXPECT_EQ(get(*after, HKEY_CURRENT_USER, "Software\\Q", "U"), sz("two"));
        EXPECT_EQ(get(*after, HKEY_LOCAL_MACHINE, "Software\\Q", "S"), sz("two"));
        EXPECT_EQ(get(*after, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay"), sz(c.delay));
        const bool editedSystem = c.duringFirst != nullptr;
        EXPECT_EQ(get(*after, HKEY_LOCAL_MACHINE, "Software\\Pad\\K0", "V"),
                  sz((editedSystem ? "b" : "a") + std::string(219, 'a')));
    }
}

// quorvel-reg adding one value reads each file once: at the opening.
TEST(CommitReads, AddingOneValueReadsEachFileOnce) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "m";
    fs::create_directories(dir / "drive_c");
    writeFile(dir / "system.reg", bigFile(kSystemHead));
    writeFile(dir / "user.reg", bigFile(kUserHead));
    const double both = static_cast<double>(fs::file_size(dir / "system.reg") + fs::file_size(dir / "user.reg"));
    waitSettled(dir / "system.reg");
    waitSettled(dir / "user.reg");
    for (const char* key : {"HKCU\\Software\\Q", "HKLM\\Software\\Q"}) {
        SCOPED_TRACE(key);
        std::istringstream in;
        std::ostringstream out, err;
        cli::ToolIo io{in, out, err, false};
        const uint64_t before = qvbench::bytesReadSoFar();
        ASSERT_EQ(cli::runRegTool({"--machine", dir.string(), "add", key, "/v", "N", "/d", "x", "/f"}, io), 0)
            << err.str();
        EXPECT_NEAR(static_cast<double>(qvbench::bytesReadSoFar() - before) / both, 1.0, 0.1);
    }
}

// A file hashed through a buffer, in whatever pieces its reads return, keeps the value the
// journals on disk hold for its bytes.
TEST(CommitReads, HashingInPiecesGivesTheValueOfTheWhole) {
    std::string bytes(100003, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (size_t piece : {1, 7, 31, 32, 33, 4096, 100003}) {
        ContentHasher h;
        for (size_t at = 0; at < bytes.size(); at += piece) h.add(std::string_view(bytes).substr(at, piece));
        EXPECT_EQ(h.value(), contentHash(bytes)) << piece;
    }
}
