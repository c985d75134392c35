// Whether a wineserver serves a Wine prefix now (it would overwrite what is written to the files):
// apart from Machine, as the list of machines asks it of prefixes that are not open.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace qv::reg {

// A prefix's running wineserver, as the lock in its socket folder shows it.
struct RunningWineserver {
    std::filesystem::path folder;  // the socket folder, /tmp/.wine-UID/server-DEV-INO
    pid_t pid = 0;                 // the lock holder; 0 where the file system keeps no locks
};
// The wineserver serving the prefix, looked for in the socket folders of the caller and of the
// prefix's owner, and below the folder in /tmp that the prefix's "wineserver" file names (Debian's
// Wine keeps its servers in random folders there); that folder is taken only when it is no link
// and belongs to the caller or the prefix's owner.
std::optional<RunningWineserver> runningWineserver(const std::filesystem::path& prefix);
// A message naming the wineserver that serves the prefix, or nothing when none runs.
std::optional<std::string> wineserverRunningAt(const std::filesystem::path& prefix);

}  // namespace qv::reg
