// The registry value variant the accessor reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace qv::reg {

// empty, a string (UTF-8), a 32-bit signed integer, a 16-bit signed integer, or a byte array
// whose first element is index 0.
using RegVariant = std::variant<std::monostate, std::string, int32_t, int16_t, std::vector<uint8_t>>;

inline bool isEmpty(const RegVariant& v) { return std::holds_alternative<std::monostate>(v); }

// Text form of a value: a string as it is, a number in decimal without a leading blank, empty as
// "", a byte array as its bytes in two-digit upper-case hex separated by blanks.
std::string variantToText(const RegVariant& v);

}  // namespace qv::reg
