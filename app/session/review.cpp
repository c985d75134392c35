#include "app/session/review.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <unordered_set>

#include "app/nodes.h"
#include "registry/regfile/dotreg.h"
#include "registry/text.h"

namespace qv {

namespace {

QString dataText(const std::optional<reg::StoredValue>& v) {
    return v ? QString::fromStdString(reg::regDataText(v->type, v->data)) : QString();
}

// A deleted key whose whole content the same change set made again elsewhere was moved there
// (the 'New' menu moves keys so): deletion index -> index of the CreateKey of the copy.
std::map<size_t, size_t> findMoves(const reg::ChangeSet& cs) {
    // Only a deletion with its subtree known can be half of a move; most change sets (a .reg file
    // read in) have none, and then no content is gathered at all.
    if (std::none_of(cs.ops.begin(), cs.ops.end(), [](const reg::ChangeOp& op) {
            return op.kind == reg::ChangeOp::Kind::DeleteKey && !op.oldTree.empty();
        }))
        return {};
    using Content = std::set<std::tuple<std::u16string, std::u16string, uint32_t, std::string>>;
    std::map<std::u16string, std::pair<size_t, Content>> made;  // created key -> its op, what went in
    for (size_t i = 0; i < cs.ops.size(); ++i) {
        const reg::ChangeOp& op = cs.ops[i];
        const std::u16string key = reg::foldedKeyPath(op.root, op.key);
        if (op.kind == reg::ChangeOp::Kind::CreateKey && !made.count(key))
            made[key] = {i, {}};
        if (op.kind != reg::ChangeOp::Kind::SetValue && op.kind != reg::ChangeOp::Kind::CreateKey)
            continue;
        // The created keys this one lies in: itself and each ancestor, looked up by name.
        for (size_t end = key.size(); end != std::u16string::npos; end = end ? key.rfind(u'\\', end - 1) : std::u16string::npos) {
            auto entry = made.find(key.substr(0, end));
            if (entry != made.end()) {
                const std::u16string rel = end < key.size() ? key.substr(end + 1) : u"";
                if (op.kind == reg::ChangeOp::Kind::SetValue)
                    entry->second.second.insert({rel, reg::foldName(op.name), op.type, op.data});
                else
                    entry->second.second.insert({rel, u"<key>", 0, {}});
            }
            if (end == 0)
                break;
        }
    }
    std::map<size_t, size_t> moves;
    for (size_t i = 0; i < cs.ops.size(); ++i) {
        const reg::ChangeOp& op = cs.ops[i];
        if (op.kind != reg::ChangeOp::Kind::DeleteKey || op.oldTree.empty())
            continue;
        Content gone;
        for (const reg::StoredKey& k : op.oldTree) {
            const std::u16string rel = reg::foldName(k.path);
            gone.insert({rel, u"<key>", 0, {}});
            for (const reg::StoredValue& v : k.values)
                gone.insert({rel, reg::foldName(v.name), v.type, v.data});
        }
        for (const auto& [key, entry] : made)
            if (key != reg::foldedKeyPath(op.root, op.key) && entry.second == gone) {
                moves[i] = entry.first;
                break;
            }
    }
    return moves;
}

}  // namespace

OwnedSplit splitByOwner(const reg::ChangeSet& changes, const reg::ChangeSet& profile) {
    std::set<std::u16string> values, keys, wholeKeys;  // a value as key + '\n' + folded name
    for (const reg::ChangeOp& op : profile.ops) {
        const std::u16string k = reg::foldedKeyPath(op.root, op.key);
        switch (op.kind) {
        case reg::ChangeOp::Kind::SetValue:
        case reg::ChangeOp::Kind::DeleteValue:
            values.insert(k + u'\n' + reg::foldName(op.name));
            keys.insert(k);
            break;
        case reg::ChangeOp::Kind::CreateKey:
        case reg::ChangeOp::Kind::DeleteKey: wholeKeys.insert(k); break;
        }
    }
    // The key or one of its ancestors is one the pages make or delete whole: a lookup per level.
    auto inWhole = [&](const std::u16string& k) {
        if (wholeKeys.empty())
            return false;
        for (size_t at = k.size(); at != std::u16string::npos && at > 0; at = k.rfind(u'\\', at - 1))
            if (wholeKeys.count(k.substr(0, at)))
                return true;
        return false;
    };
    OwnedSplit split;
    for (const reg::ChangeOp& op : changes.ops) {
        const std::u16string k = reg::foldedKeyPath(op.root, op.key);
        const bool isValue = op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue;
        const bool owned = inWhole(k) || (isValue ? values.count(k + u'\n' + reg::foldName(op.name)) > 0
                                                  : op.kind == reg::ChangeOp::Kind::CreateKey && keys.count(k) > 0);
        (owned ? split.pages : split.other).ops.push_back(op);
        if (isValue)
            ++(owned ? split.pageValues : split.otherValues);
    }
    return split;
}

QStringList largeDeletions(const reg::ChangeSet& changes) {
    QStringList out;
    for (const reg::ChangeOp& op : changes.ops) {
        if (op.kind != reg::ChangeOp::Kind::DeleteKey)
            continue;
        size_t values = 0;
        for (const auto& k : op.oldTree)
            values += k.values.size();
        const bool top = op.key.find(u'\\') == std::u16string::npos;
        if (!top && values <= kLargeDeletion)
            continue;
        QString key = QString::fromStdString(std::string(reg::rootName(op.root)));
        if (!op.key.empty())
            key += QLatin1Char('\\') + QString::fromStdString(reg::utf16ToUtf8(op.key));
        out << QStringLiteral("%1: %2 key(s), %3 value(s)").arg(key).arg(std::max<size_t>(op.oldTree.size(), 1)).arg(values);
    }
    return out;
}

ChangeRows::ChangeRows(const reg::ChangeSet& changes) : changes_(changes) {
    moves_ = findMoves(changes);
    for (const auto& [from, to] : moves_)
        movedFrom_[to] = from;
}

ChangeRow ChangeRows::operator[](size_t index) const {
    const reg::ChangeOp& op = changes_.ops[index];
    auto keyText = [](const std::u16string& k) {
        return QString::fromUtf16(k.data(), static_cast<qsizetype>(k.size()));
    };
    ChangeRow r;
    r.hive = QString::fromLatin1(reg::rootName(op.root).data(), static_cast<qsizetype>(reg::rootName(op.root).size()));
    r.key = op.key.empty() ? QStringLiteral("\\") : keyText(op.key);
    const QString name = op.name.empty() ? QStringLiteral("(Default)") : keyText(op.name);
    switch (op.kind) {
    case reg::ChangeOp::Kind::SetValue:
        r.value = name;
        r.oldData = op.oldKnown ? (op.oldValue ? dataText(op.oldValue) : QStringLiteral("(not set)")) : QString();
        r.newData = QString::fromStdString(reg::regDataText(op.type, op.data));
        break;
    case reg::ChangeOp::Kind::DeleteValue:
        r.value = name;
        r.oldData = dataText(op.oldValue);
        r.newData = QStringLiteral("(deleted)");
        break;
    case reg::ChangeOp::Kind::CreateKey:
        r.newData = movedFrom_.count(index)
                        ? QStringLiteral("(moved here from %1)").arg(keyText(changes_.ops[movedFrom_.at(index)].key))
                        : QStringLiteral("(key created)");
        break;
    case reg::ChangeOp::Kind::DeleteKey: {
        size_t values = 0;
        for (const auto& k : op.oldTree) values += k.values.size();
        if (op.oldKnown && !op.oldTree.empty())
            r.oldData = QStringLiteral("%1 key(s), %2 value(s)").arg(op.oldTree.size()).arg(values);
        r.newData = moves_.count(index) ? QStringLiteral("(moved to %1)").arg(keyText(changes_.ops[moves_.at(index)].key))
                                        : QStringLiteral("(key deleted)");
        break;
    }
    }
    return r;
}

std::vector<ChangeRow> changeRows(const reg::ChangeSet& changes) {
    const ChangeRows rows(changes);
    std::vector<ChangeRow> out;
    out.reserve(changes.ops.size());
    for (size_t i = 0; i < changes.ops.size(); ++i)
        out.push_back(rows[i]);
    return out;
}

size_t valueCount(const reg::ChangeSet& changes) {
    size_t n = 0;
    for (const reg::ChangeOp& op : changes.ops) {
        if (op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue)
            ++n;
        else if (op.kind == reg::ChangeOp::Kind::DeleteKey)
            for (const reg::StoredKey& k : op.oldTree)
                n += k.values.size();
    }
    return n;
}

std::u16string valueOwnerKey(int32_t root, std::u16string_view key, std::u16string_view name) {
    std::u16string path(key);
    path += u'\\';
    path += name;
    return reg::foldedKeyPath(root, path);
}

// No value name ends a key path with U+FFFF: the key itself.
std::u16string keyOwnerKey(int32_t root, std::u16string_view key) { return valueOwnerKey(root, key, u"\uFFFF"); }

QString otherChangesCaption() { return QObject::tr("Other registry changes"); }

std::string regLinesOf(const reg::ChangeOp& op) {
    reg::ChangeSet one;
    one.ops.push_back(op);
    std::string text = reg::writeRegText(one);
    if (const size_t at = text.find('['); at != std::string::npos)
        text.erase(0, at);
    return text;
}

Wording wordChanges(const reg::ChangeSet& changes, const ValueOwners& owners, const std::vector<ControlChange>& controls) {
    std::map<int, Wording::Group> pages;
    Wording::Group other;
    other.caption = otherChangesCaption();
    const bool keysOwned = std::any_of(owners.begin(), owners.end(),
                                       [](const auto& o) { return !o.first.empty() && o.first.back() == u'\uFFFF'; });
    // Every key an owned value or key lies in, spelled as foldedKeyPath does: a key not among them
    // owns nothing, and most keys of a large file are not (their values need no lookup).
    std::unordered_set<std::u16string> ownedKeys;
    for (const auto& o : owners)
        for (size_t at = o.first.find(u'\\'); at != std::u16string::npos; at = o.first.find(u'\\', at + 1))
            ownedKeys.insert(o.first.substr(0, at));
    // A file's values come key by key: the key's spelling is made once for all of them.
    const reg::ChangeOp* last = nullptr;
    std::u16string folded;
    bool inOwned = false;
    auto ownerOf = [&](const reg::ChangeOp& op) -> int {
        if (owners.empty())
            return 0;
        if (!last || last->root != op.root || last->key != op.key) {
            folded = reg::foldedKeyPath(op.root, op.key);
            inOwned = ownedKeys.count(folded) > 0;
            last = &op;
        }
        const bool onValue = op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue;
        if (onValue && (inOwned || op.key.empty()))
            if (auto it = owners.find(valueOwnerKey(op.root, op.key, op.name)); it != owners.end())
                return it->second;
        if (!keysOwned)
            return 0;
        // A key a page creates or deletes whole owns what is done in it.
        for (size_t end = folded.size(); end != std::u16string::npos; end = folded.rfind(u'\\', end - 1)) {
            if (auto it = owners.find(folded.substr(0, end) + u"\\\uFFFF"); it != owners.end())
                return it->second;
            if (end == 0)
                break;
        }
        return 0;
    };
    std::vector<int> owner(changes.ops.size());
    for (size_t i = 0; i < changes.ops.size(); ++i)
        owner[i] = ownerOf(changes.ops[i]);
    // A key made only to hold a deeper one belongs with what it holds.
    for (size_t i = changes.ops.size(); i-- > 1;) {
        const reg::ChangeOp& parent = changes.ops[i - 1];
        const reg::ChangeOp& child = changes.ops[i];
        if (!owner[i - 1] && owner[i] && parent.kind == reg::ChangeOp::Kind::CreateKey && parent.root == child.root &&
            child.key.size() > parent.key.size() && child.key[parent.key.size()] == u'\\' &&
            reg::foldName(child.key.substr(0, parent.key.size())) == reg::foldName(parent.key))
            owner[i - 1] = owner[i];
    }
    for (size_t i = 0; i < changes.ops.size(); ++i)
        (owner[i] ? pages[owner[i]] : other).ops.push_back(i);
    // A setting whose page writes nothing here changes nothing: it is not shown.
    for (const ControlChange& c : controls)
        if (auto page = pages.find(c.node); page != pages.end())
            page->second.controls.push_back(c);
    Wording out;
    for (auto& [node, group] : pages) {
        group.node = node;
        const NodeInfo* info = nodeByIndex(node);
        group.caption = info ? QString::fromUtf8(info->text) : QString::number(node);
        out.groups.push_back(std::move(group));
    }
    if (!other.ops.empty())
        out.groups.push_back(std::move(other));
    return out;
}

std::string changesJson(const reg::ChangeSet& changes, const ValueOwners& owners, const std::vector<ControlChange>& controls) {
    static const char* const kinds[] = {"set", "delete-value", "create-key", "delete-key"};
    const Wording words = wordChanges(changes, owners, controls);
    std::vector<const Wording::Group*> groupOf(changes.ops.size(), nullptr);
    for (const Wording::Group& g : words.groups)
        for (size_t i : g.ops)
            groupOf[i] = g.node ? &g : nullptr;
    QJsonArray rows;
    const std::vector<ChangeRow> shown = changeRows(changes);
    for (size_t i = 0; i < changes.ops.size(); ++i) {
        const reg::ChangeOp& op = changes.ops[i];
        QJsonObject row;
        const bool onValue = op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue;
        const Wording::Group* g = groupOf[i];
        row[QStringLiteral("node")] = g ? QJsonValue(g->node) : QJsonValue(QJsonValue::Null);
        row[QStringLiteral("page")] = g ? QJsonValue(g->caption) : QJsonValue(QJsonValue::Null);
        if (const ControlChange* c = g ? g->soleControl() : nullptr)
            row[QStringLiteral("control")] = QJsonObject{{QStringLiteral("name"), c->name},
                                                         {QStringLiteral("label"), c->label},
                                                         {QStringLiteral("old"), c->before},
                                                         {QStringLiteral("new"), c->after}};
        else
            row[QStringLiteral("control")] = QJsonValue::Null;
        row[QStringLiteral("op")] = QString::fromLatin1(kinds[static_cast<int>(op.kind)]);
        row[QStringLiteral("hive")] = shown[i].hive;
        row[QStringLiteral("key")] = shown[i].key;
        row[QStringLiteral("value")] = onValue ? QJsonValue(shown[i].value) : QJsonValue(QJsonValue::Null);
        row[QStringLiteral("old")] = shown[i].oldData;
        row[QStringLiteral("new")] = shown[i].newData;
        row[QStringLiteral("reg")] = QString::fromStdString(regLinesOf(op));
        rows.append(row);
    }
    return QJsonDocument(rows).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace qv
