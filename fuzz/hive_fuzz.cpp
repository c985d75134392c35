// libFuzzer target for Windows hives (registry/hive.*): the input becomes the SOFTWARE and SYSTEM
// hives and the user's UsrClass.dat of a Windows drive laid out in a private temporary folder
// (beside a sound NTUSER.DAT), the drive is opened as `quorvel --windows` opens one, so libhivex
// and the store's reader take every hive in, and every key and value of HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER and the merged HKEY_CLASSES_ROOT is walked through the registry calls before
// the machine is closed. A refusal (MachineError) is an answer; crashes, hangs, sanitizer reports
// and memory growth are found by libFuzzer. The walk checks what the calls say of one another:
// every subkey listed opens by its name, every value listed reads back by its name, and a key's
// counts match its listing; a difference aborts with a description of it.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "registry/windows/hive.h"
#include "registry/machines/machine.h"
#include "tests/tools/hive_builder.h"

namespace {

namespace fs = std::filesystem;
using qv::reg::HKey;
using qv::reg::Machine;

fs::path g_top;    // the private folder, removed at exit
fs::path g_drive;  // the Windows drive inside it
fs::path g_input;  // the file every fuzzed hive name is a link to

[[noreturn]] void fail(const std::string& what, const std::string& where) {
    std::fprintf(stderr, "hive_fuzz: %s at [%s]\n", what.c_str(), where.c_str());
    std::abort();
}

void removeTop() {
    std::error_code ec;
    fs::remove_all(g_top, ec);
}

void walk(Machine& m, int32_t root, const char* rootName) {
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string path = pending.back();
        pending.pop_back();
        const std::string where = std::string(rootName) + (path.empty() ? "" : "\\" + path);
        HKey k = nullptr;
        if (m.openKey(root, path, &k) != qv::reg::ERROR_SUCCESS) fail("a listed key does not open", where);
        qv::reg::KeyInfo info;
        if (m.queryInfoKey(k, &info) != qv::reg::ERROR_SUCCESS) fail("no key information", where);
        std::string name, data, again;
        uint32_t type = 0, typeAgain = 0, values = 0, subkeys = 0;
        for (; m.enumValue(k, values, &name, &type, &data) == qv::reg::ERROR_SUCCESS; ++values) {
            if (m.queryValue(k, name, &typeAgain, &again) != qv::reg::ERROR_SUCCESS || typeAgain != type || again != data)
                fail("the listed value \"" + name + "\" does not read back by its name", where);
        }
        for (; m.enumKey(k, subkeys, &name) == qv::reg::ERROR_SUCCESS; ++subkeys)
            pending.push_back(path.empty() ? name : path + "\\" + name);
        if (info.values != values || info.subkeys != subkeys)
            fail("counts " + std::to_string(info.subkeys) + "/" + std::to_string(info.values) + " but " +
                     std::to_string(subkeys) + " subkeys and " + std::to_string(values) + " values listed",
                 where);
        m.closeKey(k);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string tmpl = (fs::temp_directory_path() / "qv-hive-fuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        std::perror("hive_fuzz: mkdtemp");
        std::exit(1);
    }
    g_top = tmpl;
    std::atexit(removeTop);
    g_drive = g_top / "c";
    g_input = g_top / "input.hiv";
    const fs::path config = g_drive / "Windows/System32/config";
    const fs::path profile = g_drive / "Users/alice";
    const fs::path classes = profile / "AppData/Local/Microsoft/Windows";
    fs::create_directories(config);
    fs::create_directories(classes);
    qvtest::hive::Builder nt;
    nt.set("Software\\Quorvel", "V", 4, qvtest::hive::dword(1));
    nt.write(profile / "NTUSER.DAT");
    qvtest::hive::Builder().write(g_input);
    for (const fs::path& p : {config / "SOFTWARE", config / "SYSTEM", classes / "UsrClass.dat"}) fs::create_hard_link(g_input, p);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        const int fd = ::open(g_input.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) fail("cannot write the input", g_input.string());
        for (size_t done = 0; done < size;) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n <= 0) fail("cannot write the input", g_input.string());
            done += static_cast<size_t>(n);
        }
        ::close(fd);
    }
    (void)qv::reg::readHiveHeader(g_input);
    (void)qv::reg::installedWindowsVersion(g_drive);
    std::unique_ptr<Machine> m;
    try {
        m = Machine::openWindows(g_drive, "alice");
    } catch (const qv::reg::MachineError&) {
        return 0;
    }
    walk(*m, qv::reg::HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE");
    walk(*m, qv::reg::HKEY_CURRENT_USER, "HKEY_CURRENT_USER");
    walk(*m, qv::reg::HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT");
    return 0;
}
