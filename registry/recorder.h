// A registry that passes every call on to another one and writes down, as a change set, every
// write it was asked for, including writes of what is already stored (which the store itself
// does not count as changes). What a pass would leave in the registry can so be carried whole.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "registry/api.h"
#include "registry/changeset.h"

namespace qv::reg {

class RecordingRegistry : public RegistryApi {
public:
    explicit RecordingRegistry(RegistryApi& inner) : inner_(inner) {}

    const ChangeSet& recorded() const { return recorded_; }

    int32_t openKey(int32_t root, std::string_view path, HKey* out) override;
    int32_t createKey(int32_t root, std::string_view path, HKey* out) override;
    void closeKey(HKey key) override { inner_.closeKey(key); }
    int32_t queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) override {
        return inner_.queryValue(key, name, type, data);
    }
    int32_t setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) override;
    int32_t deleteValue(HKey key, std::string_view name) override;
    int32_t deleteKey(int32_t root, std::string_view path) override;
    int32_t enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type,
                      std::string* data) override {
        return inner_.enumValue(key, index, name, type, data);
    }
    int32_t enumKey(HKey key, uint32_t index, std::string* name) override {
        return inner_.enumKey(key, index, name);
    }
    int32_t queryInfoKey(HKey key, KeyInfo* info) override { return inner_.queryInfoKey(key, info); }
    int32_t copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                    std::string_view dstPath) override;
    std::optional<std::string> environmentVariable(std::string_view name) const override {
        return inner_.environmentVariable(name);
    }

private:
    void remember(HKey key, int32_t root, std::string_view path);
    void recordSubtree(int32_t root, const std::string& path);

    RegistryApi& inner_;
    ChangeSet recorded_;
    std::map<HKey, std::pair<int32_t, std::u16string>> where_;  // open keys and their paths
};

}  // namespace qv::reg
