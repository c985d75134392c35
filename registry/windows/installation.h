// What an installation's hives say about it: its users, its Windows folder, its current control
// set. Apart from the machine so that reading them needs nothing of how a machine is built.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::reg {

class RegKey;
struct RegValue;

// A user profile of a Windows installation, from ProfileList in SOFTWARE and the profile folders.
struct WindowsUser {
    std::string name;                 // the profile folder's name ("alice", "alice.PC")
    std::string sid;                  // "" when found only as a folder
    std::filesystem::path folder;     // on the host
    std::filesystem::path ntuser;     // its NTUSER.DAT, empty when missing
};

// The profiles of the installation on `drive`, by name, each folder once; software is the root of
// its SOFTWARE hive (nullptr when it has none).
std::vector<WindowsUser> listWindowsUsers(const std::filesystem::path& drive, const RegKey* software);

// The user named `wanted` (folder name or SID), or the only one with an NTUSER.DAT when wanted is
// empty. Throws HiveError saying who there is when there is no such one.
const WindowsUser& chooseWindowsUser(const std::vector<WindowsUser>& users, const std::string& wanted);

// The key at a "\\"-separated path below k, or nullptr.
const RegKey* descendKey(const RegKey* k, std::u16string_view path);
// A string value's text up to its first NUL; "" for a missing value or one of another type.
std::string textOf(const RegValue* v);

// "ControlSet001" for 1.
std::string controlSetName(int n);

// "C:\WINDOWS" as SOFTWARE's SystemRoot names it (on drive C:, where the drive is mounted); ""
// when it names none. software is the root of the SOFTWARE hive.
std::string windowsFolderOf(const RegKey* software);
// The control set SYSTEM's Select\Current names, when it names one.
std::optional<int> currentControlSetOf(const RegKey* system);
// Whether Fast Startup is on in that control set: a shutdown then leaves the hives out of date.
bool fastStartupOn(const RegKey* system, int controlSet);

}  // namespace qv::reg
