// What a machine refuses, apart from Machine itself so that the code below it that reads and
// writes the machine's files can say so too.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace qv::reg {

// A machine that cannot be opened, or a commit that cannot be made; the text says why.
class MachineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Registry files larger than this are refused before they are read (a real one is a few MB).
inline constexpr uint64_t kMaxRegistryFileSize = uint64_t(2) << 30;  // 2 GiB

}  // namespace qv::reg
