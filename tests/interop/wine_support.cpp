#include "wine_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qv::interop {

namespace {

std::string slurpFd(int fd) {
    std::string s;
    char buf[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

int scratchFile() {
    char name[] = "/tmp/qv-interop-io-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0) ::unlink(name);
    return fd;
}

std::u16string fromUtf8(std::string_view s) {
    std::u16string r;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) cp = c, n = 1;
        else if ((c & 0xe0) == 0xc0) cp = c & 0x1f, n = 2;
        else if ((c & 0xf0) == 0xe0) cp = c & 0x0f, n = 3;
        else cp = c & 0x07, n = 4;
        for (size_t k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (s[i + k] & 0x3f);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            r += static_cast<char16_t>(0xd800 + (cp >> 10));
            r += static_cast<char16_t>(0xdc00 + (cp & 0x3ff));
        } else {
            r += static_cast<char16_t>(cp);
        }
    }
    return r;
}

std::string toUtf8(std::u16string_view s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xd800 && cp < 0xdc00 && i + 1 < s.size() && s[i + 1] >= 0xdc00 && s[i + 1] < 0xe000)
            cp = 0x10000 + ((cp - 0xd800) << 10) + (s[++i] - 0xdc00);
        if (cp < 0x80) {
            r += static_cast<char>(cp);
        } else if (cp < 0x800) {
            r += static_cast<char>(0xc0 | (cp >> 6));
            r += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            r += static_cast<char>(0xe0 | (cp >> 12));
            r += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            r += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            r += static_cast<char>(0xf0 | (cp >> 18));
            r += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            r += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            r += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    return r;
}

std::string le16(std::u16string_view s) {
    std::string r;
    for (char16_t c : s) {
        r += static_cast<char>(c & 0xff);
        r += static_cast<char>(c >> 8);
    }
    return r;
}

}  // namespace

bool inPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream ss(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

Proc runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                double timeoutSec, const std::string& input) {
    Proc result;
    int outFd = scratchFile(), errFd = scratchFile(), inFd = -1;
    if (!input.empty()) {
        inFd = scratchFile();
        if (::write(inFd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) return result;
        ::lseek(inFd, 0, SEEK_SET);
    }
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& o : env)
            if (o.substr(0, o.find('=')) == key) replaced = true;
        if (!replaced) envStore.push_back(entry);
    }
    for (const std::string& o : env)
        if (o.find('=') != std::string::npos) envStore.push_back(o);
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : envStore) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(inFd >= 0 ? inFd : devnull, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        environ = cenv.data();
        ::execvp(cargv[0], cargv.data());
        ::_exit(127);
    }
    if (pid < 0) return result;
    ::setpgid(pid, pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSec);
    int wstatus = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &wstatus, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &wstatus, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result.timedOut && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    result.out = slurpFd(outFd);
    result.err = slurpFd(errFd);
    ::close(outFd);
    ::close(errFd);
    if (inFd >= 0) ::close(inFd);
    return result;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string withoutCr(std::string s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) r += s[i];
    return r;
}

Proc tool(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> argv = {QV_REG_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, {}, 60, input);
}

// ---------------------------------------------------------------------------------------------

WineWorld& WineWorld::get() {
    static WineWorld world;
    return world;
}

std::vector<std::string> WineWorld::env(const fs::path& prefix) const {
    // Arguments reach Wine as UTF-8 only under a UTF-8 locale; no window may open.
    return {"WINEPREFIX=" + prefix.string(), "WINEDEBUG=-all", "LANG=C.UTF-8", "LC_ALL=C.UTF-8",
            "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY", "WAYLAND_DISPLAY"};
}

Proc WineWorld::wine(const fs::path& prefix, std::vector<std::string> args, double timeoutSec) const {
    args.insert(args.begin(), "wine");
    return runProcess(args, env(prefix), timeoutSec);
}

Proc WineWorld::reg(const fs::path& prefix, std::vector<std::string> args) const {
    args.insert(args.begin(), "reg");
    return wine(prefix, std::move(args));
}

