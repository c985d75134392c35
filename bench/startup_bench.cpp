// Start-up of Quorvel to a drawn window with its load pass done, beside an empty Qt window, and
// the load and save passes alone, on a machine with 20,000 class keys and 5,000 extensions.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "app/frmmain.h"
#include "bench/first_drawing.h"
#include "bench/gen_registry.h"
#include "registry/machines/machine.h"

extern char** environ;

namespace fs = std::filesystem;
using qv::bench::timeToFirstDrawing;

namespace {

const fs::path& machineFolder() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("qv-startup-bench-" + std::to_string(::getpid()));
        fs::create_directories(d / "drive_c" / "WINDOWS" / "SYSTEM");
        std::ofstream(d / "system.reg", std::ios::binary) << qv::bench::generateRegistry(qv::bench::bigClassesShape()).text;
        qv::bench::RegistryShape user;
        user.branch = qv::bench::RegistryShape::Branch::User;
        user.pageKeys = true;
        user.targetBytes = 64 * 1024;
        std::ofstream(d / "user.reg", std::ios::binary) << qv::bench::generateRegistry(user).text;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(fs::temp_directory_path() / ("qv-startup-bench-" + std::to_string(::getpid())), ec);
        });
        return d;
    }();
    return dir;
}

void startup(benchmark::State& state, std::vector<std::string> argv) {
    ::setenv("QV_EXIT_WHEN_DRAWN", "1", 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (auto _ : state) {
        const double seconds = timeToFirstDrawing(argv);
        if (seconds < 0) {
            state.SkipWithError("the program did not start, draw its window and exit cleanly");
            break;
        }
        state.SetIterationTime(seconds);
    }
}

// A real Wine prefix made once by wineboot (or the one QV_BENCH_WINE_PREFIX names), with Wine's
// own shell32.dll behind the overlay previews.
const fs::path& winePrefix() {
    static const fs::path dir = [] {
        if (const char* given = std::getenv("QV_BENCH_WINE_PREFIX"); given && *given) return fs::path(given);
        const fs::path d = fs::temp_directory_path() / ("qv-startup-bench-wine-" + std::to_string(::getpid()));
        const std::string cmd = "WINEDEBUG=-all WINEPREFIX='" + d.string() +
                                "' wineboot -i </dev/null >/dev/null 2>&1 && WINEPREFIX='" + d.string() +
                                "' wineserver -w";
        if (std::system(cmd.c_str()) != 0) return fs::path();
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(fs::temp_directory_path() / ("qv-startup-bench-wine-" + std::to_string(::getpid())), ec);
        });
        return d;
    }();
    return dir;
}

void BM_StartupEmptyQtWindow(benchmark::State& state) { startup(state, {QV_EMPTY_WINDOW}); }
void BM_StartupQuorvelWinePrefix(benchmark::State& state) {
    if (winePrefix().empty() || !fs::exists(winePrefix() / "system.reg")) {
        state.SkipWithError("no Wine prefix (wineboot failed; QV_BENCH_WINE_PREFIX names one)");
        return;
    }
    startup(state, {QV_QUORVEL, "--wine-prefix", winePrefix().string()});
}
void BM_StartupQuorvel(benchmark::State& state) {
    startup(state, {QV_QUORVEL, "--machine", machineFolder().string()});
}
// The same window over the small seed registry: what the window itself costs.
void BM_StartupQuorvelSeedMachine(benchmark::State& state) {
    static const fs::path seeded = [] {
        fs::path d = machineFolder().parent_path() / (machineFolder().filename().string() + "-seed");
        qv::reg::Machine::openOwn(d);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(machineFolder().parent_path() / (machineFolder().filename().string() + "-seed"), ec);
        });
        return d;
    }();
    startup(state, {QV_QUORVEL, "--machine", seeded.string()});
}
BENCHMARK(BM_StartupQuorvelSeedMachine)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_StartupEmptyQtWindow)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_StartupQuorvelWinePrefix)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_StartupQuorvel)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

struct Window {
    std::unique_ptr<qv::reg::Machine> machine = qv::reg::Machine::openOwn(machineFolder());
    qv::frmMain form{*machine};
};

Window& window() {
    static int argc = 1;
    static char name[] = "startup_bench";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(argc, argv);
    static Window w;
    return w;
}

void BM_LoadPass(benchmark::State& state) {
    Window& w = window();
    for (auto _ : state) w.form.LoadSettings();
}
void BM_SavePass(benchmark::State& state) {
    Window& w = window();
    for (auto _ : state) w.form.SaveSettings();
}
BENCHMARK(BM_LoadPass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SavePass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
