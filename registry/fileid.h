// What identifies the copy of a file that was read: a rename or a write in place changes it.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <optional>

namespace qv::reg {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{}, ctime{};
    // Same file and bytes as far as the times tell, the inode's change time aside (a rename moves it).
    bool sameWrite(const FileId& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
    // ctime too: a write that puts size and mtime back still moves it, and nobody can set it.
    bool operator==(const FileId& o) const {
        return sameWrite(o) && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

inline FileId idOf(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim}; }

inline long long nanosOf(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec; }

// File times come from a clock that only moves every tick (1-10 ms; whole seconds, or two for
// FAT, where the times carry no nanoseconds): a write in the tick of a look leaves the times that
// look saw. So, as version control does with racily clean files, an identity tells a later write
// apart only when its times are older than the look by more than a tick; otherwise the bytes are
// looked at. A time ahead of the look is never settled.
inline long long racyWindowNs(const FileId& id) {
    const bool wholeSeconds = id.mtime.tv_nsec == 0 && id.ctime.tv_nsec == 0;
    return wholeSeconds ? 2000000000LL : 20000000LL;
}
inline bool settledAt(const FileId& id, const timespec& look) {
    const long long latest = nanosOf(id.mtime) > nanosOf(id.ctime) ? nanosOf(id.mtime) : nanosOf(id.ctime);
    return latest + racyWindowNs(id) < nanosOf(look);
}
inline timespec wallClockNow() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

// The file at p as it is now; nothing when it cannot be looked at.
inline std::optional<FileId> fileIdAt(const std::filesystem::path& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0)
        return std::nullopt;
    return idOf(st);
}

}  // namespace qv::reg
