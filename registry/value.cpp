// The registry value variant: its text form.
#include "registry/value.h"

#include <type_traits>

namespace qv::reg {

std::string variantToText(const RegVariant& v) {
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return {};
            } else if constexpr (std::is_same_v<T, std::string>) {
                return x;
            } else if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int16_t>) {
                return std::to_string(static_cast<int32_t>(x));
            } else {
                static constexpr char kHex[] = "0123456789ABCDEF";
                std::string out;
                out.reserve(x.size() * 3);
                for (size_t i = 0; i < x.size(); ++i) {
                    if (i) out += ' ';
                    out += kHex[x[i] >> 4];
                    out += kHex[x[i] & 0x0F];
                }
                return out;
            }
        },
        v);
}

}  // namespace qv::reg
