// quorvel-reg's query, add and delete: the listings and the changes of one key or value.
#include <unordered_set>

#include "registry/cli/tool.h"
#include "registry/text.h"

namespace qv::reg::cli {

namespace {

void valueLine(Run& s, std::string_view name, uint32_t type, std::string_view data) {
    s.io.out << "    " << (name.empty() ? std::string_view("(Default)") : name) << "    "
             << typeName(type) << "    " << formatData(type, data) << '\n';
}

void listValues(Run& s, HKey k) {
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; s.machine().enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        valueLine(s, name, type, data);
}

void listTree(Run& s, const Place& at, const std::string& shown) {
    s.keys().walkTree(at, shown, true, [&](const Place& p, const std::string& sh) {
        HKey c;
        if (s.machine().openKey(p.root, p.path, &c) != ERROR_SUCCESS) return false;
        s.io.out << sh << '\n';
        listValues(s, c);
        s.io.out << '\n';
        s.machine().closeKey(c);
        return true;
    });
}

size_t searchTree(Run& s, const Place& at, const std::string& shown, const std::string& name) {
    size_t found = 0;
    auto search = [&](const Place& p, const std::string& sh) {
        HKey k;
        if (s.machine().openKey(p.root, p.path, &k) != ERROR_SUCCESS) return false;
        uint32_t type = 0;
        std::string data;
        if (s.machine().queryValue(k, name, &type, &data) == ERROR_SUCCESS) {
            s.io.out << sh << '\n';
            valueLine(s, name, type, data);
            s.io.out << '\n';
            ++found;
        }
        s.machine().closeKey(k);
        return true;
    };
    if (search(at, shown)) s.keys().walkTree(at, shown, false, search);
    return found;
}

}  // namespace

int queryKey(Run& s, const KeyArg& key, const Options& o) {
    if (key.leadingEmpty) return s.fail(kKeyNotFound);
    if (!s.openMachine()) return 1;
    if (s.machine().kind() == Machine::Kind::WinePrefix && s.machine().wineserverRunning())
        s.io.err << "quorvel-reg: note: the wineserver of this prefix is running; the files may "
                    "not hold its latest changes yet\n";
    // A root itself is listed as it is, whatever the view (Wine lists HKCR's 64-bit classes).
    const std::optional<Place> found =
        key.path.empty() ? Place{key.root->handle, {}} : s.keys().existingKey(key);
    HKey k;
    if (!found || s.machine().openKey(found->root, found->path, &k) != ERROR_SUCCESS)
        return s.fail(kKeyNotFound);
    const Place& at = *found;

    const bool byName = o.valueName || o.defaultValue;
    const std::string name = o.valueName ? *o.valueName : std::string();
    s.io.out << '\n';
    if (byName && o.recurse) {
        s.machine().closeKey(k);
        const size_t n = searchTree(s, at, key.shown, name);
        s.io.out << "Search complete. Number of matches found: " << n << '\n';
        return 0;
    }
    if (byName) {
        uint32_t type = 0;
        std::string data;
        const bool present = s.machine().queryValue(k, name, &type, &data) == ERROR_SUCCESS;
        s.machine().closeKey(k);
        if (!present && !name.empty()) return s.fail(kValueNotFound);
        s.io.out << key.shown << '\n';
        if (!present) {
            s.io.out << "    (Default)    REG_SZ    (value not set)\n";
            return 0;
        }
        valueLine(s, name, type, data);
        s.io.out << '\n';
        return 0;
    }
    KeyInfo info;
    if (s.machine().queryInfoKey(k, &info) == ERROR_SUCCESS && info.values > 0) {
        s.io.out << key.shown << '\n';
        listValues(s, k);
        s.io.out << '\n';
    }
    if (o.recurse) {
        s.machine().closeKey(k);
        listTree(s, at, key.shown);
        return 0;
    }
    for (const std::string& sub : s.keys().subkeyNames(k)) s.io.out << key.shown << '\\' << sub << '\n';
    s.machine().closeKey(k);
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

int addValue(Run& s, const KeyArg& key, const Options& o) {
    uint32_t type = REG_SZ;
    if (o.type) {
        bool known = false;
        for (const TypeName& t : kAddTypes) {
            if (equalsNoCase(*o.type, t.name)) {
                type = t.type;
                known = true;
            }
        }
        if (!known) return s.fail("reg: Unsupported registry data type [" + *o.type + "]");
    }
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && !o.data) return s.fail(kBadParameters);
    if (key.leadingEmpty) return s.fail(kCannotCreate);
    DataError dataError;
    const std::optional<std::string> bytes =
        parseData(type, o.data, o.separator ? std::string_view(*o.separator) : "\\0", &dataError);
    if (!bytes) return s.fail(dataError.message);
    const std::string name = o.valueName ? *o.valueName : std::string();
    if (auto msg = refusedName(key.path, &name)) return s.fail(*msg);

    if (!s.openMachine()) return 1;
    if (s.wineserverStops()) return 1;
    bool exists;
    const std::optional<Place> found = s.keys().resolveFromRoot(key.root->handle, key.path, true, &exists);
    if (!found) return s.fail(kCannotCreate);
    const Place& at = *found;
    HKey k;
    if (!o.force && exists && s.machine().openKey(at.root, at.path, &k) == ERROR_SUCCESS) {
        const bool present = s.machine().queryValue(k, name, nullptr, nullptr) == ERROR_SUCCESS;
        s.machine().closeKey(k);
        if (present) {
            const Answer a = s.ask("The registry value '" + (name.empty() ? std::string("(Default)") : name) +
                                   "' already exists. Do you want to overwrite it?");
            if (a != Answer::Yes) return s.cancelled(a);
        }
    }
    if (s.machine().createKey(at.root, at.path, &k) != ERROR_SUCCESS) return s.fail(kCannotCreate);
    const int32_t st = s.machine().setValue(k, name, type, *bytes);
    s.machine().closeKey(k);
    if (st != ERROR_SUCCESS) return s.fail("reg: " + statusText(st));
    if (!s.commit()) return 1;
    s.io.out << kOk << '\n';
    return 0;
}

int deleteKey(Run& s, const KeyArg& key, const Options& o) {
    if (key.leadingEmpty) return s.fail(kCannotCreate);
    const bool wholeKey = !o.valueName && !o.defaultValue && !o.allValues;
    if (wholeKey && key.path.empty())
        return s.fail("reg: " + key.shown + " is a root key and cannot be deleted");
    if (!s.openMachine()) return 1;
    if (s.wineserverStops()) return 1;
    const std::string name = o.valueName ? *o.valueName : std::string();
    if (!o.force) {
        std::string q;
        if (wholeKey) q = "Are you sure you want to delete the registry key '" + key.shown + "'?";
        else if (o.allValues) q = "Are you sure you want to delete all registry values in '" + key.shown + "'?";
        else q = "Are you sure you want to delete the registry value '" +
                 (name.empty() ? std::string("(Default)") : name) + "'?";
        const Answer a = s.ask(q);
        if (a != Answer::Yes) return s.cancelled(a);
    }
    // Deleting a link key removes the link, not what it points to.
    bool exists;
    const std::optional<Place> found =
        s.keys().resolveFromRoot(key.root->handle, key.path, !wholeKey, &exists);
    HKey k;
    if (!found || !exists || s.machine().openKey(found->root, found->path, &k) != ERROR_SUCCESS)
        return s.fail(kKeyNotFound);
    const Place& at = *found;
    if (wholeKey) {
        s.machine().closeKey(k);
        if (at.path.empty()) return s.fail("reg: " + key.shown + " is a root key and cannot be deleted");
        const int32_t st = s.machine().deleteKey(at.root, at.path);
        if (st == ERROR_FILE_NOT_FOUND) return s.fail(kKeyNotFound);
        if (st != ERROR_SUCCESS) return s.fail("reg: " + statusText(st));
    } else if (o.allValues) {
        std::vector<std::string> names;
        std::string n, data;
        uint32_t type = 0;
        for (uint32_t i = 0; s.machine().enumValue(k, i, &n, &type, &data) == ERROR_SUCCESS; ++i)
            names.push_back(n);
        for (const std::string& v : names) s.machine().deleteValue(k, v);
        s.machine().closeKey(k);
    } else {
        const int32_t st = s.machine().deleteValue(k, name);
        s.machine().closeKey(k);
        if (st == ERROR_FILE_NOT_FOUND) return s.fail(kValueNotFound);
        if (st != ERROR_SUCCESS) return s.fail("reg: " + statusText(st));
    }
    if (!s.commit()) return 1;
    s.io.out << kOk << '\n';
    return 0;
}


}  // namespace qv::reg::cli
