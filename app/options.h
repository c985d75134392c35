// What the command line asks for: the machine, and the actions of scripting mode in order.
#pragma once

#include <QString>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qv::cli {

struct Action {
    enum Kind { List, Set, Click, Apply, Grab, Diff, Undo, Export, Import, History, Restore } kind;
    QString name;
    QString value;  // --set: the value; --grab, --export, --import: the file; --restore: the ID
};

struct Options {
    std::optional<std::filesystem::path> machine;
    std::optional<std::filesystem::path> winePrefix;
    std::optional<std::filesystem::path> windows;  // a Windows system drive
    std::string windowsUser;                       // with windows: whose NTUSER.DAT is HKCU
    bool json = false;
    bool throughWine = false;  // --apply and --undo on a running prefix go through its Wine
    bool force = false;        // --undo over later changes, --apply that deletes whole branches
    bool onlyChanged = false;  // --export only what differs from Windows' defaults
    bool help = false;
    bool version = false;
    bool listMachines = false;  // --list-machines: print the machines found, open none
    std::string machines;       // --machines WHICH: the actions run on each machine it names
    std::optional<std::filesystem::path> openFile;  // FILE.reg: opened in the window, reviewed first
    std::vector<Action> actions;
    bool scripting() const { return !actions.empty(); }
};

}  // namespace qv::cli
