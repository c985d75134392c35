// quorvel-reg's query, add and delete: the listings and the changes of one key or value.
#include <unordered_set>

#include "registry/cli/tool.h"
#include "registry/text.h"

namespace qv::reg::cli {

void Tool::valueLine(std::string_view name, uint32_t type, std::string_view data) {
    io_.out << "    " << (name.empty() ? std::string_view("(Default)") : name) << "    "
            << typeName(type) << "    " << formatData(type, data) << '\n';
}

void Tool::listValues(HKey k) {
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; machine_->enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        valueLine(name, type, data);
}

std::vector<std::string> Tool::subkeyNames(HKey k) {
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; machine_->enumKey(k, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
}

// Every key below `at`: its name, its values and a blank line, depth first.
void Tool::walkTree(const Place& at, const std::string& shown, bool linkBacks,
                    const std::function<bool(const Place&, const std::string&)>& visit) {
    struct Frame {
        Place place;
        std::string shown, id;
        std::vector<std::string> subs;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    std::unordered_set<std::string> onPath;
    auto enterKey = [&](const Place& p, const std::string& sh, std::string id) {
        HKey k;
        std::vector<std::string> subs;
        if (machine_->openKey(p.root, p.path, &k) == ERROR_SUCCESS) {
            subs = subkeyNames(k);
            machine_->closeKey(k);
        }
        onPath.insert(id);
        stack.push_back(Frame{p, sh, std::move(id), std::move(subs), 0});
    };
    enterKey(at, shown, identity(at));
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.subs.size()) {
            onPath.erase(f.id);
            stack.pop_back();
            continue;
        }
        const std::string& name = f.subs[f.next++];
        const std::optional<Place> child = enter(f.place, name);
        if (!child) continue;
        std::string sh = f.shown + '\\' + name;
        std::string id = identity(*child);
        const bool linkBack = onPath.count(id) > 0;
        if (linkBack && !linkBacks) continue;
        if (visit(*child, sh) && !linkBack) enterKey(*child, sh, std::move(id));
    }
}

void Tool::listTree(const Place& at, const std::string& shown) {
    walkTree(at, shown, true, [&](const Place& p, const std::string& sh) {
        HKey c;
        if (machine_->openKey(p.root, p.path, &c) != ERROR_SUCCESS) return false;
        io_.out << sh << '\n';
        listValues(c);
        io_.out << '\n';
        machine_->closeKey(c);
        return true;
    });
}

size_t Tool::searchTree(const Place& at, const std::string& shown, const std::string& name) {
    size_t found = 0;
    auto search = [&](const Place& p, const std::string& sh) {
        HKey k;
        if (machine_->openKey(p.root, p.path, &k) != ERROR_SUCCESS) return false;
        uint32_t type = 0;
        std::string data;
        if (machine_->queryValue(k, name, &type, &data) == ERROR_SUCCESS) {
            io_.out << sh << '\n';
            valueLine(name, type, data);
            io_.out << '\n';
            ++found;
        }
        machine_->closeKey(k);
        return true;
    };
    if (search(at, shown)) walkTree(at, shown, false, search);
    return found;
}

int Tool::query(const KeyArg& key, const Options& o) {
    if (key.leadingEmpty) return fail(kKeyNotFound);
    if (!openMachine()) return 1;
    if (machine_->kind() == Machine::Kind::WinePrefix && machine_->wineserverRunning())
        io_.err << "quorvel-reg: note: the wineserver of this prefix is running; the files may "
                   "not hold its latest changes yet\n";
    // A root itself is listed as it is, whatever the view (Wine lists HKCR's 64-bit classes).
    const std::optional<Place> found = key.path.empty() ? Place{key.root->handle, {}} : existingKey(key);
    HKey k;
    if (!found || machine_->openKey(found->root, found->path, &k) != ERROR_SUCCESS) return fail(kKeyNotFound);
    const Place& at = *found;

    const bool byName = o.valueName || o.defaultValue;
    const std::string name = o.valueName ? *o.valueName : std::string();
    io_.out << '\n';
    if (byName && o.recurse) {
        machine_->closeKey(k);
        const size_t n = searchTree(at, key.shown, name);
        io_.out << "Search complete. Number of matches found: " << n << '\n';
        return 0;
    }
    if (byName) {
        uint32_t type = 0;
        std::string data;
        const bool present = machine_->queryValue(k, name, &type, &data) == ERROR_SUCCESS;
        machine_->closeKey(k);
        if (!present && !name.empty()) return fail(kValueNotFound);
        io_.out << key.shown << '\n';
        if (!present) {
            io_.out << "    (Default)    REG_SZ    (value not set)\n";
            return 0;
        }
        valueLine(name, type, data);
        io_.out << '\n';
        return 0;
    }
    KeyInfo info;
    if (machine_->queryInfoKey(k, &info) == ERROR_SUCCESS && info.values > 0) {
        io_.out << key.shown << '\n';
        listValues(k);
        io_.out << '\n';
    }
    if (o.recurse) {
        machine_->closeKey(k);
        listTree(at, key.shown);
        return 0;
    }
    for (const std::string& s : subkeyNames(k)) io_.out << key.shown << '\\' << s << '\n';
    machine_->closeKey(k);
    return 0;
}

// A key path's component or a value name the store would refuse, or a key to be made deeper
// than Windows allows, told before anything is done.
std::optional<std::string> refusedName(const std::string& path, const std::string* valueName, bool making) {
    for (const std::string& c : components(path)) {
        if (utf8ToUtf16(c).size() > kMaxKeyNameLength)
            return "reg: A key name is longer than " + std::to_string(kMaxKeyNameLength) +
                   " characters";
    }
    if (making && keyDepth(path) > kMaxKeyDepth)
        return "reg: The key is deeper than the " + std::to_string(kMaxKeyDepth) + " levels Windows allows";
    if (valueName && utf8ToUtf16(*valueName).size() > kMaxValueNameLength)
        return "reg: The value name is longer than " + std::to_string(kMaxValueNameLength) +
               " characters";
    return std::nullopt;
}

int Tool::add(const KeyArg& key, const Options& o) {
    uint32_t type = REG_SZ;
    if (o.type) {
        bool known = false;
        for (const TypeName& t : kAddTypes) {
            if (equalsNoCase(*o.type, t.name)) {
                type = t.type;
                known = true;
            }
        }
        if (!known) return fail("reg: Unsupported registry data type [" + *o.type + "]");
    }
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && !o.data) return fail(kBadParameters);
    if (key.leadingEmpty) return fail(kCannotCreate);
    DataError dataError;
    const std::optional<std::string> bytes =
        parseData(type, o.data, o.separator ? std::string_view(*o.separator) : "\\0", &dataError);
    if (!bytes) return fail(dataError.message);
    const std::string name = o.valueName ? *o.valueName : std::string();
    if (auto msg = refusedName(key.path, &name)) return fail(*msg);

