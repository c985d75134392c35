// HKEY_CLASSES_ROOT's merged keys and the placing of its paths in a Windows machine's trees.
#include "registry/machines/classes.h"

#include <algorithm>
#include <tuple>

#include "registry/text.h"
#include "registry/windows/hiveutil.h"
#include "registry/windows/installation.h"
#include "registry/wine/winefile.h"

namespace qv::reg {

using namespace hive;

namespace {

// Names of two lists in the store's order, each once: the user's spelling where both have one.
std::vector<std::u16string> namesOfBoth(size_t nu, const std::function<std::u16string(size_t)>& user, size_t nm,
                                        const std::function<std::u16string(size_t)>& machine) {
    std::vector<std::u16string> out;
    out.reserve(nu + nm);
    for (size_t i = 0, j = 0; i < nu || j < nm;) {
        const int c = i == nu ? 1 : j == nm ? -1 : compareNames(user(i), machine(j));
        out.push_back(c <= 0 ? user(i++) : machine(j++));
        if (c == 0) ++j;
    }
    return out;
}

}  // namespace

// ---- merged keys ---------------------------------------------------------------------------

void MergedKey::listKeys() {
    keys = namesOfBoth(user->subkeys.size(), [&](size_t i) { return user->subkeys.nameAt(i); },
                       machine->subkeys.size(), [&](size_t i) { return machine->subkeys.nameAt(i); });
}

void MergedKey::listValues() {
    const std::vector<RegValue>& u = user->values();
    const std::vector<RegValue>& m = machine->values();
    values = namesOfBoth(u.size(), [&](size_t i) { return u[i].name; }, m.size(), [&](size_t i) { return m[i].name; });
}

const RegValue* MergedKey::value(std::u16string_view n) const {
    const RegValue* v = user->value(n);
    return v ? v : machine->value(n);
}

int32_t MergedKey::queryValue(std::string_view name, uint32_t* type, std::string* data) const {
    const RegValue* v = value(utf8ToUtf16(name));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    if (data) *data = v->data;
    return ERROR_SUCCESS;
}

int32_t MergedKey::enumKey(uint32_t index, std::string* name) {
    if (index == 0 || keys.empty()) listKeys();
    if (index >= keys.size()) return ERROR_NO_MORE_ITEMS;
    if (name) *name = utf16ToUtf8(keys[index]);
    return ERROR_SUCCESS;
}

int32_t MergedKey::enumValue(uint32_t index, std::string* name, uint32_t* type, std::string* data) {
    if (index == 0 || values.empty()) listValues();
    const RegValue* v = index < values.size() ? value(values[index]) : nullptr;
    if (!v) return ERROR_NO_MORE_ITEMS;
    if (name) *name = utf16ToUtf8(v->name);
    if (type) *type = v->type;
    if (data) *data = v->data;
    return ERROR_SUCCESS;
}

int32_t MergedKey::queryInfoKey(KeyInfo* info) {
    listKeys();
    listValues();
    KeyInfo r;
    r.subkeys = static_cast<uint32_t>(keys.size());
    r.values = static_cast<uint32_t>(values.size());
    for (const std::u16string& n : keys) r.maxSubkeyNameLength = std::max<uint32_t>(r.maxSubkeyNameLength, static_cast<uint32_t>(n.size()));
    for (const std::u16string& n : values) {
        r.maxValueNameLength = std::max<uint32_t>(r.maxValueNameLength, static_cast<uint32_t>(n.size()));
        r.maxValueDataLength = std::max<uint32_t>(r.maxValueDataLength, static_cast<uint32_t>(value(n)->data.size()));
    }
    *info = r;
    return ERROR_SUCCESS;
}

// ---- paths ---------------------------------------------------------------------------------

std::string ClassesView::mapSystem(std::string_view path) const {
    std::vector<std::string> parts = components(path, '\\');
    if (parts.size() >= 2 && sameAscii(parts[0], "System") && sameAscii(parts[1], "CurrentControlSet")) {
        parts[1] = controlSetName(currentControlSet_);
        return join(parts);
    }
    return std::string(path);
}

ClassPlace ClassesView::place(std::string_view path) const {
    ClassPlace p{classesRoot_(true), classesRoot_(false)};
    for (const std::string& c : components(path, '\\')) {
        const std::u16string n = utf8ToUtf16(c);
        p = {p.user ? p.user->subkey(n) : nullptr, p.machine ? p.machine->subkey(n) : nullptr};
        if (!p.found()) return {};
    }
    return p;
}

HKey ClassesView::handleFor(const ClassPlace& p) {
    if (!p.user || !p.machine) return p.user ? static_cast<HKey>(p.user) : static_cast<HKey>(p.machine);
    auto m = std::make_unique<MergedKey>();
    m->user = p.user;
    m->machine = p.machine;
    HKey h = m.get();
    merged_[h] = std::move(m);
    return h;
}

// Where an existing HKEY_CLASSES_ROOT key lives: the machine's classes, the user's, or both.
std::vector<ClassesView::Target> ClassesView::existingTargets(std::string_view path) const {
    const ClassPlace p = place(path);
    std::vector<Target> out;
    if (p.machine) out.push_back({HKEY_LOCAL_MACHINE, utf16ToUtf8(p.machine->path())});
    if (p.user) out.push_back({HKEY_CURRENT_USER, utf16ToUtf8(p.user->path())});
    return out;
}

// A path below the Classes key of HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER. Keys made through
// HKEY_CLASSES_ROOT go to the machine's, as Windows makes them, all the way down (below a key
// only the user has too).
ClassesView::Target ClassesView::classesKey(int32_t root, std::string_view path) {
    const std::string rest = join(components(path, '\\'));
    return {root, rest.empty() ? std::string("Software\\Classes") : "Software\\Classes\\" + rest};
}

// A value set through HKEY_CLASSES_ROOT goes to the user's key where the user's classes hold the
// key, as Windows writes it, and to the machine's otherwise.
ClassesView::Target ClassesView::valueTarget(std::string_view path) const {
    const ClassPlace p = place(path);
    if (p.user) return {HKEY_CURRENT_USER, utf16ToUtf8(p.user->path())};
    return classesKey(HKEY_LOCAL_MACHINE, path);
}

// The keys a copy or move takes: both Classes keys' for HKEY_CLASSES_ROOT, the machine's first so
// that the user's win where both hold a value.
std::vector<ClassesView::Target> ClassesView::sourcesOf(int32_t root, std::string_view path) const {
    if (root == HKEY_CLASSES_ROOT) return existingTargets(path);
    return {{root, mapped(root, path)}};
}

// Where a copy lands whole; HKEY_CLASSES_ROOT only when the user's classes do not hold it.
ClassesView::Target ClassesView::destinationOf(int32_t root, std::string_view path) const {
    if (root == HKEY_CLASSES_ROOT) return classesKey(HKEY_LOCAL_MACHINE, path);
    return {root, mapped(root, path)};
}

// ---- copies --------------------------------------------------------------------------------

int32_t copyKeyByKey(RegistryApi& api, int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                     std::string_view dstPath) {
    struct Node {
        std::string rel;
        std::vector<std::tuple<std::string, uint32_t, std::string>> values;
    };
    auto below = [](std::string_view base, const std::string& rel) {
        std::vector<std::string> parts = components(base, '\\');
        if (!rel.empty()) parts.push_back(rel);
        return join(parts);
    };
    std::vector<Node> nodes;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        Node n{std::move(pending.back()), {}};
        pending.pop_back();
        HKey k;
        if (int32_t st = api.openKey(srcRoot, below(srcPath, n.rel), &k)) return st;
        std::string name, data;
        uint32_t type = 0;
        for (uint32_t i = 0; api.enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i) n.values.emplace_back(name, type, data);
        for (uint32_t i = 0; api.enumKey(k, i, &name) == ERROR_SUCCESS; ++i) pending.push_back(below(n.rel, name));
        api.closeKey(k);
        nodes.push_back(std::move(n));
    }
    for (const Node& n : nodes) {
        HKey k;
        int32_t st = api.createKey(dstRoot, below(dstPath, n.rel), &k);
        if (st == ERROR_SUCCESS) {
            for (const auto& [name, type, data] : n.values)
                if (st == ERROR_SUCCESS) st = api.setValue(k, name, type, data);
            api.closeKey(k);
        }
        if (st != ERROR_SUCCESS) return st;
    }
    return ERROR_SUCCESS;
}

}  // namespace qv::reg
