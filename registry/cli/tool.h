// What the parts of quorvel-reg share: the messages it prints as Wine's reg does, the parsed
// arguments, the run and keys the operations work with, and Tool, which runs one command.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/api.h"
#include "registry/changeset.h"
#include "registry/cli/reg_tool.h"
#include "registry/machines/machine.h"
#include "registry/regfile/dotreg.h"

namespace qv::reg::cli {

inline constexpr std::string_view kOk = "reg: The operation completed successfully";
inline constexpr std::string_view kCancelled = "reg: The registry operation was cancelled";
inline constexpr std::string_view kKeyNotFound = "reg: Unable to find the specified registry key";
inline constexpr std::string_view kValueNotFound = "reg: Unable to find the specified registry value";
inline constexpr std::string_view kCannotCreate = "reg: Unable to access or create the specified registry key";
inline constexpr std::string_view kInvalidKey = "reg: Invalid registry key";
inline constexpr std::string_view kInvalidRoot = "reg: Invalid system key";
inline constexpr std::string_view kBadParameters = "reg: Invalid command line parameters";
inline constexpr std::string_view kBadNumber = "reg: The option [/d] must be followed by a valid numeric value";
inline constexpr std::string_view kBadHex = "reg: The option [/d] must be followed by a valid hexadecimal value";
inline constexpr std::string_view kBadString = "reg: The option [/d] must be followed by a valid string";

std::string upperAscii(std::string_view s);
bool equalsNoCase(std::string_view a, std::string_view b);

// ---- keys (arguments.cpp)

struct RootName {
    const char* full;
    const char* abbrev;
    int32_t handle;  // 0: a root Wine knows that no machine here has
};

inline constexpr RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_USERS", "HKU", 0},
    {"HKEY_CURRENT_CONFIG", "HKCC", 0},
};

struct KeyArg {
    const RootName* root = nullptr;
    std::string shown;       // as listings print it: canonical root, then the path as typed
    std::string path;        // for the store: empty components removed
    bool leadingEmpty = false;
};

// Returns an error message, or nothing when the key is well-formed.
std::optional<std::string_view> parseKey(std::string_view arg, KeyArg* key);
// A message when the key's root is one no machine here has.
std::optional<std::string> rootOutside(const KeyArg& key);
// The path of a key argument as typed, without its root and one trailing backslash.
std::string key0Path(std::string_view arg);

// ---- arguments (arguments.cpp)

enum class Op { Query, Add, Delete, Copy, Export, Import };

struct Options {
    std::optional<std::string> valueName;  // /v NAME
    bool defaultValue = false;             // /ve
    bool allValues = false;                // /va
    bool recurse = false;                  // /s (query)
    std::optional<std::string> type;       // /t
    std::optional<std::string> data;       // /d
    std::optional<std::string> separator;  // /s (add)
    bool force = false;                    // /f
    int view = 0;                          // 32 or 64 for /reg:32 or /reg:64
};

std::string syntaxError(Op op);
// /reg:32 or /reg:64, once.
bool takeView(std::string_view upperName, int* view);
// Parses the options after the key; false on any syntax error.
bool parseOptions(Op op, const std::vector<std::string>& args, size_t from, Options* o);

struct TypeName {
    const char* name;
    uint32_t type;
};

inline constexpr TypeName kAddTypes[] = {
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_LITTLE_ENDIAN", REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
    {"REG_QWORD", REG_QWORD},
    {"REG_NONE", REG_NONE},
};

// ---- places in the store (arguments.cpp)

// A key as the store knows it: a root and a path without empty components.
struct Place {
    int32_t root = 0;
    std::string path;
};

std::string childPath(const std::string& path, std::string_view name);
std::vector<std::string> components(const std::string& path);
// Where a symbolic-link key's target ("\Registry\Machine\..." or the user's branch) lives here.
std::optional<Place> linkPlace(std::string_view target);
// The same key whichever way it was reached (HKCR or HKLM, any case; keys.cpp).
std::string identity(const Place& p);
// Why a key (and value) name cannot be written here, or nothing (operations.cpp).
std::optional<std::string> refusedName(const std::string& path, const std::string* valueName, bool making = true);

// ---- the machine and the keys (session.cpp, keys.cpp)

// An error on its own line, and the exit status that goes with it.
inline int failWith(ToolIo& io, std::string_view message) {
    io.err << message << '\n';
    return 1;
}

