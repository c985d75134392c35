// shortcut prefix and visual options: Prefix (page 11, step 7 of both passes), Show
// Bitmaps as Icons (page 14, step 8) and Save Settings (page 13, step 9 of the load pass; written
// back at the end of step 8 of the save pass, which has no step of its own for it).
#pragma once

#include <cstdint>
#include <vector>

#include "registry/value.h"

namespace qv::explorer {

inline constexpr int kPrefix = 11;
inline constexpr int kSaveSettings = 13;
inline constexpr int kShowBitmaps = 14;

// HKEY_CURRENT_USER.
inline constexpr const char* kExplorerKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
inline constexpr const char* kLinkValue = "link";
inline constexpr const char* kPoliciesExplorerKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline constexpr const char* kNoSaveSettingsValue = "NoSaveSettings";

// HKEY_CLASSES_ROOT: the bitmap class named by ".bmp", its "DefaultIcon" and the backup value.
inline constexpr const char* kBitmapExtensionKey = ".bmp";
inline constexpr const char* kDefaultIconSuffix = "\\DefaultIcon";
inline constexpr const char* kIconBackupValue = "qvbackup";
inline constexpr const char* kSelfIcon = "%1";

// Whether Explorer puts "Shortcut to" before new shortcuts' names: a "link" value that is
// absent or holds no data (length 0); any data of any type turns the prefix off.
bool LinkPrefixShown(const reg::RegVariant& stored);

// Whether Windows saves the desktop at shutdown: everything but a "NoSaveSettings" equal to 1.
// 1 is a number 1, a text that is the number 1, or binary data whose bytes, least significant
// first, make the number 1 (the form Windows 95's policy editor writes, 01 00 00 00).
bool SettingsSavedOnExit(const reg::RegVariant& stored);

// What the Prefix page writes when the box is clear: 4 zero bytes.
std::vector<uint8_t> NoLinkPrefixBytes();

}  // namespace qv::explorer
