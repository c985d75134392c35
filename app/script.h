// The command line: which machine to open, and the actions that turn the program into a script
// driving the very window a user would see, offscreen.
#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <future>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/options.h"

namespace qv::reg {
class Machine;
}

namespace qv::cli {

// Throws ctl::UsageError with a one-line message.
Options parse(const QStringList& args);
QString usage();
QString versionText();

// The machine the options name, else $WINEPREFIX (as Wine's own tools take it), else the one
// opened last (when it can still be opened), else the default own machine; throws
// reg::MachineError.
std::unique_ptr<reg::Machine> openMachine(const Options& o);
// The same in two steps: which machine (this reads the environment and the recent list), and
// opening it (which reads only its own files, so it may run beside the toolkit's start).
struct MachineToOpen {
    enum class Kind { Own, WinePrefix, Windows } kind = Kind::Own;
    std::filesystem::path path;
    std::string windowsUser;
    // Nothing named, no $WINEPREFIX and nothing opened before: the window asks when Wine prefixes
    // are found (path is then the own machine, opened when none is chosen).
    bool firstStart = false;
};
MachineToOpen chooseMachine(const Options& o);
std::unique_ptr<reg::Machine> openChosen(const MachineToOpen& m);

// --list-machines: the machines File > Open Machine lists, as text or JSON; returns 0.
int listMachines(const Options& o, std::ostream& out);

// Scripting mode (a QApplication must exist): builds the window, runs the first load pass and
// the actions in order. Message boxes go to out, step failures and errors to err.
// Returns the exit status: 0 done, 2 usage error, 1 machine not opened or not committed.
int runScript(const Options& o, std::ostream& out, std::ostream& err);

// The window for a user; returns when it is unloaded. `opening`, when given, is the machine
// already being opened (see main).
int runWindow(const Options& o, std::future<std::unique_ptr<reg::Machine>> opening = {});

}  // namespace qv::cli
