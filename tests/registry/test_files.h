// Files for the registry tests: a temporary folder that goes with everything in it (also what a
// test made unreadable), whole files read and written, and a stand-in for a running wineserver.
#pragma once

#include <stdlib.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "fake_wineserver.h"

namespace qvtest {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qv-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::filesystem::path& p, const std::string& s) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << s;
}

// A symbolic-link key as Wine writes it (name spelled as in the file, "A\\\\B").
inline std::string wineLinkKey(const std::string& name, std::u16string_view target) {
    std::string hex;
    for (char16_t c : target) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%s%02x,00", hex.empty() ? "" : ",", c & 0xff);
        hex += buf;
    }
    return "\n[" + name + "] 1796630155\n#time=1dd8620637331ae\n#link\n\"SymbolicLinkValue\"=hex(6):" +
           hex + "\n";
}

}  // namespace qvtest
