// The 'New' menu page's two blocks on a machine with 20,000 class keys, 5,000 extensions and
// 1,000 ShellNew keys (bigClassesShape). Target (shared/design.md): each pass <= 20 ms, so this
// page's share must stay well inside it.
//
//   build/bench/new_menu_bench
//   valgrind --tool=callgrind build/bench/new_menu_bench --benchmark_min_time=0.01  # when timings are noisy
//
// Load/First      the first load pass: every extension examined, every entry added
// Load/Reload     Reload Settings: the same walk, entries already listed
// Save/Unchanged  Apply with nothing switched: no key moves
// Save/AllSwitched Apply after every entry was switched: one key move per entry (the commit that
//                 follows is the store's and is measured by registry_bench)
// List/Empty      `quorvel --machine DIR --list` (every page loaded, this one included) on a machine
//                 whose files hold no key
// List/Classes    the same on the machine above; "x_empty" is its mean time over List/Empty's
//                 (the pair runs in this order)
#include <benchmark/benchmark.h>

#include "bench/qt_main.h"
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/pass.h"
#include "app/toolkit.h"
#include "bench/gen_registry.h"
#include "pages/explorer/new_menu.h"
#include "registry/cregistry.h"
#include "registry/machines/machine.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

struct Fixture {
    fs::path dir;
    std::unique_ptr<qv::reg::Machine> machine;

    Fixture() {
        dir = fs::temp_directory_path() / ("qv-new-menu-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir / "drive_c" / "WINDOWS" / "SYSTEM");
        std::ofstream(dir / "system.reg", std::ios::binary)
            << qv::bench::generateRegistry(qv::bench::bigClassesShape()).text;
        qv::bench::RegistryShape user;
        user.branch = qv::bench::RegistryShape::Branch::User;
        user.pageKeys = true;
        std::ofstream(dir / "user.reg", std::ios::binary) << qv::bench::generateRegistry(user).text;
        machine = qv::reg::Machine::openOwn(dir);
    }
    ~Fixture() {
        machine.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void runBlock(qv::Pass::Kind kind, qv::tk::CheckListView& lv) {
    qv::reg::cRegistry r(*fixture().machine);
    qv::Pass p(kind, r);
    if (kind == qv::Pass::Kind::Load)
        qv::pages::loadNewMenu(p, lv);
    else
        qv::pages::saveNewMenu(p, lv);
    if (!p.failures().empty())
        throw std::runtime_error(p.failures().front().toStdString());
}

void BM_NewMenuLoadFirst(benchmark::State& state) {
    fixture();
    int entries = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto lv = std::make_unique<qv::tk::CheckListView>(nullptr, QStringLiteral("lvNewMenu"));
        state.ResumeTiming();
        runBlock(qv::Pass::Kind::Load, *lv);
        state.PauseTiming();
        entries = lv->Count();
        lv.reset();
        state.ResumeTiming();
    }
    state.counters["entries"] = entries;
}

void BM_NewMenuLoadReload(benchmark::State& state) {
    fixture();
    qv::tk::CheckListView lv(nullptr, QStringLiteral("lvNewMenu"));
    runBlock(qv::Pass::Kind::Load, lv);
    for (auto _ : state)
        runBlock(qv::Pass::Kind::Load, lv);
    state.counters["entries"] = lv.Count();
}

void BM_NewMenuSaveUnchanged(benchmark::State& state) {
    fixture();
    qv::tk::CheckListView lv(nullptr, QStringLiteral("lvNewMenu"));
    runBlock(qv::Pass::Kind::Load, lv);
    for (auto _ : state)
        runBlock(qv::Pass::Kind::Save, lv);
    state.counters["entries"] = lv.Count();
}

void BM_NewMenuSaveAllSwitched(benchmark::State& state) {
    Fixture& f = fixture();
    int moves = 0;
    for (auto _ : state) {
        // Every round starts from the registry on disk with every entry's mark flipped.
        state.PauseTiming();
        f.machine->discardChanges();
        auto lv = std::make_unique<qv::tk::CheckListView>(nullptr, QStringLiteral("lvNewMenu"));
        runBlock(qv::Pass::Kind::Load, *lv);
        for (int i = 0; i < lv->Count(); ++i)
            lv->setChecked(i, !lv->Checked(i));
        moves = lv->Count();
        state.ResumeTiming();
        runBlock(qv::Pass::Kind::Save, *lv);
        state.PauseTiming();
        lv.reset();
        state.ResumeTiming();
    }
    f.machine->discardChanges();
    state.counters["moves"] = moves;
}

// Seconds `quorvel --machine folder --list` took, its output thrown away; negative on failure.
double listSeconds(const fs::path& folder) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string dir = folder.string();
    char* argv[] = {const_cast<char*>(QV_QUORVEL), const_cast<char*>("--machine"), const_cast<char*>(dir.c_str()),
                    const_cast<char*>("--list"), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    const bool spawned = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    if (spawned)
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return spawned && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// Times `--list` on a folder in every iteration; returns the mean seconds (0 when it failed).
double timeList(benchmark::State& state, const fs::path& dir) {
    double total = 0;
    for (auto _ : state) {
        const double s = listSeconds(dir);
        if (s < 0) {
            state.SkipWithError("quorvel --list failed");
            return 0;
        }
        total += s;
        state.SetIterationTime(s);
    }
    return state.iterations() ? total / static_cast<double>(state.iterations()) : 0;
}

double g_emptyListSeconds = 0;

void BM_ListEmpty(benchmark::State& state) {
    const fs::path dir = fixture().dir.string() + "-empty";
    fs::create_directories(dir / "drive_c");
    std::ofstream(dir / "system.reg") << "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n";
    std::ofstream(dir / "user.reg")
        << "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n";
    g_emptyListSeconds = timeList(state, dir);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

void BM_ListClasses(benchmark::State& state) {
    const double mean = timeList(state, fixture().dir);
    if (mean > 0 && g_emptyListSeconds > 0) state.counters["x_empty"] = mean / g_emptyListSeconds;
}

BENCHMARK(BM_NewMenuLoadFirst)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewMenuLoadReload)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewMenuSaveUnchanged)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewMenuSaveAllSwitched)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListEmpty)->Name("List/Empty")->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);
BENCHMARK(BM_ListClasses)->Name("List/Classes")->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

}  // namespace

int main(int argc, char** argv) { return qv::bench::runWithWidgets(argc, argv); }
