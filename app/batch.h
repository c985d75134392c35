// Scripting mode over many machines at once: the machines a --machines WHICH names, and the same
// actions run on each in a session of its own, without a window, each ending in its summary.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/session/committer.h"
#include "registry/machines/machine.h"

namespace qv {
class Session;
}

namespace qv::cli {

struct Options;

// "changed N values on NAME" / "no changes on NAME", or with json one object
// {"machine", "folder", "changed", "values", "backup"} on a line.
std::string summaryLine(const Session& session, const Outcome& done, bool json);

// --history: every Apply kept for the session's machine, oldest first: "ID  WHEN  N values" (and
// "undone") with a line per change, the page that owns it first; with json an array of {id, when,
// undone, values, changes} (changes as --diff --json gives them).
void printHistory(Session& session, bool json, std::ostream& out);

struct NamedMachine {
    std::string name;
    std::filesystem::path folder;
    reg::Machine::Kind kind = reg::Machine::Kind::WinePrefix;
};
// which: "all" (every machine found but installed Windows drives), a kind of prefix as found
// ("own", "wine", "bottles", "lutris", "steam" or "proton", "heroic", "playonlinux"), or a comma
// list of names and folders (a folder need not be found, it must hold a registry). Throws
// ctl::UsageError naming what matched nothing.
std::vector<NamedMachine> resolveMachines(const std::string& which);

// A .reg file applied to one machine in a session of its own, as the import review does for each
// machine ticked besides the window's: what happened and the line that tells it.
struct FileResult {
    enum Kind { Changed, Unchanged, Skipped, Failed } kind = Failed;
    std::string line;  // "changed N values", "already as the file says", "skipped: why", "failed: why"
};
FileResult applyFileTo(const NamedMachine& machine, const std::filesystem::path& file, RunningPrefix running);
// What an Apply of the file came to, as that line says it.
FileResult fileResultOf(const Outcome& applied);
// One spelling of a machine folder however it was given, for telling two apart.
std::string folderKey(const std::filesystem::path& folder);

// --machines: the actions (--import, --diff, --apply, --undo) on every machine `which` names, one
// after the other; a machine that cannot be opened or written is told and the rest go on.
// Returns 0 when every machine went well, 1 otherwise.
int runOnMachines(const Options& o, std::ostream& out, std::ostream& err);

}  // namespace qv::cli
