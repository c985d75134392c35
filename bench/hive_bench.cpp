// Opening and committing a Windows installation whose SOFTWARE hive is about 60 MB (made by the
// test hive builder: 3 levels of keys, four values each, like a large real SOFTWARE), against
// reading the same bytes with read(2); and one value queried with quorvel-reg against the same
// lookup in hivexsh (libhivex's own shell), each a process of its own, in that SOFTWARE and in a
// SYSTEM of a real size (about 15 MB) beside it.
//
// Counters: "ms/MB" (wall time per MB of hive files), "hive_MB"; for the queries the processor
// time of each tool ("quorvel_cpu_ms", "hivexsh_cpu_ms", their ratio "cpu_x") and quorvel-reg's
// peak resident memory against the hive it reads ("peak_MB", "peak_x"; hivexsh's is
// "hivexsh_peak_MB"). The drives are made once below $QV_BENCH_DIR (default: the system's
// temporary folder) and kept for later runs.
//
//   build-rel/bench/hive_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/first_drawing.h"
#include "registry/machines/machine.h"
#include "tests/tools/hive_builder.h"

namespace fs = std::filesystem;
namespace hb = qvtest::hive;
using namespace qv::reg;

extern char** environ;

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

// A drive with the large SOFTWARE and a SYSTEM the size of a real one: two control sets, each
// with 500 services and 850 device instances with their properties.
const fs::path& systemDrive() {
    static const fs::path root = [] {
        const fs::path r = benchDir() / "c-system";
        const fs::path system = r / "Windows/System32/config/SYSTEM";
        if (fs::exists(system) && fs::exists(r / "Users/user/NTUSER.DAT")) return r;
        fs::remove_all(r);
        fs::create_directories(r / "Windows/System32/config");
        fs::copy_file(drive() / "Windows/System32/config/SOFTWARE", r / "Windows/System32/config/SOFTWARE");
        fs::create_directories(r / "Users/user");
        fs::copy_file(drive() / "Users/user/NTUSER.DAT", r / "Users/user/NTUSER.DAT");
        hb::Builder sy;
        sy.set("Select", "Current", REG_DWORD, hb::dword(1)).set("Select", "Default", REG_DWORD, hb::dword(1));
        char key[160], text[200];
        for (int set = 1; set <= 2; ++set) {
            for (int s = 0; s < 500; ++s) {
                std::snprintf(key, sizeof key, "ControlSet%03d\\Services\\Service %04d", set, s);
                std::snprintf(text, sizeof text, "%%SystemRoot%%\\System32\\drivers\\service%04d.sys", s);
                const std::string k = key;
                sy.set(k, "ImagePath", REG_EXPAND_SZ, hb::sz(text))
                    .set(k, "DisplayName", REG_SZ, hb::sz("Generated service " + std::to_string(s)))
                    .set(k, "Description", REG_SZ, hb::sz(std::string(140, 'd')))
                    .set(k, "Start", REG_DWORD, hb::dword(static_cast<uint32_t>(s % 5)))
                    .set(k, "Type", REG_DWORD, hb::dword(1))
                    .set(k, "ErrorControl", REG_DWORD, hb::dword(1))
                    .set(k + "\\Parameters", "ServiceDll", REG_EXPAND_SZ, hb::sz(text))
                    .set(k + "\\Enum", "Count", REG_DWORD, hb::dword(1));
            }
            for (int dev = 0; dev < 850; ++dev) {
                std::snprintf(key, sizeof key, "ControlSet%03d\\Enum\\PCI\\VEN_%04X&DEV_%04X\\3&%08x&0&%02X", set,
                              0x8086 + dev % 7, dev, dev * 2654435761u, dev % 256);
                const std::string k = key;
                std::snprintf(text, sizeof text, "PCI\\VEN_%04X&DEV_%04X&SUBSYS_00000000&REV_%02X", 0x8086 + dev % 7, dev,
                              dev % 16);
                sy.set(k, "HardwareID", REG_MULTI_SZ, hb::sz(text) + hb::sz(text) + hb::sz(""))
                    .set(k, "CompatibleIDs", REG_MULTI_SZ, hb::sz(text) + hb::sz(text) + hb::sz(text) + hb::sz(""))
                    .set(k, "DeviceDesc", REG_SZ, hb::sz("@oem.inf,%device" + std::to_string(dev) + "%;Generated device"))
                    .set(k, "Driver", REG_SZ, hb::sz("{4d36e97d-e325-11ce-bfc1-08002be10318}\\" + std::to_string(dev)))
                    .set(k, "ConfigFlags", REG_DWORD, hb::dword(0))
                    .set(k + "\\Device Parameters", "InterruptManagement", REG_BINARY, std::string(64, 'i'))
                    .set(k + "\\Properties\\{a8b865dd-2e3d-4094-ad97-e593a70c75d6}\\0002", "", REG_BINARY, std::string(16, 't'))
                    .set(k + "\\Properties\\{83da6326-97a6-4088-9453-a1923f573b29}\\0003", "", REG_BINARY,
                         hb::sz(std::string(60, 'p')));
            }
        }
        sy.write(system);
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

// What one process cost: processor time and peak resident memory.
struct ProcessCost {
    bool ok = false;
    double cpuMs = 0, peakMb = 0;
};

// Runs argv with its output discarded and waits for it. A child's peak memory counts what its
// parent held when it was started, so the tools are started by a small process of their own (this
// program started again, see main): what it reports is the tool's alone.
ProcessCost spawnAndWait(const std::vector<std::string>& argv, int out) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out < 0) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    else posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    ProcessCost c;
    const bool spawned = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
    if (!spawned) return c;
    int st = 0;
    rusage ru{};
    if (::wait4(pid, &st, 0, &ru) != pid) return c;
    c.ok = WIFEXITED(st) && WEXITSTATUS(st) == 0;
    c.cpuMs = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    c.peakMb = static_cast<double>(ru.ru_maxrss) / 1024.0;
    return c;
}

