// FakeRegistry: an in-memory RegistryApi for tests of the accessor and of everything built on it.
//
// - Roots HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS; HKEY_CLASSES_ROOT is an alias of
//   HKLM\Software\Classes, as on Windows 95/98 and in Wine.
// - Names are case-insensitive and case-preserving (compared as the store does, text.h). Keys and
//   values are kept in the store's sorted order, or in insertion order when asked, so a test can
//   tell "in registry order" from "sorted".
// - Paths are "\"-separated; leading and trailing backslashes are ignored ("" and "\" name the
//   root); an empty component inside a path is ERROR_BAD_PATHNAME; a key-name component over 255
//   UTF-16 units or a value name over 16,383 is ERROR_FILENAME_EXCED_RANGE.
// - Data are raw bytes with a 32-bit type, kept exactly. Strings for seeding go in as UTF-8 and
//   are stored as UTF-16LE plus one NUL, as Windows stores them.
// - Every RegistryApi call is logged (kind, target, result). Open handles are counted, so a test
//   can check that every opened key was closed exactly once; a handle to a deleted key answers
//   ERROR_KEY_DELETED.
// - Failures can be injected: the Nth call of a kind from now on, every call of a kind, or only
//   calls on a given target (path for key calls, value name for value calls), either answering
//   a Windows error number or throwing std::bad_alloc.
// The seeding and inspection helpers (put..., get, hasKey...) are neither logged nor failed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/api.h"
#include "registry/text.h"

namespace qv::reg::test {

inline constexpr int32_t HKEY_USERS = static_cast<int32_t>(0x80000003u);

enum class Call {
    OpenKey, CreateKey, CloseKey, QueryValue, SetValue, DeleteValue, DeleteKey,
    EnumValue, EnumKey, QueryInfoKey, CopyKey,
};

inline const char* callName(Call c) {
    switch (c) {
    case Call::OpenKey: return "openKey";
    case Call::CreateKey: return "createKey";
    case Call::CloseKey: return "closeKey";
    case Call::QueryValue: return "queryValue";
    case Call::SetValue: return "setValue";
    case Call::DeleteValue: return "deleteValue";
    case Call::DeleteKey: return "deleteKey";
    case Call::EnumValue: return "enumValue";
    case Call::EnumKey: return "enumKey";
    case Call::QueryInfoKey: return "queryInfoKey";
    case Call::CopyKey: return "copyKey";
    }
    return "?";
}

// One logged call. target: the path (openKey, createKey, deleteKey, copyKey: the source path),
// the value name (queryValue, setValue, deleteValue), the index (enumValue, enumKey) or "".
struct CallRecord {
    Call call;
    std::string target;
    int32_t status;
};

// An injected failure.
struct Failure {
    Call call;
    int32_t status = ERROR_ACCESS_DENIED;
    int nth = 0;                 // 0: every matching call; n > 0: only the nth matching call from now
    std::optional<std::string> target;  // only calls on this target (compared without case)
    bool throwBadAlloc = false;  // throw std::bad_alloc instead of answering status
    bool perform = false;        // carry the call out first, then answer status (ERROR_MORE_DATA)
};

struct StoredValue {
    uint32_t type = REG_NONE;
    std::string data;
    bool operator==(const StoredValue&) const = default;
};

// Stored forms, for seeding and for comparing with what was written.
inline std::string sz(std::string_view utf8) {
    std::u16string units = utf8ToUtf16(utf8);
    units.push_back(u'\0');
    return utf16ToBytes(units);
}
inline std::string dword(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}
inline std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

class FakeRegistry : public RegistryApi {
public:
    enum class Order { Sorted, Insertion };

    explicit FakeRegistry(Order order = Order::Sorted) : order_(order) {
        for (int32_t root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS})
            roots_[root] = std::make_shared<Key>();
        addKey(HKEY_LOCAL_MACHINE, "Software\\Classes");
        setEnvironment("windir", "C:\\WINDOWS");
        setEnvironment("SystemRoot", "C:\\WINDOWS");
    }

    // ---- seeding and inspection ---------------------------------------------------------------

    void setOrder(Order order) { order_ = order; }

