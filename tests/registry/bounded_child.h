// Runs a heavy case in a child process: bounded in processor time, wall-clock time and stack, so
// that a hang, a stack overflow or a crash fails the case instead of the test program, and
// measured (time, and how far the child's peak resident memory grew while the case ran). The
// bound is on the child's processor time, which a busy machine does not stretch as it does the
// wall clock; the wall clock only catches a child that waits forever.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace qv::test {

struct ChildResult {
    std::string failure;    // empty: the body passed; else what it said, or how the child ended
    double seconds = 0;     // wall-clock time of the child
    double cpuSeconds = 0;  // its processor time
    long peakGrowthMb = 0;  // growth of the child's peak resident set while the body ran
};

namespace detail {
struct BodyCall {
    const std::function<std::string()>* body;
    std::string result;
};
inline void* callBody(void* arg) {
    auto* call = static_cast<BodyCall*>(arg);
    call->result = (*call->body)();
    return nullptr;
}
inline long peakRssKb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}
}  // namespace detail

// Runs body on a thread with stackBytes of stack in a forked child that is killed after
// maxCpuSeconds of processor time (four times that under the sanitizers; thirty times that on the
// wall clock). body returns "" when it passes, else what went wrong.
inline ChildResult runBounded(unsigned maxCpuSeconds, size_t stackBytes, const std::function<std::string()>& body) {
    // The limits are set for an optimised build; the sanitizers make the same work several times
    // dearer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    maxCpuSeconds *= 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    maxCpuSeconds *= 4;
#endif
#endif
    ChildResult r;
    int fds[2];
    if (pipe(fds) != 0) {
        r.failure = "pipe failed";
        return r;
    }
    std::fflush(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const rlimit cpu{maxCpuSeconds, maxCpuSeconds + 5};
        setrlimit(RLIMIT_CPU, &cpu);
        alarm(maxCpuSeconds * 30);
        const long before = detail::peakRssKb();  // a child's peak starts at what it inherited
        detail::BodyCall call{&body, {}};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, stackBytes);
        pthread_t thread;
        if (pthread_create(&thread, &attr, detail::callBody, &call) != 0) call.result = "no thread";
        else pthread_join(thread, nullptr);
        const std::string out = std::to_string((detail::peakRssKb() - before) / 1024) + "\n" + call.result;
        for (size_t done = 0; done < out.size();) {
            const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);  // no exit handlers: the parent's state is not the child's to tear down
    }
    close(fds[1]);
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (pid < 0) {
        r.failure = "fork failed";
    } else if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        r.failure = sig == SIGXCPU || sig == SIGKILL ? "over the limit of " + std::to_string(maxCpuSeconds) + " s of processor time"
                    : sig == SIGALRM ? "over " + std::to_string(maxCpuSeconds * 10) + " s of waiting"
                                     : "killed by signal " + std::to_string(sig);
    } else if (const size_t nl = got.find('\n'); nl == std::string::npos) {
        r.failure = "the child ended without a result (status " + std::to_string(WEXITSTATUS(status)) + ")";
    } else {
        r.peakGrowthMb = std::stol(got.substr(0, nl));
        r.failure = got.substr(nl + 1);
    }
    return r;
}

}  // namespace qv::test
