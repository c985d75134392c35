// The file store against the cost of merely reading its input, and quorvel-reg against Wine's own
// reg on the same prefix. Three inputs: a generated 20 MB user.reg, the system.reg wineboot makes,
// and the key-heavy classes system.reg (20,000 classes, 5,000 extensions, 1,000 ShellNew).
//
//   build/bench/store_bench
//   QV_WINE_PREFIX=DIR build/bench/store_bench   # take system.reg from DIR instead of wineboot
//
// Open/X      read the file and parse it; "x_scan" is its time over Scan/X's, measured in the
//             same iterations (the read and a memchr for every line end)
// ToolMemory/X quorvel-reg query of one value on a prefix whose big file is X: "rss_x" is the
//             process's maximum resident size over the two files' size, "rss_over_idle_x" the
//             same less the resident size of the program on an all but empty prefix
// QueryValue/Quorvel, QueryValue/WineReg  one value of the 20 MB prefix, by quorvel-reg and by
//             `wine reg query` with its wineserver already running
// QueryTree   quorvel-reg query HKCU\Software /s of the 20 MB prefix, output to /dev/null
// Import/X    quorvel-reg import of a 64 MB .reg file (UTF-16) into a new machine, committed:
//             Wide 480,000 keys with a value each, Deep a key 512 levels down (64-character names)
//             with 1.1 million values; "rss_MB" is the process's maximum resident size, "rss_x"
//             that over the file's size
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/gen_registry.h"
#include "registry/wine/winefile.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string readFile(const fs::path& p) {
    std::string s;
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + p.string());
    s.resize(static_cast<size_t>(fs::file_size(p)));
    size_t off = 0;
    while (off < s.size()) {
        ssize_t r = ::read(fd, s.data() + off, s.size() - off);
        if (r <= 0) break;
        off += static_cast<size_t>(r);
    }
    ::close(fd);
    s.resize(off);
    return s;
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
}

struct Run {
    int status = -1;
    double seconds = 0;
};

// Runs a program with its output thrown away; env entries are added to this process's own.
Run runProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    for (const auto& e : env) envStore.push_back(e);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    Run r;
    const auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return r;
    }
    posix_spawn_file_actions_destroy(&fa);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// The inputs, made once: a folder below $QV_BENCH_DIR (or the temporary folder) removed at exit.
class Inputs {
public:
    static Inputs& get() {
        static Inputs in;
        return in;
    }
    std::string error;
    fs::path dir;
    fs::path winePrefix;   // made by wineboot, user.reg replaced by the 20 MB one
    fs::path wineSystem;   // Wine's system.reg and user.reg as wineboot left them
    fs::path classes;      // the classes system.reg and Wine's user.reg
    fs::path tiny;         // two all but empty files
    fs::path user20File, wineSystemFile, classesFile;

    fs::path folderOf(const std::string& which) const {
        return which == "User20MB" ? winePrefix : which == "WineSystem" ? wineSystem : classes;
    }
    fs::path fileOf(const std::string& which) const {
        return which == "User20MB" ? user20File : which == "WineSystem" ? wineSystemFile : classesFile;
    }
    uintmax_t prefixBytes(const fs::path& p) const {
        return fs::file_size(p / "system.reg") + fs::file_size(p / "user.reg");
    }
    std::vector<std::string> wineEnv() const {
        return {"WINEPREFIX=" + winePrefix.string(), "WINEDEBUG=-all"};
    }

    ~Inputs() {
        if (serverStarted_) runProgram({"wineserver", "-k"}, wineEnv());
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }

    // A persistent wineserver on the 20 MB prefix, stopped at exit.
    bool startServer() {
        if (!serverStarted_) serverStarted_ = runProgram({"wineserver", "-p"}, wineEnv()).status == 0;
        return serverStarted_;
    }

private:
    bool serverStarted_ = false;

