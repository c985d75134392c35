// Explore as Default (page 15, step 21 of both passes, the last) and Non-associated
// Files (page 18, step 12 of both passes).
#pragma once

#include "registry/value.h"

namespace qv::explorer {

inline constexpr int kExploreAsDefault = 15;
inline constexpr int kNonAssociatedFiles = 18;

// HKEY_CLASSES_ROOT, default value: the verb a folder opens with.
inline constexpr const char* kFolderShellKey = "Folder\\Shell";
inline constexpr const char* kExploreVerb = "explore";

// HKEY_LOCAL_MACHINE, default values: the caption and command of the "openas" verb.
inline constexpr const char* kOpenAsKey = "SOFTWARE\\Classes\\Unknown\\shell\\openas";
inline constexpr const char* kOpenAsCommandKey = "SOFTWARE\\Classes\\Unknown\\shell\\openas\\command";
inline constexpr const char* kOpenAsDefaultCaption = "Open with...";
inline constexpr const char* kOpenAsDefaultCommand = "rundll32.exe shell32.dll,OpenAs_RunDLL %1";

// Whether a stored "Folder\Shell" default value makes "explore" the folder's verb (compared in
// lower case, so "Explore" counts; a missing value does not).
bool ExploresByDefault(const reg::RegVariant& stored);

}  // namespace qv::explorer
