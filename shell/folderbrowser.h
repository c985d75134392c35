// The folder browser: a modal folder chooser that opens with a folder already selected and
// answers with the chosen folder as a Windows path of the machine being edited.
#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

class QFileDialog;
class QWidget;

namespace qv::shell {

// What the chooser is asked to show. The preselection is a host folder; the chooser starts at
// its own default when there is none or when the folder does not exist.
struct FolderRequest {
    QWidget* owner = nullptr;
    QString title;  // the text above the folders
    std::optional<std::filesystem::path> preselect;
};

// Answers the chooser instead of showing it (tests): the chosen host folder, nothing for Cancel.
// An empty hook shows the real chooser again.
using FolderChooserHook = std::function<std::optional<std::filesystem::path>(const FolderRequest&)>;
void setFolderChooserHook(FolderChooserHook hook);
bool folderChooserHooked();

// Makes a file or folder dialog show the machine being edited: its drives as places, hidden
// folders reachable, starting in the folder `start` names (or the folder of the file it names),
// else at the machine's C: drive.
void showMachineIn(QFileDialog& dlg, const std::optional<std::filesystem::path>& start = std::nullopt);

// Runs the chooser (or the hook) once.
std::optional<std::filesystem::path> ChooseFolder(const FolderRequest& request);

// Both open the chooser owned by `owner` with the Windows path sSelPath selected and return the
// chosen folder's Windows path, or "" when the user cancelled or chose a folder that no drive
// letter of the machine reaches. ByPath hands the chooser the mapped path as it is; ByPIDL hands
// it only a folder that exists (as the shell's item identifier list would), else nothing.
std::string BrowseForFolderByPath(QWidget* owner, const std::string& sSelPath);
std::string BrowseForFolderByPIDL(QWidget* owner, const std::string& sSelPath);

inline constexpr const char* kBrowseByPathTitle = "Choose a Folder";
inline constexpr const char* kBrowseByPIDLTitle = "Choose a Folder of the Machine";

}  // namespace qv::shell
