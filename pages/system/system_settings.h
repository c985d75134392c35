// The System pages: Beep on Errors (29), the numeric tail of short file names (30), the registered
// owner and organisation (31), the setup source path (32) and the Task Manager time-outs (33).
#pragma once

namespace qv::pages {

inline constexpr const char* kFileSystemKey = "System\\CurrentControlSet\\Control\\FileSystem";
inline constexpr const char* kVersionKey = "Software\\Microsoft\\Windows\\CurrentVersion";
// Where the NT line keeps (and shows) the registered owner and organisation.
inline constexpr const char* kNTVersionKey = "Software\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr const char* kSetupKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Setup";
inline constexpr const char* kTaskManagerKey = "Control Panel\\Desktop";

// What "Reset to Defaults" puts into both Task Manager sliders, in milliseconds.
inline constexpr int kDefaultTimeout = 20000;
// What Windows uses when the time-outs are not stored, in milliseconds; the sliders load these.
inline constexpr int kWaitToKillDefault = 20000;
inline constexpr int kHungAppDefault = 5000;

}  // namespace qv::pages
