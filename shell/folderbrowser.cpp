#include "shell/folderbrowser.h"

#include <QFile>
#include <QFileDialog>
#include <QUrl>
#include <system_error>

#include "registry/machines/machine.h"
#include "shell/directories.h"
#include "shell/paths.h"

namespace fs = std::filesystem;

namespace qv::shell {

namespace {

FolderChooserHook g_hook;

QString hostText(const fs::path& p) { return QFile::decodeName(QByteArray::fromStdString(p.native())); }

// A folder without a trailing separator, so that it has a name and a parent.
fs::path tidy(const fs::path& p) {
    fs::path t = p.lexically_normal();
    if (!t.has_filename() && t.has_parent_path() && t != t.root_path())
        t = t.parent_path();
    return t;
}

std::optional<fs::path> showChooser(const FolderRequest& r) {
    QFileDialog dlg(r.owner, r.title);
    dlg.setFileMode(QFileDialog::Directory);
    dlg.setOption(QFileDialog::ShowDirsOnly, true);
    showMachineIn(dlg);
    std::error_code ec;
    if (r.preselect && fs::is_directory(*r.preselect, ec)) {
        const fs::path folder = tidy(fs::absolute(*r.preselect, ec));
        // Open on the folder's parent with the folder itself selected, so that OK unchanged
        // returns it; a root has no parent and is simply opened.
        if (folder.has_filename() && folder.has_parent_path() && folder != folder.root_path()) {
            dlg.setDirectory(hostText(folder.parent_path()));
            dlg.selectFile(hostText(folder.filename()));
        } else {
            dlg.setDirectory(hostText(folder));
        }
    }
    if (dlg.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dlg.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return std::nullopt;
    return fs::path(QFile::encodeName(chosen.first()).toStdString());
}

std::string browse(QWidget* owner, const char* title, std::optional<fs::path> preselect) {
    FolderRequest request;
    request.owner = owner;
    request.title = QString::fromUtf8(title);
    request.preselect = std::move(preselect);
    const std::optional<fs::path> chosen = ChooseFolder(request);
    if (!chosen)
        return {};
    // A folder no drive letter reaches has no Windows path: like a shell item outside the file
    // system, it gives nothing.
    return WindowsPathOf(*chosen).value_or(std::string());
}

}  // namespace

void showMachineIn(QFileDialog& dlg, const std::optional<fs::path>& start) {
    // Qt's own dialog: the platform's cannot take the machine's drives as places.
    dlg.setOption(QFileDialog::DontUseNativeDialog, true);
    // A prefix under ~/.wine is hidden; its folders must be reachable.
    dlg.setFilter(dlg.filter() | QDir::AllDirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::Drives);
    std::error_code ec;
    if (const reg::Machine* m = currentMachine()) {
        QList<QUrl> places;
        for (const auto& [letter, host] : m->drives())
            if (fs::is_directory(host, ec))
                places << QUrl::fromLocalFile(hostText(fs::canonical(host, ec)));
        if (!places.isEmpty())
            dlg.setSidebarUrls(places);
        // With nothing chosen yet the machine's C: drive is the place to start.
        if (const auto c = m->drives().find('C'); c != m->drives().end() && fs::is_directory(c->second, ec))
            dlg.setDirectory(hostText(c->second));
    }
    if (!start)
        return;
    // The folder a value names, or the folder of the file it names.
    fs::path folder = *start;
    if (!fs::is_directory(folder, ec))
        folder = folder.parent_path();
    if (!folder.empty() && fs::is_directory(folder, ec))
        dlg.setDirectory(hostText(folder));
    if (fs::is_regular_file(*start, ec))
        dlg.selectFile(hostText(start->filename()));
}

void setFolderChooserHook(FolderChooserHook hook) { g_hook = std::move(hook); }
bool folderChooserHooked() { return static_cast<bool>(g_hook); }

std::optional<fs::path> ChooseFolder(const FolderRequest& request) {
    if (g_hook)
        return g_hook(request);
    return showChooser(request);
}

std::string BrowseForFolderByPath(QWidget* owner, const std::string& sSelPath) {
    std::optional<fs::path> preselect;
    if (!sSelPath.empty())
        preselect = HostPath(sSelPath);
    return browse(owner, kBrowseByPathTitle, std::move(preselect));
}

std::string BrowseForFolderByPIDL(QWidget* owner, const std::string& sSelPath) {
    std::optional<fs::path> preselect;
    if (!sSelPath.empty()) {
        std::error_code ec;
        if (std::optional<fs::path> host = HostPath(sSelPath); host && fs::exists(*host, ec))
            preselect = fs::canonical(*host, ec);
        if (ec)
            preselect.reset();
    }
    return browse(owner, kBrowseByPIDLTitle, std::move(preselect));
}

}  // namespace qv::shell
