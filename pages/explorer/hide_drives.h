// hidden drives (page 16): the per-user policy "NoDrives", one bit per drive letter.
// Step 1 of both passes.
#pragma once

#include <cstdint>
#include <vector>

#include "registry/value.h"

namespace qv::explorer {

inline constexpr int kHideDrives = 16;

// HKEY_CURRENT_USER.
inline constexpr const char* kExplorerPolicyKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline constexpr const char* kNoDrivesValue = "NoDrives";

// Bits 0 ("A:") to 25 ("Z:").
inline constexpr uint32_t kDriveBits = 0x03FFFFFFu;

// The drives a stored "NoDrives" hides, bit n for drive n. Binary data is read byte by byte, least
// significant first (byte k holds drives 8k to 8k + 7); bytes beyond the fourth are ignored and
// missing ones count as zero, so 1 to 3 bytes give the same mask as their 4-byte form. A REG_DWORD
// (the form Windows NT keeps it in) gives its own bits. Anything else hides nothing. The six
// unused bits above "Z:" are always dropped.
uint32_t HiddenDriveMask(const reg::RegVariant& stored);

// The form the save pass writes: exactly 4 bytes, little-endian, unused bits zero.
std::vector<uint8_t> HiddenDriveBytes(uint32_t mask);

}  // namespace qv::explorer
