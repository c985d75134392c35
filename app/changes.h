// Before and after Apply: the list that shows a change set.
#pragma once

#include <QDialog>
#include <QString>
#include <filesystem>
#include <optional>
#include <vector>

#include "app/session/review.h"
#include "registry/changeset.h"

class QTreeWidget;

namespace qv::reg {
class Machine;
}

namespace qv {

// Read-only list of a change set with a button that carries it out (Apply, Restore...).
class ChangesDialog : public QDialog {
    Q_OBJECT
public:
    ChangesDialog(const reg::ChangeSet& changes, const QString& title, const QString& intro,
                  const QString& actionText, QWidget* parent = nullptr);
    QTreeWidget* list() const { return list_; }

private:
    QTreeWidget* list_;
};

}  // namespace qv
