// Files for the registry tests: a temporary folder that goes with everything in it (also what a
// test made unreadable), whole files read and written, and a stand-in for a running wineserver.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qvtest {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qv-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::filesystem::path& p, const std::string& s) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << s;
}

// Pretends to be a prefix's running wineserver: its lock file (in the server folder the prefix's
// "wineserver" file names below /tmp) held by a child process until stop().
class FakeWineserver {
public:
    FakeWineserver(const std::filesystem::path& prefix, const std::string& name) : root_(std::filesystem::path("/tmp") / name) {
        struct stat st {};
        ::stat(prefix.c_str(), &st);
        char server[64];
        std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
        writeFile(prefix / "wineserver", name);
        const std::filesystem::path lock = root_ / server / "lock";
        std::filesystem::create_directories(lock.parent_path());
        writeFile(lock, "");
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(lock.c_str(), O_RDWR);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_len = 1;
            ::fcntl(fd, F_SETLK, &fl);
            (void)!::write(ready[1], "x", 1);
            ::pause();
            ::_exit(0);
        }
        char c;
        if (pid_ < 0 || ::read(ready[0], &c, 1) != 1) stop();
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~FakeWineserver() {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FakeWineserver(const FakeWineserver&) = delete;
    FakeWineserver& operator=(const FakeWineserver&) = delete;
    // The server's process, 0 once stopped (or when it could not start).
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = 0;
    }

private:
    std::filesystem::path root_;
    pid_t pid_ = 0;
};

}  // namespace qvtest
