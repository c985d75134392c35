// Opening and committing a Windows installation whose SOFTWARE hive is about 60 MB (made by the
// test hive builder: 3 levels of keys, four values each, like a large real SOFTWARE), against
// reading the same bytes with read(2).
//
// Counters: "ms/MB" (wall time per MB of hive files), "hive_MB". The drive is made once below
// $QV_BENCH_DIR (default: the system's temporary folder) and kept for later runs.
//
//   build/bench/hive_bench

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "registry/machines/machine.h"
#include "tests/tools/hive_builder.h"

namespace fs = std::filesystem;
namespace hb = qvtest::hive;
using namespace qv::reg;

namespace {

constexpr int kTop = 40, kMiddle = 40, kLeaves = 42;  // 67,200 keys with values: SOFTWARE of 60 MB

fs::path benchDir() {
    const char* d = std::getenv("QV_BENCH_DIR");
    return fs::path(d && *d ? d : fs::temp_directory_path().string()) / "quorvel-hive-bench";
}

const fs::path& drive() {
    static const fs::path root = [] {
        const fs::path r = benchDir() / "c";
        const fs::path software = r / "Windows/System32/config/SOFTWARE";
        if (fs::exists(software) && fs::exists(r / "Users/user/NTUSER.DAT")) return r;
        fs::remove_all(r);
        hb::Builder sw;
        sw.set("Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", REG_SZ, hb::sz("C:\\Windows"));
        char key[96], text[160];
        for (int a = 0; a < kTop; ++a)
            for (int b = 0; b < kMiddle; ++b)
                for (int c = 0; c < kLeaves; ++c) {
                    std::snprintf(key, sizeof key, "Generated\\Group %02d\\Set %02d\\{%08X-1234-5678-9ABC-%012d}", a, b,
                                  (a * kMiddle + b) * kLeaves + c, c);
                    std::snprintf(text, sizeof text, "Generated class %d.%d.%d with a description of some length", a, b, c);
                    std::string blob(200, '\0');
                    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>((a + b * 7 + c * 13 + i) & 0xFF);
                    sw.set(key, "", REG_SZ, hb::sz(text))
                        .set(key, "InprocServer32", REG_EXPAND_SZ, hb::sz("%SystemRoot%\\System32\\generated.dll"))
                        .set(key, "Flags", REG_DWORD, hb::dword(static_cast<uint32_t>(a * b * c)))
                        .set(key, "Blob", REG_BINARY, blob);
                }
        sw.write(software);
        hb::Builder sy;
        sy.set("Select", "Current", REG_DWORD, hb::dword(1)).key("ControlSet001\\Control");
        sy.write(r / "Windows/System32/config/SYSTEM");
        hb::Builder nt;
        nt.set("Control Panel\\Desktop", "MenuShowDelay", REG_SZ, hb::sz("400"));
        nt.write(r / "Users/user/NTUSER.DAT");
        return r;
    }();
    return root;
}

double hiveMb() {
    uint64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(drive()))
        if (e.is_regular_file()) total += e.file_size();
    return static_cast<double>(total) / (1 << 20);
}

// Wall time of the loop so far, for the per-MB figure.
struct Clock {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); }
};

void report(benchmark::State& state, double mb, const Clock& clock) {
    state.counters["hive_MB"] = mb;
    state.counters["ms/MB"] = clock.seconds() * 1000.0 / static_cast<double>(state.iterations()) / mb;
}

// The floor: the hive files' bytes read whole.
void BM_ReadHiveFiles(benchmark::State& state) {
    const double mb = hiveMb();
    std::string buf(1 << 20, '\0');
    Clock clock;
    for (auto _ : state) {
        size_t total = 0;
        for (const auto& e : fs::recursive_directory_iterator(drive())) {
            if (!e.is_regular_file()) continue;
            const int fd = ::open(e.path().c_str(), O_RDONLY);
            for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) > 0;) total += static_cast<size_t>(n);
            ::close(fd);
        }
        benchmark::DoNotOptimize(total);
    }
    report(state, mb, clock);
}
BENCHMARK(BM_ReadHiveFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpenWindows(benchmark::State& state) {
    const double mb = hiveMb();
    Clock clock;
    for (auto _ : state) {
        auto m = Machine::openWindows(drive());
        benchmark::DoNotOptimize(m.get());
    }
    report(state, mb, clock);
}
BENCHMARK(BM_OpenWindows)->Unit(benchmark::kMillisecond)->UseRealTime();

// One value changed in the large SOFTWARE hive and committed (the hive rewritten whole, synced,
// read back, renamed).
void BM_CommitSoftware(benchmark::State& state) {
    auto m = Machine::openWindows(drive());
    const double mb = static_cast<double>(fs::file_size(drive() / "Windows/System32/config/SOFTWARE")) / (1 << 20);
    uint32_t n = 0;
    Clock clock;
    for (auto _ : state) {
        HKey k;
        m->createKey(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", &k);
        const uint32_t v = ++n;
        m->setValue(k, "Counter", REG_DWORD, std::string(reinterpret_cast<const char*>(&v), 4));
        m->closeKey(k);
        m->commit();
    }
    report(state, mb, clock);
}
BENCHMARK(BM_CommitSoftware)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