ProcessCost runTool(const std::vector<std::string>& argv) {
    std::vector<std::string> measured{"/proc/self/exe", "--measure"};
    measured.insert(measured.end(), argv.begin(), argv.end());
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const ProcessCost outer = spawnAndWait(measured, fds[1]);
    ::close(fds[1]);
    char buf[128] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    ProcessCost c;
    int ok = 0;
    if (!outer.ok || n <= 0 || std::sscanf(buf, "%d %lf %lf", &ok, &c.cpuMs, &c.peakMb) != 3) return {};
    c.ok = ok != 0;
    return c;
}

// One value of the hive at `file`, queried by quorvel-reg over the whole installation and by
// hivexsh over the hive alone.
void compareQuery(benchmark::State& state, const fs::path& driveRoot, const std::string& file, const std::string& mount,
                  const std::string& key, const std::string& value) {
    const fs::path hive = driveRoot / "Windows/System32/config" / file;
    const fs::path script = benchDir() / (file + "-query.hsh");
    std::ofstream(script) << "cd \\" << key << "\nlsval " << value << "\n";
    const std::vector<std::string> quorvel{QV_REG_TOOL, "--windows", driveRoot.string(), "query",
                                           "HKLM\\" + mount + "\\" + key, "/v", value};
    const std::vector<std::string> hivexsh{"/usr/bin/hivexsh", "-f", script.string(), hive.string()};
    double q = 0, h = 0, peak = 0, hivexPeak = 0;
    for (auto _ : state) {
        const ProcessCost a = runTool(quorvel), b = runTool(hivexsh);
        if (!a.ok || !b.ok) {
            state.SkipWithError(!a.ok ? "quorvel-reg failed" : "hivexsh failed");
            return;
        }
        q += a.cpuMs;
        h += b.cpuMs;
        peak = std::max(peak, a.peakMb);
        hivexPeak = std::max(hivexPeak, b.peakMb);
    }
    const double n = static_cast<double>(state.iterations());
    const double mb = static_cast<double>(fs::file_size(hive)) / (1 << 20);
    state.counters["quorvel_cpu_ms"] = q / n;
    state.counters["hivexsh_cpu_ms"] = h / n;
    state.counters["cpu_x"] = q / h;
    state.counters["peak_MB"] = peak;
    state.counters["hive_MB"] = mb;
    state.counters["peak_x"] = peak / mb;
    state.counters["hivexsh_peak_MB"] = hivexPeak;
}

void BM_QuerySoftware(benchmark::State& state) {
    compareQuery(state, drive(), "SOFTWARE", "Software",
                 "Generated\\Group 05\\Set 07\\{000021FF-1234-5678-9ABC-000000000009}", "Flags");
}
BENCHMARK(BM_QuerySoftware)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_QuerySystem(benchmark::State& state) {
    compareQuery(state, systemDrive(), "SYSTEM", "System", "ControlSet001\\Services\\Service 0350\\Parameters",
                 "ServiceDll");
}
BENCHMARK(BM_QuerySystem)->Unit(benchmark::kMillisecond)->Iterations(5);

#ifdef QV_QUORVEL
// The window drawn over the installation with the large SOFTWARE, against the default machine
// (Quorvel's own, as seeded), each started as a user starts it; "paint_x" is their ratio.
void BM_FirstPaintWindows(benchmark::State& state) {
    const fs::path own = benchDir() / "own";
    if (!fs::exists(own / "system.reg")) Machine::openOwn(own);
    ::setenv("QV_EXIT_WHEN_DRAWN", "1", 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    double windows = 0, byDefault = 0;
    for (auto _ : state) {
        const double w = qv::bench::timeToFirstDrawing({QV_QUORVEL, "--windows", drive().string()});
        const double d = qv::bench::timeToFirstDrawing({QV_QUORVEL, "--machine", own.string()});
        if (w < 0 || d < 0) {
            state.SkipWithError("the program did not start, draw its window and exit cleanly");
            return;
        }
        windows += w;
        byDefault += d;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["windows_ms"] = windows * 1000 / n;
    state.counters["default_ms"] = byDefault * 1000 / n;
    state.counters["paint_x"] = windows / byDefault;
}
BENCHMARK(BM_FirstPaintWindows)->Unit(benchmark::kMillisecond)->Iterations(5);
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--measure") {
        const ProcessCost c = spawnAndWait(std::vector<std::string>(argv + 2, argv + argc), -1);
        std::printf("%d %f %f\n", c.ok ? 1 : 0, c.cpuMs, c.peakMb);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