void WineWorld::stop(const fs::path& prefix) const {
    runProcess({"wineserver", "-k"}, env(prefix), 60);
    runProcess({"wineserver", "-w"}, env(prefix), 60);
}

void WineWorld::startServer(const fs::path& prefix) const {
    runProcess({"wineserver", "-p"}, env(prefix), 60);
}

void WineWorld::setUp() {
    if (!inPath("wine") || !inPath("wineserver") || !inPath("wineboot")) {
        unavailable_ = "Wine is not installed (the Debian packages wine and wine64)";
        return;
    }
    const Proc version = runProcess({"wine", "--version"}, {"WINEDEBUG=-all"}, 60);
    const std::string stamp = version.out;

    const fs::path cache = fs::path(QV_BINARY_DIR) / "interop-wine-prefix";
    base_ = cache / "prefix";
    // One maker at a time when several test runs share the build tree.
    const std::string lockPath = (fs::path(QV_BINARY_DIR) / "interop-wine-prefix.lock").string();
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd >= 0) ::flock(lockFd, LOCK_EX);
    const fs::path stampFile = cache / "stamp";
    if (!fs::exists(stampFile) || readFile(stampFile) != stamp) {
        std::error_code ec;
        fs::remove_all(cache, ec);
        fs::create_directories(cache, ec);
        const Proc boot = runProcess({"wineboot", "-i"}, env(base_), 300);
        runProcess({"wineserver", "-w"}, env(base_), 120);
        if (boot.timedOut || !fs::exists(base_ / "system.reg") || !fs::exists(base_ / "user.reg")) {
            unavailable_ = "wineboot could not make a prefix: " + boot.err;
            if (lockFd >= 0) ::close(lockFd);
            return;
        }
        std::ofstream(stampFile, std::ios::binary) << stamp;
    }
    if (lockFd >= 0) ::close(lockFd);

    std::string tmpl = (fs::temp_directory_path() / "qv-interop-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        unavailable_ = "no temporary folder";
        return;
    }
    scratch_ = tmpl;
    unavailable_.reset();
}

fs::path WineWorld::copy(const std::string& name) { return copy(name, base_); }

