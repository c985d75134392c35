#include "app/importreview.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "registry/machines/discovery.h"

namespace qv {

std::vector<cli::NamedMachine> otherMachines(const std::filesystem::path& current) {
    std::vector<cli::NamedMachine> out;
    const std::string here = cli::folderKey(current);
    for (const reg::MachineEntry& m : reg::discoverMachines(reg::discoveryOptionsFromEnvironment()))
        if (m.kind != reg::Machine::Kind::Windows && cli::folderKey(m.path) != here)
            out.push_back({m.name, m.path, m.kind});
    return out;
}

ImportReviewDialog::ImportReviewDialog(const reg::ChangeSet& changes, Wording words, const std::filesystem::path& file,
                                       const cli::NamedMachine& current, const std::vector<cli::NamedMachine>& others,
                                       ApplyHere applyHere, QWidget* parent)
    : ChangesDialog(changes, std::move(words), tr("Review %1").arg(QString::fromStdString(file.filename().string())),
                    changes.empty() ? tr("%1 changes nothing on %2: it holds what the file says.")
                                          .arg(QString::fromStdString(file.string()), QString::fromStdString(current.name))
                                    : tr("%1 would make these changes to %2:")
                                          .arg(QString::fromStdString(file.string()), QString::fromStdString(current.name)),
                    tr("&Apply"), parent),
      file_(file), applyHere_(std::move(applyHere)), changesHere_(!changes.empty()) {
    auto* label = new QLabel(tr("Apply it to these machines:"), this);
    layout_->insertWidget(2, label);
    machines_ = new QTreeWidget(this);
    machines_->setObjectName(QStringLiteral("lvImportMachines"));
    machines_->setRootIsDecorated(false);
    machines_->setHeaderLabels({tr("Machine"), tr("Folder"), tr("Result")});
    list_.push_back(current);
    list_.insert(list_.end(), others.begin(), others.end());
    for (size_t i = 0; i < list_.size(); ++i) {
        auto* item = new QTreeWidgetItem(machines_, {QString::fromStdString(list_[i].name) + (i == 0 ? tr(" (this window)") : QString()),
                                                    QString::fromStdString(list_[i].folder.string()), QString()});
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, i == 0 ? Qt::Checked : Qt::Unchecked);
        item->setToolTip(1, item->text(1));
    }
    machines_->header()->setSectionResizeMode(QHeaderView::Interactive);
    machines_->resizeColumnToContents(0);
    machines_->setColumnWidth(1, 360);
    machines_->setMaximumHeight(160);
    layout_->insertWidget(3, machines_);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("barImportProgress"));
    progress_->setVisible(false);
    layout_->insertWidget(4, progress_);

    // Apply stays in the dialog, which then shows each machine's result.
    disconnect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::accepted, this, &ImportReviewDialog::applyToTicked);
    connect(machines_, &QTreeWidget::itemChanged, this, &ImportReviewDialog::updateAction);
    updateAction();
}

void ImportReviewDialog::updateAction() {
    bool any = false;
    for (int i = 0; i < machines_->topLevelItemCount(); ++i)
        if (machines_->topLevelItem(i)->checkState(0) == Qt::Checked)
            any = any || i > 0 || changesHere_;
    if (auto* act = findChild<QPushButton*>(QStringLiteral("cmdChangesAction")))
        act->setEnabled(any && progress_->isHidden());
}

void ImportReviewDialog::applyToTicked() {
    std::vector<int> ticked;
    for (int i = 0; i < machines_->topLevelItemCount(); ++i)
        if (machines_->topLevelItem(i)->checkState(0) == Qt::Checked)
            ticked.push_back(i);
    if (ticked.empty())
        return;
    progress_->setRange(0, static_cast<int>(ticked.size()));
    progress_->setValue(0);
    progress_->setVisible(true);
    updateAction();
    for (int i = 0; i < machines_->topLevelItemCount(); ++i)
        machines_->topLevelItem(i)->setFlags(machines_->topLevelItem(i)->flags() & ~Qt::ItemIsUserCheckable);
    Outcome nothingToWrite;
    nothingToWrite.ok = true;
    int done = 0;
    for (int i : ticked) {
        QTreeWidgetItem* item = machines_->topLevelItem(i);
        item->setText(2, tr("applying..."));
        QApplication::processEvents();
        const cli::FileResult r = i == 0 ? (changesHere_ ? applyHere_() : cli::fileResultOf(nothingToWrite))
                                         : cli::applyFileTo(list_[static_cast<size_t>(i)], file_, RunningPrefix::ThroughWine);
        item->setText(2, QString::fromStdString(r.line));
        item->setToolTip(2, item->text(2));
        if (r.kind == cli::FileResult::Failed || r.kind == cli::FileResult::Skipped)
            item->setForeground(2, QBrush(Qt::darkRed));
        progress_->setValue(++done);
        QApplication::processEvents();
    }
    progress_->setFormat(tr("Done: %1 machine(s)").arg(done));
    machines_->resizeColumnToContents(2);
}

}  // namespace qv
