// The registry as the Windows functions present it: roots, types, error numbers and a thin call
// interface. The accessor talks only to this, so another store (a native one, an offline hive) can
// sit beside the file store without touching the callers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::reg {

// Predefined roots, with the numbers Windows gives them.
inline constexpr int32_t HKEY_CLASSES_ROOT = static_cast<int32_t>(0x80000000u);
inline constexpr int32_t HKEY_CURRENT_USER = static_cast<int32_t>(0x80000001u);
inline constexpr int32_t HKEY_LOCAL_MACHINE = static_cast<int32_t>(0x80000002u);

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr uint32_t REG_LINK = 6;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

// Windows error numbers the store answers with (0 is success).
enum Status : int32_t {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DATA = 13,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BAD_PATHNAME = 161,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_MORE_DATA = 234,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_KEY_DELETED = 1018,
    ERROR_CHILD_MUST_BE_VOLATILE = 1021,
};

// A short English text for a status, for messages.
std::string statusText(int32_t status);

inline constexpr size_t kMaxKeyNameLength = 255;      // UTF-16 units per path component
inline constexpr size_t kMaxValueNameLength = 16383;  // UTF-16 units
// How many levels below its root a key may lie, as Windows allows. Deeper keys are refused where
// they would be made; a file that already holds one is still read.
inline constexpr size_t kMaxKeyDepth = 512;

namespace detail {
template <class Char>
size_t keyDepth(std::basic_string_view<Char> path) {
    size_t levels = 0;
    bool inName = false;
    for (Char c : path) {
        if (c == Char('\\')) inName = false;
        else if (!inName) inName = true, ++levels;
    }
    return levels;
}
}  // namespace detail

// The levels of a "\"-separated path (empty components are none).
inline size_t keyDepth(std::string_view path) { return detail::keyDepth(path); }
inline size_t keyDepth(std::u16string_view path) { return detail::keyDepth(path); }

// An open key. Valid until the key or one of its ancestors is deleted, or the store is re-read;
// callers open, act and close within one operation.
using HKey = const void*;

struct KeyInfo {
    uint32_t subkeys = 0;
    uint32_t values = 0;
    uint32_t maxSubkeyNameLength = 0;  // UTF-16 units, as Windows counts
    uint32_t maxValueNameLength = 0;
    uint32_t maxValueDataLength = 0;
};

class RegistryApi {
public:
    virtual ~RegistryApi() = default;

    // Paths are "\"-separated below the root; leading and trailing backslashes are ignored, so
    // "" and "\" name the root itself. Names are UTF-8 and compared without regard to case.
    virtual int32_t openKey(int32_t root, std::string_view path, HKey* out) = 0;
    // Creates every missing key on the way.
    virtual int32_t createKey(int32_t root, std::string_view path, HKey* out) = 0;
    virtual void closeKey(HKey key) = 0;

    // type and data may be null when the caller wants only the other one.
    virtual int32_t queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) = 0;
    // Setting the same type and bytes as stored is not a change.
    virtual int32_t setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) = 0;
    virtual int32_t deleteValue(HKey key, std::string_view name) = 0;
    // Removes the key with its whole subtree. The root itself cannot be deleted.
    virtual int32_t deleteKey(int32_t root, std::string_view path) = 0;

    // Index-based enumeration in the store's order; ERROR_NO_MORE_ITEMS past the end.
    virtual int32_t enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type,
                              std::string* data) = 0;
    virtual int32_t enumKey(HKey key, uint32_t index, std::string* name) = 0;
    virtual int32_t queryInfoKey(HKey key, KeyInfo* info) = 0;

    // Copies a key's whole subtree (every level, every value with its type and bytes, keys without
    // values) onto another path, merging into what is there: the source wins on equal names and
    // nothing else of the destination is lost. The source is left as it was.
    virtual int32_t copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                            std::string_view dstPath) = 0;

    // Moves a key's whole subtree onto another path (merging as copyKey does) and removes the
    // source, which stays whole unless the copy completed. A store that keeps changes for a later
    // write records this as one move, so that it moves the key as the file holds it at that time.
    virtual int32_t moveKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                            std::string_view dstPath) {
        if (int32_t st = copyKey(srcRoot, srcPath, dstRoot, dstPath)) return st;
        return deleteKey(srcRoot, srcPath);
    }

    // The keys at most maxDepth levels below root\path whose own name is one of names (compared
    // as the store compares names), as paths relative to root\path in the store's spelling: each
    // key before its subkeys, subkeys in the store's order. The default visits every key above
    // that depth; a store that indexes its keys' paths answers from the index. The first failure
    // ends it and is returned (found then holds what was found before it).
    virtual int32_t findKeysNamed(int32_t root, std::string_view path, const std::vector<std::string>& names,
                                  size_t maxDepth, std::vector<std::string>* found);
    // Whether findKeysNamed answers from an index, so that asking costs less than looking.
    virtual bool findsKeysFromIndex() const { return false; }

    // Environment of the Windows system behind the store (windir, SystemRoot...); the accessor
    // expands REG_EXPAND_SZ data with it.
    virtual std::optional<std::string> environmentVariable(std::string_view name) const = 0;
};

}  // namespace qv::reg
