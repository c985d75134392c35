// The category tree's nodes. A node's 1-based index is fixed: it is the number of its option page
// fraOption(i) and, plus 8, of its description string. Pages find each other through this table.
#pragma once

#include <QString>
#include <array>

class QTreeWidgetItem;

namespace qv {

struct NodeInfo {
    int index;
    const char* key;
    const char* text;
    const char* parentKey;  // nullptr for the top node
    int image;              // 1 computer, 2 closed folder, 4 page
};

inline constexpr int kNodeCount = 33;
extern const std::array<NodeInfo, kNodeCount> kNodes;

// The node with that key (exact, case-sensitive), or nullptr.
const NodeInfo* nodeByKey(const QString& key);
// 1..33, or nullptr.
const NodeInfo* nodeByIndex(int index);
// The node a category tree's item stands for (1..33), 0 for none.
inline constexpr int kNodeRole = 0x0100 + 1;  // Qt::UserRole + 1: the item's node index
int nodeIndexOf(const QTreeWidgetItem* item);
// The help file's anchor for a node's topic.
QString helpAnchor(int index);

}  // namespace qv
