#include "registry/safefile.h"
#include "registry/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace qv::reg {

namespace fs = std::filesystem;

namespace {

SafeFileError failure(const std::string& what, const fs::path& p, int e) {
    return SafeFileError(what + " " + p.string() + ": " + std::strerror(e), e);
}

fs::path folderOf(const fs::path& p) { return p.parent_path().empty() ? fs::path(".") : p.parent_path(); }

// The folder a new file goes into: resolved once, then used through its descriptor only, so that
// a folder swapped for a link afterwards is not followed.
Fd openFolder(const fs::path& dir) {
    std::error_code ec;
    const fs::path real = fs::canonical(dir, ec);
    if (ec) throw SafeFileError("Could not open the folder " + dir.string() + ": " + ec.message(), ec.value());
    Fd fd(::open(real.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        throw errno == ELOOP || errno == ENOTDIR
            ? SafeFileError(dir.string() + " is a link or not a folder; nothing is written there", errno)
            : failure("Could not open the folder", dir, errno);
    return fd;
}

std::string randomSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<uint64_t>(::getpid())};
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

void writeAll(int fd, std::string_view bytes, const fs::path& shown) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw failure("Could not write", shown, errno);
        done += static_cast<size_t>(n);
    }
}

}  // namespace

int createNewFile(const fs::path& path, mode_t mode) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool syncFolderEntries(const fs::path& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

void writeFileSafely(const fs::path& target, std::string_view bytes, const SafeWrite& how) {
    const fs::path dir = folderOf(target);
    const std::string name = target.filename().string();
    if (name.empty() || name == "." || name == "..")
        throw SafeFileError(target.string() + " names no file");
    Fd folder = openFolder(dir);
    std::string tmp;
    Fd fd;
    for (int attempt = 0; fd.get() < 0; ++attempt) {
        tmp = "." + name + ".quorvel-new-" + randomSuffix();
        fd = Fd(::openat(folder.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         how.privateFile ? 0600 : how.mode));
        if (fd.get() < 0 && (errno != EEXIST || attempt == 16))
            throw failure("Could not create a file in", dir, errno);
    }
    try {
        if (how.privateFile && ::fchmod(fd.get(), 0600) != 0)
            throw failure("Could not protect", target, errno);
        writeAll(fd.get(), bytes, target);
        if (how.durable && ::fsync(fd.get()) != 0) throw failure("Could not write", target, errno);
        if (::close(fd.release()) != 0) throw failure("Could not write", target, errno);
        const int r = how.replace
                          ? ::renameat(folder.get(), tmp.c_str(), folder.get(), name.c_str())
                          : ::renameat2(folder.get(), tmp.c_str(), folder.get(), name.c_str(), RENAME_NOREPLACE);
        if (r != 0) {
            const int e = errno;
            throw e == EEXIST ? SafeFileError(target.string() + " already exists", e) : failure("Could not write", target, e);
        }
    } catch (...) {
        ::unlinkat(folder.get(), tmp.c_str(), 0);
        throw;
    }
    if (how.durable && ::fsync(folder.get()) != 0)
        throw failure("Could not sync the folder", dir, errno);
}

void ensurePrivateFolder(const fs::path& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) throw failure("Could not look at", dir, errno);
        // Each folder made on the way is synced into its parent: a crash must not take a new
        // folder, and the backups in it, away with it.
        std::vector<fs::path> missing;
        for (fs::path p = dir.parent_path(); !p.empty() && p != p.parent_path(); p = p.parent_path()) {
            struct stat up;
            if (::lstat(p.c_str(), &up) == 0 || errno != ENOENT) break;
            missing.push_back(p);
        }
        for (auto p = missing.rbegin(); p != missing.rend(); ++p) {
            if (::mkdir(p->c_str(), 0777) != 0 && errno != EEXIST) break;  // told below, at dir
            syncFolderEntries(folderOf(*p));
        }
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            throw failure("Could not create the folder", dir, errno);
        syncFolderEntries(folderOf(dir));
        if (::lstat(dir.c_str(), &st) != 0) throw failure("Could not look at", dir, errno);
    }
    if (S_ISLNK(st.st_mode)) throw SafeFileError(dir.string() + " is a symbolic link; it is not used");
    if (!S_ISDIR(st.st_mode)) throw SafeFileError(dir.string() + " is not a folder");
    if (st.st_uid != ::geteuid())
        throw SafeFileError(dir.string() + " belongs to another user (uid " + std::to_string(st.st_uid) +
                            "); it is not used");
    if ((st.st_mode & 077) != 0) {
        Fd fd = openFolder(dir);
        if (::fchmod(fd.get(), 0700) != 0) throw failure("Could not make private", dir, errno);
    }
}

}  // namespace qv::reg
