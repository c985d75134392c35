// Change sets: an ordered list of registry operations, the vocabulary for showing a change
// before it is written, taking it back after, and carrying it to another machine (.reg files).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/api.h"

namespace qv::reg {

// The roots a .reg file may name that no machine here holds; Windows' numbers.
inline constexpr int32_t HKEY_USERS = static_cast<int32_t>(0x80000003u);
inline constexpr int32_t HKEY_CURRENT_CONFIG = static_cast<int32_t>(0x80000005u);

// A value as it stood (or stands): its name, type and raw bytes.
struct StoredValue {
    std::u16string name;  // empty: the key's default value
    uint32_t type = 0;
    std::string data;
    bool operator==(const StoredValue&) const = default;
};

// One key of a subtree that a deletion removed, with its values; path relative to the deleted
// key ("" for the key itself), parents before their children.
struct StoredKey {
    std::u16string path;
    std::vector<StoredValue> values;
    bool link = false;  // a symbolic link (Wine's #link); its target is its SymbolicLinkValue
    bool operator==(const StoredKey&) const = default;
};

struct ChangeOp {
    enum class Kind { SetValue, DeleteValue, CreateKey, DeleteKey };
    Kind kind = Kind::SetValue;
    int32_t root = HKEY_LOCAL_MACHINE;  // a machine's own change sets use HKLM and HKCU only
    std::u16string key;                 // below the root, "\"-separated, no leading backslash
    std::u16string name;                // value ops: the value's name (empty: default value)
    uint32_t type = 0;                  // SetValue: the new type and bytes
    std::string data;

    // The state before the operation, when it is known (a machine's change sets carry it; a .reg
    // file does not). Value ops: the value before, or nothing when there was none. DeleteKey:
    // the whole subtree removed. CreateKey: the key did not exist before.
    bool oldKnown = false;
    std::optional<StoredValue> oldValue;
    std::vector<StoredKey> oldTree;
    // CreateKey: a key that does not exist yet is made a symbolic link, as a deleted one was.
    bool link = false;

    bool operator==(const ChangeOp&) const = default;
};

// Operations as a .reg file states them: no old state known.
ChangeOp keyOp(ChangeOp::Kind kind, int32_t root, std::u16string key);
ChangeOp setValueOp(int32_t root, std::u16string key, std::u16string name, uint32_t type, std::string data);
ChangeOp deleteValueOp(int32_t root, std::u16string key, std::u16string name);

class ChangeSet {
public:
    std::vector<ChangeOp> ops;

    bool empty() const { return ops.empty(); }
    bool operator==(const ChangeSet&) const = default;
    size_t size() const { return ops.size(); }

    // The change set that undoes this one when applied right after it: operations in reverse,
    // each turned around from its known old state (a deleted subtree comes back key by key with
    // every value; created keys are deleted). Operations without a known old state are skipped.
    ChangeSet inverse() const;

    // The same effect with fewer operations, for showing: value operations on the same value
    // merge into one (first old state, last new state) and drop out when they end where they
    // began; a key created and later deleted again drops out. Operations never move across a
    // key operation that covers them.
    ChangeSet simplified() const;
};

// "HKEY_LOCAL_MACHINE" and the others, as .reg files and Wine's reg spell them; "" for other
// numbers.
std::string_view rootName(int32_t root);
// One spelling of a key for comparing: the root's name, HKEY_CLASSES_ROOT as the branch of
// HKEY_LOCAL_MACHINE it is, every name case-folded.
std::u16string foldedKeyPath(int32_t root, std::u16string_view key);

}  // namespace qv::reg
