// What identifies the copy of a file that was read: a rename or a write in place changes it.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>

namespace qv::reg {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    bool operator==(const FileId& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

inline FileId idOf(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

// The file at p as it is now; nothing when it cannot be looked at.
inline std::optional<FileId> fileIdAt(const std::filesystem::path& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0)
        return std::nullopt;
    return idOf(st);
}

}  // namespace qv::reg
