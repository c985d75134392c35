// The journal a commit writes before its first rename: the temporaries and the files they
// replace, so that a commit killed half way is finished when the machine is next opened. Its last
// line tells that it was written whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qv::reg {

struct JournalEntry {
    std::filesystem::path tmp, target;
    uint64_t size = 0, hash = 0;  // what the temporary must hold (a hash of 0: not checked)
};

// Text of a journal whose first line is `tag`.
std::string formatJournal(std::string_view tag, const std::vector<JournalEntry>& entries);
// False for a journal that was not written whole, has another tag or more than maxEntries
// entries (its commit renamed nothing yet).
bool parseJournal(const std::string& text, std::string_view tag, size_t maxEntries,
                  std::vector<JournalEntry>* out);

}  // namespace qv::reg
