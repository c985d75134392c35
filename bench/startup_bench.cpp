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
#include "bench/gen_registry.h"
#include "registry/machine.h"

extern char** environ;

namespace fs = std::filesystem;

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

// Runs a program to its first drawn window and back; returns false when it failed.
bool runOnce(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void startup(benchmark::State& state, std::vector<std::string> argv) {
    ::setenv("QV_EXIT_WHEN_DRAWN", "1", 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (auto _ : state) {
        if (!runOnce(argv)) {
            state.SkipWithError("the program did not start and exit cleanly");
            break;
        }
    }
}

void BM_StartupEmptyQtWindow(benchmark::State& state) { startup(state, {QV_EMPTY_WINDOW}); }
void BM_StartupQuorvel(benchmark::State& state) {
    startup(state, {QV_QUORVEL, "--machine", machineFolder().string()});
}
BENCHMARK(BM_StartupEmptyQtWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StartupQuorvel)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

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