    if (!openMachine()) return 1;
    if (wineserverStops()) return 1;
    bool exists;
    const std::optional<Place> found = resolveFromRoot(key.root->handle, key.path, true, &exists);
    if (!found) return fail(kCannotCreate);
    const Place& at = *found;
    HKey k;
    if (!o.force && exists && machine_->openKey(at.root, at.path, &k) == ERROR_SUCCESS) {
        const bool present = machine_->queryValue(k, name, nullptr, nullptr) == ERROR_SUCCESS;
        machine_->closeKey(k);
        if (present) {
            const Answer a = ask("The registry value '" + (name.empty() ? std::string("(Default)") : name) +
                                 "' already exists. Do you want to overwrite it?");
            if (a != Answer::Yes) return cancelled(a);
        }
    }
    if (machine_->createKey(at.root, at.path, &k) != ERROR_SUCCESS) return fail(kCannotCreate);
    const int32_t st = machine_->setValue(k, name, type, *bytes);
    machine_->closeKey(k);
    if (st != ERROR_SUCCESS) return fail("reg: " + statusText(st));
    if (!commit()) return 1;
    io_.out << kOk << '\n';
    return 0;
}

int Tool::remove(const KeyArg& key, const Options& o) {
    if (key.leadingEmpty) return fail(kCannotCreate);
    const bool wholeKey = !o.valueName && !o.defaultValue && !o.allValues;
    if (wholeKey && key.path.empty())
        return fail("reg: " + key.shown + " is a root key and cannot be deleted");
    if (!openMachine()) return 1;
    if (wineserverStops()) return 1;
    const std::string name = o.valueName ? *o.valueName : std::string();
    if (!o.force) {
        std::string q;
        if (wholeKey) q = "Are you sure you want to delete the registry key '" + key.shown + "'?";
        else if (o.allValues) q = "Are you sure you want to delete all registry values in '" + key.shown + "'?";
        else q = "Are you sure you want to delete the registry value '" +
                 (name.empty() ? std::string("(Default)") : name) + "'?";
        const Answer a = ask(q);
        if (a != Answer::Yes) return cancelled(a);
    }
    // Deleting a link key removes the link, not what it points to.
    bool exists;
    const std::optional<Place> found = resolveFromRoot(key.root->handle, key.path, !wholeKey, &exists);
    HKey k;
    if (!found || !exists || machine_->openKey(found->root, found->path, &k) != ERROR_SUCCESS)
        return fail(kKeyNotFound);
    const Place& at = *found;
    if (wholeKey) {
        machine_->closeKey(k);
        if (at.path.empty()) return fail("reg: " + key.shown + " is a root key and cannot be deleted");
        const int32_t st = machine_->deleteKey(at.root, at.path);
        if (st == ERROR_FILE_NOT_FOUND) return fail(kKeyNotFound);
        if (st != ERROR_SUCCESS) return fail("reg: " + statusText(st));
    } else if (o.allValues) {
        std::vector<std::string> names;
        std::string n, data;
        uint32_t type = 0;
        for (uint32_t i = 0; machine_->enumValue(k, i, &n, &type, &data) == ERROR_SUCCESS; ++i)
            names.push_back(n);
        for (const std::string& v : names) machine_->deleteValue(k, v);
        machine_->closeKey(k);
    } else {
        const int32_t st = machine_->deleteValue(k, name);
        machine_->closeKey(k);
        if (st == ERROR_FILE_NOT_FOUND) return fail(kValueNotFound);
        if (st != ERROR_SUCCESS) return fail("reg: " + statusText(st));
    }
    if (!commit()) return 1;
    io_.out << kOk << '\n';
    return 0;
}


}  // namespace qv::reg::cli
