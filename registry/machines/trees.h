// A machine's two files in memory, HKLM (HKEY_CLASSES_ROOT in it) and HKCU, and the key operations
// of the registry API on them: the store under Machine, which adds opening, changes and the commit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/api.h"
#include "registry/changeset.h"
#include "registry/machines/files.h"

namespace qv::reg {

// The path prefix HKEY_CLASSES_ROOT adds within HKEY_LOCAL_MACHINE.
inline constexpr std::u16string_view kClassesPrefix = u"Software\\Classes";

// The subtree as a list, each key before its subkeys (walked with a stack of its own, as keys may
// nest deeper than calls can); topRel names the top one.
void flatten(const RegKey& top, const std::u16string& topRel, std::vector<StoredKey>* out);

struct Trees {
    MachineFile system, user;

    // The file a root lives in; null for a root the machine has not.
    MachineFile* fileFor(int32_t root);
    // The file and the path within it of a key named from a root.
    int32_t resolve(int32_t root, std::string_view path, MachineFile** file, std::u16string* full);
    // The file an open key belongs to.
    MachineFile& fileOf(const RegKey* key);

    int32_t openKey(int32_t root, std::string_view path, HKey* out);
    int32_t createKey(int32_t root, std::string_view path, HKey* out);
    static int32_t openSubkey(HKey parent, std::string_view path, HKey* out);
    static int32_t queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data);
    int32_t setValue(HKey key, std::string_view name, uint32_t type, std::string_view data);
    int32_t deleteValue(HKey key, std::string_view name);
    int32_t deleteKey(int32_t root, std::string_view path);
    static int32_t enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type, std::string* data);
    static int32_t enumKey(HKey key, uint32_t index, std::string* name);
    static int32_t queryInfoKey(HKey key, KeyInfo* info);
    int32_t copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath);
};

}  // namespace qv::reg
