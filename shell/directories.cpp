#include "shell/directories.h"

#include "registry/machines/machine.h"

namespace qv::shell {

namespace {

const reg::Machine* g_machine = nullptr;

std::string withoutTrailingBackslash(std::string s) {
    s = TrimAtNull(s);
    // "C:\" keeps its backslash: it is the root's own form.
    while (s.size() > 1 && s.back() == '\\' && !(s.size() == 3 && s[1] == ':'))
        s.pop_back();
    return s;
}

}  // namespace

void setCurrentMachine(const reg::Machine* machine) { g_machine = machine; }
const reg::Machine* currentMachine() { return g_machine; }

std::string WindowsDirectory(const reg::Machine& machine) {
    return withoutTrailingBackslash(machine.windowsDirectory());
}

std::string SystemDirectory(const reg::Machine& machine) {
    return withoutTrailingBackslash(machine.systemDirectory());
}

std::string WindowsDirectory() {
    return g_machine ? WindowsDirectory(*g_machine) : std::string("C:\\WINDOWS");
}

std::string SystemDirectory() {
    return g_machine ? SystemDirectory(*g_machine) : std::string("C:\\WINDOWS\\SYSTEM");
}

std::string TrimAtNull(std::string_view text) {
    const auto nul = text.find('\0');
    return std::string(nul == std::string_view::npos ? text : text.substr(0, nul));
}

}  // namespace qv::shell
