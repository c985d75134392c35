// Benchmarks of the registry file store on generated Wine registry files of about 2 MB and 20 MB.
//
// Targets (shared/design.md): open <= 2 ms per MB, commit <= 2 ms per MB plus the fsync, memory
// <= 3x the file size. wineserver needs 12-20 ms per MB to load and about 20 ms per MB to save.
//
// Counters: "MB/s" (bytes_per_second), "ms/MB" (wall time per MB of registry text), "cpu_ms/MB"
// (the same in this thread's CPU time, steady on a busy machine), "file_MB",
// and for the memory benchmarks "peak_x" / "kept_x" (heap bytes at the peak of the operation and
// kept afterwards, as multiples of the file size; the file's own text read into memory counts).
// Every benchmark measures wall-clock time. The commit benchmarks write into a folder below
// $QV_BENCH_DIR (default: the system's temporary folder), so that a real disk can be chosen.
//
//   build/bench/registry_bench                      # all
//   build/bench/registry_bench --benchmark_filter=Open

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/bytes_read.h"
#include "bench/gen_registry.h"
#include "registry/api.h"
#include "registry/fileid.h"
#include "registry/machines/machine.h"
#include "registry/wine/winefile.h"

// ---- heap accounting -------------------------------------------------------------------------
// While the memory benchmarks measure, every operator new of the program is counted, so they see
// the store's whole footprint: the tree, the names and data, and the file text it keeps. The
// other benchmarks run without the accounting, which would slow every allocation down.

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

void noteAlloc(void* p) {
    if (!p || !g_counting.load(std::memory_order_relaxed)) return;
    long long now = g_live.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed) +
                    static_cast<long long>(malloc_usable_size(p));
    long long peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}
void noteFree(void* p) {
    if (p && g_counting.load(std::memory_order_relaxed)) g_live.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
}
void* countedAlloc(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    noteAlloc(p);
    return p;
}
}  // namespace