    Inputs() {
        const char* base = std::getenv("QV_BENCH_DIR");
        fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
        std::string tmpl = (root / "qv-store-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            error = "mkdtemp failed";
            return;
        }
        dir = tmpl;
        winePrefix = dir / "wine";
        if (const char* given = std::getenv("QV_WINE_PREFIX"); given && *given) {
            std::error_code ec;
            fs::copy(given, winePrefix, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
            if (ec) {
                error = "cannot copy " + std::string(given) + ": " + ec.message();
                return;
            }
        } else {
            Run boot = runProgram({"wineboot", "-i"}, wineEnv());
            runProgram({"wineserver", "-w"}, wineEnv());
            if (boot.status != 0 || !fs::exists(winePrefix / "system.reg")) {
                error = "wineboot could not make a prefix (set QV_WINE_PREFIX)";
                return;
            }
        }
        const std::string wineSys = readFile(winePrefix / "system.reg");
        const std::string wineUser = readFile(winePrefix / "user.reg");
        qv::bench::RegistryShape user;
        user.branch = qv::bench::RegistryShape::Branch::User;
        user.pageKeys = true;
        user.targetBytes = 20 * 1024 * 1024;
        writeFile(winePrefix / "user.reg", qv::bench::generateRegistry(user).text);
        user20File = winePrefix / "user.reg";

        auto folder = [&](const char* name, const std::string& sys, const std::string& usr) {
            fs::path p = dir / name;
            fs::create_directories(p / "dosdevices");
            writeFile(p / "system.reg", sys);
            writeFile(p / "user.reg", usr);
            return p;
        };
        wineSystem = folder("winesys", wineSys, wineUser);
        wineSystemFile = wineSystem / "system.reg";
        classes = folder("classes", qv::bench::generateRegistry(qv::bench::bigClassesShape()).text, wineUser);
        classesFile = classes / "system.reg";
        tiny = folder("tiny", "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n",
                      "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
                      "#arch=win64\n");
    }
};

size_t scan(const fs::path& p) {
    const std::string s = readFile(p);
    size_t lines = 0;
    for (const char* q = s.data(); (q = static_cast<const char*>(
                                        std::memchr(q, '\n', static_cast<size_t>(s.data() + s.size() - q))));
         ++q)
        ++lines;
    return lines;
}

void BM_Open(benchmark::State& state, const std::string& which) {
    Inputs& in = Inputs::get();
    if (!in.error.empty()) {
        state.SkipWithError(in.error.c_str());
        return;
    }
    const fs::path file = in.fileOf(which);
    double openSec = 0, scanSec = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        std::string error;
        auto f = qv::reg::RegFile::parse(readFile(file), file.string(), &error);
        benchmark::DoNotOptimize(f.get());
        const auto t1 = Clock::now();
        state.PauseTiming();
        if (!f) {
            state.SkipWithError(error.c_str());
            break;
        }
        f.reset();
        const auto t2 = Clock::now();
        benchmark::DoNotOptimize(scan(file));
        scanSec += std::chrono::duration<double>(Clock::now() - t2).count();
        openSec += std::chrono::duration<double>(t1 - t0).count();
        state.ResumeTiming();
    }
    state.counters["file_MB"] = static_cast<double>(fs::file_size(file)) / (1024.0 * 1024.0);
    if (scanSec > 0) state.counters["x_scan"] = openSec / scanSec;
}

const char* const kTool = QV_REG_TOOL;

void BM_ToolMemory(benchmark::State& state, const std::string& which) {
    Inputs& in = Inputs::get();
    if (!in.error.empty()) {
        state.SkipWithError(in.error.c_str());
        return;
    }
    const fs::path folder = in.folderOf(which);
    const std::string key = which == "User20MB" ? "HKCU\\Control Panel\\Desktop" : "HKCR\\.txt";
    // Measured by /usr/bin/time, a small process of its own: a child spawned from this one
    // would report this process's resident size (kept across exec) when that is the larger.
    const std::string out = (in.dir / "rss").string();
    auto maxRss = [&](const fs::path& prefix, const std::string& k) -> long {
        Run r = runProgram({"/usr/bin/time", "-f", "%M", "-o", out, kTool, "--wine-prefix", prefix.string(),
                            "query", k, "/ve"});
        if (r.status != 0) return -1;
        return std::atol(readFile(out).c_str());
    };
    long rss = 0, idle = 0;
    for (auto _ : state) {
        const long r = maxRss(folder, key), t = maxRss(in.tiny, "HKLM");
        if (r < 0 || t < 0) {
            state.SkipWithError("/usr/bin/time or quorvel-reg query failed");
            return;
        }
        rss = std::max(rss, r);
        idle = std::max(idle, t);
    }
    const double bytes = static_cast<double>(in.prefixBytes(folder));
    state.counters["files_MB"] = bytes / (1024.0 * 1024.0);
    state.counters["rss_MB"] = static_cast<double>(rss) / 1024.0;
    state.counters["idle_rss_MB"] = static_cast<double>(idle) / 1024.0;
    state.counters["rss_x"] = static_cast<double>(rss) * 1024.0 / bytes;
    state.counters["rss_over_idle_x"] = static_cast<double>(rss - idle) * 1024.0 / bytes;
}

void BM_QueryValueQuorvel(benchmark::State& state) {
    Inputs& in = Inputs::get();
    if (!in.error.empty()) {
        state.SkipWithError(in.error.c_str());
        return;
    }
    for (auto _ : state) {
        Run r = runProgram({kTool, "--wine-prefix", in.winePrefix.string(), "query", "HKCU\\Control Panel\\Desktop",
                            "/v", "MenuShowDelay"});
        if (r.status != 0) {
            state.SkipWithError("quorvel-reg query failed");
            break;
        }
        state.SetIterationTime(r.seconds);
    }
}

void BM_QueryValueWineReg(benchmark::State& state) {
    Inputs& in = Inputs::get();
    if (!in.error.empty() || !in.startServer()) {
        state.SkipWithError(in.error.empty() ? "wineserver -p failed" : in.error.c_str());
        return;
    }
    // The first run loads the files into the server and starts Wine's services: not measured.
    runProgram({"wine", "reg", "query", "HKCU\\Control Panel\\Desktop", "/v", "MenuShowDelay"}, in.wineEnv());
    for (auto _ : state) {
        Run r = runProgram({"wine", "reg", "query", "HKCU\\Control Panel\\Desktop", "/v", "MenuShowDelay"},
                           in.wineEnv());
        if (r.status != 0) {
            state.SkipWithError("wine reg query failed");
            break;
        }
        state.SetIterationTime(r.seconds);
    }
}

