// Shared by the 'New' menu tests: a key's whole subtree as the store holds it, for comparing a
// moved key with what its source was, byte for byte.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "registry/api.h"

namespace qvtest {

struct RawValue {
    uint32_t type = 0;
    std::string data;
    bool operator==(const RawValue&) const = default;
};

// Path relative to the key ("" for the key itself) -> its values by name. A key without values
// is still there, with an empty map.
using Subtree = std::map<std::string, std::map<std::string, RawValue>>;

inline void PrintTo(const RawValue& v, std::ostream* os) {
    *os << "type " << v.type << ", " << v.data.size() << " bytes";
}

// Read through the store's own calls, so it works for every RegistryApi. Empty when the key is
// missing.
inline Subtree subtree(qv::reg::RegistryApi& api, int32_t root, const std::string& path) {
    Subtree out;
    auto walk = [&](auto& self, const std::string& rel) -> void {
        const std::string full = rel.empty() ? path : path + "\\" + rel;
        qv::reg::HKey key = nullptr;
        if (api.openKey(root, full, &key) != qv::reg::ERROR_SUCCESS)
            return;
        auto& values = out[rel];
        std::string name, data;
        uint32_t type = 0;
        for (uint32_t i = 0; api.enumValue(key, i, &name, &type, &data) == qv::reg::ERROR_SUCCESS; ++i)
            values[name] = RawValue{type, data};
        std::vector<std::string> subkeys;
        for (uint32_t i = 0; api.enumKey(key, i, &name) == qv::reg::ERROR_SUCCESS; ++i)
            subkeys.push_back(name);
        api.closeKey(key);
        for (const std::string& s : subkeys)
            self(self, rel.empty() ? s : rel + "\\" + s);
    };
    walk(walk, "");
    return out;
}

}  // namespace qvtest
