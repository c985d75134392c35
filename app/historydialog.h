// File > History: every Apply kept for the machine, newest first, each in words with what it
// changed, and the way back to before any of them.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "app/session/history.h"
#include "app/session/review.h"

class QTreeView;
class QTreeWidget;

namespace qv {

class HistoryDialog : public QDialog {
    Q_OBJECT
public:
    // restore takes the machine back to before the entry with that id; it answers whether it did.
    using Restore = std::function<bool(const std::string& id)>;
    using Entries = std::function<std::vector<HistoryEntry>()>;
    HistoryDialog(Entries entries, ValueOwners owners, Restore restore, QWidget* parent = nullptr);

    QTreeWidget* entries() const { return list_; }
    QTreeView* details() const { return details_; }
    // What an entry changed, in words: the pages' captions, then "other registry changes".
    static QString summary(const HistoryEntry& e, const ValueOwners& owners);

private:
    void fill();
    void showSelected();

    Entries source_;
    ValueOwners owners_;
    Restore restore_;
    std::vector<HistoryEntry> shown_;  // newest first, as listed
    QTreeWidget* list_;
    QTreeView* details_;
};

}  // namespace qv
