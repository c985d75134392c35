#include "app/session/profile.h"

#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "registry/api.h"
#include "registry/machines/machine.h"
#include "registry/text.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

using Kind = reg::ChangeOp::Kind;

reg::ChangeOp makeOp(Kind kind, int32_t root, std::u16string key, std::u16string name = {}, uint32_t type = 0,
                     std::string data = {}) {
    reg::ChangeOp op;
    op.kind = kind;
    op.root = root;
    op.key = std::move(key);
    op.name = std::move(name);
    op.type = type;
    op.data = std::move(data);
    return op;
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool startsWithFolded(std::u16string_view s, std::u16string_view head) {
    if (s.size() < head.size()) return false;
    for (size_t i = 0; i < head.size(); ++i)
        if (lower(s[i]) != lower(head[i])) return false;
    return true;
}

// A fresh own machine in a folder of its own, gone with this object.
class FreshMachine {
public:
    FreshMachine() {
        std::string tmpl = (fs::temp_directory_path() / "quorvel-defaults-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) {
            dir_ = tmpl;
            machine_ = reg::Machine::openOwn(dir_ / "machine");
        }
    }
    ~FreshMachine() {
        machine_.reset();
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    reg::Machine* get() const { return machine_.get(); }

private:
    fs::path dir_;
    std::unique_ptr<reg::Machine> machine_;
};

}  // namespace

void addNewMenuState(reg::RegistryApi& api, const std::vector<std::pair<std::string, bool>>& entries,
                     reg::ChangeSet* profile) {
    for (const auto& [key, on] : entries) {
        const bool off = endsWith(key, "ShellNew-");
        if (!off && !endsWith(key, "ShellNew")) continue;
        const std::string base = key.substr(0, key.size() - (off ? 9 : 8));
        const std::u16string active = reg::utf8ToUtf16(base + (on ? "ShellNew" : "ShellNew-"));
        const std::u16string other = reg::utf8ToUtf16(base + (on ? "ShellNew-" : "ShellNew"));
        std::vector<reg::ChangeOp> made;
        // What the entry holds now, level by level, under the name it is to have.
        std::vector<std::pair<std::string, std::u16string>> todo{{key, active}};
        while (!todo.empty()) {
            const auto [from, to] = todo.back();
            todo.pop_back();
            reg::HKey h = nullptr;
            if (api.openKey(reg::HKEY_CLASSES_ROOT, from, &h) != reg::ERROR_SUCCESS) continue;
            made.push_back(makeOp(Kind::CreateKey, reg::HKEY_CLASSES_ROOT, to));
            std::string name, data;
            uint32_t type = 0;
            for (uint32_t i = 0; api.enumValue(h, i, &name, &type, &data) == reg::ERROR_SUCCESS; ++i)
                made.push_back(makeOp(Kind::SetValue, reg::HKEY_CLASSES_ROOT, to, reg::utf8ToUtf16(name), type, data));
            for (uint32_t i = 0; api.enumKey(h, i, &name) == reg::ERROR_SUCCESS; ++i)
                todo.emplace_back(from + "\\" + name, to + u"\\" + reg::utf8ToUtf16(name));
            api.closeKey(h);
        }
        if (made.empty()) continue;
        profile->ops.push_back(makeOp(Kind::DeleteKey, reg::HKEY_CLASSES_ROOT, other));
        profile->ops.insert(profile->ops.end(), made.begin(), made.end());
    }
}

void portablePaths(reg::ChangeSet* profile, const std::string& windowsDirectory) {
    const std::u16string windows = reg::utf8ToUtf16(windowsDirectory);
    for (reg::ChangeOp& op : profile->ops) {
        if (op.kind != Kind::SetValue || op.type != reg::REG_EXPAND_SZ) continue;
        const std::u16string text = reg::bytesToUtf16(op.data);
        // Only a whole folder name: C:\WINDOWS\x, not C:\WINDOWSOLD.
        if (!startsWithFolded(text, windows) ||
            (text.size() > windows.size() && text[windows.size()] != u'\\' && text[windows.size()] != u'\0'))
            continue;
        op.data = reg::utf16ToBytes(u"%SystemRoot%" + text.substr(windows.size()));
    }
}

reg::ChangeSet changedFromDefaults(const reg::ChangeSet& profile) {
    FreshMachine fresh;
    reg::Machine* m = fresh.get();
    if (!m) return profile;
    reg::ChangeSet out;
    for (const reg::ChangeOp& op : profile.ops) {
        reg::HKey h = nullptr;
        const bool keyThere = m->openKey(op.root, reg::utf16ToUtf8(op.key), &h) == reg::ERROR_SUCCESS;
        bool same = false;
        switch (op.kind) {
        case Kind::SetValue:
        case Kind::DeleteValue: {
            uint32_t type = 0;
            std::string data;
            const bool there = keyThere && m->queryValue(h, reg::utf16ToUtf8(op.name), &type, &data) == reg::ERROR_SUCCESS;
            same = op.kind == Kind::SetValue ? there && type == op.type && data == op.data : !there;
            break;
        }
        case Kind::CreateKey: same = keyThere; break;
        case Kind::DeleteKey: same = !keyThere; break;
        }
        if (h) m->closeKey(h);
        if (!same) out.ops.push_back(op);
    }
    return out;
}

}  // namespace qv