void* operator new(std::size_t n) { return countedAlloc(n); }
void* operator new[](std::size_t n) { return countedAlloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    void* p = std::malloc(n ? n : 1);
    noteAlloc(p);
    return p;
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    void* p = std::malloc(n ? n : 1);
    noteAlloc(p);
    return p;
}
void operator delete(void* p) noexcept { noteFree(p); std::free(p); }
void operator delete[](void* p) noexcept { noteFree(p); std::free(p); }
void operator delete(void* p, std::size_t) noexcept { noteFree(p); std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { noteFree(p); std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { noteFree(p); std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { noteFree(p); std::free(p); }

namespace {

namespace fs = std::filesystem;
using qv::reg::Machine;
using qv::reg::RegFile;

constexpr double kMB = 1024.0 * 1024.0;

// ---- inputs ----------------------------------------------------------------------------------

const std::string& systemText(size_t mb) {
    static std::map<size_t, std::string> cache;
    auto it = cache.find(mb);
    if (it == cache.end()) it = cache.emplace(mb, qv::bench::generateSystemReg(mb * 1024 * 1024)).first;
    return it->second;
}

const std::string& userText() {
    static const std::string text = qv::bench::generateUserReg(256 * 1024);
    return text;
}

const std::string& bigClassesText() {
    static const std::string text = qv::bench::generateRegistry(qv::bench::bigClassesShape()).text;
    return text;
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
}

// A Wine prefix below $QV_BENCH_DIR holding the generated files; removed at destruction.
class Prefix {
public:
    explicit Prefix(const std::string& systemReg) {
        const char* base = std::getenv("QV_BENCH_DIR");
        fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
        std::string tmpl = (root / "qv-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed in " + root.string());
        dir_ = tmpl;
        fs::create_directories(dir_ / "drive_c" / "windows" / "system32");
        fs::create_directories(dir_ / "dosdevices");
        fs::create_directory_symlink("../drive_c", dir_ / "dosdevices" / "c:");
        writeFile(dir_ / "system.reg", systemReg);
        writeFile(dir_ / "user.reg", userText());
        bytes_ = systemReg.size() + userText().size();
    }
    ~Prefix() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const fs::path& dir() const { return dir_; }
    size_t bytes() const { return bytes_; }

private:
    fs::path dir_;
    size_t bytes_ = 0;
};

// Wall time and this thread's CPU time of the measured parts of the iterations, kept beside the
// library's own timing so that ms/MB can be reported as plain numbers. The CPU figure is the one
// to trust on a busy machine; the wall figure includes waiting for the disk.
class Stopwatch {
public:
    void start() {
        t0_ = std::chrono::steady_clock::now();
        c0_ = threadCpu();
    }
    void stop() {
        total_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
        cpu_ += threadCpu() - c0_;
    }
    double seconds() const { return total_; }
    double cpuSeconds() const { return cpu_; }

private:
    static double threadCpu() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    std::chrono::steady_clock::time_point t0_;
    double c0_ = 0;
    double total_ = 0, cpu_ = 0;
};

void setSizeCounters(benchmark::State& state, size_t bytes, const Stopwatch& sw) {
    const double mb = static_cast<double>(bytes) / kMB;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.counters["file_MB"] = mb;
    if (state.iterations() > 0 && mb > 0) {
        state.counters["ms/MB"] = sw.seconds() * 1000.0 / static_cast<double>(state.iterations()) / mb;
        state.counters["cpu_ms/MB"] = sw.cpuSeconds() * 1000.0 / static_cast<double>(state.iterations()) / mb;
    }
}

// ---- open ------------------------------------------------------------------------------------

// Parsing the text of one file, already in memory.
void BM_Parse(benchmark::State& state, const std::string& text) {
    Stopwatch sw;
    for (auto _ : state) {
        state.PauseTiming();
        std::string copy = text;
        state.ResumeTiming();
        sw.start();
        std::string error;
        auto file = RegFile::parse(std::move(copy), "system.reg", &error);
        benchmark::DoNotOptimize(file.get());
        sw.stop();
        state.PauseTiming();
        if (!file) {
            state.SkipWithError(error.c_str());
            break;
        }
        file.reset();
        state.ResumeTiming();
    }
    setSizeCounters(state, text.size(), sw);
}

void BM_Open2MB(benchmark::State& s) { BM_Parse(s, systemText(2)); }
void BM_Open20MB(benchmark::State& s) { BM_Parse(s, systemText(20)); }
void BM_OpenBigClasses(benchmark::State& s) { BM_Parse(s, bigClassesText()); }

// Opening a whole machine (a Wine prefix): reading both files from disk and parsing them.
void BM_OpenMachine(benchmark::State& state, const std::string& text) {
    Prefix prefix(text);
    Stopwatch sw;
    for (auto _ : state) {
        sw.start();
        auto m = Machine::openWinePrefix(prefix.dir());
        benchmark::DoNotOptimize(m.get());
        sw.stop();
        state.PauseTiming();
        if (!m->warnings().empty()) {
            state.SkipWithError(m->warnings().front().c_str());
            break;
        }
        m.reset();
        state.ResumeTiming();
    }
    setSizeCounters(state, prefix.bytes(), sw);
}

void BM_OpenMachine2MB(benchmark::State& s) { BM_OpenMachine(s, systemText(2)); }
void BM_OpenMachine20MB(benchmark::State& s) { BM_OpenMachine(s, systemText(20)); }

// ---- commit ----------------------------------------------------------------------------------

std::string dwordBytes(uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
    return std::string(b, 4);
}

// Serialising a file after one change (the CPU part of a commit).
void BM_Serialize(benchmark::State& state, const std::string& text) {
    std::string error;
    auto file = RegFile::parse(text, "system.reg", &error);
    if (!file) {
        state.SkipWithError(error.c_str());
        return;
    }
    uint32_t n = 0;
    Stopwatch sw;
    for (auto _ : state) {
        state.PauseTiming();
        qv::reg::RegKey* k = nullptr;
        file->createKey(u"Software\\Quorvel\\Bench", &k);
        file->setValue(k, u"Counter", qv::reg::REG_DWORD, dwordBytes(++n));
        state.ResumeTiming();
        sw.start();
        std::string out = file->serialize();
        benchmark::DoNotOptimize(out.data());
        sw.stop();
    }
    setSizeCounters(state, text.size(), sw);
}

void BM_Serialize2MB(benchmark::State& s) { BM_Serialize(s, systemText(2)); }
void BM_Serialize20MB(benchmark::State& s) { BM_Serialize(s, systemText(20)); }

// A full commit of a machine after one change in system.reg: serialise, write a temporary file,
// fsync, rename over system.reg, fsync the folder (user.reg is unchanged and not written).
// reads_per_commit: how many times the commit read system.reg whole (the opening aside).
void BM_Commit(benchmark::State& state, const std::string& text) {
    Prefix prefix(text);
    // Files just written are hashed at each look until their times are a clock tick old.
    while (!qv::reg::settledAt(*qv::reg::fileIdAt(prefix.dir() / "system.reg"), qv::reg::wallClockNow()))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::unique_ptr<Machine> m;
    try {
        m = Machine::openWinePrefix(prefix.dir());
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    uint32_t n = 0;
    uint64_t read = 0;
    Stopwatch sw;
    for (auto _ : state) {
        state.PauseTiming();
        qv::reg::HKey h = nullptr;
        if (m->createKey(qv::reg::HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Bench", &h) != qv::reg::ERROR_SUCCESS ||
            m->setValue(h, "Counter", qv::reg::REG_DWORD, dwordBytes(++n)) != qv::reg::ERROR_SUCCESS) {
            state.SkipWithError("cannot set the value");
            break;
        }
        m->closeKey(h);
        state.ResumeTiming();
        const uint64_t readBefore = qvbench::bytesReadSoFar();
        sw.start();
        try {
            m->commit();
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        sw.stop();
        read += qvbench::bytesReadSoFar() - readBefore;
    }
    setSizeCounters(state, text.size(), sw);
    if (state.iterations() > 0)
        state.counters["reads_per_commit"] =
            static_cast<double>(read) / static_cast<double>(text.size()) / static_cast<double>(state.iterations());
}

void BM_Commit2MB(benchmark::State& s) { BM_Commit(s, systemText(2)); }
void BM_Commit20MB(benchmark::State& s) { BM_Commit(s, systemText(20)); }

// The disk's share of a commit: writing the same bytes to a temporary file, fsync, rename,
// fsync of the folder, with no registry work at all. Commit minus this is the store's cost.
void BM_WriteFsyncBaseline(benchmark::State& state, const std::string& text) {
    Prefix prefix(text);
    const fs::path target = prefix.dir() / "system.reg";
    const fs::path tmp = prefix.dir() / "system.reg.qvtmp";
    Stopwatch sw;
    for (auto _ : state) {
        sw.start();
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            state.SkipWithError("cannot create the temporary file");
            break;
        }
        size_t off = 0;
        while (off < text.size()) {
            ssize_t w = ::write(fd, text.data() + off, text.size() - off);
            if (w <= 0) break;
            off += static_cast<size_t>(w);
        }
        ::fsync(fd);
        ::close(fd);
        ::rename(tmp.c_str(), target.c_str());
        int dfd = ::open(prefix.dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        sw.stop();
    }
    setSizeCounters(state, text.size(), sw);
}

void BM_WriteFsync2MB(benchmark::State& s) { BM_WriteFsyncBaseline(s, systemText(2)); }
void BM_WriteFsync20MB(benchmark::State& s) { BM_WriteFsyncBaseline(s, systemText(20)); }

// ---- memory ----------------------------------------------------------------------------------

// Heap use of a parsed file against the file's size: at the peak of parsing (the text being
// read counts) and kept afterwards while the file is open.
void BM_Memory(benchmark::State& state, const std::string& text) {
    double peakX = 0, keptX = 0;
    for (auto _ : state) {
        const long long base = g_live.load();
        g_peak.store(base);
        g_counting = true;
        std::string copy = text;  // the file as read from disk
        std::string error;
        auto file = RegFile::parse(std::move(copy), "system.reg", &error);
        g_counting = false;
        if (!file) {
            state.SkipWithError(error.c_str());
            break;
        }
        const double size = static_cast<double>(text.size());
        peakX = static_cast<double>(g_peak.load() - base) / size;
        keptX = static_cast<double>(g_live.load() - base) / size;
        benchmark::DoNotOptimize(file.get());
        g_live = base;
    }
    state.counters["peak_x"] = peakX;
    state.counters["kept_x"] = keptX;
    state.counters["file_MB"] = static_cast<double>(text.size()) / kMB;
}

void BM_Memory2MB(benchmark::State& s) { BM_Memory(s, systemText(2)); }
void BM_Memory20MB(benchmark::State& s) { BM_Memory(s, systemText(20)); }

// The same for a whole machine opened from disk (both files), against the two files' size.
void BM_MemoryMachine(benchmark::State& state, const std::string& text) {
    Prefix prefix(text);
    double peakX = 0, keptX = 0;
    for (auto _ : state) {
        const long long base = g_live.load();
        g_peak.store(base);
        g_counting = true;
        auto m = Machine::openWinePrefix(prefix.dir());
        g_counting = false;
        const double size = static_cast<double>(prefix.bytes());
        peakX = static_cast<double>(g_peak.load() - base) / size;
        keptX = static_cast<double>(g_live.load() - base) / size;
        benchmark::DoNotOptimize(m.get());
        g_live = base;
    }
    state.counters["peak_x"] = peakX;
    state.counters["kept_x"] = keptX;
    state.counters["file_MB"] = static_cast<double>(prefix.bytes()) / kMB;
}

void BM_MemoryMachine20MB(benchmark::State& s) { BM_MemoryMachine(s, systemText(20)); }

// ---- the generator itself --------------------------------------------------------------------

void BM_Generate2MB(benchmark::State& state) {
    size_t bytes = 0;
    Stopwatch sw;
    for (auto _ : state) {
        sw.start();
        std::string t = qv::bench::generateSystemReg(2 * 1024 * 1024, 7);
        sw.stop();
        bytes = t.size();
        benchmark::DoNotOptimize(t.data());
    }
    setSizeCounters(state, bytes, sw);
}

}  // namespace

BENCHMARK(BM_Open2MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Open20MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenBigClasses)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenMachine2MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenMachine20MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Serialize2MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Serialize20MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Commit2MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Commit20MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteFsync2MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteFsync20MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memory2MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Memory20MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_MemoryMachine20MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Generate2MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- the generator's promise ------------------------------------------------------------------

namespace {

void markAllChanged(qv::reg::RegKey& k) {
    k.rawValid = false;
    for (auto& sub : k.subkeys) markAllChanged(*sub);
}

// The generated text must be what Wine would write: it parses without warnings, and the store's
// writer, made to write every key anew, gives the identical bytes.
bool verify(const char* what, const std::string& text) {
    std::string error;
    auto file = RegFile::parse(text, what, &error);
    if (!file) {
        std::fprintf(stderr, "%s: refused: %s\n", what, error.c_str());
        return false;
    }
    if (!file->warnings().empty()) {
        std::fprintf(stderr, "%s: %zu warnings, first: %s\n", what, file->warnings().size(),
                     file->warnings().front().c_str());
        return false;
    }
    if (file->serialize() != text) {
        std::fprintf(stderr, "%s: unchanged write-back differs from the input\n", what);
        return false;
    }
    markAllChanged(file->root());
    const std::string again = file->serialize();
    if (again != text) {
        size_t i = 0;
        while (i < again.size() && i < text.size() && again[i] == text[i]) ++i;
        size_t line = 1;
        for (size_t j = 0; j < i; ++j) line += text[j] == '\n';
        std::fprintf(stderr, "%s: rewritten text differs from the generated one at line %zu\n", what, line);
        return false;
    }
    std::fprintf(stderr, "%s: %zu bytes, identical after a full rewrite\n", what, text.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // --verify: only check that generated files (mixed, user, big classes) are in Wine's exact form.
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--verify") {
            qv::bench::RegistryShape s;
            s.targetBytes = 512 * 1024;
            s.seed = 42;
            s.pageKeys = true;
            s.classes = 300;
            s.extensions = 200;
            s.shellNew = 60;
            bool ok = verify("mixed system.reg", qv::bench::generateRegistry(s).text);
            s.branch = qv::bench::RegistryShape::Branch::User;
            s.arch = "win32";
            ok = verify("mixed user.reg", qv::bench::generateRegistry(s).text) && ok;
            ok = verify("big classes system.reg", bigClassesText()) && ok;
            ok = verify("2 MB system.reg", systemText(2)) && ok;
            return ok ? 0 : 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