// Which machine the tool's own options name.
struct MachineChoice {
    enum class Kind { Default, Own, Wine, Windows } kind = Kind::Default;
    std::string folder;
    std::string windowsUser;
};

// The keys of an open machine as Wine's reg reaches them: symbolic links followed, the 32-bit
// view's Wow6432Node steps taken, subtrees walked.
class Keys {
public:
    Keys(Machine& machine, bool wow32) : machine_(machine), wow32_(wow32) {}

    // Symbolic-link keys are followed as Wine follows them when it opens a path; a missing key
    // ends the walk and the rest of the path is kept as it is (for creating it). Nothing when a
    // link on the way points outside this registry. In the 32-bit view one step of the path goes
    // into a Wow6432Node, as Wine's does (see keys.cpp).
    std::optional<Place> resolve(Place start, const std::string& rest, bool followLast, bool* exists);
    // The same from a root; in the 32-bit view HKEY_CLASSES_ROOT is its own Wow6432Node.
    std::optional<Place> resolveFromRoot(int32_t root, const std::string& rest, bool followLast, bool* exists);
    // Where a key leads when it is there (links followed), else nothing.
    std::optional<Place> existingKey(const KeyArg& key);
    std::optional<Place> enter(const Place& parent, const std::string& name);

    std::vector<std::string> subkeyNames(HKey k);
    std::vector<StoredValue> valuesOf(HKey k);
    // Visits every key below `at` depth first, in the store's order, with an explicit stack: a
    // tree can be deeper than the call stack. A link back to a key on the current path is
    // visited when linkBacks says so, but never entered, so a loop is walked once. visit
    // answers whether the key could be opened; one that could not is not entered.
    void walkTree(const Place& at, const std::string& shown, bool linkBacks,
                  const std::function<bool(const Place&, const std::string&)>& visit);

private:
    std::optional<std::string> linkTarget(HKey k);
    std::optional<Place> wowNode(const Place& at);

    Machine& machine_;
    bool wow32_;  // the 32-bit view of a 64-bit registry
};

// How a (Yes|No) or (Yes|No|All) question was answered; NoInput: by the end of the input.
enum class Answer { Yes, No, All, NoInput };

// What every operation works with: the streams, the questions, the view, and the machine,
// opened once the arguments have been checked.
class Run {
public:
    Run(ToolIo& io, MachineChoice choice) : io(io), choice_(std::move(choice)) {}

    ToolIo& io;
    int view = 0;  // /reg:32 or /reg:64 as given

    int fail(std::string_view message) { return failWith(io, message); }
    bool openMachine();
    Machine& machine() { return *machine_; }
    Keys& keys() { return *keys_; }

    Answer ask(const std::string& question, bool offerAll = false);
    Answer askAll(const std::string& question) { return ask(question, true); }
    int cancelled(Answer a) {
        io.out << kCancelled << '\n';
        return a == Answer::NoInput ? 1 : 0;
    }
    bool commit();
    // Stops a change before anything is asked or done when Wine's server would overwrite it.
    bool wineserverStops();
    // The same, naming the Wine command that would make the same change.
    bool wineserverStops(const std::string& wineCommand);
    std::string viewSwitch() const { return view ? " /reg:" + std::to_string(view) : std::string(); }

private:
    MachineChoice choice_;
    std::unique_ptr<Machine> machine_;
    std::optional<Keys> keys_;
};

// ---- the operations: query, add and delete in operations.cpp; export, import and copy, which
// read their own arguments, in transfer.cpp

int queryKey(Run& s, const KeyArg& key, const Options& o);
int addValue(Run& s, const KeyArg& key, const Options& o);
int deleteKey(Run& s, const KeyArg& key, const Options& o);
int exportKey(Run& s, const std::vector<std::string>& args, size_t i);
int importFile(Run& s, const std::vector<std::string>& args, size_t i);
int copyKey(Run& s, const std::vector<std::string>& args, size_t i);

// ---- the run (reg_tool.cpp): the tool's own options, then the operation

class Tool {
public:
    explicit Tool(ToolIo& io) : io_(io) {}
    int run(const std::vector<std::string>& args);

private:
    int fail(std::string_view message) { return failWith(io_, message); }
    static int queryOneKey(ToolIo& io, const MachineChoice& choice, const KeyArg& key, const Options& o);

    ToolIo& io_;
};

}  // namespace qv::reg::cli
