// What a Windows program on a machine sees beyond the keys: the folders behind its drive letters
// and its environment as a logon builds it; apart, as it needs only the drives and the registry API.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "registry/api.h"

namespace qv::reg {

using Drives = std::map<char, std::filesystem::path>;

// A Wine prefix's drive letters, as the links in its dosdevices folder name them.
Drives dosDevices(const std::filesystem::path& prefix);
// Maps a Windows path ("C:\x\y") to the host file behind it, through the drive letters.
std::optional<std::filesystem::path> hostPathOn(const Drives& drives, std::string_view windowsPath);
// Maps a host path to a Windows path (the longest drive mapping wins).
std::optional<std::string> windowsPathOn(const Drives& drives, const std::filesystem::path& host);

// An environment variable of the machine whose registry is `registry`, with its Windows folder
// and system folder as given (see RegistryApi::environmentVariable).
std::optional<std::string> environmentVariableOf(RegistryApi& registry, const std::string& windowsDirectory,
                                                 const std::string& systemDirectory, std::string_view name);

}  // namespace qv::reg
