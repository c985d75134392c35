// Crash safety: a child process commits in a loop on a registry of Wine-prefix size and is killed
// with SIGKILL at random moments; every commit changes both files. After every kill the machine,
// once opened, must hold exactly the content of one commit in both files: the counter in two keys
// at both ends of system.reg and the one in user.reg agree, every other byte is as it was, and no
// temporary file or journal is left once the machine is opened.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "registry/machines/machine.h"

using namespace qv::reg;
namespace fs = std::filesystem;

namespace {

constexpr int kKeys = 7000;  // about 1.6 MB, the size of a fresh prefix's system.reg
const char* const kFirst = "Software\\AAA First";
const char* const kLast = "Software\\Zzz Last";

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string description(int i) {
    return "Generated key " + std::to_string(i) + " with a little text to give it body";
}

std::string generateSystemReg() {
    std::string s = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n";
    s += "\n[Software\\\\AAA First] 1796630155\n#time=1dd8620637331ae\n\"Counter\"=dword:00000000\n";
    char buf[256];
    for (int i = 0; i < kKeys; ++i) {
        std::snprintf(buf, sizeof buf, "\n[Software\\\\Gen\\\\K%05d] 1796630155\n#time=1dd8620637331ae\n", i);
        s += buf;
        s += "\"Description\"=\"" + description(i) + "\"\n";
        std::snprintf(buf, sizeof buf, "\"Flags\"=dword:%08x\n\"Blob\"=hex:", i * 2654435761u);
        s += buf;
        for (int b = 0; b < 24; ++b) {
            std::snprintf(buf, sizeof buf, "%s%02x", b ? "," : "", (i * 7 + b * 13) & 0xff);
            s += buf;
        }
        s += "\n";
    }
    s += "\n[Software\\\\Zzz Last] 1796630155\n#time=1dd8620637331ae\n\"Counter\"=dword:00000000\n";
    return s;
}

// The file without the block of one key (its header up to the blank line before the next key).
std::string withoutBlock(const std::string& file, const std::string& header) {
    const size_t at = file.find("\n[" + header + "]");
    if (at == std::string::npos) return file;
    size_t end = file.find("\n\n[", at + 1);
    end = end == std::string::npos ? file.size() : end + 1;
    return file.substr(0, at) + file.substr(end);
}

const char* const kUserKey = "Software\\Counter";

std::optional<uint32_t> counter(Machine& m, const char* path, int32_t root = HKEY_LOCAL_MACHINE) {
    HKey k;
    if (m.openKey(root, path, &k) != 0) return std::nullopt;
    uint32_t type = 0;
    std::string data;
    const int32_t st = m.queryValue(k, "Counter", &type, &data);
    m.closeKey(k);
    if (st != 0 || type != REG_DWORD || data.size() != 4) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, data.data(), 4);
    return v;
}

void setCounter(Machine& m, const char* path, uint32_t v, int32_t root = HKEY_LOCAL_MACHINE) {
    HKey k;
    if (m.createKey(root, path, &k) != 0) ::_exit(4);
    std::string data(4, '\0');
    std::memcpy(data.data(), &v, 4);
    if (m.setValue(k, "Counter", REG_DWORD, data) != 0) ::_exit(5);
    m.closeKey(k);
}

struct Shared {
    std::atomic<uint32_t> committed;  // the last counter the child saw committed
    std::atomic<int> started;
};

[[noreturn]] void commitForever(const fs::path& dir, Shared* shared) {
    try {
        auto m = Machine::openOwn(dir);
        uint32_t n = counter(*m, kFirst).value_or(0);
        shared->committed.store(n);
        shared->started.store(1);
        for (;;) {
            ++n;
            setCounter(*m, kFirst, n);
            setCounter(*m, kLast, n);
            setCounter(*m, kUserKey, n, HKEY_CURRENT_USER);
            m->commit();
            shared->committed.store(n);
        }
    } catch (...) {
        ::_exit(3);
    }
}

