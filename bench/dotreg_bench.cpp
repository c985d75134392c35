// Benchmarks of .reg files on a generated user registry whose HKCU\Software exports to about
// 20 MB (UTF-16): quorvel-reg export and import end to end (machine opened, file written or
// applied and committed), and the reader and writer alone. "MB/s" counts the .reg file's bytes.
//
//   build/bench/dotreg_bench
//   build/bench/dotreg_bench --make-machine DIR   # writes the machine, for timing Wine by hand
//
// The machine is written below $QV_BENCH_DIR (default: the system's temporary folder).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/gen_registry.h"
#include "registry/cli/reg_tool.h"
#include "registry/regfile/dotreg.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kUserRegBytes = 11 * 1024 * 1024;  // HKCU\Software then exports to ~20 MB
const char* const kKey = "HKCU\\Software";

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }

void makeMachine(const fs::path& dir) {
    fs::create_directories(dir);
    writeFile(dir / "user.reg", qv::bench::generateUserReg(kUserRegBytes));
    writeFile(dir / "system.reg", qv::bench::generateSystemReg(64 * 1024));
}

int tool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int rc = qv::reg::cli::runRegTool(args, out, err);
    if (rc != 0) std::cerr << "quorvel-reg " << args[2] << ": " << err.str();
    return rc;
}

struct Fixture {
    fs::path root, machine, file;
    std::string bytes;
    std::string emptyUser;

    Fixture() {
        const char* base = std::getenv("QV_BENCH_DIR");
        root = fs::path(base ? base : fs::temp_directory_path().string()) / "qv-dotreg-bench";
        fs::remove_all(root);
        machine = root / "machine";
        makeMachine(machine);
        file = root / "software.reg";
        if (tool({"--machine", machine.string(), "export", kKey, file.string(), "/y"}) != 0) std::abort();
        bytes = readFile(file);
        emptyUser = qv::bench::generateUserReg(16 * 1024, 7);
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

void setRate(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["file_MB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
}

void BM_ExportTool(benchmark::State& state) {
    Fixture& f = fixture();
    const fs::path out = f.root / "out.reg";
    for (auto _ : state) {
        if (tool({"--machine", f.machine.string(), "export", kKey, out.string(), "/y"}) != 0)
            state.SkipWithError("export failed");
    }
    setRate(state, f.bytes.size());
}

void BM_ImportTool(benchmark::State& state) {
    Fixture& f = fixture();
    const fs::path target = f.root / "target";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(target);
        fs::create_directories(target);
        writeFile(target / "user.reg", f.emptyUser);
        fs::copy_file(f.machine / "system.reg", target / "system.reg");
        state.ResumeTiming();
        if (tool({"--machine", target.string(), "import", f.file.string()}) != 0)
            state.SkipWithError("import failed");
    }
    setRate(state, f.bytes.size());
}

void BM_ReadRegFile(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        std::string error;
        auto cs = qv::reg::readRegFile(f.bytes, "software.reg", &error);
        if (!cs) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(cs);
    }
    setRate(state, f.bytes.size());
}

void BM_WriteRegFile(benchmark::State& state) {
    Fixture& f = fixture();
    std::string error;
    const auto cs = qv::reg::readRegFile(f.bytes, "software.reg", &error);
    size_t size = 0;
    for (auto _ : state) {
        const std::string out = qv::reg::writeRegFile(*cs, qv::reg::RegFormat::Unicode);
        size = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    setRate(state, size);
}

BENCHMARK(BM_ExportTool)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportTool)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadRegFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteRegFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--make-machine") == 0) {
        makeMachine(argv[2]);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
