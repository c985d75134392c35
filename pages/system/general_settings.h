// The General pages: audio CD autoplay (21), autorun drive types (22), the "Click here to begin"
// banner (23) and window animation (24).
#pragma once

#include <cstdint>

#include "registry/value.h"

namespace qv::pages {

inline constexpr const char* kAudioCDShellKey = "Software\\Classes\\AudioCD\\shell";
inline constexpr const char* kExplorerPoliciesKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline constexpr const char* kWindowMetricsKey = "Control Panel\\Desktop\\WindowMetrics";

// The drive-type bit mask a stored "NoDriveTypeAutoRun" holds: the first byte of binary data, the
// low byte of a REG_DWORD (the form Windows NT keeps it in), 0 for anything else.
uint8_t DriveTypeMask(const reg::RegVariant& stored);

}  // namespace qv::pages
