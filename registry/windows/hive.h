// The hive files of an offline Windows installation, read and written through libhivex.
// Machine::openWindows (defined in hive.cpp) builds a machine over them; what is here is what
// the tools and tests need to look at a hive without opening a whole machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qv::reg {

// The largest value data libhivex writes the way Windows reads it (one cell; bigger data would
// need a db record, which libhivex does not write).
inline constexpr size_t kMaxHiveValueSize = 16344;

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

// A user profile of a Windows installation, from ProfileList in SOFTWARE and the profile folders.
struct WindowsUser {
    std::string name;                 // the profile folder's name ("alice", "alice.PC")
    std::string sid;                  // "" when found only as a folder
    std::filesystem::path folder;     // on the host
    std::filesystem::path ntuser;     // its NTUSER.DAT, empty when missing
};

// "ProductName (CurrentVersion)" of the installation whose system drive is `drive`, read from
// its SOFTWARE hive; "" when that cannot be read.
std::string installedWindowsVersion(const std::filesystem::path& drive);

// Looks a relative path up below base, each component compared without regard to ASCII case, as
// Windows names are. Returns nothing when a component is missing; *ambiguous names a folder that
// holds two spellings of one name.
std::optional<std::filesystem::path> findCaseless(const std::filesystem::path& base, const std::string& relative,
                                                  std::string* ambiguous = nullptr);

}  // namespace qv::reg
