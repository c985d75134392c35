// A registry value exactly as stored (type and bytes), and the stored forms tests build without
// the accessor; shared by the page tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>

#include "registry/api.h"

namespace qvtest {

struct Stored {
    uint32_t type = 0;
    std::string data;
    bool operator==(const Stored&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Stored& s) {
    os << "type " << s.type << ", bytes";
    for (unsigned char c : s.data)
        os << ' ' << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
    return os;
}

// Stored forms, built without the accessor.
inline Stored sz(const std::string& ascii, uint32_t type = qv::reg::REG_SZ) {
    std::string data;
    for (char c : ascii)
        data += std::string{c, '\0'};
    return {type, data + std::string(2, '\0')};
}
inline Stored binary(std::initializer_list<int> bytes) {
    std::string data;
    for (int b : bytes)
        data += static_cast<char>(b);
    return {qv::reg::REG_BINARY, data};
}
inline Stored dword(uint32_t v) {
    std::string data;
    for (int i = 0; i < 4; ++i)
        data += static_cast<char>((v >> (8 * i)) & 0xFF);
    return {qv::reg::REG_DWORD, data};
}

}  // namespace qvtest
