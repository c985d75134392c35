#include "registry/changeset.h"

#include <map>
#include <tuple>

#include "registry/text.h"

namespace qv::reg {

namespace {

std::u16string join(const std::u16string& a, const std::u16string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + u'\\' + b;
}

// Whether key lies at or below top (both folded).
bool within(const std::u16string& key, const std::u16string& top) {
    if (top.empty()) return true;
    return key.size() >= top.size() && key.compare(0, top.size(), top) == 0 &&
           (key.size() == top.size() || key[top.size()] == u'\\');
}

}  // namespace

ChangeOp keyOp(ChangeOp::Kind kind, int32_t root, std::u16string key) {
    ChangeOp op;
    op.kind = kind;
    op.root = root;
    op.key = std::move(key);
    return op;
}

ChangeOp setValueOp(int32_t root, std::u16string key, std::u16string name, uint32_t type, std::string data) {
    ChangeOp op = keyOp(ChangeOp::Kind::SetValue, root, std::move(key));
    op.name = std::move(name);
    op.type = type;
    op.data = std::move(data);
    return op;
}

ChangeOp deleteValueOp(int32_t root, std::u16string key, std::u16string name) {
    ChangeOp op = keyOp(ChangeOp::Kind::DeleteValue, root, std::move(key));
    op.name = std::move(name);
    return op;
}

ChangeSet ChangeSet::inverse() const {
    ChangeSet inv;
    for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
        const ChangeOp& op = *it;
        if (!op.oldKnown) continue;
        switch (op.kind) {
        case ChangeOp::Kind::SetValue:
        case ChangeOp::Kind::DeleteValue: {
            std::optional<StoredValue> now;
            if (op.kind == ChangeOp::Kind::SetValue) now = StoredValue{op.name, op.type, op.data};
            if (!op.oldValue && !now) break;  // deleting a value that was not there
            ChangeOp r = op.oldValue ? setValueOp(op.root, op.key, op.name, op.oldValue->type, op.oldValue->data)
                                     : deleteValueOp(op.root, op.key, op.name);
            r.oldKnown = true;
            r.oldValue = now;
            inv.ops.push_back(std::move(r));
            break;
        }
        case ChangeOp::Kind::CreateKey: {
            ChangeOp r = keyOp(ChangeOp::Kind::DeleteKey, op.root, op.key);
            r.oldKnown = true;
            r.oldTree.push_back({});  // what the later operations put there is taken back by them
            inv.ops.push_back(std::move(r));
            break;
        }
        case ChangeOp::Kind::DeleteKey:
            for (const StoredKey& k : op.oldTree) {
                ChangeOp c = keyOp(ChangeOp::Kind::CreateKey, op.root, join(op.key, k.path));
                c.oldKnown = true;
                c.link = k.link;
                inv.ops.push_back(c);
                for (const StoredValue& v : k.values) {
                    ChangeOp set = setValueOp(op.root, c.key, v.name, v.type, v.data);
                    set.oldKnown = true;
                    inv.ops.push_back(std::move(set));
                }
            }
            break;
        }
    }
    return inv;
}

ChangeSet ChangeSet::simplified() const {
    using ValueId = std::tuple<int32_t, std::u16string, std::u16string>;
    std::vector<std::optional<ChangeOp>> out;
    std::map<ValueId, size_t> lastValueOp;            // value -> its merged op in out
    std::map<std::pair<int32_t, std::u16string>, size_t> created;  // key -> its CreateKey in out

    auto forget = [&](int32_t root, const std::u16string& top) {
        for (auto it = lastValueOp.begin(); it != lastValueOp.end();)
            it = std::get<0>(it->first) == root && within(std::get<1>(it->first), top) ? lastValueOp.erase(it) : std::next(it);
    };

    for (const ChangeOp& op : ops) {
        const std::u16string fk = foldName(op.key);
        switch (op.kind) {
        case ChangeOp::Kind::SetValue:
        case ChangeOp::Kind::DeleteValue: {
            ValueId id{op.root, fk, foldName(op.name)};
            auto it = lastValueOp.find(id);
            if (it != lastValueOp.end() && out[it->second]) {
                ChangeOp& m = *out[it->second];
                const bool known = m.oldKnown && op.oldKnown;
                const std::optional<StoredValue> first = m.oldValue;
                m = op;
                m.oldKnown = known;
                m.oldValue = first;
                break;
            }
            lastValueOp[id] = out.size();
            out.push_back(op);
            break;
        }
        case ChangeOp::Kind::CreateKey:
            created[{op.root, fk}] = out.size();
            out.push_back(op);
            break;
        case ChangeOp::Kind::DeleteKey: {
            forget(op.root, fk);
            // A key this change set made and now removes again: neither step is a change. Every
            // operation in between lay inside it, so they go too.
            auto c = created.find({op.root, fk});
            if (c != created.end() && out[c->second] && op.oldKnown) {
                for (size_t i = c->second; i < out.size(); ++i)
                    if (out[i] && out[i]->root == op.root && within(foldName(out[i]->key), fk)) out[i].reset();
                for (auto it = created.begin(); it != created.end();)
                    it = it->first.first == op.root && within(it->first.second, fk) ? created.erase(it) : std::next(it);
                break;
            }
            for (auto it = created.begin(); it != created.end();)
                it = it->first.first == op.root && within(it->first.second, fk) ? created.erase(it) : std::next(it);
            out.push_back(op);
            break;
        }
        }
    }
    ChangeSet r;
    for (auto& o : out) {
        if (!o) continue;
        // A value that ends as it began is no change.
        if (o->oldKnown && (o->kind == ChangeOp::Kind::SetValue || o->kind == ChangeOp::Kind::DeleteValue)) {
            if (o->kind == ChangeOp::Kind::DeleteValue && !o->oldValue) continue;
            if (o->kind == ChangeOp::Kind::SetValue && o->oldValue && o->oldValue->type == o->type &&
                o->oldValue->data == o->data)
                continue;
        }
        r.ops.push_back(std::move(*o));
    }
    return r;
}

std::string_view rootName(int32_t root) {
    switch (root) {
    case HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS: return "HKEY_USERS";
    case HKEY_CURRENT_CONFIG: return "HKEY_CURRENT_CONFIG";
    default: return "";
    }
}

std::u16string foldedKeyPath(int32_t root, std::u16string_view key) {
    std::u16string path;
    if (root == HKEY_CLASSES_ROOT) {
        root = HKEY_LOCAL_MACHINE;
        path = key.empty() ? u"Software\\Classes" : u"Software\\Classes\\" + std::u16string(key);
    } else {
        path = key;
    }
    return utf8ToUtf16(std::string(rootName(root))) + (path.empty() ? u"" : u"\\" + foldName(path));
}

}  // namespace qv::reg
