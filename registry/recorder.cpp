#include "registry/recorder.h"

#include <vector>

#include "registry/text.h"

namespace qv::reg {

namespace {

// The path as the store reads it: without empty components or surrounding backslashes.
std::u16string normalPath(std::string_view path) {
    std::u16string out;
    for (const char16_t c : utf8ToUtf16(path)) {
        if (c == u'\\' && (out.empty() || out.back() == u'\\')) continue;
        out.push_back(c);
    }
    while (!out.empty() && out.back() == u'\\') out.pop_back();
    return out;
}

}  // namespace

void RecordingRegistry::remember(HKey key, int32_t root, std::string_view path) {
    where_[key] = {root, normalPath(path)};
}

int32_t RecordingRegistry::openKey(int32_t root, std::string_view path, HKey* out) {
    const int32_t st = inner_.openKey(root, path, out);
    if (st == ERROR_SUCCESS) remember(*out, root, path);
    return st;
}

int32_t RecordingRegistry::createKey(int32_t root, std::string_view path, HKey* out) {
    const int32_t st = inner_.createKey(root, path, out);
    if (st == ERROR_SUCCESS) {
        remember(*out, root, path);
        recorded_.ops.push_back(keyOp(ChangeOp::Kind::CreateKey, root, normalPath(path)));
    }
    return st;
}

int32_t RecordingRegistry::setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) {
    const int32_t st = inner_.setValue(key, name, type, data);
    auto it = where_.find(key);
    if (st == ERROR_SUCCESS && it != where_.end()) {
        recorded_.ops.push_back(
            setValueOp(it->second.first, it->second.second, utf8ToUtf16(name), type, std::string(data)));
    }
    return st;
}

int32_t RecordingRegistry::deleteValue(HKey key, std::string_view name) {
    const int32_t st = inner_.deleteValue(key, name);
    auto it = where_.find(key);
    // A value that was not there is gone all the same: the profile says so.
    if ((st == ERROR_SUCCESS || st == ERROR_FILE_NOT_FOUND) && it != where_.end()) {
        recorded_.ops.push_back(deleteValueOp(it->second.first, it->second.second, utf8ToUtf16(name)));
    }
    return st;
}

int32_t RecordingRegistry::deleteKey(int32_t root, std::string_view path) {
    const int32_t st = inner_.deleteKey(root, path);
    if (st == ERROR_SUCCESS || st == ERROR_FILE_NOT_FOUND) {
        // Handles into the deleted subtree are dead now; the store may hand their addresses out again.
        const std::u16string gone = normalPath(path);
        for (auto it = where_.begin(); it != where_.end();) {
            const auto& [r, p] = it->second;
            const bool inside = r == root && p.size() >= gone.size() && p.compare(0, gone.size(), gone) == 0 &&
                                (p.size() == gone.size() || p[gone.size()] == u'\\');
            it = inside ? where_.erase(it) : std::next(it);
        }
        recorded_.ops.push_back(keyOp(ChangeOp::Kind::DeleteKey, root, gone));
    }
    return st;
}

void RecordingRegistry::recordSubtree(int32_t root, const std::string& path) {
    HKey k = nullptr;
    if (inner_.openKey(root, path, &k) != ERROR_SUCCESS) return;
    recorded_.ops.push_back(keyOp(ChangeOp::Kind::CreateKey, root, normalPath(path)));
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; inner_.enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i) {
        recorded_.ops.push_back(setValueOp(root, normalPath(path), utf8ToUtf16(name), type, data));
    }
    std::vector<std::string> subkeys;
    for (uint32_t i = 0; inner_.enumKey(k, i, &name) == ERROR_SUCCESS; ++i) subkeys.push_back(name);
    inner_.closeKey(k);
    for (const std::string& s : subkeys) recordSubtree(root, path + "\\" + s);
}

int32_t RecordingRegistry::copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                                   std::string_view dstPath) {
    const int32_t st = inner_.copyKey(srcRoot, srcPath, dstRoot, dstPath);
    // What the copy left at the destination, whole: the profile may meet a machine without it.
    if (st == ERROR_SUCCESS) recordSubtree(dstRoot, std::string(dstPath));
    return st;
}

}  // namespace qv::reg
