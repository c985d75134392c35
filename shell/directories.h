// The Windows and system directories of the machine being edited, as Windows paths.
#pragma once

#include <string>
#include <string_view>

namespace qv::reg {
class Machine;
}

namespace qv::shell {

// The machine the no-argument helpers answer for; the main window sets it when it opens one.
// Without a machine they answer with the directories of a stock Windows 98 installation.
void setCurrentMachine(const reg::Machine* machine);
const reg::Machine* currentMachine();

// No trailing backslash, except for a drive root ("C:\").
std::string WindowsDirectory();
std::string SystemDirectory();
std::string WindowsDirectory(const reg::Machine& machine);
std::string SystemDirectory(const reg::Machine& machine);

// The part of text before its first NUL; text itself when it holds none.
std::string TrimAtNull(std::string_view text);

}  // namespace qv::shell
