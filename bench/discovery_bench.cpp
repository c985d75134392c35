// Listing the machines of a home folder holding 200 Wine prefixes spread over every front end's
// layout, as File > Open Machine and --list-machines do each time they are asked.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "registry/machines/discovery.h"

namespace fs = std::filesystem;
using namespace qv::reg;

namespace {

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// A system.reg of about 256 KB whose version key sits near the end, as Wine sorts it.
std::string systemReg() {
    std::string s = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
    for (int i = 0; s.size() < 256 * 1024; ++i)
        s += "[Software\\\\Classes\\\\.ext" + std::to_string(i) + "] 1700000000\n#time=1d\n@=\"file" +
             std::to_string(i) + "\"\n\n";
    s += "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1700000000\n\"CurrentVersion\"=\"6.3\"\n"
         "\"ProductName\"=\"Microsoft Windows 10\"\n\n";
    return s;
}

struct Home {
    fs::path root;
    Home() {
        std::string tmpl = (fs::temp_directory_path() / "qv-discovery-bench-XXXXXX").string();
        root = ::mkdtemp(tmpl.data());
        const std::string sys = systemReg();
        const std::string user = "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21\n\n";
        auto prefix = [&](const fs::path& p) {
            write(p / "system.reg", sys);
            write(p / "user.reg", user);
        };
        prefix(root / ".wine");
        const fs::path steamapps = root / ".local/share/Steam/steamapps";
        for (int i = 0; i < 199; ++i) {
            const std::string n = std::to_string(i);
            switch (i % 5) {
            case 0: prefix(root / ".local/share/bottles/bottles" / ("b" + n)); break;
            case 1: prefix(root / "Games" / ("g" + n)); break;
            case 2:
                prefix(steamapps / "compatdata" / n / "pfx");
                write(steamapps / ("appmanifest_" + n + ".acf"), "\"AppState\"\n{\n\t\"name\"\t\t\"Game " + n + "\"\n}\n");
                break;
            case 3: prefix(root / "Games/Heroic/Prefixes" / ("h" + n)); break;
            case 4: prefix(root / ".PlayOnLinux/wineprefix" / ("p" + n)); break;
            }
        }
    }
    ~Home() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

void run(benchmark::State& state, bool details) {
    static Home home;
    DiscoveryOptions o;
    o.home = home.root;
    o.ownFolder = home.root / "own";
    o.readDetails = details;
    size_t found = 0;
    for (auto _ : state) {
        auto all = discoverMachines(o);
        found = all.size();
        benchmark::DoNotOptimize(all);
    }
    state.counters["machines"] = double(found);
    if (found != 201) state.SkipWithError("the home's 200 prefixes were not all found");
}

void BM_Discovery200Prefixes(benchmark::State& state) { run(state, true); }
void BM_Discovery200PrefixesWithoutDetails(benchmark::State& state) { run(state, false); }

}  // namespace

BENCHMARK(BM_Discovery200Prefixes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Discovery200PrefixesWithoutDetails)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
