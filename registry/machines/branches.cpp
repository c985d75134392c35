#include "registry/machines/branches.h"

#include <algorithm>
#include <optional>

#include "registry/text.h"

namespace qv::reg {

namespace {

// The keys a running Wine 8 prefix holds that its system.reg and user.reg do not, after
// `wineserver -w` saved them (a fresh 64-bit prefix; `wine reg export` and `regedit /E` of the
// running prefix against the saved files). Wine's own import sets values of those that exist in
// memory only and refuses new subkeys below them ("Unable to import the registry key"): nothing
// of either reaches the files. "*" is any one name; a trailing "*" any name starting so.
struct Volatile {
    int32_t root;
    std::u16string_view path;
};
constexpr Volatile kVolatile[] = {
    {HKEY_LOCAL_MACHINE, u"Hardware"},
    {HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards"},
    {HKEY_LOCAL_MACHINE, u"Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards"},
    {HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName"},
    {HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Control\\ServiceCurrent"},
    {HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Control\\Video"},
    {HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Hardware Profiles\\Current\\System"},
    {HKEY_LOCAL_MACHINE, u"System\\MountedDevices"},
    // Device interfaces: the state of each ("#\Control"), and the whole reference key of those
    // made for the display and the PCI devices Wine finds at start.
    {HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Control\\DeviceClasses\\*\\*\\#\\Control"},
    {HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Control\\DeviceClasses\\*\\##?#DISPLAY#*\\#"},
    {HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\Control\\DeviceClasses\\*\\##?#PCI#*\\#"},
    {HKEY_CURRENT_USER, u"Software\\Wine\\Fonts\\Cache"},
    {HKEY_CURRENT_USER, u"Software\\Wine\\Temporary System Parameters"},
    {HKEY_CURRENT_USER, u"Control Panel\\International\\\U0001F30E\U0001F30F\U0001F30D"},
};

std::vector<std::u16string_view> parts(std::u16string_view path) {
    std::vector<std::u16string_view> out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos) j = path.size();
        if (j > i) out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

bool componentMatches(std::u16string_view pattern, std::u16string_view name) {
    if (pattern == u"*") return true;
    if (!pattern.empty() && pattern.back() == u'*') {
        pattern.remove_suffix(1);
        return name.size() >= pattern.size() && namesEqual(name.substr(0, pattern.size()), pattern);
    }
    return namesEqual(pattern, name);
}

// The volatile key that path is or lies below, spelled with the path's own names.
std::optional<std::u16string> volatileKeyOf(int32_t root, std::u16string_view path) {
    const std::vector<std::u16string_view> have = parts(path);
    for (const Volatile& v : kVolatile) {
        if (v.root != root) continue;
        const std::vector<std::u16string_view> want = parts(v.path);
        if (have.size() < want.size()) continue;
        if (!std::equal(want.begin(), want.end(), have.begin(), componentMatches)) continue;
        std::u16string key;
        for (size_t i = 0; i < want.size(); ++i) key += (i ? u"\\" : u"") + std::u16string(have[i]);
        return key;
    }
    return std::nullopt;
}

}  // namespace

bool mapUsersBranch(const MachineFacts& m, ChangeOp* op, bool* drop, std::string* why) {
    *drop = false;
    if (op->root != HKEY_USERS) return true;
    const std::u16string_view key = op->key;
    const size_t slash = key.find(u'\\');
    const std::u16string_view branch = key.substr(0, slash);
    if (branch.empty()) {
        *drop = op->kind == ChangeOp::Kind::CreateKey;
        if (!*drop) *why = "HKEY_USERS itself cannot be changed";
        return *drop;
    }
    const std::string sid = m.userSid();
    if (sid.empty() || !namesEqual(branch, utf8ToUtf16(sid))) {
        const std::string name = "HKEY_USERS\\" + utf16ToUtf8(branch);
        if (namesEqual(branch, u".Default"))
            *why = name + " (the profile new users start from; Wine keeps it in userdef.reg) is not part of this "
                          "machine; leave its keys out of the file to import the rest";
        else if (sid.empty())
            *why = name + " is not part of this machine: the SID of its user is not known, so HKEY_USERS cannot be "
                          "written; use HKEY_CURRENT_USER";
        else
            *why = name + " is not part of this machine; its user is HKEY_USERS\\" + sid + " (HKEY_CURRENT_USER)";
        return false;
    }
    op->root = HKEY_CURRENT_USER;
    op->key = slash == std::u16string_view::npos ? std::u16string() : std::u16string(key.substr(slash + 1));
    return true;
}

bool isWineVolatileKey(int32_t root, std::u16string_view path) { return volatileKeyOf(root, path).has_value(); }

void dropWineVolatileKeys(const MachineFacts& m, ChangeSet* cs, std::vector<std::string>* skipped) {
    if (!m.winePrefix()) return;
    std::vector<ChangeOp> kept;
    for (ChangeOp& op : cs->ops) {
        const std::optional<std::u16string> v = volatileKeyOf(op.root, op.key);
        if (!v) {
            kept.push_back(std::move(op));
            continue;
        }
        const std::string name = std::string(rootName(op.root)) + "\\" + utf16ToUtf8(*v);
        if (skipped && std::find(skipped->begin(), skipped->end(), name) == skipped->end()) skipped->push_back(name);
    }
    cs->ops = std::move(kept);
}

Prepared prepareOp(const MachineFacts& m, const ChangeOp& op, ChangeOp* mapped, std::string* error,
                   std::vector<std::string>* skipped) {
    const ChangeOp* at = &op;
    if (op.root == HKEY_USERS) {
        *mapped = op;
        bool drop = false;
        if (!mapUsersBranch(m, mapped, &drop, error)) return Prepared::Refuse;
        if (drop) return Prepared::Drop;
        at = mapped;
    }
    if (m.winePrefix()) {
        if (const std::optional<std::u16string> v = volatileKeyOf(at->root, at->key)) {
            const std::string name = std::string(rootName(at->root)) + "\\" + utf16ToUtf8(*v);
            if (skipped && std::find(skipped->begin(), skipped->end(), name) == skipped->end()) skipped->push_back(name);
            return Prepared::Drop;
        }
    }
    return at == &op ? Prepared::Keep : Prepared::Mapped;
}

bool prepareImport(const MachineFacts& m, ChangeSet* cs, std::string* error, std::vector<std::string>* skipped) {
    std::vector<ChangeOp> kept;
    for (ChangeOp& op : cs->ops) {
        bool drop;
        if (!mapUsersBranch(m, &op, &drop, error)) return false;
        if (!drop) kept.push_back(std::move(op));
    }
    cs->ops = std::move(kept);
    dropWineVolatileKeys(m, cs, skipped);
    return true;
}

}  // namespace qv::reg
