// The "..." buttons of the Explorer pages that pick a program (Parts 3.1 and 3.2): the window's
// file-open dialog with the Part's settings, and the chosen file as a Windows path of the machine.
// Header only: every .cpp under pages/ is a page with a builder of its own.
#pragma once

#include <QRegularExpression>
#include <QString>
#include <filesystem>
#include <optional>

#include "app/frmmain.h"
#include "app/toolkit.h"
#include "shell/paths.h"

namespace qv::explorer {

inline const QString kProgramFilter =
    QStringLiteral("Program Files (*.exe)|*.exe|DOS Commands (*.com)|*.com|All Files (*.*)|*.*");

// What the registry is to hold for a file the dialog returned. A Windows path ("C:\x.exe",
// "\\server\share\x.exe") is taken as it is; a host path is mapped through the machine's drive
// letters. Nothing when the host file lies on no drive of the machine.
inline std::optional<QString> windowsPathForChosenFile(const QString& chosen) {
    static const QRegularExpression windowsPath(QStringLiteral(R"(^([A-Za-z]:\\|\\\\))"));
    if (chosen.isEmpty())
        return std::nullopt;
    if (windowsPath.match(chosen).hasMatch())
        return chosen;
    try {
        const std::optional<std::string> w =
            shell::WindowsPathOf(std::filesystem::path(chosen.toStdString()));
        if (!w)
            return std::nullopt;
        return QString::fromStdString(*w);
    } catch (...) {
        return std::nullopt;
    }
}

// cmdBrowseCommandInterpreter_Click, cmdAddToAllFilesBrowseForProgram_Click and
// cmdUnassociatedFilesBrowse_Click: file name "", Cancel raises an error, the program filter,
// flags 4 (no read-only box), an Open dialog. The chosen file's full path, or nothing on Cancel
// or any failure of the dialog (which the handlers treat as Cancel).
inline std::optional<QString> browseForProgram(frmMain& form) {
    try {
        tk::CommonDialog& dlg = form.comDlg;
        dlg.FileName = QString();
        dlg.CancelError = true;
        dlg.Filter = kProgramFilter;
        dlg.Flags = 4;
        dlg.ShowOpen(&form);
        return windowsPathForChosenFile(dlg.FileName);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace qv::explorer
