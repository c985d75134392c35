// A PE file whose icon groups can be told apart by colour: group i (ids 101, 102, ...) is one
// opaque 32x32 image of groupColour(i). Used where a test must see which icon was picked.
#pragma once

#include "icon_files.h"

namespace icontest {

inline std::uint32_t groupColour(int i) {
    return 0xFF000000u | static_cast<std::uint32_t>((i * 12 + 20) & 0xFF) << 16 | 0x4000u;
}

inline std::string colourIconsPe(int groups) {
    std::vector<Resource> res;
    for (int i = 0; i < groups; ++i)
        res.push_back({{3, {}}, {1 + i, {}}, {solidDib(32, 32, groupColour(i))}});
    for (int i = 0; i < groups; ++i)
        res.push_back({{14, {}}, {101 + i, {}}, {groupDirectory({{solidDib(32, 32, groupColour(i)), 0, 0, 0, 1, 0, 1 + i}})}});
    return peFile(res, true).bytes;
}

}  // namespace icontest
