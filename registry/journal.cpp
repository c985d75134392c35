#include "journal.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qv::reg {

namespace fs = std::filesystem;

std::string formatJournal(std::string_view tag, const std::vector<JournalEntry>& entries) {
    std::string j = std::string(tag) + "\n" + std::to_string(entries.size()) + "\n";
    for (const JournalEntry& e : entries) {
        char head[64];
        std::snprintf(head, sizeof head, "%llu %016llx ", static_cast<unsigned long long>(e.size),
                      static_cast<unsigned long long>(e.hash));
        j += head;
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
    uint64_t count;
    if (!expect(tag) || !expect("\n") || !number(10, &count) || !expect("\n") || count > maxEntries) return false;
    for (uint64_t i = 0; i < count; ++i) {
        JournalEntry e;
        if (!number(10, &e.size) || !expect(" ") || !number(16, &e.hash) || !expect(" ") || !path(&e.tmp) ||
            !expect(" ") || !path(&e.target) || !expect("\n"))
            return false;
        out->push_back(std::move(e));
    }
    return expect("END\n") && pos == text.size();
}

}  // namespace qv::reg
