#include "app/asking.h"

#include <QMessageBox>
#include <QPushButton>

#include "app/changes.h"
#include "app/toolkit.h"

namespace qv {

namespace {
QString tr(const char* text) { return QObject::tr(text); }
}  // namespace

std::optional<bool> askExportOnlyChanged(QWidget* parent) {
    QMessageBox box(parent);
    box.setWindowTitle(tr("Export Settings"));
    box.setIcon(QMessageBox::Question);
    box.setText(tr("Export the settings of every page, or only those changed from Windows' defaults?"));
    QPushButton* all = box.addButton(tr("&All Pages"), QMessageBox::AcceptRole);
    QPushButton* changed = box.addButton(tr("Only &Changed"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(all);
    box.exec();
    if (box.clickedButton() != all && box.clickedButton() != changed)
        return std::nullopt;
    return box.clickedButton() == changed;
}

bool WindowQuestions::canAsk() const { return tk::interactive(); }

RunningPrefix WindowQuestions::reachRunningWine(const QString& folder, const QString& action) {
    QMessageBox box(parent_);
    box.setWindowTitle(tk::App::Title());
    box.setIcon(QMessageBox::Question);
    box.setText(tr("The wineserver of %1 is running: Wine holds this registry in memory and would "
                   "overwrite changes written to its files.")
                    .arg(folder));
    box.setInformativeText(tr("%1 through the running Wine (wine reg import), or stop Wine (its "
                              "programs close) and write the files?")
                               .arg(action));
    QPushButton* through = box.addButton(tr("%1 &through Wine").arg(action), QMessageBox::AcceptRole);
    through->setObjectName(QStringLiteral("cmdThroughWine"));
    QPushButton* stop = box.addButton(tr("&Stop Wine and %1").arg(action.toLower()), QMessageBox::DestructiveRole);
    stop->setObjectName(QStringLiteral("cmdStopWine"));
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(through);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == through)
        return RunningPrefix::ThroughWine;
    if (box.clickedButton() == stop)
        return RunningPrefix::StopWine;
    return RunningPrefix::Cancel;
}

bool WindowQuestions::deleteBranches(const QStringList& branches) {
    return tk::MsgBox(tr("These changes delete whole registry branches, with everything in them:\n\n%1\n\n"
                         "Delete them?")
                          .arg(branches.mid(0, 20).join(QLatin1Char('\n'))),
                      tk::vbYesNo | tk::vbExclamation | tk::vbDefaultButton2) == tk::vbYes;
}

bool WindowQuestions::undoOverChanges(const QString& when, const QStringList& changed) {
    const QString text = tr("These settings changed after the Apply of %1, and undoing it would "
                            "overwrite them:\n\n%2\n\nUndo anyway?")
                             .arg(when, changed.mid(0, 20).join(QLatin1Char('\n')));
    return tk::MsgBox(text, tk::vbYesNo | tk::vbExclamation | tk::vbDefaultButton2) == tk::vbYes;
}

bool WindowQuestions::restore(const reg::ChangeSet& restores, const QString& when) {
    ChangesDialog dlg(restores, tr("Undo Last Apply"),
                      tr("Undoing the Apply of %1 restores these keys and values:").arg(when), tr("&Restore"),
                      parent_);
    return dlg.exec() == QDialog::Accepted;
}

bool WindowQuestions::importOthers(const reg::ChangeSet& others, const QString& file) {
    ChangesDialog dlg(others, tr("Other Registry Changes"),
                      tr("%1 also changes these keys and values, which no page shows. Import them too?").arg(file),
                      tr("&Import Them Too"), parent_);
    return dlg.exec() == QDialog::Accepted;
}

void WindowQuestions::working(bool on) {
    if (on) {
        pointer_ = tk::MousePointer();
        tk::setMousePointer(tk::vbHourglass);
    } else {
        tk::setMousePointer(pointer_);
    }
}

}  // namespace qv
