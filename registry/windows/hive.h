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
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "registry/fileid.h"
#include "registry/wine/winefile.h"

struct hive_h;  // libhivex's handle

namespace qv::reg {

// The largest value data libhivex writes the way Windows reads it (one cell; bigger data would
// need a db record, which libhivex does not write).
inline constexpr size_t kMaxHiveValueSize = 16344;

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

// A hive whose keys are made from its libhivex nodes when first used: a key bound to it reads its
// values, and makes its subkeys, the first time they are asked for. The file is opened (past the
// header check) on first use, through the descriptor the check read, so that it is the file
// checked whenever that happens. Damage met on the way is kept rather than thrown: the damaged
// part shows nothing, the hive is not written, and the machine says why.
class HiveSource final : public KeySource {
public:
    // hv.id is set from the file as checked; head is what the check said. Throws HiveError when
    // the file cannot be opened or is no hive libhivex can read.
    explicit HiveSource(Hive& hv);
    ~HiveSource() override;
    const HiveHeader& header() const { return head_; }

    // Binds key (where the hive's root sits in a tree) to the hive's root.
    void mount(RegKey* key) const;
    // The root's Software\Classes shown as the root of another hive (UsrClass.dat over
    // NTUSER.DAT's own), or, with none, at least there.
    void graftClasses(const HiveSource* classes) { graft_ = true, classes_ = classes; }

    // Copies the keys at paths (below the hive's root; a path ending in "\\*" stands for each
    // subkey of its key) with their values into a tree of plain keys below into, read straight
    // from the file: the few keys an open reads cost no libhivex open of the whole hive. Only
    // plain, sound records are followed; on anything else it returns false, having copied part
    // or none, and the caller reads the hive through libhivex instead. A missing key is skipped.
    bool glance(const std::vector<std::u16string>& paths, RegKey* into) const;

    // The first failure or damage met, "" while there is none.
    const std::string& failure() const { return failure_; }
    // What the machine should say of what was read so far.
    std::vector<std::string> notes() const;

    void readSubkeys(RegKey* owner, uint32_t node, std::vector<std::unique_ptr<RegKey>>* out) const override;
    void readValues(const RegKey* owner, uint32_t node, std::vector<RegValue>* out) const override;

private:
    hive_h* handle() const;
    uint32_t resolve(uint32_t node) const;  // 0: the root
    std::string place(const RegKey* k) const;
    void fail(const std::string& why) const;
    void damaged(const std::string& what) const;

    std::filesystem::path path_;
    std::string label_;
    HiveHeader head_;
    int fd_ = -1;
    mutable hive_h* h_ = nullptr;
    mutable bool opened_ = false;
    mutable uint32_t root_ = 0, software_ = 0;
    bool graft_ = false;
    const HiveSource* classes_ = nullptr;
    mutable std::string failure_;
    mutable size_t hidden_ = 0, unnamable_ = 0;
    mutable std::unordered_set<uint32_t> keysRead_, valuesRead_;  // nodes counted once
    mutable std::unordered_map<uint32_t, uint32_t> claims_;  // a value's cell: its node; data's: its value
};

// Walks the whole hive open at h, without reading names or data, and throws HiveError naming
// `file` when its keys or values are reached from more than one place (a loop, a list or data
// two keys share): libhivex would free cells still in use when it deletes or rewrites them.
void checkHiveStructure(hive_h* h, const std::filesystem::path& file);

// Whether the Windows of a system drive is hibernated (or shut down with Fast Startup): the
// session it resumes would overwrite whatever is written now.
bool windowsHibernated(const std::filesystem::path& drive);

}  // namespace qv::reg
