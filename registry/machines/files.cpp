// Reading and replacing a machine's registry files without losing or tearing one.
#include "registry/machines/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "registry/machines/error.h"

namespace qv::reg {

namespace fs = std::filesystem;

std::string errnoText(int e) { return std::strerror(e); }

uint64_t fnv1aHash(std::string_view s) { return fnv1aMore(0xcbf29ce484222325ull, s); }

uint64_t fnv1aMore(uint64_t h, std::string_view s) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

// Every open of a machine hashes its files, so it takes eight bytes at a time in four independent lanes (a
// byte-serial hash cost a third of a one-value query on a 20 MB registry).
namespace {

constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;

inline uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v * 0xC2B2AE3D27D4EB4Full;
    h = (h << 31) | (h >> 33);
    return h * kMul;
}

// Whole 32-byte blocks of p, n a multiple of 32; the lanes in locals, which the bytes cannot alias.
void mixBlocks(uint64_t* lanes, const char* p, size_t n) {
    uint64_t lane[4] = {lanes[0], lanes[1], lanes[2], lanes[3]};
    for (; n >= 32; p += 32, n -= 32) {
        for (int i = 0; i < 4; ++i) {
            uint64_t v;
            std::memcpy(&v, p + 8 * i, 8);
            lane[i] = mix(lane[i], v);
        }
    }
    for (int i = 0; i < 4; ++i) lanes[i] = lane[i];
}

}  // namespace

void ContentHasher::add(std::string_view s) {
    total_ += s.size();
    const char* p = s.data();
    size_t n = s.size();
    if (heldSize_ > 0) {
        const size_t take = std::min(n, sizeof held_ - heldSize_);
        std::memcpy(held_ + heldSize_, p, take);
        heldSize_ += take;
        p += take;
        n -= take;
        if (heldSize_ < sizeof held_) return;
        mixBlocks(lane_, held_, sizeof held_);
        heldSize_ = 0;
    }
    const size_t whole = n & ~size_t{31};
    mixBlocks(lane_, p, whole);
    std::memcpy(held_, p + whole, n - whole);
    heldSize_ = n - whole;
}

uint64_t ContentHasher::value() const {
    uint64_t h = total_ * kMul;
    for (uint64_t l : lane_) h = mix(h, l);
    const char* p = held_;
    size_t n = heldSize_;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        h = mix(h, v);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = mix(h, tail ^ (static_cast<uint64_t>(n) << 56));
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

uint64_t contentHash(std::string_view s) {
    ContentHasher h;
    h.add(s);
    return h.value();
}

bool hashFd(int fd, FileHashes* out, std::string* why, bool oldHashToo) {
    // Read from the start whatever the offset, a piece at a time: no file-sized copy in memory.
    constexpr size_t kPiece = size_t{1} << 18;
    const std::unique_ptr<char[]> buf(new char[kPiece]);
    ContentHasher content;
    uint64_t fnv = fnv1aHash({});
    uint64_t done = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buf.get(), kPiece, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = errnoText(errno);
            return false;
        }
        if (n == 0) break;
        const std::string_view piece(buf.get(), static_cast<size_t>(n));
        content.add(piece);
        if (oldHashToo) fnv = fnv1aMore(fnv, piece);
        done += static_cast<uint64_t>(n);
        if (done > kMaxRegistryFileSize) {
            *why = "it is larger than 2 GiB";
            return false;
        }
    }
    *out = {done, content.value(), fnv};
    return true;
}

bool readFd(int fd, std::string* out, std::string* why, size_t expected) {
    // One byte more than expected, so that a file that grew meanwhile is seen to go on.
    out->resize(std::min<size_t>(std::max<size_t>(expected + 1, 65536), kMaxRegistryFileSize + 1));
    size_t length = 0;
    for (;;) {
        if (length == out->size()) {
            if (length > kMaxRegistryFileSize) {
                *why = "it is larger than 2 GiB";
                out->clear();
                return false;
            }
            out->resize(std::min<size_t>(length * 2, kMaxRegistryFileSize + 1));
        }
        const ssize_t n = ::read(fd, out->data() + length, out->size() - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = errnoText(errno);
            out->clear();
            return false;
        }
        if (n == 0) break;
        length += static_cast<size_t>(n);
    }
    out->resize(length);
    return true;
}

