#include "app/changes.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <stdexcept>

#include "app/toolkit.h"
#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/text.h"

namespace qv {

ChangesDialog::ChangesDialog(const reg::ChangeSet& changes, const QString& title, const QString& intro,
                             const QString& actionText, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmChanges"));
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(intro, this);
    label->setObjectName(QStringLiteral("lblChanges"));
    label->setWordWrap(true);
    layout->addWidget(label);
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("lvChanges"));
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setHeaderLabels({tr("Hive"), tr("Key"), tr("Value"), tr("Old"), tr("New")});
    for (const ChangeRow& r : changeRows(changes)) {
        auto* item = new QTreeWidgetItem(list_, {r.hive, r.key, r.value, r.oldData, r.newData});
        for (int c = 0; c < 5; ++c)
            item->setToolTip(c, item->text(c));
    }
    list_->header()->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c < 5; ++c)
        list_->resizeColumnToContents(c);
    for (int c = 1; c < 5; ++c)
        list_->setColumnWidth(c, std::min(list_->columnWidth(c), 320));
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(this);
    if (!actionText.isEmpty()) {
        QPushButton* act = buttons->addButton(actionText, QDialogButtonBox::AcceptRole);
        act->setObjectName(QStringLiteral("cmdChangesAction"));
        act->setEnabled(!changes.empty());
        act->setDefault(true);
    }
    buttons->addButton(QDialogButtonBox::Close)->setObjectName(QStringLiteral("cmdChangesClose"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(tk::fitToScreen(this, QSize(900, 420)));
}

}  // namespace qv
