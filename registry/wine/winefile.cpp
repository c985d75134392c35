// The tree and the edits made to it, journaled so that they can be taken back or replayed onto a
// copy changed meanwhile. Reading the text (parser, scanner, keyindex) and writing it are apart.
#include "registry/wine/winefile.h"

#include <chrono>

#include "registry/api.h"
#include "registry/text.h"
#include "registry/wine/keyindex.h"

namespace qv::reg {

using namespace wine;

namespace {

uint64_t systemClock() {
    using namespace std::chrono;
    auto t = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(t / 100 + kTicks1601To1970);
}
uint64_t (*g_clock)() = systemClock;

}  // namespace

uint64_t RegFile::now() { return g_clock(); }
void RegFile::setClock(uint64_t (*clock)()) { g_clock = clock ? clock : systemClock; }

// ---- tree ------------------------------------------------------------------------------------

size_t RegKey::subkeyPosition(std::u16string_view n, bool* found) const {
    return sortedPosition(subkeys.all(), n, keyName, found);
}

size_t RegKey::valuePosition(std::u16string_view n, bool* found) const {
    return sortedPosition(values(), n, valueName, found);
}

RegKey* RegKey::subkey(std::u16string_view n) const { return subkeys.find(n); }

const RegValue* RegKey::value(std::u16string_view n) const {
    bool found;
    size_t i = valuePosition(n, &found);
    return found ? &values()[i] : nullptr;
}

RegKey::~RegKey() {
    // Ordinary trees go by recursion, which is quickest; past 128 levels the rest of
    // the subtree is taken apart with a list of its own, as keys may nest deeper than the stack.
    static thread_local unsigned depth = 0;
    if (subkeys.made().empty()) return;
    if (depth < 128) {
        ++depth;
        subkeys.made().clear();
        --depth;
        return;
    }
    std::vector<std::unique_ptr<RegKey>> pending = std::move(subkeys.made());
    while (!pending.empty()) {
        std::unique_ptr<RegKey> k = std::move(pending.back());
        pending.pop_back();
        for (auto& sub : k->subkeys.made()) pending.push_back(std::move(sub));
        k->subkeys.made().clear();  // k now goes without reaching its former subkeys
    }
}

std::unique_ptr<RegKey> RegKey::clone(RegKey* newParent) const {
    auto copyOne = [](const RegKey& from, RegKey* parent) {
        auto c = std::make_unique<RegKey>();
        c->name = from.name;
        c->parent = parent;
        c->modif = from.modif;
        if (from.cls) c->cls = std::make_unique<std::u16string>(*from.cls);
        if (from.kept) c->kept = std::make_unique<std::vector<KeptLine>>(*from.kept);
        c->rawLead = from.rawLead;
        c->rawBegin = from.rawBegin;
        c->rawEnd = from.rawEnd;
        c->rawValid = from.rawValid;
        c->link = from.link;
        c->values_ = from.values_;
        c->lazySource_ = from.lazySource_;
        c->lazyBegin_ = from.lazyBegin_;
        c->lazyEnd_ = from.lazyEnd_;
        c->lazyCount_ = from.lazyCount_;
        c->header_ = from.header_;
        c->source_ = from.source_;
        c->subkeys.copyLazy(from.subkeys);
        return c;
    };
    auto top = copyOne(*this, newParent);
    std::vector<std::pair<const RegKey*, RegKey*>> pending{{this, top.get()}};
    while (!pending.empty()) {
        auto [from, to] = pending.back();
        pending.pop_back();
        // Keys not built yet stay so in the copy: it reads them from the same text.
        auto& made = to->subkeys.made();
        made.reserve(from->subkeys.made().size());
        for (const auto& sub : from->subkeys.made()) {
            made.push_back(copyOne(*sub, to));
            pending.emplace_back(sub.get(), made.back().get());
        }
    }
    return top;
}

std::u16string RegKey::path() const {
    std::vector<const RegKey*> chain;
    for (const RegKey* k = this; k->parent; k = k->parent) chain.push_back(k);
    std::u16string p;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!p.empty()) p.push_back(u'\\');
        p += (*it)->name;
    }
    return p;
}


RegFile::RegFile() = default;
RegFile::~RegFile() = default;

std::unique_ptr<RegFile> RegFile::create(std::string_view rootComment, std::string_view arch) {
    std::unique_ptr<RegFile> f(new RegFile);
    f->root_ = std::make_unique<RegKey>();
    f->root_->modif = now();
    f->preamble_ = "WINE REGISTRY Version 2\n";
    f->preamble_.append(rootComment).append("\n\n");
    if (!arch.empty()) f->preamble_.append("#arch=").append(arch).append("\n");
    return f;
}

