// Finding the wineserver of a prefix through the lock in its socket folder.
#include "registry/machines/wineserver.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "registry/fd.h"
#include "registry/machines/files.h"
#include "registry/text.h"

namespace qv::reg {

namespace fs = std::filesystem;

namespace {

// A server folder's lock file, opened without following a link at either name and only when it
// is a plain file: another user's folder is looked into too, and a fifo there must not block.
// -1 when there is none.
int openServerLock(const fs::path& dir) {
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (d.get() < 0) return -1;
    Fd lock(::openat(d.get(), "lock", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (lock.get() < 0 || ::fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return lock.release();
}

}  // namespace

std::optional<RunningWineserver> runningWineserver(const fs::path& prefix) {
    struct stat st;
    if (::stat(prefix.c_str(), &st) != 0) return std::nullopt;
    char server[64];
    std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    // Wine names the folder after the uid it runs as: the caller's, or the owner's when another
    // user's Wine serves the prefix.
    std::vector<fs::path> dirs;
    dirs.push_back(fs::path("/tmp") / (".wine-" + std::to_string(::getuid())) / server);
    if (st.st_uid != ::getuid()) dirs.push_back(fs::path("/tmp") / (".wine-" + std::to_string(st.st_uid)) / server);
    std::string name, why;
    FileId ignored;
    if (readWhole(prefix / "wineserver", &name, &ignored, &why, O_NOFOLLOW)) {
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        struct stat named;
        // A file in the prefix names it: a link is not followed, and a folder of neither the
        // caller nor the prefix's owner holds no server of this prefix.
        if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != ".." &&
            ::lstat((fs::path("/tmp") / name).c_str(), &named) == 0 && S_ISDIR(named.st_mode) &&
            (named.st_uid == ::geteuid() || named.st_uid == st.st_uid))
            dirs.push_back(fs::path("/tmp") / name / server);
    }
    for (const fs::path& dir : dirs) {
        Fd lock(openServerLock(dir));
        if (lock.get() < 0) continue;
        struct flock fl{};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        bool running = false;
        pid_t pid = 0;
        if (::fcntl(lock.get(), F_GETLK, &fl) == 0) {
            running = fl.l_type != F_UNLCK;
            pid = fl.l_pid;
        } else {
            // No locks on this file system: a socket that answers means a server.
            Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            const std::string sp = (dir / "socket").string();
            if (sock.get() >= 0 && sp.size() < sizeof addr.sun_path) {
                std::memcpy(addr.sun_path, sp.c_str(), sp.size() + 1);
                running = ::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            }
        }
        if (running) return RunningWineserver{dir, pid};
    }
    return std::nullopt;
}

std::optional<std::string> wineserverRunningAt(const fs::path& prefix) {
    const std::optional<RunningWineserver> server = runningWineserver(prefix);
    if (!server) return std::nullopt;
    const std::string who = server->pid > 0 ? " (pid " + std::to_string(server->pid) + ")" : "";
    return "The Wine prefix " + prefix.string() + " is in use: its wineserver" + who +
           " is running and would overwrite these changes. Close its Wine programs, or stop it with: "
           "WINEPREFIX=" + shellQuote(prefix.string()) + " wineserver -k";
}

}  // namespace qv::reg
