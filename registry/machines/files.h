// A machine's registry files on disk and in memory (MachineFile): bounded reads, synced temporaries,
// the folder lock. Apart from Machine, as both the machine and its commit go through them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "registry/fd.h"
#include "registry/fileid.h"
#include "registry/safefile.h"
#include "registry/wine/winefile.h"

namespace qv::reg {

std::string errnoText(int e);

// A 64-bit FNV-1a hash of a file's bytes, as commit journals written before contentHash hold.
uint64_t fnv1aHash(std::string_view s);
uint64_t fnv1aMore(uint64_t h, std::string_view s);  // h: the hash of the bytes before s
// A 64-bit hash of a file's bytes: tells a rewrite that kept size and time apart.
uint64_t contentHash(std::string_view s);

// contentHash of bytes that come in pieces (a file read through a buffer): the same value.
class ContentHasher {
public:
    void add(std::string_view s);
    uint64_t value() const;

private:
    uint64_t lane_[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};
    uint64_t total_ = 0;
    char held_[32];
    size_t heldSize_ = 0;
};

// What the rest of an open file hashes to, read through a buffer of fixed size.
struct FileHashes {
    uint64_t size = 0, content = 0, fnv1a = 0;
};
// oldHashToo: fnv1a as well, which is byte by byte and slow.
bool hashFd(int fd, FileHashes* out, std::string* why, bool oldHashToo = false);

// Reads the rest of an open file, bounded by the largest registry file accepted. The text goes
// straight into out; `expected` (the size fstat gave) saves growing it.
bool readFd(int fd, std::string* out, std::string* why, size_t expected = 0);
// Only a regular file of a sane size is read: a FIFO would block, a device never end.
bool checkRegular(const struct stat& st, std::string* why);
// Reads a whole regular file from an open one, *id as it is once read; returns false with *why set.
bool readOpen(int fd, std::string* out, FileId* id, std::string* why);
// Reads a whole regular file; returns false with *why set.
bool readWhole(const std::filesystem::path& path, std::string* out, FileId* id, std::string* why, int flags = 0);

// Writes content to a synced temporary file beside target, with the target's mode and owner (a
// new file's mode follows the umask). Returns its path; *id is what it is once written.
std::filesystem::path writeTemporary(const std::filesystem::path& target, std::string_view content, FileId* id);
// The same in two halves: written (the disk already taking the bytes) but not yet synced, so that
// the work between, and other files written meanwhile, go to disk together with it.
struct Temporary {
    std::filesystem::path path, target;
    Fd fd;
};
Temporary startTemporary(const std::filesystem::path& target, std::string_view content);
// Syncs and closes it; removes it and throws when that fails.
void finishTemporary(Temporary& t, FileId* id);
// Writes a new file whole (a seed): temporary, sync, rename, sync of the folder.
void writeNewFile(const std::filesystem::path& target, std::string_view content);
// Whether name is a temporary this program made for a file named file ("" for any file).
bool isTemporaryOf(const std::string& name, const std::string& file);
// Temporary files left by a commit that was killed half way.
void removeTemporariesIn(const std::filesystem::path& dir, const std::string& file);
// Moves another program's file out of the way under a name beside its target that says what it
// is and that no clean-up takes for a temporary; returns the name.
std::filesystem::path keepAside(const std::filesystem::path& file, const std::filesystem::path& target);

inline std::filesystem::path folderOf(const std::filesystem::path& p) {
    return p.parent_path().empty() ? std::filesystem::path(".") : p.parent_path();
}
bool isInside(const std::filesystem::path& p, const std::filesystem::path& dir);

// Whether two looks found the same file (not whether it was changed in between).
inline bool sameFile(const struct stat& st, const FileId& id) { return st.st_dev == id.dev && st.st_ino == id.ino; }
inline bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Holds the machine folder's advisory lock for the length of a commit, so that two Quorvel
// processes never interleave their read-replay-rename steps.
class FolderLock {
public:
    // required: false for a reader, which goes on without the lock where the file system has none.
    explicit FolderLock(const std::filesystem::path& dir, bool required = true);

private:
    Fd fd_;
};

// A registry file and what is known of its copy on disk.
struct MachineFile {
    std::filesystem::path path;
    std::unique_ptr<RegFile> tree;
    FileId id;  // the copy on disk this tree was read from or last written as
    // and its bytes' hash, taken from the tree's text when first needed (not at opening)
    std::optional<uint64_t> hash;
    // whether id alone tells that copy from a later write (see settledAt); else its bytes are hashed
    bool settled = false;
    std::filesystem::path openTarget;  // the file path led to when the machine was opened

    uint64_t bytesHash() {
        if (!hash) hash = contentHash(tree->source());
        return *hash;
    }
    // Reads the file from path; throws MachineError.
    void load();
    // Re-reads the file when another program wrote it since, with the pending changes replayed
    // on top; true when it did. A file whose identity is settled and unchanged is not read.
    bool reloadIfChanged();
    // Whether the file open as fd (just looked at as st) is still the copy this tree holds.
    bool stillHeldIn(int fd, const struct stat& st);
};

}  // namespace qv::reg
