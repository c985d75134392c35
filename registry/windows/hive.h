// The hive files of an offline Windows installation, read and written through libhivex.
// Machine::openWindows (machines/windows.cpp) builds a machine over them; the tools and tests
// use what is here to look at a hive without opening a whole machine.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "registry/fileid.h"

namespace qv::reg {

// The largest value data libhivex writes the way Windows reads it (one cell; bigger data would
// need a db record, which libhivex does not write).
inline constexpr size_t kMaxHiveValueSize = 16344;

class RegKey;

// Why a hive could not be read or written; the machine says it as its own error.
class HiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the base block of a hive file says about the file.
struct HiveHeader {
    bool readable = false;  // a regf base block with a good checksum, and every bin it counts
    uint32_t seq1 = 0, seq2 = 0;
    uint32_t major = 0, minor = 0, fileType = 0, format = 0;
    std::string problem;    // why the file must not be written, "" when it may
    bool dirty() const { return !readable || seq1 != seq2; }
};
HiveHeader readHiveHeader(const std::filesystem::path& hive);

// When a .LOG/.LOG1/.LOG2 beside the hive holds data the hive does not: its name.
std::optional<std::string> newerHiveLog(const std::filesystem::path& hive, uint32_t seq1);

// "ProductName (CurrentVersion)" of the installation whose system drive is `drive`, read from
// its SOFTWARE hive; "" when that cannot be read.
std::string installedWindowsVersion(const std::filesystem::path& drive);

// Looks a relative path up below base, each component compared without regard to ASCII case, as
// Windows names are. Returns nothing when a component is missing; *ambiguous names a folder that
// holds two spellings of one name.
std::optional<std::filesystem::path> findCaseless(const std::filesystem::path& base, const std::string& relative,
                                                  std::string* ambiguous = nullptr);

// One hive file and where its root sits in the machine's trees.
struct Hive {
    std::string label;                  // for messages: "SOFTWARE", "alice's NTUSER.DAT"
    std::filesystem::path path;         // spelled as on disk
    bool user = false;                  // in HKEY_CURRENT_USER's tree
    std::vector<std::u16string> mount;  // path of its root in that tree
    FileId id;                          // the file as read
    std::string unsafe;                 // why it must not be written
};

// Reads a whole hive below `into`; head is what readHiveHeader said of it, fileSize its size.
// What the machine should show goes to notes. Throws HiveError when the hive cannot be read.
void readHive(const Hive& hv, const HiveHeader& head, uint64_t fileSize, RegKey* into, std::vector<std::string>* notes);

// Whether the Windows of a system drive is hibernated (or shut down with Fast Startup): the
// session it resumes would overwrite whatever is written now.
bool windowsHibernated(const std::filesystem::path& drive);

}  // namespace qv::reg