void BM_QueryTree(benchmark::State& state) {
    Inputs& in = Inputs::get();
    if (!in.error.empty()) {
        state.SkipWithError(in.error.c_str());
        return;
    }
    for (auto _ : state) {
        Run r = runProgram({kTool, "--wine-prefix", in.winePrefix.string(), "query", "HKCU\\Software", "/s"});
        if (r.status != 0) {
            state.SkipWithError("quorvel-reg query /s failed");
            break;
        }
        state.SetIterationTime(r.seconds);
    }
}

}  // namespace

// A .reg file of about `bytes` (UTF-16), and a machine folder to import it into, made once.
struct ImportInput {
    fs::path dir, file, machine;
    std::string error;
    explicit ImportInput(const std::string& which, size_t bytes) {
        const char* base = std::getenv("QV_BENCH_DIR");
        dir = fs::path(base ? base : fs::temp_directory_path().string()) / ("qv-import-bench-" + which);
        fs::remove_all(dir);
        fs::create_directories(dir);
        file = dir / "big.reg";
        machine = dir / "machine";
        std::u16string text = u"Windows Registry Editor Version 5.00\r\n";
        char line[96];
        auto add = [&](const std::string& s) { text.append(s.begin(), s.end()); };
        if (which == "Wide") {
            for (int i = 0; text.size() * 2 < bytes; ++i) {
                std::snprintf(line, sizeof line, "\r\n[HKEY_CURRENT_USER\\Software\\Wide\\k%07d]\r\n\"v\"=\"value %d\"\r\n", i, i);
                add(line);
            }
        } else {
            add("\r\n[HKEY_CURRENT_USER\\Deep");
            for (int i = 1; i < 512; ++i) add("\\" + std::string(64, char('a' + i % 26)));
            add("]\r\n");
            for (int i = 0; text.size() * 2 < bytes; ++i) {
                std::snprintf(line, sizeof line, "\"v%07d\"=dword:%08x\r\n", i, i);
                add(line);
            }
        }
        std::string out = "\xFF\xFE";
        for (char16_t c : text) out += static_cast<char>(c & 0xff), out += static_cast<char>(c >> 8);
        writeFile(file, out);
        // The machine's seed is made once, outside the runs.
        if (runProgram({kTool, "--machine", (dir / "seed").string(), "query", "HKCU"}).status != 0)
            error = "quorvel-reg could not make a machine";
    }
    ~ImportInput() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

void BM_Import(benchmark::State& state, const std::string& which) {
    static std::map<std::string, std::unique_ptr<ImportInput>> made;
    std::unique_ptr<ImportInput>& input = made[which];
    if (!input) input = std::make_unique<ImportInput>(which, size_t(64) << 20);
    ImportInput& in = *input;
    if (!in.error.empty()) {
        state.SkipWithError(in.error.c_str());
        return;
    }
    const std::string rssFile = (in.dir / "rss").string();
    long rss = 0;
    for (auto _ : state) {
        fs::remove_all(in.machine);
        fs::copy(in.dir / "seed", in.machine, fs::copy_options::recursive);
        // Through /usr/bin/time, as ToolMemory: its own peak, not this process's.
        const Run r = runProgram({"/usr/bin/time", "-f", "%M", "-o", rssFile, kTool, "--machine",
                                  in.machine.string(), "import", in.file.string()});
        if (r.status != 0) {
            state.SkipWithError("quorvel-reg import failed");
            return;
        }
        state.SetIterationTime(r.seconds);
        rss = std::max(rss, std::atol(readFile(rssFile).c_str()));
    }
    const double bytes = static_cast<double>(fs::file_size(in.file));
    state.counters["file_MB"] = bytes / (1024.0 * 1024.0);
    state.counters["rss_MB"] = static_cast<double>(rss) / 1024.0;
    state.counters["rss_x"] = static_cast<double>(rss) * 1024.0 / bytes;
}

BENCHMARK_CAPTURE(BM_Open, User20MB, std::string("User20MB"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Open, WineSystem, std::string("WineSystem"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Open, Classes, std::string("Classes"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ToolMemory, User20MB, std::string("User20MB"))->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_ToolMemory, WineSystem, std::string("WineSystem"))->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_ToolMemory, Classes, std::string("Classes"))->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_QueryValueQuorvel)->Name("QueryValue/Quorvel")->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);
BENCHMARK(BM_QueryValueWineReg)->Name("QueryValue/WineReg")->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);
BENCHMARK(BM_QueryTree)->Name("QueryTree")->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK_CAPTURE(BM_Import, Wide, std::string("Wide"))->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK_CAPTURE(BM_Import, Deep, std::string("Deep"))->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

BENCHMARK_MAIN();
