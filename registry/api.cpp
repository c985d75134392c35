#include "registry/api.h"

#include <utility>

#include "registry/text.h"

namespace qv::reg {

int32_t RegistryApi::findKeysNamed(int32_t root, std::string_view path, const std::vector<std::string>& names,
                                   size_t maxDepth, std::vector<std::string>* found) {
    std::vector<std::u16string> wanted;
    for (const std::string& n : names) wanted.push_back(utf8ToUtf16(n));
    std::string base(path);
    while (!base.empty() && base.back() == '\\') base.pop_back();
    // Keys still to visit, the next on top; the stack of its own keeps a deep tree off the call stack.
    struct Pending {
        std::string rel;
        size_t nameAt, depth;  // where its name starts in rel; its level below path
    };
    std::vector<Pending> pending{{std::string(), 0, 0}};
    std::vector<std::string> subkeys;
    std::string name;
    while (!pending.empty()) {
        auto [rel, nameAt, depth] = std::move(pending.back());
        pending.pop_back();
        if (!rel.empty()) {
            const std::u16string own = utf8ToUtf16(std::string_view(rel).substr(nameAt));
            for (const std::u16string& w : wanted)
                if (namesEqual(own, w)) {
                    found->push_back(rel);
                    break;
                }
        }
        if (depth == maxDepth && depth) continue;  // its subkeys lie too deep
        HKey k;
        if (int32_t st = openKey(root, rel.empty() ? base : base.empty() ? rel : base + "\\" + rel, &k)) return st;
        subkeys.clear();
        int32_t st;
        for (uint32_t i = 0; (st = enumKey(k, i, &name)) == ERROR_SUCCESS; ++i) subkeys.push_back(name);
        closeKey(k);
        if (st != ERROR_NO_MORE_ITEMS) return st;
        if (depth == maxDepth) continue;
        for (auto it = subkeys.rbegin(); it != subkeys.rend(); ++it)
            pending.push_back({rel.empty() ? *it : rel + "\\" + *it, rel.empty() ? 0 : rel.size() + 1, depth + 1});
    }
    return ERROR_SUCCESS;
}

std::string statusText(int32_t status) {
    switch (status) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory.";
    case ERROR_INVALID_DATA: return "The data is invalid.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_BAD_PATHNAME: return "The key path has an empty component.";
    case ERROR_FILENAME_EXCED_RANGE:
        return "A name is too long (at most 255 characters for a key name, 16383 for a value name).";
    case ERROR_MORE_DATA: return "More data is available.";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.";
    case ERROR_KEY_DELETED: return "The key has been marked for deletion.";
    default: return "Registry error " + std::to_string(status) + ".";
    }
}

}  // namespace qv::reg