    void addKey(int32_t root, std::string_view path) {
        std::shared_ptr<Key> key;
        if (resolve(root, path, true, &key) != ERROR_SUCCESS) throw std::logic_error("bad seed key");
    }
    void put(int32_t root, std::string_view path, std::string_view name, uint32_t type,
             std::string_view data) {
        std::shared_ptr<Key> key;
        if (resolve(root, path, true, &key) != ERROR_SUCCESS) throw std::logic_error("bad seed key");
        store(*key, name, type, data);
    }
    void putString(int32_t root, std::string_view path, std::string_view name, std::string_view utf8,
                   uint32_t type = REG_SZ) {
        put(root, path, name, type, sz(utf8));
    }
    void putDword(int32_t root, std::string_view path, std::string_view name, uint32_t v) {
        put(root, path, name, REG_DWORD, dword(v));
    }

    bool hasKey(int32_t root, std::string_view path) const { return find(root, path) != nullptr; }
    std::optional<StoredValue> get(int32_t root, std::string_view path, std::string_view name) const {
        const Key* key = find(root, path);
        if (!key) return std::nullopt;
        const Value* v = findValue(*key, name);
        if (!v) return std::nullopt;
        return StoredValue{v->type, v->data};
    }
    bool hasValue(int32_t root, std::string_view path, std::string_view name) const {
        return get(root, path, name).has_value();
    }
    // Names in the store's order.
    std::vector<std::string> subkeyNames(int32_t root, std::string_view path) const {
        std::vector<std::string> out;
        if (const Key* key = find(root, path))
            for (const auto& k : key->subkeys) out.push_back(utf16ToUtf8(k->name));
        return out;
    }
    std::vector<std::string> valueNames(int32_t root, std::string_view path) const {
        std::vector<std::string> out;
        if (const Key* key = find(root, path))
            for (const auto& v : key->values) out.push_back(utf16ToUtf8(v.name));
        return out;
    }

    // The environment environmentVariable() serves; names compared without regard to case.
    void setEnvironment(std::string_view name, std::string_view value) {
        env_[utf8ToUtf16(name)] = std::string(value);
    }
    void unsetEnvironment(std::string_view name) { env_.erase(utf8ToUtf16(name)); }

    // ---- failure injection ----------------------------------------------------------------------

    void inject(Failure f) { failures_.push_back({std::move(f), 0}); }
    void failNth(Call call, int n, int32_t status = ERROR_ACCESS_DENIED) {
        inject({call, status, n, std::nullopt, false, false});
    }
    void failAlways(Call call, int32_t status = ERROR_ACCESS_DENIED) {
        inject({call, status, 0, std::nullopt, false, false});
    }
    void failOn(Call call, std::string_view target, int32_t status = ERROR_ACCESS_DENIED) {
        inject({call, status, 0, std::string(target), false, false});
    }
    void throwNth(Call call, int n) { inject({call, ERROR_SUCCESS, n, std::nullopt, true, false}); }
    void clearFailures() { failures_.clear(); }

    // ---- call log and handles -------------------------------------------------------------------

    const std::vector<CallRecord>& log() const { return log_; }
    std::vector<Call> calls() const {
        std::vector<Call> out;
        for (const auto& r : log_) out.push_back(r.call);
        return out;
    }
    int count(Call call) const {
        int n = 0;
        for (const auto& r : log_) n += r.call == call;
        return n;
    }
    void clearLog() { log_.clear(); }
    // Keys opened or created and not yet closed.
    size_t openHandles() const { return handles_.size(); }
    // closeKey calls with a handle that was not open (never opened, or closed already).
    int badCloses() const { return badCloses_; }

    // ---- RegistryApi ----------------------------------------------------------------------------