std::string_view RegFile::arch() const {
    std::string_view rest = preamble_;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.substr(0, 6) != "#arch=") continue;
        line.remove_prefix(6);
        while (!line.empty() && isSpace(line.back())) line.remove_suffix(1);
        return line;
    }
    return {};
}

// ---- changes ---------------------------------------------------------------------------------

int RegFile::splitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    size_t i = 0, endp = path.size();
    while (i < endp && path[i] == u'\\') ++i;
    while (endp > i && path[endp - 1] == u'\\') --endp;
    while (i < endp) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos || j > endp) j = endp;
        if (j == i) return ERROR_BAD_PATHNAME;
        if (j - i > kMaxKeyNameLength) return ERROR_FILENAME_EXCED_RANGE;
        parts->push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return ERROR_SUCCESS;
}

namespace {

// Calls fn for each component of a "\\"-separated path, leading and trailing separators ignored;
// stops at the first nonzero result.
template <class Char, class Fn>
int forEachComponent(std::basic_string_view<Char> path, Fn fn) {
    size_t i = 0, endp = path.size();
    while (i < endp && path[i] == Char('\\')) ++i;
    while (endp > i && path[endp - 1] == Char('\\')) --endp;
    while (i < endp) {
        size_t j = path.find(Char('\\'), i);
        if (j == std::basic_string_view<Char>::npos || j > endp) j = endp;
        if (int st = fn(path.substr(i, j - i))) return st;
        i = j + 1;
    }
    return 0;
}

size_t utf16Length(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80 ? ((c & 0xF8) == 0xF0 ? 2 : 1) : 0;
    return n;
}

}  // namespace

int RegFile::findKey(std::u16string_view path, RegKey** out) const {
    if (int st = forEachComponent(path, [](std::u16string_view c) {
            return c.empty() ? ERROR_BAD_PATHNAME : c.size() > kMaxKeyNameLength ? ERROR_FILENAME_EXCED_RANGE : 0;
        }))
        return st;
    RegKey* k = root_.get();
    if (int st = forEachComponent(path, [&](std::u16string_view c) {
            k = k->subkey(c);
            return k ? 0 : ERROR_FILE_NOT_FOUND;
        }))
        return st;
    *out = k;
    return ERROR_SUCCESS;
}

int RegFile::findKey(const RegKey* from, std::string_view path, RegKey** out) {
    if (int st = forEachComponent(path, [](std::string_view c) {
            return c.empty() ? ERROR_BAD_PATHNAME
                   : utf16Length(c) > kMaxKeyNameLength ? ERROR_FILENAME_EXCED_RANGE : 0;
        }))
        return st;
    RegKey* k = const_cast<RegKey*>(from);
    static thread_local std::u16string name;  // reused: a lookup allocates nothing once warm
    if (int st = forEachComponent(path, [&](std::string_view c) {
            bool ascii = true;
            for (char ch : c) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
            if (ascii) name.assign(c.begin(), c.end());
            else name = utf8ToUtf16(c);
            k = k->subkey(name);
            return k ? 0 : ERROR_FILE_NOT_FOUND;
        }))
        return st;
    *out = k;
    return ERROR_SUCCESS;
}

void RegFile::touch(RegKey* key) {
    key->modif = now();
    key->rawValid = false;
}

std::shared_ptr<const std::u16string> RegFile::journalPath(const RegKey* key) {
    if (key != pathKey_ || !pathOfKey_) {
        pathOfKey_ = std::make_shared<const std::u16string>(key->path());
        pathKey_ = key;
    }
    return pathOfKey_;
}

int RegFile::createKey(std::u16string_view path, RegKey** out, bool link) {
    std::vector<std::u16string_view> parts;
    if (int st = splitPath(path, &parts)) return st;
    RegKey* k = root_.get();
    bool created = false;
    const size_t firstNew = journal_.size();
    size_t len = 0;  // of k's path
    for (auto part : parts) {
        created = false;
        RegKey* existing = k->subkey(part);
        size_t pos = 0;
        if (!existing) {
            bool found;
            pos = k->subkeyPosition(part, &found);
            if (found) existing = k->subkeys[pos].get();
        }
        if (existing) {
            k = existing;
            len += (len ? 1 : 0) + k->name.size();
            continue;
        }
        created = true;
        auto nk = std::make_unique<RegKey>();
        nk->name.assign(part);
        nk->parent = k;
        nk->modif = now();
        RegOp op;
        op.kind = RegOp::CreateKey;
        op.oldModif = k->modif;
        op.oldRaw = k->rawValid;
        touch(k);  // as Wine does: a new subkey is a change of its parent
        RegKey* child = nk.get();
        k->subkeys.insert(k->subkeys.begin() + static_cast<ptrdiff_t>(pos), std::move(nk));
        k = child;
        len += (len ? 1 : 0) + k->name.size();
        op.pathLen = len;
        journal_.push_back(std::move(op));
    }
    // Each level made names a prefix of the deepest one's path.
    if (journal_.size() > firstNew) {
        const std::shared_ptr<const std::u16string> full = journalPath(k);
        for (size_t i = firstNew; i < journal_.size(); ++i) journal_[i].pathText = full;
    }
    // Recorded with the creation, so that a replay onto a file changed meanwhile makes it a link too.
    if (link && created) {
        k->link = true;
        journal_.back().link = true;
    }
    *out = k;
    return ERROR_SUCCESS;
}

