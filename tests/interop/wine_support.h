// Running real Wine beside quorvel-reg: child processes with a time limit, a prefix made by
// wineboot, cheap copies of it for each test, and a reader for the .reg files `reg export` writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qv::interop {

namespace fs = std::filesystem;

struct Proc {
    int status = -1;  // exit status, or -1 when killed or not started
    bool timedOut = false;
    std::string out, err;
};

// Runs argv[0] (searched in PATH) with stdin from /dev/null (or the given text), stdout and stderr
// captured; env entries "NAME=value" are added, "NAME" alone removes a variable. The whole
// process group is killed after timeoutSec.
Proc runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                double timeoutSec, const std::string& input = {});

bool inPath(const std::string& program);

// The prefix wineboot made, kept in the build tree between runs (making one takes ~10 s) and never
// run by Wine again; tests work on copies of it.
class WineWorld {
public:
    static WineWorld& get();
    // Nothing when Wine is usable, else why not.
    const std::optional<std::string>& unavailable() const { return unavailable_; }
    const fs::path& base() const { return base_; }

    // A prefix with copies of the base's registry files and its drive_c linked, stopped at exit.
    fs::path copy(const std::string& name);
    // The same from another (stopped) prefix's registry files.
    fs::path copy(const std::string& name, const fs::path& from);

    Proc wine(const fs::path& prefix, std::vector<std::string> args, double timeoutSec = 90) const;
    Proc reg(const fs::path& prefix, std::vector<std::string> args) const;
    // Stops the prefix's wineserver and waits until it has saved and gone.
    void stop(const fs::path& prefix) const;
    // Starts a wineserver that stays until stopped.
    void startServer(const fs::path& prefix) const;

    void setUp();
    void tearDown();

private:
    std::vector<std::string> env(const fs::path& prefix) const;

    std::optional<std::string> unavailable_ = std::string("not set up");
    fs::path base_, scratch_;
    std::vector<fs::path> copies_;
};

// A test that needs the Wine prefix: skipped, saying why, where Wine cannot be used.
class WineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = WineWorld::get().unavailable()) GTEST_SKIP() << *why;
    }
    WineWorld& w = WineWorld::get();
};

Proc tool(const std::vector<std::string>& args, const std::string& input = {});

// A host path as Wine's Z: drive shows it.
std::string winPath(const fs::path& p);
// Several reg commands in one Wine process (one wineserver start instead of one per command).
// Every argument is quoted and its "%" doubled, so cmd passes it to reg unchanged.
Proc runBatch(const fs::path& prefix, const std::string& name,
              const std::vector<std::vector<std::string>>& commands);

std::string readFile(const fs::path& p);
std::string withoutCr(std::string s);

// A registry file cut at its key headers, to compare key by key.
struct Blocks {
    std::string head;                         // before the first key
    std::vector<std::string> order;           // key names as written
    std::map<std::string, std::string> text;  // key name -> its lines
};
Blocks splitKeys(const std::string& file);

// A value as `reg export` writes it.
struct ExportedValue {
    uint32_t type = 0;
    std::string data;
};
// Keys ("HKEY_CURRENT_USER\...") to their values by name ("" for @). Throws on malformed text.
std::map<std::string, std::map<std::string, ExportedValue>> parseExport(const std::string& utf16File);

}  // namespace qv::interop