bool checkRegular(const struct stat& st, std::string* why) {
    if (!S_ISREG(st.st_mode)) {
        *why = "it is not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxRegistryFileSize) {
        *why = "it is larger than 2 GiB";
        return false;
    }
    return true;
}

bool readOpen(int fd, std::string* out, FileId* id, std::string* why) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *why = errnoText(errno);
        return false;
    }
    if (!checkRegular(st, why)) return false;
    if (!readFd(fd, out, why, static_cast<size_t>(st.st_size))) return false;
    if (::fstat(fd, &st) != 0) {
        *why = errnoText(errno);
        return false;
    }
    *id = idOf(st);
    return true;
}

bool readWhole(const fs::path& path, std::string* out, FileId* id, std::string* why, int flags) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags));
    if (fd.get() < 0) {
        *why = errno == ELOOP && (flags & O_NOFOLLOW) ? "it is now a symbolic link" : errnoText(errno);
        return false;
    }
    return readOpen(fd.get(), out, id, why);
}

namespace {

// Writes in pieces, each handed to the disk once written (not waited for): the disk works while
// the rest is copied and while the caller goes on until its fsync.
void writeAll(int fd, std::string_view data, const fs::path& shown) {
    constexpr size_t kPiece = size_t{4} << 20;
    size_t done = 0;
    while (done < data.size()) {
        const size_t end = std::min(data.size(), done + kPiece);
        const size_t start = done;
        while (done < end) {
            ssize_t n = ::write(fd, data.data() + done, end - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw MachineError("Could not write " + shown.string() + ": " + errnoText(errno));
            done += static_cast<size_t>(n);
        }
        // Only a hint: the fsync that follows is what makes the bytes durable.
        ::sync_file_range(fd, static_cast<off_t>(start), static_cast<off_t>(done - start), SYNC_FILE_RANGE_WRITE);
    }
}

constexpr const char* kTempMarker = ".quorvel-tmp-";

// The mode open(2) gives a new file asked for with 0666: the umask decides, as for the folders.
mode_t newFileMode() {
    mode_t mask = 022;
    bool known = false;
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            unsigned m;
            if (std::sscanf(line, "Umask: %o", &m) == 1) {
                mask = static_cast<mode_t>(m);
                known = true;
                break;
            }
        }
        std::fclose(f);
    }
    if (!known) {
        mask = ::umask(022);
        ::umask(mask);
    }
    return 0666 & ~mask;
}

}  // namespace

bool isInside(const fs::path& p, const fs::path& dir) {
    auto m = std::mismatch(dir.begin(), dir.end(), p.begin(), p.end());
    return m.first == dir.end();
}

fs::path keepAside(const fs::path& file, const fs::path& target) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (int n = 1;; ++n) {
        fs::path aside = target;
        aside += std::string(".displaced-") + stamp + (n > 1 ? "-" + std::to_string(n) : "");
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return aside;
        if (errno != EEXIST || n == 100) return file;  // left where it is, under its temporary name
    }
}

Temporary startTemporary(const fs::path& target, std::string_view content) {
    std::string tmpl = (folderOf(target) / ("." + target.filename().string() + kTempMarker + "XXXXXX")).string();
    int raw = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (raw < 0) throw MachineError("Could not save " + target.string() + ": " + errnoText(errno));
    Temporary t{tmpl, target, Fd(raw)};
    try {
        struct stat st;
        if (::stat(target.c_str(), &st) == 0) {
            ::fchmod(t.fd.get(), st.st_mode & 07777);
            if (::fchown(t.fd.get(), st.st_uid, st.st_gid) != 0) {
                // Only root may give files away; the file is then ours, as a new file would be.
            }
        } else {
            ::fchmod(t.fd.get(), newFileMode());
        }
        writeAll(t.fd.get(), content, target);
    } catch (...) {
        ::unlink(t.path.c_str());
        throw;
    }
    return t;
}

