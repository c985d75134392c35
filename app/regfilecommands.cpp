#include "app/regfilecommands.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QStandardPaths>
#include <QStatusBar>
#include <optional>

#include "app/asking.h"
#include "app/session/session.h"
#include "app/toolkit.h"

namespace qv {

namespace {
QString tr(const char* text) { return QObject::tr(text); }

// A .reg file chosen in a file dialog, then handed to `use`; its error is shown.
// The chooser starts in the user's documents; a name saved without a suffix gets ".reg". Returns
// the file used, or nothing (cancelled or failed: the failure is told).
QString withRegFile(QWidget* parent, bool save, const QString& title,
                    const std::function<bool(const std::filesystem::path&, QString*)>& use) {
    if (!tk::interactive()) {
        tk::noteRefusedDialog(QStringLiteral("the file chooser"));
        return {};
    }
    const QString filter = QObject::tr("Registry files (*.reg);;All files (*)");
    const QString start = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QString file = save ? QFileDialog::getSaveFileName(parent, title, start, filter)
                        : QFileDialog::getOpenFileName(parent, title, start, filter);
    if (file.isEmpty())
        return {};
    if (save && QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".reg");
    QString error;
    if (!use(file.toStdString(), &error)) {
        tk::MsgBox(error, tk::vbOKOnly | tk::vbCritical);
        return {};
    }
    return file;
}
}  // namespace

void RegFileCommands::exportSettings() {
    const std::optional<bool> onlyChanged = tk::interactive() ? askExportOnlyChanged(window_) : std::optional<bool>(false);
    if (!onlyChanged)
        return;
    const QString file = withRegFile(window_, true, tr("Export Settings"), [this, onlyChanged](const std::filesystem::path& f, QString* e) {
        const Outcome out = session_.exportProfile(f, *onlyChanged);
        if (!out.ok && !out.notices.empty())
            *e = out.notices.back().text;
        return out.ok;
    });
    if (!file.isEmpty())
        window_->statusBar()->showMessage(tr("Settings exported to %1").arg(file), 10000);
}

bool RegFileCommands::import(const std::filesystem::path& file, QString* error, bool askAboutOthers) {
    const Outcome out = session_.importFile(file, askAboutOthers);
    if (out.ok)
        return tell_(out);
    if (!out.notices.empty())
        *error = out.notices.back().text;
    return false;
}

void RegFileCommands::importSettings() {
    const QString file = withRegFile(window_, false, tr("Import Settings"),
                                     [this](const std::filesystem::path& f, QString* e) { return import(f, e); });
    if (!file.isEmpty())
        window_->statusBar()->showMessage(tr("%1 imported: review and Apply to write it").arg(file), 10000);
}

void RegFileCommands::openRegistryFile() {
    const QString file = withRegFile(window_, false, tr("Open Registry File"), [](const std::filesystem::path&, QString*) { return true; });
    if (!file.isEmpty())
        open(file.toStdString());
}

bool RegFileCommands::open(const std::filesystem::path& file) {
    QString error;
    // The review shows what no page shows too, so it is not asked about apart.
    if (!import(file, &error, false)) {
        tk::MsgBox(error, tk::vbOKOnly | tk::vbCritical);
        return false;
    }
    window_->statusBar()->showMessage(
        tr("%1 imported: review and Apply to write it").arg(QString::fromStdString(file.string())), 10000);
    // What the file changes is shown before anything is written.
    review_(file);
    return true;
}

}  // namespace qv
