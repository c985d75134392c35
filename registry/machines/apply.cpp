// Machine's changes: those pending in its files' journals, marks to go back to, and the transactions
// that apply a change set or a .reg file; apart from opening and the API, the way imports come in.
#include <algorithm>

#include "registry/machines/branches.h"
#include "registry/machines/machine.h"
#include "registry/machines/trees.h"
#include "registry/regfile/dotreg.h"
#include "registry/text.h"

namespace qv::reg {

namespace {

void appendOps(const RegJournal& journal, size_t from, size_t to, int32_t root, ChangeSet* cs) {
    for (size_t i = from; i < std::min(to, journal.size()); ++i) {
        const RegOp& op = journal[i];
        ChangeOp c;
        c.root = root;
        c.key = op.path();
        c.oldKnown = true;
        switch (op.kind) {
        case RegOp::MoveKey: continue;  // the ops after the marker carry the move
        case RegOp::CreateKey:
            c.kind = ChangeOp::Kind::CreateKey;
            c.link = op.link;
            break;
        case RegOp::DeleteKey:
            c.kind = ChangeOp::Kind::DeleteKey;
            if (op.removed) flatten(*op.removed, {}, &c.oldTree);
            break;
        case RegOp::SetValue:
        case RegOp::DeleteValue:
            c.kind = op.kind == RegOp::SetValue ? ChangeOp::Kind::SetValue : ChangeOp::Kind::DeleteValue;
            c.name = op.name;
            if (op.kind == RegOp::SetValue) {
                c.type = op.type;
                c.data = op.data;
            }
            if (op.hadValue) c.oldValue = StoredValue{op.name, op.oldType, op.oldData};
            break;
        }
        cs->ops.push_back(std::move(c));
    }
}

}  // namespace


Machine::Mark Machine::mark() const { return {trees_->system.tree->journal().size(), trees_->user.tree->journal().size()}; }

ChangeSet Machine::changesBetween(Mark from, Mark to) const {
    ChangeSet cs;
    appendOps(trees_->system.tree->journal(), from.system, to.system, HKEY_LOCAL_MACHINE, &cs);
    appendOps(trees_->user.tree->journal(), from.user, to.user, HKEY_CURRENT_USER, &cs);
    return cs;
}

ChangeSet Machine::changesSince(Mark m) const { return changesBetween(m, mark()); }

void Machine::keepOnly(Mark start, const std::vector<std::pair<Mark, Mark>>& ranges) {
    std::vector<std::pair<RegJournal, RegJournal>> slices;
    auto slice = [](const RegJournal& journal, size_t from, size_t to) {
        to = std::min(to, journal.size());
        return from < to ? RegJournal(journal.begin() + static_cast<std::ptrdiff_t>(from),
                                      journal.begin() + static_cast<std::ptrdiff_t>(to))
                         : RegJournal();
    };
    for (const auto& [from, to] : ranges)
        slices.emplace_back(slice(trees_->system.tree->journal(), from.system, to.system),
                            slice(trees_->user.tree->journal(), from.user, to.user));
    rollbackTo(start);
    for (const auto& [system, user] : slices) {
        trees_->system.tree->replay(system);
        trees_->user.tree->replay(user);
    }
}

ChangeSet Machine::pendingChanges() const { return changesSince({}); }

void Machine::rollbackTo(Mark m) {
    trees_->system.tree->rollbackTo(m.system);
    trees_->user.tree->rollbackTo(m.user);
}

int32_t Machine::Applier::add(const ChangeOp& op, bool sameKey, std::string* error) {
    if (!sameKey) depth_ = keyDepth(op.key), key_ = nullptr;
    int32_t st;
    if (depth_ > kMaxKeyDepth && (op.kind == ChangeOp::Kind::CreateKey || op.kind == ChangeOp::Kind::SetValue)) {
        st = ERROR_INVALID_PARAMETER;
        if (error)
            *error = std::string(rootName(op.root)) + "\\" + utf16ToUtf8(op.key) + ": the key is deeper than the " +
                     std::to_string(kMaxKeyDepth) + " levels Windows allows";
    } else {
        st = machine_.applyOp(op, *this, sameKey, error);
    }
    if (st != ERROR_SUCCESS) cancel();
    return st;
}

int32_t Machine::applyOp(const ChangeOp& op, Applier& at, bool sameKey, std::string* error) {
    auto fail = [&](int32_t st, std::string_view what) {
        if (error) {
            std::string key(rootName(op.root));
            if (!op.key.empty()) key += "\\" + utf16ToUtf8(op.key);
            *error = key + ": " + (what.empty() ? statusText(st) : std::string(what));
        }
        return st;
    };
    RegKey* k = sameKey && op.kind != ChangeOp::Kind::DeleteKey ? at.key_ : nullptr;
    at.key_ = nullptr;
    MachineFile* f = nullptr;
    std::u16string classes;
    std::u16string_view path = op.key;
    if (op.root == HKEY_LOCAL_MACHINE || op.root == HKEY_CURRENT_USER) {
        f = trees_->fileFor(op.root);
    } else if (op.root == HKEY_CLASSES_ROOT) {
        f = &trees_->system;
        if (!k) {
            classes = kClassesPrefix;
            if (!op.key.empty()) classes += u"\\" + op.key;
            path = classes;
        }
    } else {
        const std::string_view r = rootName(op.root);
        return fail(ERROR_INVALID_HANDLE, r.empty() ? "not a registry root" : "this machine has no " + std::string(r));
    }
    int st = ERROR_SUCCESS;
    switch (op.kind) {
    case ChangeOp::Kind::CreateKey:
        if (!k) st = f->tree->createKey(path, &k, op.link);  // a key known to be there is no new one
        break;
    case ChangeOp::Kind::SetValue:
        if (!k) st = f->tree->createKey(path, &k);
        if (st == ERROR_SUCCESS) st = f->tree->setValue(k, op.name, op.type, op.data);
        break;
    case ChangeOp::Kind::DeleteValue:
        if (!k) st = f->tree->findKey(path, &k);
        if (st == ERROR_SUCCESS) st = f->tree->deleteValue(k, op.name);
        if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;  // k stays null when the key is not there
        break;
    case ChangeOp::Kind::DeleteKey:
        if (path.find_first_not_of(u'\\') == std::u16string::npos)
            return fail(ERROR_ACCESS_DENIED, "a root key cannot be deleted");
        st = f->tree->findKey(path, &k);
        if (st == ERROR_SUCCESS) st = f->tree->deleteKey(k);
        if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;
        k = nullptr;
        break;
    }
    if (st != ERROR_SUCCESS) return fail(st, {});
    at.key_ = k;
    return ERROR_SUCCESS;
}

int32_t Machine::apply(const ChangeSet& changes, std::string* error) {
    Applier at(*this);
    const ChangeOp* before = nullptr;
    for (const ChangeOp& op : changes.ops) {
        const bool sameKey = before && before->root == op.root && before->key == op.key;
        if (int32_t st = at.add(op, sameKey, error)) return st;
        before = &op;
    }
    return ERROR_SUCCESS;
}

int32_t Machine::applyRegFile(std::string_view bytes, const std::string& name, std::string* error, bool* unreadable,
                              std::vector<std::string>* inMemory) {
    if (unreadable) *unreadable = false;
    // Read through first: a file that is bad anywhere changes nothing and says so first.
    if (!readRegFileOps(bytes, name, error, [](const ChangeOp&, size_t) { return true; })) {
        if (unreadable) *unreadable = true;
        return ERROR_INVALID_DATA;
    }
    Applier at(*this);
    ChangeOp mapped;
    int32_t st = ERROR_SUCCESS;
    readRegFileOps(bytes, name, nullptr, [&](const ChangeOp& op, size_t) {
        // A value names the key of the operation before it: its [KEY] line's or another value's.
        const bool value = op.kind == ChangeOp::Kind::SetValue || op.kind == ChangeOp::Kind::DeleteValue;
        switch (prepareOp(*this, op, &mapped, error, inMemory)) {
        case Prepared::Refuse: st = ERROR_INVALID_PARAMETER; break;
        case Prepared::Drop: return true;
        case Prepared::Mapped: st = at.add(mapped, value, error); break;
        case Prepared::Keep: st = at.add(op, value, error); break;
        }
        return st == ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) at.cancel();
    return st;
}

}  // namespace qv::reg
