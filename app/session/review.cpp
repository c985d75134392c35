#include "app/session/review.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <map>
#include <set>
#include <tuple>

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

std::vector<ChangeRow> changeRows(const reg::ChangeSet& changes) {
    std::vector<ChangeRow> rows;
    const std::map<size_t, size_t> moves = findMoves(changes);
    std::map<size_t, size_t> movedFrom;
    for (const auto& [from, to] : moves)
        movedFrom[to] = from;
    rows.reserve(changes.ops.size());
    // A file's values come key by key: a row shares its hive's and key's text with the one before.
    std::map<int32_t, QString> hives;
    for (size_t index = 0; index < changes.ops.size(); ++index) {
        const reg::ChangeOp& op = changes.ops[index];
        ChangeRow r;
        QString& hive = hives[op.root];
        if (hive.isEmpty())
            hive = QString::fromStdString(std::string(reg::rootName(op.root)));
        r.hive = hive;
        if (index > 0 && changes.ops[index - 1].key == op.key && !rows.empty())
            r.key = rows.back().key;
        else
            r.key = op.key.empty() ? QStringLiteral("\\") : QString::fromUtf16(op.key.data(), static_cast<qsizetype>(op.key.size()));
        const QString name = op.name.empty() ? QStringLiteral("(Default)")
                                             : QString::fromUtf16(op.name.data(), static_cast<qsizetype>(op.name.size()));
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
            r.newData = movedFrom.count(index)
                            ? QStringLiteral("(moved here from %1)").arg(QString::fromStdString(
                                  reg::utf16ToUtf8(changes.ops[movedFrom.at(index)].key)))
                            : QStringLiteral("(key created)");
            break;
        case reg::ChangeOp::Kind::DeleteKey: {
            size_t values = 0;
            for (const auto& k : op.oldTree) values += k.values.size();
            if (op.oldKnown && !op.oldTree.empty())
                r.oldData = QStringLiteral("%1 key(s), %2 value(s)").arg(op.oldTree.size()).arg(values);
            r.newData = moves.count(index) ? QStringLiteral("(moved to %1)").arg(QString::fromStdString(
                                                 reg::utf16ToUtf8(changes.ops[moves.at(index)].key)))
                                           : QStringLiteral("(key deleted)");
            break;
        }
        }
        rows.push_back(std::move(r));
    }
    return rows;
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

std::string changesJson(const reg::ChangeSet& changes, const ValueOwners& owners) {
    static const char* const kinds[] = {"set", "delete-value", "create-key", "delete-key"};
    QJsonArray rows;
    const std::vector<ChangeRow> shown = changeRows(changes);
    for (size_t i = 0; i < changes.ops.size(); ++i) {
        const reg::ChangeOp& op = changes.ops[i];
        QJsonObject row;
        const bool onValue = op.kind == reg::ChangeOp::Kind::SetValue || op.kind == reg::ChangeOp::Kind::DeleteValue;
        const auto owner = onValue ? owners.find(valueOwnerKey(op.root, op.key, op.name)) : owners.end();
        if (owner != owners.end()) {
            row[QStringLiteral("node")] = owner->second;
            const NodeInfo* n = nodeByIndex(owner->second);
            row[QStringLiteral("page")] = n ? QString::fromUtf8(n->text) : QString();
        } else {
            row[QStringLiteral("node")] = QJsonValue::Null;
            row[QStringLiteral("page")] = QJsonValue::Null;
        }
        row[QStringLiteral("op")] = QString::fromLatin1(kinds[static_cast<int>(op.kind)]);
        if (i < shown.size()) {
            row[QStringLiteral("hive")] = shown[i].hive;
            row[QStringLiteral("key")] = shown[i].key;
            row[QStringLiteral("value")] = onValue ? QJsonValue(shown[i].value) : QJsonValue(QJsonValue::Null);
            row[QStringLiteral("old")] = shown[i].oldData;
            row[QStringLiteral("new")] = shown[i].newData;
        }
        reg::ChangeSet one;
        one.ops.push_back(op);
        std::string text = reg::writeRegText(one);
        // The operation's own lines, without the file's header.
        if (const size_t at = text.find('['); at != std::string::npos)
            text.erase(0, at);
        row[QStringLiteral("reg")] = QString::fromStdString(text);
        rows.append(row);
    }
    return QJsonDocument(rows).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace qv
