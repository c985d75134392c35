// Reading a written hive back as libhivex itself sees it, and the structural check of the hive
// generator script, for tests that write hives.
#pragma once

#include <gtest/gtest.h>
#include <hivex.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <optional>
#include <string>
#include <type_traits>

#include "registry/changeset.h"
#include "registry/text.h"

namespace qvtest::hive {

namespace fs = std::filesystem;

// The key at a backslash path below the hive's root, or 0.
inline hive_node_h nodeAt(hive_h* h, const std::string& path) {
    hive_node_h n = hivex_root(h);
    size_t i = 0;
    while (n && i < path.size()) {
        size_t j = path.find('\\', i);
        if (j == std::string::npos) j = path.size();
        n = hivex_node_get_child(h, n, path.substr(i, j - i).c_str());
        i = j + 1;
    }
    return n;
}

// A value as libhivex itself reads it from the file.
inline std::optional<qv::reg::StoredValue> hivexValue(const fs::path& file, const std::string& path, const std::string& name) {
    hive_h* h = hivex_open(file.c_str(), 0);
    if (!h) return std::nullopt;
    const hive_node_h n = nodeAt(h, path);
    std::optional<qv::reg::StoredValue> out;
    if (n) {
        if (hive_value_h v = hivex_node_get_value(h, n, name.c_str())) {
            std::underlying_type_t<hive_type> t = 0;  // any 32-bit type, not only the enumerated
            size_t len;
            char* data = hivex_value_value(h, v, reinterpret_cast<hive_type*>(&t), &len);
            out = qv::reg::StoredValue{qv::reg::utf8ToUtf16(name), static_cast<uint32_t>(t), std::string(data ? data : "", len)};
            free(data);
        }
    }
    hivex_close(h);
    return out;
}

inline bool hivexHasKey(const fs::path& file, const std::string& path) {
    hive_h* h = hivex_open(file.c_str(), 0);
    if (!h) return false;
    const hive_node_h n = nodeAt(h, path);
    hivex_close(h);
    return n != 0;
}

// hivegen.py's structural check of a written hive (order, hashes, cells), where Python is there.
inline void expectSoundHive(const fs::path& file) {
    if (std::system("python3 -c '' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
    const std::string cmd = "python3 " QV_SOURCE_DIR "/tests/tools/hivegen.py info '" + file.string() + "' > '" +
                            file.string() + ".info' 2>&1";
    const int st = std::system(cmd.c_str());
    std::ifstream in(file.string() + ".info");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string report = ss.str();
    fs::remove(file.string() + ".info");
    EXPECT_EQ(st, 0) << report;
    EXPECT_NE(report.find("state: clean"), std::string::npos) << report;
}

}  // namespace qvtest::hive
