// Where a .reg file's keys live on a machine beyond HKLM, HKCU and HKCR: the user's branch of
// HKEY_USERS, and the keys Wine keeps only in memory, which no file of a prefix holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/changeset.h"

namespace qv::reg {

// The SID of Wine's one user: HKEY_USERS\<it> is a prefix's user.reg, HKEY_CURRENT_USER.
inline constexpr std::string_view kWineUserSid = "S-1-5-21-0-0-0-1000";

// What the mapping needs to know of a machine (a Machine is one).
class MachineFacts {
public:
    // The SID whose branch of HKEY_USERS is HKEY_CURRENT_USER; "" when it is not known.
    virtual std::string userSid() const = 0;
    // Whether Wine runs it from these files: a prefix, whose in-memory keys no file holds.
    virtual bool winePrefix() const = 0;

protected:
    ~MachineFacts() = default;
};

// Rewrites an operation on HKEY_USERS\<the machine's user's SID>\... to HKEY_CURRENT_USER\...
// and leaves other roots alone. *drop is set for a key made at HKEY_USERS itself (nothing to
// do). Any other branch (.Default, another SID) is refused: false, with *why naming it.
bool mapUsersBranch(const MachineFacts& m, ChangeOp* op, bool* drop, std::string* why);

// A key Wine 8 makes in memory at every start and never saves (or one below it); root is
// HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER, path without empty components.
bool isWineVolatileKey(int32_t root, std::u16string_view path);

// On a Wine prefix: takes out the operations on keys Wine keeps only in memory, which Wine's own
// import leaves out of the files too, and names each such key once in *skipped ("HKEY_...\...").
// Other machines keep every operation.
void dropWineVolatileKeys(const MachineFacts& m, ChangeSet* cs, std::vector<std::string>* skipped);

// The same for one operation of a file read as it comes: Keep it as it is, apply *mapped
// instead (a branch of HKEY_USERS), Drop it (a key Wine keeps only in memory, named once in
// *skipped), or Refuse the file (*error says why).
enum class Prepared { Keep, Mapped, Drop, Refuse };
Prepared prepareOp(const MachineFacts& m, const ChangeOp& op, ChangeOp* mapped, std::string* error,
                   std::vector<std::string>* skipped);

// Both, for a whole .reg file: false, with *error naming the key, when it has a branch of
// HKEY_USERS the machine lacks.
bool prepareImport(const MachineFacts& m, ChangeSet* cs, std::string* error, std::vector<std::string>* skipped);

}  // namespace qv::reg