fs::path WineWorld::copy(const std::string& name, const fs::path& from) {
    const fs::path p = scratch_ / name;
    fs::create_directories(p / "dosdevices");
    for (const char* f : {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"})
        if (fs::exists(from / f)) fs::copy_file(from / f, p / f, fs::copy_options::overwrite_existing);
    fs::create_symlink(base_ / "drive_c", p / "dosdevices" / "c:");
    fs::create_symlink("/", p / "dosdevices" / "z:");
    copies_.push_back(p);
    return p;
}

void WineWorld::tearDown() {
    for (const fs::path& p : copies_) stop(p);
    std::error_code ec;
    if (!scratch_.empty()) fs::remove_all(scratch_, ec);
}

namespace {

class WineEnvironment : public ::testing::Environment {
public:
    void SetUp() override { WineWorld::get().setUp(); }
    void TearDown() override { WineWorld::get().tearDown(); }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new WineEnvironment);

}  // namespace

// ---------------------------------------------------------------------------------------------

std::map<std::string, std::map<std::string, ExportedValue>> parseExport(const std::string& file) {
    std::u16string units;
    for (size_t i = 0; i + 1 < file.size(); i += 2)
        units += static_cast<char16_t>(static_cast<unsigned char>(file[i]) |
                                       (static_cast<unsigned char>(file[i + 1]) << 8));
    if (units.empty() || units[0] != 0xfeff) throw std::runtime_error("no UTF-16 byte order mark");
    const std::string text = withoutCr(toUtf8(std::u16string_view(units).substr(1)));

    std::vector<std::string> lines;
    std::stringstream ss(text);
    std::string line, pending;
    while (std::getline(ss, line)) {
        if (!pending.empty()) {
            const size_t s = line.find_first_not_of(' ');
            line = pending + (s == std::string::npos ? "" : line.substr(s));
            pending.clear();
        }
        if (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
            pending = line.substr(0, line.size() - 1);
            continue;
        }
        lines.push_back(line);
    }
    if (lines.empty() || lines[0] != "Windows Registry Editor Version 5.00")
        throw std::runtime_error("not an exported registry file");

    auto quoted = [](const std::string& s, size_t* pos) {
        std::string r;
        size_t i = *pos + 1;
        for (; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && i + 1 < s.size()) {
                const char n = s[++i];
                r += n == 'n' ? '\n' : n == 'r' ? '\r' : n == '0' ? '\0' : n;
            } else {
                r += s[i];
            }
        }
        if (i >= s.size()) throw std::runtime_error("unterminated string: " + s);
        *pos = i + 1;
        return r;
    };
    auto hexBytes = [](const std::string& s) {
        std::string r;
        for (size_t i = 0; i < s.size();) {
            if (s[i] == ',' || s[i] == ' ') {
                ++i;
                continue;
            }
            r += static_cast<char>(std::stoi(s.substr(i, 2), nullptr, 16));
            i += 2;
        }
        return r;
    };

    std::map<std::string, std::map<std::string, ExportedValue>> keys;
    std::string key;
    for (size_t n = 1; n < lines.size(); ++n) {
        const std::string& l = lines[n];
        if (l.empty()) continue;
        if (l[0] == '[') {
            key = l.substr(1, l.rfind(']') - 1);
            keys[key];
            continue;
        }
        size_t pos = 0;
        std::string name;
        if (l[0] == '@') pos = 1;
        else if (l[0] == '"') name = quoted(l, &pos);
        else throw std::runtime_error("unexpected line: " + l);
        if (pos >= l.size() || l[pos] != '=') throw std::runtime_error("no '=': " + l);
        ++pos;
        ExportedValue v;
        const std::string rest = l.substr(pos);
        if (!rest.empty() && rest[0] == '"') {
            size_t p = 0;
            v.type = 1;
            v.data = le16(fromUtf8(quoted(rest, &p)));
            v.data.append(2, '\0');
        } else if (rest.rfind("dword:", 0) == 0) {
            const uint32_t d = static_cast<uint32_t>(std::stoul(rest.substr(6), nullptr, 16));
            v.type = 4;
            for (int i = 0; i < 4; ++i) v.data += static_cast<char>((d >> (8 * i)) & 0xff);
        } else if (rest.rfind("hex:", 0) == 0) {
            v.type = 3;
            v.data = hexBytes(rest.substr(4));
        } else if (rest.rfind("hex(", 0) == 0) {
            const size_t close = rest.find("):");
            v.type = static_cast<uint32_t>(std::stoul(rest.substr(4, close - 4), nullptr, 16));
            v.data = hexBytes(rest.substr(close + 2));
        } else {
            throw std::runtime_error("unexpected value: " + l);
        }
        keys[key][name] = v;
    }
    return keys;
}

std::string winPath(const fs::path& p) {
    std::string s = "Z:" + p.string();
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

Proc runBatch(const fs::path& prefix, const std::string& name,
              const std::vector<std::vector<std::string>>& commands) {
    const fs::path bat = prefix / (name + ".bat");
    std::string text = "@echo off\r\n";
    for (const auto& c : commands) {
        std::string line;
        for (const std::string& a : c) {
            std::string q;
            for (char ch : a) q += ch == '%' ? std::string("%%") : std::string(1, ch);
            line += (line.empty() ? "" : " ") + (a == "reg" ? a : "\"" + q + "\"");
        }
        text += line + "\r\n";
    }
    std::ofstream(bat, std::ios::binary) << text;
    return WineWorld::get().wine(prefix, {"cmd", "/c", winPath(bat)}, 180);
}

Blocks splitKeys(const std::string& file) {
    Blocks b;
    std::string* cur = &b.head;
    size_t i = 0;
    while (i < file.size()) {
        size_t e = file.find('\n', i);
        e = e == std::string::npos ? file.size() : e + 1;
        const std::string line = file.substr(i, e - i);
        if (!line.empty() && line[0] == '[') {
            const std::string name = line.substr(1, line.rfind(']') - 1);
            b.order.push_back(name);
            cur = &b.text[name];
        }
        *cur += line;
        i = e;
    }
    return b;
}

}  // namespace qv::interop
