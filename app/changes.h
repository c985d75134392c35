// Before and after Apply: the list that shows a change set in words.
#pragma once

#include <QAbstractItemModel>
#include <QDialog>
#include <QString>
#include <deque>
#include <vector>

#include "app/session/review.h"
#include "registry/changeset.h"

class QDialogButtonBox;
class QTreeView;
class QVBoxLayout;

namespace qv {

// A change set in words as a tree: a row for each page (or "Other registry changes"), under it the
// settings that changed there as the page shows them and the registry rows no single setting
// speaks for, and under each of those its raw .reg lines. Texts are made only for the rows shown.
class ReviewModel : public QAbstractItemModel {
public:
    ReviewModel(reg::ChangeSet changes, Wording words, QObject* parent = nullptr);

    enum Column { Setting, Before, After, kColumns };
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& = {}) const override { return kColumns; }
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const reg::ChangeSet& changes() const { return changes_; }
    const Wording& words() const { return words_; }
    // Whether a row stands for a page or the other changes, rather than a change in it.
    bool isGroup(const QModelIndex& index) const;

private:
    struct Node {
        enum Kind { Group, Control, Op, Line } kind = Group;
        const Node* up = nullptr;
        int row = 0;
        size_t group = 0, item = 0;  // item: control or operation index, or line text
        mutable std::vector<const Node*> children;
        mutable bool expanded = false;  // children of a control or operation made
    };
    const Node* nodeOf(const QModelIndex& index) const;
    const std::vector<const Node*>& childrenOf(const Node* n) const;
    const Node* add(Node::Kind kind, const Node* up, int row, size_t group, size_t item) const;

    reg::ChangeSet changes_;
    Wording words_;
    ChangeRows rows_;
    mutable std::deque<Node> nodes_;
    mutable std::deque<QString> lines_;
    std::vector<const Node*> top_;
};

// Read-only review of a change set with a button that carries it out (Apply, Restore...).
class ChangesDialog : public QDialog {
    Q_OBJECT
public:
    ChangesDialog(const reg::ChangeSet& changes, Wording words, const QString& title, const QString& intro,
                  const QString& actionText, QWidget* parent = nullptr);
    // Every change under "Other registry changes": for change sets no page has looked at.
    ChangesDialog(const reg::ChangeSet& changes, const QString& title, const QString& intro, const QString& actionText,
                  QWidget* parent = nullptr);
    QTreeView* list() const { return list_; }
    ReviewModel* model() const { return model_; }

protected:
    QVBoxLayout* layout_;
    QDialogButtonBox* buttons_;

private:
    QTreeView* list_;
    ReviewModel* model_;
};

}  // namespace qv
