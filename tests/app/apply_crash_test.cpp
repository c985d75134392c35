// The whole program killed at random moments of an Apply that changes both registry files:
// whatever moment the kill lands, once the machine is opened again both files are as they were or
// both are as the uninterrupted Apply writes them, each whole.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFileInfo>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "app_support.h"

extern char** environ;

using namespace qvtest;
namespace reg = qv::reg;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kFiles[] = {"system.reg", "user.reg"};

std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeBytes(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Key times are the moment of the write, so two runs that change the same keys differ in them
// and only in them.
std::string withoutKeyTimes(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#time=", 0) == 0) {
            line = "#time=*";
        } else if (!line.empty() && line[0] == '[') {
            const size_t close = line.rfind("] ");
            if (close != std::string::npos && close + 2 < line.size() &&
                line.find_first_not_of("0123456789", close + 2) == std::string::npos)
                line.resize(close + 1);
        }
        out += line;
        out += '\n';
    }
    return out;
}


std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

pid_t spawn(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

TEST(ApplyCrash, EachRegistryFileIsOldOrNewWhereverTheKillLands) {
    const std::string exe = QV_BINARY_DIR "/app/quorvel";
    if (!QFileInfo(QString::fromStdString(exe)).isExecutable())
        GTEST_SKIP() << exe << " is not built";

    TempDir dir;
    const fs::path folder = dir.path() / "m";
    reg::Machine::openOwn(folder);
    const std::set<std::string> initial = entries(folder);
    for (const char* f : kFiles)
        ASSERT_TRUE(initial.count(f)) << f;

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);

    constexpr int kKills = 30;
    const auto deadline = Clock::now() + std::chrono::seconds(50);
    int killed = 0, finished = 0, leftTemporaries = 0, finishedOnOpen = 0;
    std::map<std::string, int> outcomes;  // "system/user" as old/new

    for (int run = 0; run < kKills && Clock::now() < deadline; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        // Pages 23, 24, 26 (user.reg) and 30, 31 (system.reg); the slider and the name differ in
        // every run, so both files change whatever an earlier kill left.
        const std::string flag = std::to_string(run % 2);
        const std::vector<std::string> args = {
            "--machine", folder.string(),
            "--set", "chkClickHeretoBegin=" + flag,
            "--set", "chkAnimateWindows=" + std::to_string(1 - run % 2),
            "--set", "sldMenuShowDelay=" + std::to_string(100 + run),
            "--set", "chkDisableTilde=" + flag,
            "--set", "txtRegisteredName=Owner " + std::to_string(run),
            "--apply"};

        // The uninterrupted Apply gives the new contents; the old ones are then put back.
        std::string before[2], after[2];
        for (int i = 0; i < 2; ++i)
            before[i] = readBytes(folder / kFiles[i]);
        const auto start = Clock::now();
        const pid_t ref = spawn(exe, args);
        ASSERT_GT(ref, 0);
        const int refStatus = waitFor(ref);
        const auto took = Clock::now() - start;
        ASSERT_TRUE(WIFEXITED(refStatus) && WEXITSTATUS(refStatus) == 0) << "status " << refStatus;
        // The commit just made removed what an earlier killed commit left behind.
        EXPECT_EQ(entries(folder), initial);
        for (int i = 0; i < 2; ++i) {
            after[i] = readBytes(folder / kFiles[i]);
            ASSERT_NE(withoutKeyTimes(after[i]), withoutKeyTimes(before[i])) << kFiles[i];
            writeBytes(folder / kFiles[i], before[i]);
        }

        // Most kills aim at the end of the run, where the commit is; the rest anywhere before.
        const double t = std::chrono::duration<double, std::micro>(took).count();
        const double delay = std::uniform_int_distribution<int>(0, 2)(rng) == 0
                                 ? std::uniform_real_distribution<double>(0, t)(rng)
                                 : std::uniform_real_distribution<double>(0.75 * t, 1.05 * t)(rng);
        const pid_t pid = spawn(exe, args);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(delay)));
        ::kill(pid, SIGKILL);
        const int status = waitFor(pid);
        if (WIFSIGNALED(status)) {
            ++killed;
        } else {
            ++finished;
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }

        // Opening the machine finishes a save the kill interrupted between its renames.
        for (const std::string& name : entries(folder))
            if (!initial.count(name)) ++leftTemporaries;
        {
            const auto m = reg::Machine::openOwn(folder);
            for (const std::string& w : m->warnings()) {
                EXPECT_EQ(w.rfind("An interrupted save was completed", 0), 0u) << w;
                ++finishedOnOpen;
            }
        }
        std::string state;
        for (int i = 0; i < 2; ++i) {
            const std::string now = readBytes(folder / kFiles[i]);
            const bool old = now == before[i];
            const bool fresh = withoutKeyTimes(now) == withoutKeyTimes(after[i]);
            EXPECT_TRUE(old || fresh) << kFiles[i] << " is neither its old nor its new content after "
                                      << delay / 1000 << " ms";
            state += std::string(i ? "/" : "") + (old ? "old" : fresh ? "new" : "torn");
        }
        EXPECT_TRUE(state == "old/old" || state == "new/new") << state << " after " << delay / 1000 << " ms";
        ++outcomes[state];
        // Nothing is left behind once the machine was opened.
        EXPECT_EQ(entries(folder), initial);
        if (::testing::Test::HasFailure()) break;
    }

    std::ostringstream summary;
    summary << killed << " killed, " << finished << " finished first, " << leftTemporaries
            << " files left by the kills, " << finishedOnOpen << " saves finished on opening;";
    for (const auto& [state, n] : outcomes)
        summary << ' ' << state << '=' << n;
    std::cout << summary.str() << '\n';
    RecordProperty("outcomes", summary.str());
    // The kills must really interrupt runs, not only follow finished ones.
    EXPECT_GE(killed, kKills / 3) << summary.str();
    EXPECT_GE(killed + finished, kKills / 2) << summary.str();
}