int RegFile::setValue(RegKey* key, std::u16string_view name, uint32_t type, std::string_view data) {
    if (name.size() > kMaxValueNameLength) return ERROR_FILENAME_EXCED_RANGE;
    if (data.size() > UINT32_MAX) return ERROR_INVALID_PARAMETER;
    RegOp op = RegOp::make(RegOp::SetValue, journalPath(key), std::u16string(name), type, std::string(data));
    op.oldModif = key->modif;
    op.oldRaw = key->rawValid;
    bool found;
    size_t pos = key->valuePosition(name, &found);
    if (found) {
        RegValue& v = key->values()[pos];
        if (v.type == type && v.data == data) return ERROR_SUCCESS;  // not a change
        op.hadValue = true;
        op.oldType = v.type;
        op.oldData = std::move(v.data);
        v.type = type;
        v.data.assign(data);
    } else {
        key->values().insert(key->values().begin() + static_cast<ptrdiff_t>(pos),
                           RegValue{std::u16string(name), type, std::string(data)});
    }
    touch(key);
    journal_.push_back(std::move(op));
    return ERROR_SUCCESS;
}

int RegFile::deleteValue(RegKey* key, std::u16string_view name) {
    bool found;
    size_t pos = key->valuePosition(name, &found);
    if (!found) return ERROR_FILE_NOT_FOUND;
    RegOp op = RegOp::make(RegOp::DeleteValue, journalPath(key), std::u16string(name));
    op.oldModif = key->modif;
    op.oldRaw = key->rawValid;
    op.hadValue = true;
    op.oldType = key->values()[pos].type;
    op.oldData = std::move(key->values()[pos].data);
    key->values().erase(key->values().begin() + static_cast<ptrdiff_t>(pos));
    touch(key);
    journal_.push_back(std::move(op));
    return ERROR_SUCCESS;
}

int RegFile::deleteKey(RegKey* key) {
    RegKey* parent = key->parent;
    if (!parent) return ERROR_ACCESS_DENIED;
    bool found;
    size_t pos = parent->subkeyPosition(key->name, &found);
    if (!found) return ERROR_KEY_DELETED;
    RegOp op = RegOp::make(RegOp::DeleteKey, journalPath(key));
    forgetJournalPath();
    op.oldModif = parent->modif;
    op.oldRaw = parent->rawValid;
    op.removed = std::shared_ptr<RegKey>(std::move(parent->subkeys[pos]));
    parent->subkeys.erase(parent->subkeys.begin() + static_cast<ptrdiff_t>(pos));
    touch(parent);
    journal_.push_back(std::move(op));
    return ERROR_SUCCESS;
}

void RegFile::rollbackTo(size_t mark) {
    if (journal_.size() > mark) forgetJournalPath();
    // The key of the value op taken back last: the values of one key are not looked up again.
    const std::u16string* lastText = nullptr;
    size_t lastLen = 0;
    RegKey* last = nullptr;
    while (journal_.size() > mark) {
        RegOp op = std::move(journal_.back());
        journal_.pop_back();
        if (op.kind == RegOp::MoveKey) {  // the ops after it are already taken back
            last = nullptr;
            continue;
        }
        // Every later change is already taken back, so the key the op touched is where it was.
        RegKey* k = nullptr;
        const bool keyOp = op.kind == RegOp::CreateKey || op.kind == RegOp::DeleteKey;
        std::u16string_view where = op.path();
        if (keyOp) {
            size_t cut = where.rfind(u'\\');
            where = cut == std::u16string_view::npos ? std::u16string_view() : where.substr(0, cut);
        }
        if (!keyOp && last && op.pathText.get() == lastText && op.pathLen == lastLen) k = last;
        else if (findKey(where, &k) != ERROR_SUCCESS) k = nullptr;
        last = keyOp ? nullptr : k;
        lastText = op.pathText.get(), lastLen = op.pathLen;
        if (!k) continue;
        switch (op.kind) {
        case RegOp::CreateKey: {
            const std::u16string_view path = op.path();
            size_t cut = path.rfind(u'\\');
            std::u16string_view leaf = cut == std::u16string::npos ? path : path.substr(cut + 1);
            bool found;
            size_t pos = k->subkeyPosition(leaf, &found);
            if (found) k->subkeys.erase(k->subkeys.begin() + static_cast<ptrdiff_t>(pos));
            break;
        }
        case RegOp::MoveKey: break;
        case RegOp::DeleteKey: {
            if (!op.removed) break;
            bool found;
            size_t pos = k->subkeyPosition(op.removed->name, &found);
            if (!found) k->subkeys.insert(k->subkeys.begin() + static_cast<ptrdiff_t>(pos), op.removed->clone(k));
            break;
        }
        case RegOp::SetValue:
        case RegOp::DeleteValue: {
            bool found;
            size_t pos = k->valuePosition(op.name, &found);
            auto& vals = k->values();
            if (op.hadValue) {
                if (found) {
                    vals[pos].type = op.oldType;
                    vals[pos].data = std::move(op.oldData);
                } else {
                    vals.insert(vals.begin() + static_cast<ptrdiff_t>(pos),
                                RegValue{std::move(op.name), op.oldType, std::move(op.oldData)});
                }
            } else if (found) {
                vals.erase(vals.begin() + static_cast<ptrdiff_t>(pos));
            }
            break;
        }
        }
        k->modif = op.oldModif;
        k->rawValid = op.oldRaw;
    }
}

