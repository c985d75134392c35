// Which Wine reaches a running prefix: the one beside its server, $WINELOADER, a Proton prefix's
// own Proton, else `wine` on PATH.
#include <gtest/gtest.h>

#include <QStandardPaths>
#include <cstdlib>
#include <fstream>

#include "app/throughwine.h"
#include "app_support.h"

using namespace qvtest;

namespace {

void executable(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n";
    fs::permissions(p, fs::perms::owner_all);
}

struct Case {
    const char* name;
    bool proton;         // the prefix lies in a Proton compatdata folder with config_info
    bool loader;         // $WINELOADER is set
    const char* wine;    // expected, relative to the temp folder ("" : `wine` on PATH)
    const char* server;  // likewise
};

}  // namespace

TEST(ThroughWine, FindsTheWineThatBelongsToThePrefix) {
    const Case cases[] = {
        {"plain prefix", false, false, "", ""},
        {"WINELOADER", false, true, "custom/bin/wine", ""},
        {"Proton", true, false, "Proton 8.0/files/bin/wine", "Proton 8.0/files/bin/wineserver"},
        {"WINELOADER before Proton", true, true, "custom/bin/wine", "Proton 8.0/files/bin/wineserver"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path root = dir.path();
        fs::path prefix = root / "prefix";
        if (c.proton) {
            executable(root / "Proton 8.0/files/bin/wine");
            executable(root / "Proton 8.0/files/bin/wineserver");
            prefix = root / "compatdata/620/pfx";
            fs::create_directories(prefix);
            std::ofstream(root / "compatdata/620/config_info")
                << "8.0-3\n" << (root / "Proton 8.0/files/share/fonts/").string() << "\n";
        }
        fs::create_directories(prefix);
        if (c.loader) {
            executable(root / "custom/bin/wine");
            ::setenv("WINELOADER", (root / "custom/bin/wine").c_str(), 1);
        } else {
            ::unsetenv("WINELOADER");
        }
        const qv::WinePrograms p = qv::findWinePrograms(prefix, 0);
        ::unsetenv("WINELOADER");
        auto expect = [&](const char* rel, const char* onPath) {
            return *rel ? QString::fromStdString((root / rel).string())
                        : QStandardPaths::findExecutable(QString::fromLatin1(onPath));
        };
        EXPECT_EQ(p.wine, expect(c.wine, "wine"));
        EXPECT_EQ(p.wineserver, expect(c.server, "wineserver"));
    }
}