TEST(CrashSafety, KilledCommitsLeaveTheOldOrTheNewFile) {
    std::string tmpl = (fs::temp_directory_path() / "qv-crash-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const fs::path dir = tmpl;
    struct Cleanup {
        fs::path p;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(p, ec);
        }
    } cleanup{dir};

    {
        std::ofstream(dir / "system.reg", std::ios::binary) << generateSystemReg();
        std::ofstream(dir / "user.reg", std::ios::binary)
            << "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
               "#arch=win64\n";
    }
    // One commit in the parent: the file as this store writes it, and how long a commit takes.
    auto start = std::chrono::steady_clock::now();
    {
        auto m = Machine::openOwn(dir);
        ASSERT_TRUE(m->warnings().empty());
        setCounter(*m, kFirst, 1);
        setCounter(*m, kLast, 1);
        setCounter(*m, kUserKey, 1, HKEY_CURRENT_USER);
        m->commit();
    }
    const auto commitTime = std::chrono::steady_clock::now() - start;
    const std::string pristine = readAll(dir / "system.reg");
    ASSERT_GT(pristine.size(), 1'000'000u);
    const std::string pristineRest = withoutBlock(withoutBlock(pristine, "Software\\\\AAA First"),
                                                  "Software\\\\Zzz Last");
    const std::string userRest = withoutBlock(readAll(dir / "user.reg"), "Software\\\\Counter");
    std::set<std::string> baseline;
    for (const auto& e : fs::directory_iterator(dir)) baseline.insert(e.path().filename().string());

    auto* shared = static_cast<Shared*>(
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);

    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    // Kills spread over about three commits, so that they land in every step of one.
    const auto window = std::max<int64_t>(
        2000, 3 * std::chrono::duration_cast<std::chrono::microseconds>(commitTime).count());
    std::uniform_int_distribution<int64_t> delay(0, window);
    SCOPED_TRACE("seed " + std::to_string(seed));

    // A fixed number of kills however long they take: a busy machine makes the run slower, never
    // a failure.
    constexpr int kKills = 220;
    int kills = 0, newer = 0, leftovers = 0, finishedOnOpen = 0, mixed = 0, torn = 0;
    uint32_t last = 1;
    while (kills < kKills) {
        new (shared) Shared{};
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) commitForever(dir, shared);

        // Wait for the child's first commit, then kill it somewhere in the ones after.
        // Only a child that is stuck, not one that is slow, is given up on.
        const auto childDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
        while ((shared->started.load() == 0 || shared->committed.load() <= last) &&
               std::chrono::steady_clock::now() < childDeadline) {
            int status;
            ASSERT_NE(::waitpid(pid, &status, WNOHANG), pid) << "the committing child died: " << status;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped on its own: " << status;
        ++kills;

        const uint32_t committed = shared->committed.load();
        ASSERT_GT(committed, last) << "the child made no commit before it was killed";
        for (const auto& e : fs::directory_iterator(dir))
            if (!baseline.count(e.path().filename().string())) ++leftovers;
        std::unique_ptr<Machine> m;
        ASSERT_NO_THROW(m = Machine::openOwn(dir)) << "after kill " << kills;
        // The only thing opening may report is a save it finished.
        for (const std::string& w : m->warnings()) {
            EXPECT_EQ(w.rfind("An interrupted save was completed", 0), 0u) << w;
            ++finishedOnOpen;
        }
        const auto a = counter(*m, kFirst), z = counter(*m, kLast), u = counter(*m, kUserKey, HKEY_CURRENT_USER);
        ASSERT_TRUE(a && z && u) << "after kill " << kills;
        if (*a != *z) ++torn;
        if (*a != *u) ++mixed;
        // The commit under way when the kill came may or may not have reached its renames.
        ASSERT_TRUE(*a == committed || *a == committed + 1) << *a << " vs " << committed;
        if (*a == committed + 1) ++newer;
        last = *a;

        const std::string file = readAll(dir / "system.reg");
        if (withoutBlock(withoutBlock(file, "Software\\\\AAA First"), "Software\\\\Zzz Last") != pristineRest ||
            withoutBlock(readAll(dir / "user.reg"), "Software\\\\Counter") != userRest)
            ++torn;
        char expected[40];
        std::snprintf(expected, sizeof expected, "\"Counter\"=dword:%08x\n", *a);
        ASSERT_NE(file.find(expected), std::string::npos);

        std::set<std::string> now;
        for (const auto& e : fs::directory_iterator(dir)) now.insert(e.path().filename().string());
        ASSERT_EQ(now, baseline) << "opening the machine left a temporary file or the journal after kill " << kills;
        if (torn || mixed) break;
    }
    EXPECT_EQ(mixed, 0) << "kills leaving user.reg and system.reg from different commits";
    EXPECT_EQ(torn, 0) << "kills leaving a file that is not one commit's whole";

    // The next commit clears what a killed one left.
    {
        auto m = Machine::openOwn(dir);
        setCounter(*m, kFirst, last + 1);
        setCounter(*m, kLast, last + 1);
        m->commit();
    }
    std::set<std::string> now;
    for (const auto& e : fs::directory_iterator(dir)) now.insert(e.path().filename().string());
    EXPECT_EQ(now, baseline);
    ::munmap(shared, sizeof(Shared));
    std::printf("[ crash    ] %d kills, %d after renames the child had not reported, %d saves finished "
                "on opening, %d files left by the kills, %d mixed pairs, %d torn\n",
                kills, newer, finishedOnOpen, leftovers, mixed, torn);
}

}  // namespace
