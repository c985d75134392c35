// How many bytes this process has read so far, as the kernel counts them (read and pread alike,
// page cache or not): what tells a commit that reads a file from one that only looks at it.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace qvbench {

inline uint64_t bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t v = 0;
    while (io >> key >> v)
        if (key == "rchar:") return v;
    return 0;
}

}  // namespace qvbench