int RegFile::moveKey(std::u16string_view from, std::u16string_view to) {
    RegKey* src;
    if (int st = findKey(from, &src)) return st;
    if (!src->parent) return ERROR_ACCESS_DENIED;
    // Take the whole source first, level by level without recursion.
    struct Node {
        std::u16string rel;
        std::vector<RegValue> values;
    };
    std::vector<Node> nodes;
    std::vector<std::pair<const RegKey*, std::u16string>> todo{{src, {}}};
    while (!todo.empty()) {
        auto [k, rel] = std::move(todo.back());
        todo.pop_back();
        nodes.push_back({rel, k->values()});
        for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it)
            todo.emplace_back(it->get(), rel.empty() ? (*it)->name : rel + u"\\" + (*it)->name);
    }
    const size_t mark = journal_.size();
    journal_.push_back(RegOp::make(RegOp::MoveKey, journalPath(src)));
    RegKey* dst;
    int st = createKey(to, &dst);
    for (const RegKey* a = dst; st == ERROR_SUCCESS && a; a = a->parent)
        if (a == src) st = ERROR_INVALID_PARAMETER;
    if (st == ERROR_SUCCESS) journal_[mark].name = dst->path();
    const std::u16string dstPath = st == ERROR_SUCCESS ? dst->path() : std::u16string();
    for (size_t i = 0; st == ERROR_SUCCESS && i < nodes.size(); ++i) {
        RegKey* d = dst;
        if (!nodes[i].rel.empty()) st = createKey(dstPath + u"\\" + nodes[i].rel, &d);
        for (size_t v = 0; st == ERROR_SUCCESS && v < nodes[i].values.size(); ++v) {
            const RegValue& val = nodes[i].values[v];
            st = setValue(d, val.name, val.type, val.data);
        }
    }
    if (st == ERROR_SUCCESS) st = deleteKey(src);
    if (st != ERROR_SUCCESS) {
        rollbackTo(mark);
        return st;
    }
    journal_[mark].type = static_cast<uint32_t>(journal_.size() - mark - 1);
    return ERROR_SUCCESS;
}

void RegFile::replay(const RegJournal& ops) {
    // The key of the value op before, when the op after it names the same one.
    RegKey* last = nullptr;
    for (size_t i = 0; i < ops.size(); ++i) {
        const RegOp& op = ops[i];
        const bool sameKey = last && i > 0 && ops[i - 1].pathText == op.pathText && ops[i - 1].pathLen == op.pathLen;
        RegKey* k = sameKey ? last : nullptr;
        last = nullptr;
        switch (op.kind) {
        case RegOp::MoveKey:
            // Move the key as this copy holds it, values others added included. A source that is
            // gone here is not moved; the recorded copy then still gives the destination.
            if (findKey(op.path(), &k) == ERROR_SUCCESS && moveKey(op.path(), op.name) == ERROR_SUCCESS)
                i += op.type;
            break;
        case RegOp::CreateKey:
            createKey(op.path(), &k, op.link);
            break;
        case RegOp::SetValue:
            if (k || createKey(op.path(), &k) == ERROR_SUCCESS) {
                setValue(k, op.name, op.type, op.data);
                last = k;
            }
            break;
        case RegOp::DeleteValue:
            if (k || findKey(op.path(), &k) == ERROR_SUCCESS) {
                deleteValue(k, op.name);
                last = k;
            }
            break;
        case RegOp::DeleteKey:
            if (findKey(op.path(), &k) == ERROR_SUCCESS) deleteKey(k);
            break;
        }
    }
}

}  // namespace qv::reg
