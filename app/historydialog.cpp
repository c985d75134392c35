#include "app/historydialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/changes.h"
#include "app/toolkit.h"

namespace qv {

namespace {
// A kept Apply is read back from a .reg file, where every key it touched has a section header of
// its own: those are not changes.
reg::ChangeSet changesOf(const HistoryEntry& e) {
    reg::ChangeSet cs;
    for (const reg::ChangeOp& op : e.applied.ops)
        if (op.kind != reg::ChangeOp::Kind::CreateKey)
            cs.ops.push_back(op);
    return cs;
}
}  // namespace

QString HistoryDialog::summary(const HistoryEntry& e, const ValueOwners& owners) {
    QStringList parts;
    for (const Wording::Group& g : wordChanges(changesOf(e), owners).groups)
        parts << (g.node ? g.caption : otherChangesCaption().toLower());
    return parts.isEmpty() ? tr("(nothing kept)") : parts.join(QStringLiteral(", "));
}

HistoryDialog::HistoryDialog(Entries entries, ValueOwners owners, Restore restore, QWidget* parent)
    : QDialog(parent), source_(std::move(entries)), owners_(std::move(owners)), restore_(std::move(restore)) {
    setObjectName(QStringLiteral("frmHistory"));
    setWindowTitle(tr("History"));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(tr("Every Apply kept for this machine, newest first. Restoring goes back to how the "
                                "settings were before the one chosen, as one change that can itself be undone."),
                             this);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto* split = new QSplitter(Qt::Vertical, this);
    list_ = new QTreeWidget(split);
    list_->setObjectName(QStringLiteral("lvHistory"));
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({tr("When"), tr("What"), tr("Values"), tr("State")});
    details_ = new QTreeView(split);
    details_->setObjectName(QStringLiteral("lvHistoryChanges"));
    details_->setUniformRowHeights(true);
    layout->addWidget(split, 1);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* back = buttons->addButton(tr("&Restore to Before This"), QDialogButtonBox::ActionRole);
    back->setObjectName(QStringLiteral("cmdHistoryRestore"));
    buttons->addButton(QDialogButtonBox::Close)->setObjectName(QStringLiteral("cmdHistoryClose"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(back, &QPushButton::clicked, this, [this] {
        const int row = list_->indexOfTopLevelItem(list_->currentItem());
        if (row >= 0 && restore_(shown_[static_cast<size_t>(row)].id))
            fill();
    });
    connect(list_, &QTreeWidget::currentItemChanged, this, [this, back] {
        const int row = list_->indexOfTopLevelItem(list_->currentItem());
        // Only an Apply not yet taken back has a before to go back to.
        back->setEnabled(row >= 0 && !shown_[static_cast<size_t>(row)].undone);
        showSelected();
    });
    layout->addWidget(buttons);
    fill();
    resize(tk::fitToScreen(this, QSize(900, 520)));
}

void HistoryDialog::fill() {
    shown_ = source_();
    std::reverse(shown_.begin(), shown_.end());
    list_->clear();
    for (const HistoryEntry& e : shown_) {
        auto* item = new QTreeWidgetItem(list_, {e.when, summary(e, owners_), QString::number(valueCount(e.applied)),
                                                 e.undone ? tr("undone") : QString()});
        item->setToolTip(1, item->text(1));
        item->setData(0, Qt::UserRole, QString::fromStdString(e.id));
    }
    for (int c = 0; c < 4; ++c)
        list_->resizeColumnToContents(c);
    list_->setColumnWidth(1, std::min(list_->columnWidth(1), 480));
    if (list_->topLevelItemCount() > 0)
        list_->setCurrentItem(list_->topLevelItem(0));
    else
        showSelected();
}

void HistoryDialog::showSelected() {
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    QAbstractItemModel* old = details_->model();
    if (row < 0) {
        details_->setModel(nullptr);
    } else {
        const reg::ChangeSet cs = changesOf(shown_[static_cast<size_t>(row)]);
        details_->setModel(new ReviewModel(cs, wordChanges(cs, owners_), details_));
        details_->expandToDepth(0);
        details_->setColumnWidth(ReviewModel::Setting, 380);
        details_->setColumnWidth(ReviewModel::Before, 200);
    }
    delete old;
}

}  // namespace qv
