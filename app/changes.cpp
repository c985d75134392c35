#include "app/changes.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/toolkit.h"

namespace qv {

ReviewModel::ReviewModel(reg::ChangeSet changes, Wording words, QObject* parent)
    : QAbstractItemModel(parent), changes_(std::move(changes)), words_(std::move(words)), rows_(changes_) {
    for (size_t g = 0; g < words_.groups.size(); ++g) {
        const Wording::Group& group = words_.groups[g];
        const Node* head = add(Node::Group, nullptr, static_cast<int>(top_.size()), g, 0);
        top_.push_back(head);
        for (size_t c = 0; c < group.controls.size(); ++c)
            head->children.push_back(add(Node::Control, head, static_cast<int>(head->children.size()), g, c));
        // One setting speaks for all of its page's operations; else each is a row of its own.
        if (!group.soleControl())
            for (size_t op : group.ops)
                head->children.push_back(add(Node::Op, head, static_cast<int>(head->children.size()), g, op));
        head->expanded = true;
    }
}

const ReviewModel::Node* ReviewModel::add(Node::Kind kind, const Node* up, int row, size_t group, size_t item) const {
    Node& n = nodes_.emplace_back();
    n.kind = kind;
    n.up = up;
    n.row = row;
    n.group = group;
    n.item = item;
    return &n;
}

const ReviewModel::Node* ReviewModel::nodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<const Node*>(index.internalPointer()) : nullptr;
}

const std::vector<const ReviewModel::Node*>& ReviewModel::childrenOf(const Node* n) const {
    if (!n)
        return top_;
    if (n->expanded)
        return n->children;
    n->expanded = true;
    // The raw lines, made when first asked for.
    std::vector<size_t> ops;
    if (n->kind == Node::Op)
        ops.push_back(n->item);
    else if (n->kind == Node::Control && words_.groups[n->group].soleControl())
        ops = words_.groups[n->group].ops;
    for (size_t op : ops) {
        const std::string text = regLinesOf(changes_.ops[op]);
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            std::string_view line(text.data() + at, end - at);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (!line.empty()) {
                lines_.push_back(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
                n->children.push_back(
                    add(Node::Line, n, static_cast<int>(n->children.size()), n->group, lines_.size() - 1));
            }
            at = end + 1;
        }
    }
    return n->children;
}

QModelIndex ReviewModel::index(int row, int column, const QModelIndex& parent) const {
    const auto& list = childrenOf(nodeOf(parent));
    if (row < 0 || column < 0 || column >= kColumns || static_cast<size_t>(row) >= list.size())
        return {};
    return createIndex(row, column, const_cast<Node*>(list[static_cast<size_t>(row)]));
}

QModelIndex ReviewModel::parent(const QModelIndex& child) const {
    const Node* n = nodeOf(child);
    if (!n || !n->up)
        return {};
    return createIndex(n->up->row, 0, const_cast<Node*>(n->up));
}

int ReviewModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return static_cast<int>(childrenOf(nodeOf(parent)).size());
}

bool ReviewModel::hasChildren(const QModelIndex& parent) const {
    const Node* n = nodeOf(parent);
    if (!n)
        return !top_.empty();
    if (parent.column() != 0)
        return false;
    switch (n->kind) {
    case Node::Group: return !n->children.empty();
    case Node::Control: return words_.groups[n->group].soleControl() != nullptr;
    case Node::Op: return true;
    case Node::Line: return false;
    }
    return false;
}

bool ReviewModel::isGroup(const QModelIndex& index) const {
    const Node* n = nodeOf(index);
    return n && n->kind == Node::Group;
}

QVariant ReviewModel::data(const QModelIndex& index, int role) const {
    const Node* n = nodeOf(index);
    if (!n)
        return {};
    const int column = index.column();
    if (role == Qt::FontRole) {
        if (n->kind == Node::Group) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        if (n->kind == Node::Line)
            return QFontDatabase::systemFont(QFontDatabase::FixedFont);
        return {};
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    const Wording::Group& group = words_.groups[n->group];
    switch (n->kind) {
    case Node::Group:
        if (column == Setting)
            return group.caption;
        if (column == Before)
            return tr("%n registry change(s)", nullptr, static_cast<int>(group.ops.size()));
        return {};
    case Node::Control: {
        const ControlChange& c = group.controls[n->item];
        return column == Setting ? c.label : column == Before ? c.before : c.after;
    }
    case Node::Op: {
        const ChangeRow r = rows_[n->item];
        if (column == Before)
            return r.oldData;
        if (column == After)
            return r.newData;
        QString where = r.hive + QLatin1Char('\\') + r.key;
        const reg::ChangeOp::Kind kind = changes_.ops[n->item].kind;
        if (kind == reg::ChangeOp::Kind::SetValue || kind == reg::ChangeOp::Kind::DeleteValue)
            where += QStringLiteral(" : ") + r.value;
        return where;
    }
    case Node::Line: return column == Setting ? lines_[n->item] : QVariant();
    }
    return {};
}

QVariant ReviewModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Setting: return tr("Setting");
    case Before: return tr("Before");
    case After: return tr("After");
    }
    return {};
}

ChangesDialog::ChangesDialog(const reg::ChangeSet& changes, const QString& title, const QString& intro,
                             const QString& actionText, QWidget* parent)
    : ChangesDialog(changes, wordChanges(changes, {}), title, intro, actionText, parent) {}

ChangesDialog::ChangesDialog(const reg::ChangeSet& changes, Wording words, const QString& title, const QString& intro,
                             const QString& actionText, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmChanges"));
    setWindowTitle(title);
    layout_ = new QVBoxLayout(this);
    auto* label = new QLabel(intro, this);
    label->setObjectName(QStringLiteral("lblChanges"));
    label->setWordWrap(true);
    layout_->addWidget(label);
    list_ = new QTreeView(this);
    list_->setObjectName(QStringLiteral("lvChanges"));
    list_->setUniformRowHeights(true);
    model_ = new ReviewModel(changes, std::move(words), this);
    list_->setModel(model_);
    list_->expandToDepth(0);
    list_->header()->setSectionResizeMode(QHeaderView::Interactive);
    list_->setColumnWidth(ReviewModel::Setting, 380);
    list_->setColumnWidth(ReviewModel::Before, 200);
    layout_->addWidget(list_);
    buttons_ = new QDialogButtonBox(this);
    if (!actionText.isEmpty()) {
        QPushButton* act = buttons_->addButton(actionText, QDialogButtonBox::AcceptRole);
        act->setObjectName(QStringLiteral("cmdChangesAction"));
        act->setEnabled(!changes.empty());
        act->setDefault(true);
    }
    buttons_->addButton(QDialogButtonBox::Close)->setObjectName(QStringLiteral("cmdChangesClose"));
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout_->addWidget(buttons_);
    resize(tk::fitToScreen(this, QSize(900, 420)));
}

}  // namespace qv