    int32_t openKey(int32_t root, std::string_view path, HKey* out) override {
        return record(Call::OpenKey, path, [&] { return openOrCreate(root, path, false, out); });
    }
    int32_t createKey(int32_t root, std::string_view path, HKey* out) override {
        return record(Call::CreateKey, path, [&] { return openOrCreate(root, path, true, out); });
    }
    void closeKey(HKey key) override {
        if (handles_.erase(key) == 0) ++badCloses_;
        log_.push_back({Call::CloseKey, "", ERROR_SUCCESS});
    }
    int32_t queryValue(HKey h, std::string_view name, uint32_t* type, std::string* data) override {
        return record(Call::QueryValue, name, [&] {
            std::shared_ptr<Key> key;
            if (int32_t st = byHandle(h, &key)) return st;
            const Value* v = findValue(*key, name);
            if (!v) return int32_t(ERROR_FILE_NOT_FOUND);
            if (type) *type = v->type;
            if (data) *data = v->data;
            return int32_t(ERROR_SUCCESS);
        });
    }
    int32_t setValue(HKey h, std::string_view name, uint32_t type, std::string_view data) override {
        return record(Call::SetValue, name, [&] {
            std::shared_ptr<Key> key;
            if (int32_t st = byHandle(h, &key)) return st;
            if (utf8ToUtf16(name).size() > kMaxValueNameLength)
                return int32_t(ERROR_FILENAME_EXCED_RANGE);
            store(*key, name, type, data);
            return int32_t(ERROR_SUCCESS);
        });
    }
    int32_t deleteValue(HKey h, std::string_view name) override {
        return record(Call::DeleteValue, name, [&] {
            std::shared_ptr<Key> key;
            if (int32_t st = byHandle(h, &key)) return st;
            const std::u16string n = utf8ToUtf16(name);
            for (auto it = key->values.begin(); it != key->values.end(); ++it)
                if (namesEqual(it->name, n)) {
                    key->values.erase(it);
                    return int32_t(ERROR_SUCCESS);
                }
            return int32_t(ERROR_FILE_NOT_FOUND);
        });
    }
    int32_t deleteKey(int32_t root, std::string_view path) override {
        return record(Call::DeleteKey, path, [&] {
            std::vector<std::u16string> parts;
            std::shared_ptr<Key> base;
            if (int32_t st = split(root, path, &base, &parts)) return st;
            if (path.find_first_not_of('\\') == std::string_view::npos)
                return int32_t(ERROR_ACCESS_DENIED);  // a root (HKCR too) cannot be deleted
            Key* parent = base.get();
            for (size_t i = 0; i + 1 < parts.size(); ++i) {
                auto child = findSubkey(*parent, parts[i]);
                if (!child) return int32_t(ERROR_FILE_NOT_FOUND);
                parent = child.get();
            }
            for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it)
                if (namesEqual((*it)->name, parts.back())) {
                    parent->subkeys.erase(it);  // the subtree goes; its handles expire
                    return int32_t(ERROR_SUCCESS);
                }
            return int32_t(ERROR_FILE_NOT_FOUND);
        });
    }
    int32_t enumValue(HKey h, uint32_t index, std::string* name, uint32_t* type,
                      std::string* data) override {
        return record(Call::EnumValue, std::to_string(index), [&] {
            std::shared_ptr<Key> key;
            if (int32_t st = byHandle(h, &key)) return st;
            if (index >= key->values.size()) return int32_t(ERROR_NO_MORE_ITEMS);
            const Value& v = key->values[index];
            if (name) *name = utf16ToUtf8(v.name);
            if (type) *type = v.type;
            if (data) *data = v.data;
            return int32_t(ERROR_SUCCESS);
        });
    }
    int32_t enumKey(HKey h, uint32_t index, std::string* name) override {
        return record(Call::EnumKey, std::to_string(index), [&] {
            std::shared_ptr<Key> key;
            if (int32_t st = byHandle(h, &key)) return st;
            if (index >= key->subkeys.size()) return int32_t(ERROR_NO_MORE_ITEMS);
            if (name) *name = utf16ToUtf8(key->subkeys[index]->name);
            return int32_t(ERROR_SUCCESS);
        });
    }
    int32_t queryInfoKey(HKey h, KeyInfo* info) override {
        return record(Call::QueryInfoKey, "", [&] {
            std::shared_ptr<Key> key;
            if (int32_t st = byHandle(h, &key)) return st;
            KeyInfo i;
            i.subkeys = static_cast<uint32_t>(key->subkeys.size());
            i.values = static_cast<uint32_t>(key->values.size());
            for (const auto& k : key->subkeys)
                i.maxSubkeyNameLength = std::max<uint32_t>(i.maxSubkeyNameLength, uint32_t(k->name.size()));
            for (const auto& v : key->values) {
                i.maxValueNameLength = std::max<uint32_t>(i.maxValueNameLength, uint32_t(v.name.size()));
                i.maxValueDataLength = std::max<uint32_t>(i.maxValueDataLength, uint32_t(v.data.size()));
            }
            if (info) *info = i;
            return int32_t(ERROR_SUCCESS);
        });
    }
    int32_t copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                    std::string_view dstPath) override {
        return record(Call::CopyKey, srcPath, [&] {
            const Key* src = find(srcRoot, srcPath);
            if (!src) return int32_t(ERROR_FILE_NOT_FOUND);
            const Key snapshot = clone(*src);  // the destination may lie inside the source
            std::shared_ptr<Key> dst;
            if (int32_t st = resolve(dstRoot, dstPath, true, &dst)) return st;
            merge(*dst, snapshot);
            return int32_t(ERROR_SUCCESS);
        });
    }
    std::optional<std::string> environmentVariable(std::string_view name) const override {
        auto it = env_.find(utf8ToUtf16(name));
        if (it == env_.end()) return std::nullopt;
        return it->second;
    }

