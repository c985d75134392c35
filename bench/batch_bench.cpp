// One 4 KB profile onto many machines: `--machines` (a session each, no window) against the same
// import run once per machine as `quorvel --machine DIR --import FILE --apply` would (the window
// built offscreen each time). Each iteration switches every machine to the other of two profiles,
// so every run really writes. Machines and backups live below $QV_BENCH_DIR (default: /tmp).
//
//   build/bench/batch_bench

#include <benchmark/benchmark.h>

#include "bench/qt_main.h"

#include <QApplication>
#include <QStringList>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/script.h"
#include "registry/machines/machine.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMachines = 200;

struct Fixture {
    fs::path root;
    QStringList folders;
    fs::path profiles[2];
    Fixture() {
        const char* base = std::getenv("QV_BENCH_DIR");
        root = fs::path(base ? base : fs::temp_directory_path().string()) / "qv-batch-bench";
        fs::remove_all(root);
        ::setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
        for (int i = 0; i < kMachines; ++i) {
            const fs::path f = root / ("m" + std::to_string(i));
            qv::reg::Machine::openOwn(f);
            folders << QString::fromStdString(f.string());
        }
        // About 4 KB each: a page value and a vendor's settings.
        for (int p = 0; p < 2; ++p) {
            std::ostringstream text;
            text << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"" << (100 + p) << "\"\n";
            for (int k = 0; k < 20; ++k) {
                text << "\n[HKEY_CURRENT_USER\\Software\\Vendor\\Game\\Settings" << k << "]\n";
                for (int v = 0; v < 5; ++v)
                    text << "\"Option" << v << "\"=\"value " << p << '-' << k << '-' << v << "\"\n";
            }
            profiles[p] = root / ("profile" + std::to_string(p) + ".reg");
            std::ofstream(profiles[p]) << text.str();
        }
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

int run(const QStringList& args) {
    std::ostringstream out, err;
    return qv::cli::runScript(qv::cli::parse(args), out, err);
}

void BM_ProfileOnManyMachines(benchmark::State& state) {
    Fixture& f = fixture();
    int p = 0;
    for (auto _ : state) {
        const QString profile = QString::fromStdString(f.profiles[p ^= 1].string());
        if (run({"--machines", f.folders.join(','), "--import", profile, "--apply"}) != 0)
            state.SkipWithError("--machines failed");
    }
    state.counters["machines"] = kMachines;
}

void BM_ProfileOneMachineAtATime(benchmark::State& state) {
    Fixture& f = fixture();
    int p = 0;
    for (auto _ : state) {
        const QString profile = QString::fromStdString(f.profiles[p ^= 1].string());
        for (const QString& folder : f.folders)
            if (run({"--machine", folder, "--import", profile, "--apply"}) != 0)
                state.SkipWithError("an import failed");
    }
    state.counters["machines"] = kMachines;
}

BENCHMARK(BM_ProfileOnManyMachines)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_ProfileOneMachineAtATime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) { return qv::bench::runWithWidgets(argc, argv); }
