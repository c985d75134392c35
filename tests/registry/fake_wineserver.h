// A stand-in for a prefix's running wineserver: its lock file, in the server folder that the
// prefix's "wineserver" file names below /tmp, held by a child process until stop().
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace qvtest {

class FakeWineserver {
public:
    // runAs: the uid the server process takes after locking (-1: stays ours); exe: a program it
    // then runs (as `exe infinity`), so that /proc/PID/exe names it.
    FakeWineserver(const std::filesystem::path& prefix, const std::string& name, uid_t runAs = uid_t(-1),
                   const std::filesystem::path& exe = {})
        : root_(std::filesystem::path("/tmp") / name) {
        struct stat st {};
        ::stat(prefix.c_str(), &st);
        char server[64];
        std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
        std::ofstream(prefix / "wineserver", std::ios::binary | std::ios::trunc) << name;
        folder_ = root_ / server;
        const std::filesystem::path lock = folder_ / "lock";
        std::filesystem::create_directories(folder_);
        std::ofstream(lock, std::ios::binary | std::ios::trunc).flush();
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
            if (runAs != uid_t(-1) && (::setgroups(0, nullptr) != 0 || ::setgid(runAs) != 0 || ::setuid(runAs) != 0))
                ::_exit(1);
            (void)!::write(ready[1], "x", 1);
            if (!exe.empty()) ::execl(exe.c_str(), exe.c_str(), "infinity", static_cast<char*>(nullptr));
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
    // The folder below /tmp the prefix names, and the server's socket folder in it.
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& folder() const { return folder_; }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = 0;
    }

private:
    std::filesystem::path root_, folder_;
    pid_t pid_ = 0;
};

}  // namespace qvtest
