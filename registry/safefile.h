// Creating files where others may have planted links: every new file is made with
// O_CREAT|O_EXCL|O_NOFOLLOW inside a folder opened once and used through its descriptor, so a link
// at the file's name or a folder swapped after the check is never followed.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qv::reg {

class SafeFileError : public std::runtime_error {
public:
    explicit SafeFileError(const std::string& what, int code = 0) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }  // the errno behind it, or 0

private:
    int code_;
};

struct SafeWrite {
    mode_t mode = 0666;    // before the umask; a private file is always 0600
    bool privateFile = false;
    bool durable = true;   // fsync the file and its folder
    bool replace = true;   // false: fail when the name is taken
};

// Writes `bytes` as `target`: a new file beside it, synced, then renamed onto the name. A link at
// the name is replaced, not written through; the folder is resolved once and used through its
// descriptor. Throws SafeFileError saying what failed.
void writeFileSafely(const std::filesystem::path& target, std::string_view bytes, const SafeWrite& how = {});

// Opens `path` as a new file (O_CREAT|O_EXCL|O_NOFOLLOW), write-only. Returns -1 with errno set.
int createNewFile(const std::filesystem::path& path, mode_t mode);

// Makes sure `dir` is a folder only the caller can use: created 0700 when missing (its parents
// as usual), refused when it is a link, is not a folder or belongs to another user, and made 0700
// when it is the caller's but open to others. Throws SafeFileError.
void ensurePrivateFolder(const std::filesystem::path& dir);

// Syncs a folder's entries to disk; false when it could not be opened or synced.
bool syncFolderEntries(const std::filesystem::path& dir);

}  // namespace qv::reg
