// cRegistry: the registry accessor, over the thin store interface RegistryApi.
//
// Every operation opens the key it needs and closes it again before it returns, also when it
// raises. Text is UTF-8 in the program and UTF-16LE in the store; no 8-bit code page in between.
#include "registry/cregistry.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "registry/text.h"

namespace qv::reg {

namespace {

// The 255-character name buffer that EnumerateSections hands to RegEnumKeyA: a subkey name fits
// when it and its terminating NUL fit, so names of up to 254 UTF-16 units.
constexpr size_t kSectionBufferLength = 255;

// A key opened (or created) by one operation; closed when the operation ends, whichever way.
class ScopedKey {
public:
    explicit ScopedKey(RegistryApi& api) : api_(api) {}
    ~ScopedKey() { close(); }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    int32_t open(int32_t root, std::string_view path) {
        return track(api_.openKey(root, path, &key_));
    }
    int32_t create(int32_t root, std::string_view path) {
        return track(api_.createKey(root, path, &key_));
    }
    void close() {
        if (open_) {
            open_ = false;
            api_.closeKey(key_);
        }
    }
    HKey get() const { return key_; }

private:
    int32_t track(int32_t status) {
        open_ = status == ERROR_SUCCESS;
        return status;
    }

    RegistryApi& api_;
    HKey key_ = nullptr;
    bool open_ = false;
};

std::string errorSource() { return executableName() + ".cRegistry"; }

// Stored text (UTF-16LE) to program text (UTF-8). Exactly one terminating NUL is dropped, and only
// when the data has one: a REG_SZ stored without its NUL keeps its last character. Further NULs
// (the separators and the final empty string of a REG_MULTI_SZ) stay in the string.
std::string decodeText(std::string_view data) {
    std::u16string text = bytesToUtf16(data);
    if (!text.empty() && text.back() == u'\0') text.pop_back();
    return utf16ToUtf8(text);
}

// Program text to stored text: UTF-16LE followed by one NUL.
std::string encodeText(std::string_view text) {
    std::u16string units = utf8ToUtf16(text);
    units.push_back(u'\0');
    return utf16ToBytes(units);
}

// A DWORD as stored: up to four bytes, little-endian. Shorter data is taken zero-padded and
// longer data is cut to its first four bytes, so nothing is read outside the stored bytes.
uint32_t decodeDword(std::string_view data) {
    uint32_t v = 0;
    const size_t n = std::min<size_t>(data.size(), 4);
    for (size_t i = 0; i < n; ++i) v |= uint32_t(static_cast<unsigned char>(data[i])) << (8 * i);
    return v;
}

std::string encodeDword(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    std::string out(4, '\0');
    for (size_t i = 0; i < 4; ++i) out[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
    return out;
}

// The rule that picks REG_EXPAND_SZ: a "%" and a further "%" that starts two or more characters
// after the first. "%" is ASCII and never part of a multi-byte UTF-8 sequence, so byte positions
// serve: any byte between the two means at least one character between them.
bool looksExpandable(std::string_view text) {
    const size_t first = text.find('%');
    return first != std::string_view::npos && text.find('%', first + 2) != std::string_view::npos;
}

size_t utf16Length(std::string_view utf8) { return utf8ToUtf16(utf8).size(); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// RegError and the error source

namespace {
std::string composeWhat(int32_t number, const std::string& source, const std::string& description) {
    std::string what = "Error " + std::to_string(number);
    if (!source.empty()) what += " (" + source + ")";
    if (!description.empty()) what += ": " + description;
    return what;
}
}  // namespace

RegError::RegError(int32_t number, std::string source, std::string description)
    : number_(number),
      source_(std::move(source)),
      description_(std::move(description)),
      what_(composeWhat(number_, source_, description_)) {}

std::string executableName() {
    static const std::string name = [] {
        std::string file;
#ifdef __linux__
        std::error_code ec;
        const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec) {
            file = exe.filename().string();
            // The link of an executable replaced or removed while running ends in " (deleted)".
            constexpr std::string_view deleted = " (deleted)";
            if (file.size() > deleted.size() && file.ends_with(deleted))
                file.resize(file.size() - deleted.size());
        }
#endif
#ifdef __GLIBC__
        if (file.empty() && program_invocation_short_name) file = program_invocation_short_name;
#endif
        if (file.empty()) file = "quorvel";
        const size_t dot = file.rfind('.');
        if (dot != std::string::npos && dot > 0) file.resize(dot);
        return file;
    }();
    return name;
}

// ---------------------------------------------------------------------------------------------
// cRegistry

cRegistry::cRegistry(RegistryApi& api) : api_(api) {}

std::string cRegistry::describeWrite(const RegVariant& v) const {
    return "Failed to set registry value Key: '" + std::to_string(classKey_) + "',Section: '" +
           sectionKey_ + "',Key: '" + valueKey_ + "' to value: '" + variantToText(v) + "'";
}

RegVariant cRegistry::Value() {
    lastRead_.reset();
    ScopedKey key(api_);
    // A key that does not open cannot yield its value: the read returns Default, as the failing
    // query would make it on Windows.
    if (key.open(classKey_, sectionKey_) != ERROR_SUCCESS) return default_;

    uint32_t type = REG_NONE;
    const int32_t status = api_.queryValue(key.get(), valueKey_, &type, nullptr);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return default_;
    valueType_ = static_cast<int32_t>(type);

    std::string data;
    // The value was there a moment ago; should the data still not come, nothing can be read.
    if (api_.queryValue(key.get(), valueKey_, nullptr, &data) != ERROR_SUCCESS) return default_;
    lastRead_ = RawValue{type, data};

    switch (type) {
    case REG_SZ:
    case REG_MULTI_SZ:
        return decodeText(data);
    case REG_EXPAND_SZ:
        return ExpandEnvironmentString(decodeText(data));
    case REG_DWORD:
        return static_cast<int32_t>(decodeDword(data));
    case REG_DWORD_BIG_ENDIAN:
        return SwapEndian(static_cast<int32_t>(decodeDword(data)));
    default:
        return std::vector<uint8_t>(data.begin(), data.end());
    }
}

void cRegistry::setValue(const RegVariant& vValue) {
    ScopedKey key(api_);
    if (key.create(classKey_, sectionKey_) != ERROR_SUCCESS)
        throw RegError(kErrSetValue, errorSource(), describeWrite(vValue));

    int32_t status = ERROR_SUCCESS;
    switch (valueType_) {
    case static_cast<int32_t>(REG_SZ):
    case static_cast<int32_t>(REG_EXPAND_SZ): {
        // A byte array is written as its text form too (variantToText: its bytes in hex).
        const std::string text = variantToText(vValue);
        const uint32_t type = looksExpandable(text) ? REG_EXPAND_SZ : REG_SZ;
        status = api_.setValue(key.get(), valueKey_, type, encodeText(text));
        break;
    }
    case static_cast<int32_t>(REG_BINARY): {
        const auto* bytes = std::get_if<std::vector<uint8_t>>(&vValue);
        if (!bytes) throw RegError(kErrSetValue, {}, {});
        const std::string data(bytes->begin(), bytes->end());
        status = api_.setValue(key.get(), valueKey_, REG_BINARY, data);
        break;
    }
    case static_cast<int32_t>(REG_DWORD):
    case static_cast<int32_t>(REG_DWORD_BIG_ENDIAN): {
        // Only integers are written, always as a little-endian REG_DWORD; anything else writes
        // nothing and counts as success.
        std::optional<int32_t> number;
        if (const auto* l = std::get_if<int32_t>(&vValue)) number = *l;
        if (const auto* i = std::get_if<int16_t>(&vValue)) number = *i;
        if (number) status = api_.setValue(key.get(), valueKey_, REG_DWORD, encodeDword(*number));
        break;
    }
    default:
        status = ERROR_INVALID_DATA;
        break;
    }
    if (status != ERROR_SUCCESS) throw RegError(kErrWriteFailed, errorSource(), describeWrite(vValue));
}

void cRegistry::setRawValue(const RawValue& raw) {
    ScopedKey key(api_);
    const RegVariant shown = std::vector<uint8_t>(raw.data.begin(), raw.data.end());
    if (key.create(classKey_, sectionKey_) != ERROR_SUCCESS)
        throw RegError(kErrSetValue, errorSource(), describeWrite(shown));
    if (api_.setValue(key.get(), valueKey_, raw.type, raw.data) != ERROR_SUCCESS)
        throw RegError(kErrWriteFailed, errorSource(), describeWrite(shown));
}

bool cRegistry::ValueExists() {
    ScopedKey key(api_);
    if (key.open(classKey_, sectionKey_) != ERROR_SUCCESS) return false;
    const int32_t status = api_.queryValue(key.get(), valueKey_, nullptr, nullptr);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}

void TextAsRead::remember(std::string shown, std::optional<RawValue> raw) {
    shown_ = std::move(shown);
    raw_ = std::move(raw);
}

void TextAsRead::forget() {
    shown_.clear();
    raw_.reset();
}

void TextAsRead::write(cRegistry& r, const std::string& text) const {
    if (unchanged(text))
        r.setRawValue(*raw_);
    else
        r.setValue(text);
}

bool cRegistry::KeyExists() {
    ScopedKey key(api_);
    return key.open(classKey_, sectionKey_) == ERROR_SUCCESS;
}

bool cRegistry::CreateKey() {
    ScopedKey key(api_);
    if (key.create(classKey_, sectionKey_) != ERROR_SUCCESS)
        throw RegError(kErrSetValue, errorSource(), "Failed to create registry Key: '" + sectionKey_);
    return true;
}

bool cRegistry::DeleteKey() { return api_.deleteKey(classKey_, sectionKey_) == ERROR_SUCCESS; }

bool cRegistry::DeleteValue() {
    ScopedKey key(api_);
    if (key.open(classKey_, sectionKey_) != ERROR_SUCCESS) return false;
    return api_.deleteValue(key.get(), valueKey_) == ERROR_SUCCESS;
}

bool cRegistry::EnumerateValues(std::vector<std::string>& sKeyNames, int32_t& iKeyCount) {
    iKeyCount = 0;
    sKeyNames.clear();
    ScopedKey key(api_);
    if (key.open(classKey_, sectionKey_) != ERROR_SUCCESS) return true;
    KeyInfo info;
    if (api_.queryInfoKey(key.get(), &info) != ERROR_SUCCESS) return true;
    // The name buffer holds the longest value name the key reported, plus its NUL.
    const size_t longest = info.maxValueNameLength;
    for (uint32_t index = 0;; ++index) {
        std::string name;
        if (api_.enumValue(key.get(), index, &name, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (utf16Length(name) > longest) break;  // would not fit: RegEnumValueA fails here
        sKeyNames.push_back(std::move(name));
        ++iKeyCount;
    }
    return true;
}

bool cRegistry::EnumerateSections(std::vector<std::string>& sSect, int32_t& iSectCount) {
    ScopedKey key(api_);
    try {
        iSectCount = 0;
        sSect.clear();
        if (key.open(classKey_, sectionKey_) != ERROR_SUCCESS) return true;
        for (uint32_t index = 0;; ++index) {
            std::string name;
            if (api_.enumKey(key.get(), index, &name) != ERROR_SUCCESS) break;
            // A name that does not fit the buffer with its NUL ends the enumeration here.
            if (utf16Length(name) >= kSectionBufferLength) break;
            sSect.push_back(std::move(name));
            ++iSectCount;
        }
        return true;
    } catch (const std::exception& e) {
        key.close();
        throw RegError(kErrEnumerate, errorSource(), e.what());
    } catch (...) {
        key.close();
        throw RegError(kErrEnumerate, errorSource(), "Unexpected failure");
    }
}

void cRegistry::CreateEXEAssociation(const std::string& sExePath, const std::string& sClassName,
                                     const std::string& sClassDescription,
                                     const std::string& sAssociation, int32_t lDefaultIconIndex) {
    const std::string command = sExePath + " \"%1\"";
    auto write = [this](std::string section, const std::string& text) {
        sectionKey_ = std::move(section);
        valueKey_.clear();
        setValue(text);
    };
    classKey_ = HKEY_CLASSES_ROOT;
    write("." + sAssociation, sClassName);
    write("." + sAssociation + "\\shell\\open\\command", command);
    write(sClassName, sClassDescription);
    write(sClassName + "\\shell\\open\\command", command);
    if (lDefaultIconIndex > -1)
        write(sClassName + "\\DefaultIcon", sExePath + "," + std::to_string(lDefaultIconIndex));
}

int32_t cRegistry::SwapEndian(int32_t l) {
    const auto u = static_cast<uint32_t>(l);
    return static_cast<int32_t>((u >> 24) | ((u >> 8) & 0x0000FF00u) | ((u << 8) & 0x00FF0000u) |
                                (u << 24));
}

// As ExpandEnvironmentStrings does it (Wine's algorithm): the text ends at its first NUL; each
// "%NAME%" whose NAME the system knows (case-insensitively, as Windows compares them) is replaced
// by its value; an unknown "%NAME%" and "%%" stay as they are and the scan goes on after their
// closing "%"; a "%" without a closing one stays with the rest of the text.
std::string cRegistry::ExpandEnvironmentString(const std::string& s) const {
    std::string_view src(s);
    src = src.substr(0, src.find('\0'));
    std::string out;
    out.reserve(src.size());
    size_t pos = 0;
    while (pos < src.size()) {
        if (src[pos] != '%') {
            const size_t next = std::min(src.find('%', pos), src.size());
            out.append(src.substr(pos, next - pos));
            pos = next;
            continue;
        }
        const size_t close = src.find('%', pos + 1);
        if (close == std::string_view::npos) {
            out.append(src.substr(pos));
            break;
        }
        const std::string_view name = src.substr(pos + 1, close - pos - 1);
        std::optional<std::string> value;
        if (!name.empty()) value = api_.environmentVariable(name);
        if (value)
            out += *value;
        else
            out.append(src.substr(pos, close - pos + 1));
        pos = close + 1;
    }
    return out;
}

}  // namespace qv::reg
