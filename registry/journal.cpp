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

ReadStamp stampOf(const struct stat& st, uint64_t hash) {
    return {static_cast<uint64_t>(st.st_dev),
            static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec,
            hash};
}

std::string formatJournal(std::string_view tag, const std::vector<JournalEntry>& entries) {
    std::string j = std::string(tag) + std::string(kVersion) + "\n" + std::to_string(entries.size()) + "\n";
    for (const JournalEntry& e : entries) {
        char head[64];
        std::snprintf(head, sizeof head, "%llu %016llx ", static_cast<unsigned long long>(e.size),
                      static_cast<unsigned long long>(e.hash));
        j += head;
        const ReadStamp r = e.read.value_or(ReadStamp{});
        char stamp[160];
        std::snprintf(stamp, sizeof stamp, "%c %llu %llu %llu %lld %lld %016llx ", e.read ? 'R' : '-',
                      static_cast<unsigned long long>(r.dev), static_cast<unsigned long long>(r.ino),
                      static_cast<unsigned long long>(r.size), static_cast<long long>(r.mtimeNs),
                      static_cast<long long>(r.ctimeNs), static_cast<unsigned long long>(r.hash));
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
        uint64_t mtime, ctime;
        if (!number(10, &r.dev) || !expect(" ") || !number(10, &r.ino) || !expect(" ") || !number(10, &r.size) ||
            !expect(" ") || !number(10, &mtime) || !expect(" ") || !number(10, &ctime) || !expect(" ") ||
            !number(16, &r.hash) || !expect(" "))
            return false;
        r.mtimeNs = static_cast<int64_t>(mtime);
        r.ctimeNs = static_cast<int64_t>(ctime);
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
