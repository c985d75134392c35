// context-menu commands: Explore From Here (page 4), the MS-DOS prompt on directories
// (page 5) and a command on all files (page 6). Steps 2, 3 and 4 of both passes.
#pragma once

#include <QString>
#include <optional>

namespace qv::explorer {

inline constexpr int kExploreFromHere = 4;
inline constexpr int kMSDOSPromptOnDirs = 5;
inline constexpr int kAddToAllFiles = 6;

// Under HKEY_CLASSES_ROOT; every value is the key's default value.
inline constexpr const char* kRootExploreKey = "Folder\\shell\\rootexplore";
inline constexpr const char* kRootExploreCommandKey = "Folder\\shell\\rootexplore\\command";
inline constexpr const char* kRootExploreCaption = "Explore From Here";
inline constexpr const char* kRootExploreCommand = "explorer.exe /e,/root,/idlist,%I";

inline constexpr const char* kPromptKey = "Directory\\shell\\MS-DOS Prompt";
inline constexpr const char* kPromptCommandKey = "Directory\\shell\\MS-DOS Prompt\\command";
inline constexpr const char* kPromptCaption = "MS-DOS Prompt";
inline constexpr const char* kPromptStockCommand = "command.com /k cd %1";
// Windows NT and Wine have no command.com: their prompt is cmd.exe.
inline constexpr const char* kPromptStockCommandNT = "cmd.exe /k cd %1";
inline constexpr const char* kPromptArguments = " /k cd %1";

inline constexpr const char* kAllFilesKey = "*\\shell\\quorvel";
inline constexpr const char* kAllFilesCommandKey = "*\\shell\\quorvel\\command";

// How page 5 shows a stored prompt command (load block, step 3): the stock interpreter when the
// command contains "command.com" (case-sensitive) or is the NT stock command; otherwise a custom one whose text is what
// precedes the first " /k cd %1", or nothing (the text box keeps its text) without that suffix.
struct PromptCommand {
    bool custom = false;
    std::optional<QString> interpreter;
};
PromptCommand ParsePromptCommand(const QString& command);

}  // namespace qv::explorer
