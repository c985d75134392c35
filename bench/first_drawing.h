// Time to a program's first drawn window: Quorvel (and the empty Qt window beside it) write a
// byte to the pipe QV_DRAWN_FD names once their window is drawn.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace qv::bench {

// Starts a program and returns the seconds until its window was first drawn (the program says
// so through a pipe), or a negative number when it failed. Its exit is not counted.
inline double timeToFirstDrawing(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    ::setenv("QV_DRAWN_FD", std::to_string(fds[1]).c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    const bool spawned = ::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0;
    ::close(fds[1]);
    char byte;
    const bool drawn = spawned && ::read(fds[0], &byte, 1) == 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fds[0]);
    int status = 0;
    if (spawned) ::waitpid(pid, &status, 0);
    return drawn && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

}  // namespace qv::bench
