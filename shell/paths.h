// Between the Windows paths the registry holds and the host files behind them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qv::shell {

// Through the drive letters of the current machine (see directories.h); nothing when no machine
// is set or no drive letter maps the path.
std::optional<std::filesystem::path> HostPath(std::string_view windowsPath);
std::optional<std::string> WindowsPathOf(const std::filesystem::path& host);

// The two halves of deleting a Windows file: make it writable (the host's read-only attribute),
// then remove it. Each throws std::filesystem::filesystem_error when it fails, a missing file
// included, so that a pass can skip it as one step.
void SetAttrNormal(const std::filesystem::path& file);
void Kill(const std::filesystem::path& file);

}  // namespace qv::shell