private:
    struct Value {
        std::u16string name;
        uint32_t type = REG_NONE;
        std::string data;
    };
    struct Key {
        std::u16string name;
        std::vector<std::shared_ptr<Key>> subkeys;
        std::vector<Value> values;
    };
    struct NameLess {
        bool operator()(const std::u16string& a, const std::u16string& b) const {
            return compareNames(a, b) < 0;
        }
    };
    struct ActiveFailure {
        Failure rule;
        int seen;  // matching calls so far
    };

    // Runs a call through the injected failures and the log.
    template <class F>
    int32_t record(Call call, std::string_view target, F&& body) {
        for (auto it = failures_.begin(); it != failures_.end(); ++it) {
            const Failure& f = it->rule;
            if (f.call != call) continue;
            if (f.target && !namesEqual(utf8ToUtf16(*f.target), utf8ToUtf16(target))) continue;
            ++it->seen;
            if (f.nth != 0 && it->seen != f.nth) continue;
            const Failure hit = f;
            if (f.nth != 0) failures_.erase(it);
            if (hit.throwBadAlloc) {
                log_.push_back({call, std::string(target), -1});
                throw std::bad_alloc();
            }
            if (hit.perform) body();
            log_.push_back({call, std::string(target), hit.status});
            return hit.status;
        }
        const int32_t status = body();
        log_.push_back({call, std::string(target), status});
        return status;
    }

    int32_t rootKey(int32_t root, std::shared_ptr<Key>* base, std::u16string* prefix) const {
        prefix->clear();
        if (root == HKEY_CLASSES_ROOT) {
            root = HKEY_LOCAL_MACHINE;
            *prefix = u"Software\\Classes\\";
        }
        auto it = roots_.find(root);
        if (it == roots_.end()) return ERROR_INVALID_HANDLE;
        *base = it->second;
        return ERROR_SUCCESS;
    }

    // The root's key and the path's components below it.
    int32_t split(int32_t root, std::string_view path, std::shared_ptr<Key>* base,
                  std::vector<std::u16string>* parts) const {
        std::u16string prefix;
        if (int32_t st = rootKey(root, base, &prefix)) return st;
        std::u16string p = utf8ToUtf16(path);
        size_t b = 0, e = p.size();
        while (b < e && p[b] == u'\\') ++b;
        while (e > b && p[e - 1] == u'\\') --e;
        p = p.substr(b, e - b);
        parts->clear();
        auto take = [&](const std::u16string& s, bool fromPath) -> int32_t {
            if (s.empty()) return ERROR_SUCCESS;
            size_t start = 0;
            for (;;) {
                const size_t sep = s.find(u'\\', start);
                std::u16string part = s.substr(start, sep == std::u16string::npos ? sep : sep - start);
                if (fromPath && part.empty()) return ERROR_BAD_PATHNAME;
                if (part.size() > kMaxKeyNameLength) return ERROR_FILENAME_EXCED_RANGE;
                if (!part.empty()) parts->push_back(std::move(part));
                if (sep == std::u16string::npos) return ERROR_SUCCESS;
                start = sep + 1;
            }
        };
        if (int32_t st = take(prefix, false)) return st;
        return take(p, true);
    }

    int32_t resolve(int32_t root, std::string_view path, bool create, std::shared_ptr<Key>* out) {
        std::vector<std::u16string> parts;
        std::shared_ptr<Key> key;
        if (int32_t st = split(root, path, &key, &parts)) return st;
        for (const auto& part : parts) {
            auto child = findSubkey(*key, part);
            if (!child) {
                if (!create) return ERROR_FILE_NOT_FOUND;
                child = std::make_shared<Key>();
                child->name = part;
                insert(key->subkeys, child, [](const auto& k) -> const std::u16string& { return k->name; });
            }
            key = child;
        }
        *out = key;
        return ERROR_SUCCESS;
    }

    const Key* find(int32_t root, std::string_view path) const {
        std::vector<std::u16string> parts;
        std::shared_ptr<Key> key;
        if (split(root, path, &key, &parts) != ERROR_SUCCESS) return nullptr;
        for (const auto& part : parts) {
            key = findSubkey(*key, part);
            if (!key) return nullptr;
        }
        return key.get();
    }

    int32_t openOrCreate(int32_t root, std::string_view path, bool create, HKey* out) {
        std::shared_ptr<Key> key;
        if (int32_t st = resolve(root, path, create, &key)) return st;
        const HKey h = reinterpret_cast<HKey>(nextHandle_);
        nextHandle_ += 4;
        handles_[h] = key;
        *out = h;
        return ERROR_SUCCESS;
    }

    int32_t byHandle(HKey h, std::shared_ptr<Key>* out) const {
        auto it = handles_.find(h);
        if (it == handles_.end()) return ERROR_INVALID_HANDLE;
        *out = it->second.lock();
        return *out ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    }

    static std::shared_ptr<Key> findSubkey(const Key& key, const std::u16string& name) {
        for (const auto& k : key.subkeys)
            if (namesEqual(k->name, name)) return k;
        return nullptr;
    }
    static const Value* findValue(const Key& key, std::string_view name) {
        const std::u16string n = utf8ToUtf16(name);
        for (const auto& v : key.values)
            if (namesEqual(v.name, n)) return &v;
        return nullptr;
    }

    template <class T, class Name>
    void insert(std::vector<T>& list, T item, Name nameOf) {
        auto pos = list.end();
        if (order_ == Order::Sorted)
            for (pos = list.begin(); pos != list.end(); ++pos)
                if (compareNames(nameOf(item), nameOf(*pos)) < 0) break;
        list.insert(pos, std::move(item));
    }

    void store(Key& key, std::string_view name, uint32_t type, std::string_view data) {
        const std::u16string n = utf8ToUtf16(name);
        for (auto& v : key.values)
            if (namesEqual(v.name, n)) {  // the stored name keeps its case
                v.type = type;
                v.data = std::string(data);
                return;
            }
        insert(key.values, Value{n, type, std::string(data)},
               [](const Value& v) -> const std::u16string& { return v.name; });
    }

    static Key clone(const Key& k) {
        Key c;
        c.name = k.name;
        c.values = k.values;
        for (const auto& s : k.subkeys) c.subkeys.push_back(std::make_shared<Key>(clone(*s)));
        return c;
    }
    void merge(Key& dst, const Key& src) {
        for (const auto& v : src.values) store(dst, utf16ToUtf8(v.name), v.type, v.data);
        for (const auto& s : src.subkeys) {
            auto child = findSubkey(dst, s->name);
            if (!child) {
                child = std::make_shared<Key>();
                child->name = s->name;
                insert(dst.subkeys, child, [](const auto& k) -> const std::u16string& { return k->name; });
            }
            merge(*child, *s);
        }
    }

    Order order_;
    std::map<int32_t, std::shared_ptr<Key>> roots_;
    std::map<HKey, std::weak_ptr<Key>> handles_;
    uintptr_t nextHandle_ = 0x1000;
    int badCloses_ = 0;
    std::map<std::u16string, std::string, NameLess> env_;
    std::vector<ActiveFailure> failures_;
    std::vector<CallRecord> log_;
};

}  // namespace qv::reg::test
