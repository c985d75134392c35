// The journal a commit writes before its first rename: the temporaries, the files they replace
// and what those files were when the commit read them, so that a commit killed half way is
// finished when the machine is next opened, but only onto the files it was made from. Its last
// line tells that it was written whole.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/fileid.h"

namespace qv::reg {

// A file as a commit read it.
struct ReadStamp {
    FileId id;
    uint64_t hash = 0;  // of its bytes; 0: not taken, the identity alone tells
};
ReadStamp stampOf(const struct stat& st, uint64_t hash = 0);

struct JournalEntry {
    std::filesystem::path tmp, target;
    uint64_t size = 0, hash = 0;    // what the temporary must hold (a hash of 0: not checked)
    std::optional<ReadStamp> read;  // nothing: a journal written before stamps were kept
};

// Text of a journal whose first line is `tag` and its version.
std::string formatJournal(std::string_view tag, const std::vector<JournalEntry>& entries);
// False for a journal that was not written whole, has another tag or more than maxEntries
// entries (its commit renamed nothing yet).
bool parseJournal(const std::string& text, std::string_view tag, size_t maxEntries,
                  std::vector<JournalEntry>* out);

}  // namespace qv::reg
