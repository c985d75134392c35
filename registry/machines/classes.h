// HKEY_CLASSES_ROOT of a Windows installation as the merged view of its two Classes keys, and where
// its paths (and HKLM's CurrentControlSet) lie in the machine's trees. Apart from the machine: it
// only places paths and reads merged keys, the machine makes every change.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/api.h"

namespace qv::reg {

class RegKey;
struct RegValue;

// A key of HKEY_CLASSES_ROOT that both Classes keys hold. Windows shows the subkeys and values
// of both at every level, each name once, the user's value where both have one.
struct MergedKey {
    RegKey* user = nullptr;
    RegKey* machine = nullptr;
    // Listed when an enumeration starts, so that one walk sees one list.
    std::vector<std::u16string> keys, values;

    void listKeys();
    void listValues();
    const RegValue* value(std::u16string_view n) const;

    // The registry calls that read the key, as on a key of one tree.
    int32_t queryValue(std::string_view name, uint32_t* type, std::string* data) const;
    int32_t enumKey(uint32_t index, std::string* name);
    int32_t enumValue(uint32_t index, std::string* name, uint32_t* type, std::string* data);
    int32_t queryInfoKey(KeyInfo* info);
};

// A place in HKEY_CLASSES_ROOT: the key of that path in each Classes key that holds one.
struct ClassPlace {
    RegKey* user = nullptr;
    RegKey* machine = nullptr;
    bool found() const { return user || machine; }
};

class ClassesView {
public:
    struct Target {  // a concrete place for an HKEY_CLASSES_ROOT path
        int32_t root = HKEY_LOCAL_MACHINE;
        std::string path;
    };

    // classesRoot(user) finds the user's Classes key (nullptr when the user has none) or the
    // machine's anew at each call: a reload replaces the trees.
    explicit ClassesView(std::function<RegKey*(bool user)> classesRoot) : classesRoot_(std::move(classesRoot)) {}

    int controlSet() const { return currentControlSet_; }
    void setControlSet(int n) { currentControlSet_ = n; }
    // HKLM's System\CurrentControlSet is a link to the control set SYSTEM's Select names.
    std::string mapSystem(std::string_view path) const;
    // A path of HKEY_LOCAL_MACHINE mapped, one of another root as it is.
    std::string mapped(int32_t root, std::string_view path) const {
        return root == HKEY_LOCAL_MACHINE ? mapSystem(path) : std::string(path);
    }

    ClassPlace place(std::string_view path) const;
    std::vector<Target> existingTargets(std::string_view path) const;
    static Target classesKey(int32_t root, std::string_view path);
    Target valueTarget(std::string_view path) const;
    std::vector<Target> sourcesOf(int32_t root, std::string_view path) const;
    Target destinationOf(int32_t root, std::string_view path) const;
    bool userHolds(int32_t root, std::string_view path) const {
        return root == HKEY_CLASSES_ROOT && place(path).user;
    }

    // A handle for a found place: the key itself when one tree holds it, a merged key otherwise.
    HKey handleFor(const ClassPlace& p);
    MergedKey* mergedOf(HKey key) const {
        auto it = merged_.find(key);
        return it == merged_.end() ? nullptr : it->second.get();
    }
    void close(HKey key) { merged_.erase(key); }
    void closeAll() { merged_.clear(); }

private:
    std::function<RegKey*(bool user)> classesRoot_;
    int currentControlSet_ = 1;
    std::unordered_map<HKey, std::unique_ptr<MergedKey>> merged_;
};

// A copy made key by key through api's registry calls, each key and value landing where a write
// there lands. The source is read whole first: the destination may lie inside it. What was
// written before a failure stays; the caller takes it back.
int32_t copyKeyByKey(RegistryApi& api, int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                     std::string_view dstPath);

}  // namespace qv::reg
