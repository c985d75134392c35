#include "registry/journal.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qv::reg {

namespace fs = std::filesystem;

namespace {
// Version 1 journals, of releases that kept no read stamps, are still read.
constexpr std::string_view kVersion = " 2";
constexpr std::string_view kOldVersion = " 1";
}  // namespace

ReadStamp stampOf(const struct stat& st, uint64_t hash) { return {idOf(st), hash}; }

namespace {
timespec timeOf(uint64_t ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}
}  // namespace

std::string formatJournal(std::string_view tag, const std::vector<JournalEntry>& entries) {
    std::string j = std::string(tag) + std::string(kVersion) + "\n" + std::to_string(entries.size()) + "\n";
    for (const JournalEntry& e : entries) {
        char head[64];
        std::snprintf(head, sizeof head, "%llu %016llx ", static_cast<unsigned long long>(e.size),
                      static_cast<unsigned long long>(e.hash));
        j += head;
        const ReadStamp r = e.read.value_or(ReadStamp{{}, 0});
        const bool known = e.read.has_value();
        char stamp[160];
        std::snprintf(stamp, sizeof stamp, "%c %llu %llu %llu %lld %lld %016llx ", known ? 'R' : '-',
                      static_cast<unsigned long long>(r.id.dev), static_cast<unsigned long long>(r.id.ino),
                      static_cast<unsigned long long>(known ? r.id.size : 0), nanosOf(r.id.mtime),
                      nanosOf(r.id.ctime), static_cast<unsigned long long>(r.hash));
        j += stamp;
        j += std::to_string(e.tmp.native().size()) + ":" + e.tmp.native() + " ";
        j += std::to_string(e.target.native().size()) + ":" + e.target.native() + "\n";
    }
    return j + "END\n";
}

bool parseJournal(const std::string& text, std::string_view tag, size_t maxEntries,
                  std::vector<JournalEntry>* out) {
    size_t pos = 0;
    auto expect = [&](std::string_view lit) {
        if (text.compare(pos, lit.size(), lit) != 0) return false;
        pos += lit.size();
        return true;
    };
    auto number = [&](int base, uint64_t* v) {
        const char* begin = text.c_str() + pos;
        char* end = nullptr;
        if (pos >= text.size() || !std::isxdigit(static_cast<unsigned char>(*begin))) return false;
        errno = 0;
        *v = std::strtoull(begin, &end, base);
        if (errno) return false;
        pos += static_cast<size_t>(end - begin);
        return true;
    };
    auto path = [&](fs::path* p) {
        uint64_t n;
        if (!number(10, &n) || !expect(":") || n > text.size() - pos) return false;
        *p = text.substr(pos, n);
        pos += n;
        return true;
    };
    auto stamp = [&](std::optional<ReadStamp>* read) {
        const bool known = expect("R ");
        if (!known && !expect("- ")) return false;
        ReadStamp r;
        uint64_t dev, ino, size, mtime, ctime;
        if (!number(10, &dev) || !expect(" ") || !number(10, &ino) || !expect(" ") || !number(10, &size) ||
            !expect(" ") || !number(10, &mtime) || !expect(" ") || !number(10, &ctime) || !expect(" ") ||
            !number(16, &r.hash) || !expect(" "))
            return false;
        r.id = {static_cast<dev_t>(dev), static_cast<ino_t>(ino), static_cast<off_t>(size), timeOf(mtime), timeOf(ctime)};
        if (known) *read = r;
        return true;
    };
    uint64_t count;
    if (!expect(tag)) return false;
    const bool stamped = expect(kVersion);
    if (!stamped && !expect(kOldVersion)) return false;
    if (!expect("\n") || !number(10, &count) || !expect("\n") || count > maxEntries) return false;
    for (uint64_t i = 0; i < count; ++i) {
        JournalEntry e;
        if (!number(10, &e.size) || !expect(" ") || !number(16, &e.hash) || !expect(" ") ||
            (stamped && !stamp(&e.read)) || !path(&e.tmp) || !expect(" ") || !path(&e.target) || !expect("\n"))
            return false;
        out->push_back(std::move(e));
    }
    return expect("END\n") && pos == text.size();
}

}  // namespace qv::reg
