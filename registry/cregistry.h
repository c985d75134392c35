// cRegistry: the cursor-like accessor every page reads and writes the registry through.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "registry/api.h"
#include "registry/value.h"

namespace qv::reg {

// An error raised by the accessor: a number, a source (executable name + ".cRegistry") and a
// description, both empty for the byte-array type error.
class RegError : public std::exception {
public:
    RegError(int32_t number, std::string source, std::string description);
    int32_t number() const { return number_; }
    const std::string& source() const { return source_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    int32_t number_;
    std::string source_, description_, what_;
};

inline constexpr int32_t kErrSetValue = 26001;
inline constexpr int32_t kErrWriteFailed = static_cast<int32_t>(0x800469A9u);
inline constexpr int32_t kErrEnumerate = static_cast<int32_t>(0x800469AAu);

// The executable's name without extension, as the error source uses it.
std::string executableName();

// A value exactly as stored: its type and bytes.
struct RawValue {
    uint32_t type = 0;
    std::string data;
    bool operator==(const RawValue&) const = default;
};

class cRegistry;

// The stored value behind a text the window shows, so that a text the user left alone is written
// back with the type and bytes it was read with (an expandable string unexpanded, a number as a
// number) rather than as the text shown.
class TextAsRead {
public:
    // `shown`: the text a save would write when nothing was changed; `raw`: the value it came from,
    // none when there was no value.
    void remember(std::string shown, std::optional<RawValue> raw);
    void forget();
    // The stored value when `text` is still the text shown and a value was read; else `text`
    // through the accessor's own rules.
    void write(cRegistry& r, const std::string& text) const;
    bool unchanged(const std::string& text) const { return raw_ && text == shown_; }

private:
    std::string shown_;
    std::optional<RawValue> raw_;
};

class cRegistry {
public:
    explicit cRegistry(RegistryApi& api);

    int32_t ClassKey() const { return classKey_; }
    void setClassKey(int32_t eKey) { classKey_ = eKey; }
    const std::string& SectionKey() const { return sectionKey_; }
    void setSectionKey(std::string sSectionKey) { sectionKey_ = std::move(sSectionKey); }
    const std::string& ValueKey() const { return valueKey_; }
    void setValueKey(std::string sValueKey) { valueKey_ = std::move(sValueKey); }
    int32_t ValueType() const { return valueType_; }
    void setValueType(int32_t eValueType) { valueType_ = eValueType; }
    const RegVariant& Default() const { return default_; }
    void setDefault(RegVariant vDefault) { default_ = std::move(vDefault); }

    // Read: the value named by the properties, or Default (ValueType then unchanged); a value
    // found sets ValueType to its stored type. REG_SZ/REG_MULTI_SZ come back as UTF-8 without
    // their one terminating NUL (dropped only when present); REG_EXPAND_SZ is also expanded;
    // REG_DWORD(_BIG_ENDIAN) as int32_t from at most 4 stored bytes, zero-padded; any other type
    // as exactly the stored bytes.
    RegVariant Value();
    // Write with the type ValueType holds (ValueType itself is not changed); throws RegError.
    // REG_SZ/REG_EXPAND_SZ store variantToText(vValue) as UTF-16LE plus one NUL (a byte array
    // thus as its hex text), typed REG_EXPAND_SZ when the % rule says so, else REG_SZ.
    void setValue(const RegVariant& vValue);
    // The type and bytes the last Value() found; none when it returned Default.
    const std::optional<RawValue>& LastRead() const { return lastRead_; }
    // Writes a value exactly as given (type and bytes); ValueType is not changed. Throws RegError.
    void setRawValue(const RawValue& raw);
    // Whether the value named by the properties is there (any type).
    bool ValueExists();

    bool KeyExists();
    bool CreateKey();  // throws RegError 26001 when the key cannot be created
    bool DeleteKey();
    bool DeleteValue();
    // Names in registry order; element 0 is the first name (index 1 of the original arrays).
    bool EnumerateValues(std::vector<std::string>& sKeyNames, int32_t& iKeyCount);
    bool EnumerateSections(std::vector<std::string>& sSect, int32_t& iSectCount);
    void CreateEXEAssociation(const std::string& sExePath, const std::string& sClassName,
                              const std::string& sClassDescription, const std::string& sAssociation,
                              int32_t lDefaultIconIndex);

    RegistryApi& api() { return api_; }

    // Private helpers of the read path, public here so they can be tested.
    static int32_t SwapEndian(int32_t l);
    // %NAME% expanded through RegistryApi::environmentVariable (which compares names without
    // regard to case); unknown %NAME%, "%%" and a lone "%" stay; the text ends at its first NUL.
    std::string ExpandEnvironmentString(const std::string& s) const;

private:
    std::string describeWrite(const RegVariant& v) const;

    RegistryApi& api_;
    int32_t classKey_ = 0;
    std::string sectionKey_;
    std::string valueKey_;
    RegVariant default_;
    int32_t valueType_ = 0;
    std::optional<RawValue> lastRead_;
};

}  // namespace qv::reg