void finishTemporary(Temporary& t, FileId* id) {
    struct stat st;
    int failed = 0;
    if (::fsync(t.fd.get()) != 0 || ::fstat(t.fd.get(), &st) != 0 || ::close(t.fd.release()) != 0) failed = errno;
    if (failed) {
        ::unlink(t.path.c_str());
        throw MachineError("Could not save " + t.target.string() + ": " + errnoText(failed));
    }
    *id = idOf(st);
}

fs::path writeTemporary(const fs::path& target, std::string_view content, FileId* id) {
    Temporary t = startTemporary(target, content);
    finishTemporary(t, id);
    return t.path;
}

void writeNewFile(const fs::path& target, std::string_view content) {
    FileId ignored;
    const fs::path tmp = writeTemporary(target, content, &ignored);
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        throw MachineError("Could not save " + target.string() + ": " + errnoText(e));
    }
    syncFolderEntries(folderOf(target));
}

bool isTemporaryOf(const std::string& name, const std::string& file) {
    if (file.empty()) return name.size() > 1 && name[0] == '.' && name.find(kTempMarker) != std::string::npos;
    const std::string prefix = "." + file + kTempMarker;
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0;
}

void removeTemporariesIn(const fs::path& dir, const std::string& file) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string n = e.path().filename().string();
        if (isTemporaryOf(n, file)) fs::remove(e.path(), ec);
    }
}

FolderLock::FolderLock(const fs::path& dir, bool required)
    : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_.get() < 0) {
        if (!required) return;
        throw MachineError("Could not open " + dir.string() + ": " + errnoText(errno));
    }
    while (::flock(fd_.get(), LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        if (!required) return;
        throw MachineError("Could not lock " + dir.string() + ": " + errnoText(errno));
    }
}

void MachineFile::load() {
    // The clock is read before the file is looked at, so that settled errs towards hashing.
    const timespec look = wallClockNow();
    std::string content, why;
    FileId now;
    if (!readWhole(path, &content, &now, &why))
        throw MachineError("Could not read " + path.string() + ": " + why);
    std::string error;
    auto fresh = RegFile::parse(std::move(content), path.string(), &error);
    if (!fresh) throw MachineError(error + "; the file is left as it is");
    tree = std::move(fresh);
    id = now;
    settled = settledAt(now, look);
    hash.reset();
}

bool MachineFile::stillHeldIn(int fd, const struct stat& st) {
    if (!(idOf(st) == id)) return false;
    if (settled) return true;
    FileHashes h;
    std::string why;
    struct stat after;
    return hashFd(fd, &h, &why) && h.size == static_cast<uint64_t>(id.size) && h.content == bytesHash() &&
           ::fstat(fd, &after) == 0 && idOf(after) == id;
}

bool MachineFile::reloadIfChanged() {
    const timespec look = wallClockNow();
    std::string content, why;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) why = errnoText(errno);
    if (!why.empty() || !checkRegular(st, &why)) throw MachineError("Could not read " + path.string() + ": " + why);
    if (stillHeldIn(fd.get(), st)) {
        settled = settled || settledAt(id, look);
        return false;
    }
    FileId now;
    if (!readOpen(fd.get(), &content, &now, &why))
        throw MachineError("Could not read " + path.string() + ": " + why);
    const uint64_t bytes = contentHash(content);
    if (bytes == bytesHash()) {
        // The same bytes under a new identity (touched, or copied back): nothing to take in.
        id = now;
        settled = settledAt(now, look);
        return false;
    }
    // Someone else wrote the file: take their version and put our pending changes on top.
    std::string error;
    auto fresh = RegFile::parse(std::move(content), path.string(), &error);
    if (!fresh) throw MachineError(error + "; the file is left as it is");
    fresh->replay(tree->journal());
    tree = std::move(fresh);
    id = now;
    settled = settledAt(now, look);
    hash = bytes;
    return true;
}

}  // namespace qv::reg
