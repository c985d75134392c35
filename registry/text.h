// Text helpers shared by the store: the program speaks UTF-8, the registry UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv::reg {

// UTF-8 to UTF-16. Surrogates encoded in UTF-8 form (as the reverse direction produces for
// unpaired ones) come back as the same units, so names survive the round trip exactly.
// Bytes that are not UTF-8 at all map to U+FFFD.
std::u16string utf8ToUtf16(std::string_view s);
// UTF-16 to UTF-8; an unpaired surrogate is encoded as its own three-byte sequence.
std::string utf16ToUtf8(std::u16string_view s);

// UTF-16LE bytes as stored in the registry.
std::string utf16ToBytes(std::u16string_view s);
std::u16string bytesToUtf16(std::string_view bytes);  // an odd last byte becomes a unit of its own

// Wine's name order: fold to lower case unit by unit; a shorter name sorts first on an equal prefix.
char16_t foldLower(char16_t c);
// The name folded unit by unit: two names are the same key or value when their folds are equal.
std::u16string foldName(std::u16string_view s);
int compareNames(std::u16string_view a, std::u16string_view b);
inline bool namesEqual(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && (a == b || compareNames(a, b) == 0);
}

// Single quotes for a POSIX shell: everything inside is literal, a quote itself is '\''.
std::string shellQuote(std::string_view s);

}  // namespace qv::reg
