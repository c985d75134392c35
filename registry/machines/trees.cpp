// The registry API's key operations on a machine's two trees.
#include "registry/machines/trees.h"

#include <algorithm>
#include <utility>

#include "registry/text.h"

namespace qv::reg {

namespace {

RegKey* keyOf(HKey h) { return const_cast<RegKey*>(static_cast<const RegKey*>(h)); }

const RegKey* rootOf(const RegKey* k) {
    while (k->parent) k = k->parent;
    return k;
}

}  // namespace

void flatten(const RegKey& top, const std::u16string& topRel, std::vector<StoredKey>* out) {
    std::vector<std::pair<const RegKey*, std::u16string>> pending;
    pending.emplace_back(&top, topRel);
    while (!pending.empty()) {
        auto [k, rel] = std::move(pending.back());
        pending.pop_back();
        for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it)
            pending.emplace_back(it->get(), rel.empty() ? (*it)->name : rel + u"\\" + (*it)->name);
        StoredKey sk;
        sk.path = std::move(rel);
        sk.link = k->link;
        for (const RegValue& v : k->values()) sk.values.push_back({v.name, v.type, v.data});
        out->push_back(std::move(sk));
    }
}

MachineFile& Trees::fileOf(const RegKey* key) { return rootOf(key) == &system.tree->root() ? system : user; }

MachineFile* Trees::fileFor(int32_t root) {
    switch (root) {
    case HKEY_CLASSES_ROOT:
    case HKEY_LOCAL_MACHINE: return &system;
    case HKEY_CURRENT_USER: return &user;
    default: return nullptr;
    }
}

int32_t Trees::resolve(int32_t root, std::string_view path, MachineFile** file, std::u16string* full) {
    *file = fileFor(root);
    if (!*file) return ERROR_INVALID_HANDLE;
    full->clear();
    if (root == HKEY_CLASSES_ROOT) {
        *full = kClassesPrefix;
        full->push_back(u'\\');
    }
    *full += utf8ToUtf16(path);
    return ERROR_SUCCESS;
}

int32_t Trees::openKey(int32_t root, std::string_view path, HKey* out) {
    MachineFile* f;
    RegKey* k;
    if (root != HKEY_CLASSES_ROOT) {
        // Looked up in UTF-8 from the root, with no path built.
        if (!(f = fileFor(root))) return ERROR_INVALID_HANDLE;
        if (int st = f->tree->findKey(&f->tree->root(), path, &k)) return st;
        *out = k;
        return ERROR_SUCCESS;
    }
    std::u16string full;
    if (int32_t st = resolve(root, path, &f, &full)) return st;
    if (int st = f->tree->findKey(full, &k)) return st;
    *out = k;
    return ERROR_SUCCESS;
}

int32_t Trees::createKey(int32_t root, std::string_view path, HKey* out) {
    MachineFile* f;
    std::u16string full;
    if (int32_t st = resolve(root, path, &f, &full)) return st;
    RegKey* k;
    if (int st = f->tree->createKey(full, &k)) return st;
    *out = k;
    return ERROR_SUCCESS;
}

int32_t Trees::openSubkey(HKey parent, std::string_view path, HKey* out) {
    if (!parent) return ERROR_INVALID_HANDLE;
    RegKey* k;
    if (int st = RegFile::findKey(keyOf(parent), path, &k)) return st;
    *out = k;
    return ERROR_SUCCESS;
}

int32_t Trees::queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegValue* v = keyOf(key)->value(utf8ToUtf16(name));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    if (data) *data = v->data;
    return ERROR_SUCCESS;
}

int32_t Trees::setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) {
    if (!key) return ERROR_INVALID_HANDLE;
    RegKey* k = keyOf(key);
    return fileOf(k).tree->setValue(k, utf8ToUtf16(name), type, data);
}

int32_t Trees::deleteValue(HKey key, std::string_view name) {
    if (!key) return ERROR_INVALID_HANDLE;
    RegKey* k = keyOf(key);
    return fileOf(k).tree->deleteValue(k, utf8ToUtf16(name));
}

int32_t Trees::deleteKey(int32_t root, std::string_view path) {
    // A root (HKEY_CLASSES_ROOT included) is not a key one can delete.
    if (path.find_first_not_of('\\') == std::string_view::npos) return ERROR_ACCESS_DENIED;
    MachineFile* f;
    std::u16string full;
    if (int32_t st = resolve(root, path, &f, &full)) return st;
    RegKey* k;
    if (int st = f->tree->findKey(full, &k)) return st;
    return f->tree->deleteKey(k);
}

int32_t Trees::enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type, std::string* data) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegKey* k = keyOf(key);
    if (index >= k->values().size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = k->values()[index];
    if (name) *name = utf16ToUtf8(v.name);
    if (type) *type = v.type;
    if (data) *data = v.data;
    return ERROR_SUCCESS;
}

int32_t Trees::enumKey(HKey key, uint32_t index, std::string* name) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegKey* k = keyOf(key);
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    if (name) *name = utf16ToUtf8(k->subkeys.nameAt(index));
    return ERROR_SUCCESS;
}

int32_t Trees::queryInfoKey(HKey key, KeyInfo* info) {
    if (!key) return ERROR_INVALID_HANDLE;
    const RegKey* k = keyOf(key);
    KeyInfo r;
    r.subkeys = static_cast<uint32_t>(k->subkeys.size());
    r.values = static_cast<uint32_t>(k->values().size());
    for (size_t i = 0; i < r.subkeys; ++i)
        r.maxSubkeyNameLength = std::max<uint32_t>(r.maxSubkeyNameLength, static_cast<uint32_t>(k->subkeys.nameAt(i).size()));
    for (const auto& v : k->values()) {
        r.maxValueNameLength = std::max<uint32_t>(r.maxValueNameLength, static_cast<uint32_t>(v.name.size()));
        r.maxValueDataLength = std::max<uint32_t>(r.maxValueDataLength, static_cast<uint32_t>(v.data.size()));
    }
    *info = r;
    return ERROR_SUCCESS;
}

int32_t Trees::copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot, std::string_view dstPath) {
    MachineFile* sf;
    std::u16string sfull;
    if (int32_t st = resolve(srcRoot, srcPath, &sf, &sfull)) return st;
    RegKey* src;
    if (int st = sf->tree->findKey(sfull, &src)) return st;
    MachineFile* df;
    std::u16string dfull;
    if (int32_t st = resolve(dstRoot, dstPath, &df, &dfull)) return st;

    // Take the whole source first: the destination may lie inside it.
    std::vector<StoredKey> nodes;
    flatten(*src, {}, &nodes);
    for (const StoredKey& n : nodes) {
        RegKey* d;
        std::u16string path = n.path.empty() ? dfull : dfull + u"\\" + n.path;
        if (int st = df->tree->createKey(path, &d)) return st;
        for (const StoredValue& v : n.values) {
            if (int st = df->tree->setValue(d, v.name, v.type, v.data)) return st;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace qv::reg
