// What the parts of quorvel-reg share: the messages it prints as Wine's reg does, the parsed
// arguments, and Tool, which runs one command over a machine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
// The same key whichever way it was reached (HKCR or HKLM, any case).
std::string identity(const Place& p);
// Why a key (and value) name cannot be written here, or nothing (operations.cpp).
std::optional<std::string> refusedName(const std::string& path, const std::string* valueName, bool making = true);

// ---- the run: reg_tool.cpp, the listing and changing operations in operations.cpp, export,
// import and copy in transfer.cpp

class Tool {
public:
    explicit Tool(ToolIo& io) : io_(io) {}
    int run(const std::vector<std::string>& args);

private:
    int fail(std::string_view message) {
        io_.err << message << '\n';
        return 1;
    }
    bool openMachine();
    enum class Answer { Yes, No, All, NoInput };
    Answer ask(const std::string& question, bool offerAll = false);
    Answer askAll(const std::string& question) { return ask(question, true); }
    int cancelled(Answer a) {
        io_.out << kCancelled << '\n';
        return a == Answer::NoInput ? 1 : 0;
    }
    bool commit();
    bool wineserverStops();

    // Symbolic-link keys are followed as Wine follows them when it opens a path; a missing key
    // ends the walk and the rest of the path is kept as it is (for creating it).
    std::optional<std::string> linkTarget(HKey k);
    // Nothing when a link on the way points outside this registry. In the 32-bit view one step of
    // the path goes into a Wow6432Node, as Wine's does (see below).
    std::optional<Place> resolve(Place start, const std::string& rest, bool followLast, bool* exists);
    // The same from a root; in the 32-bit view HKEY_CLASSES_ROOT is its own Wow6432Node.
    std::optional<Place> resolveFromRoot(int32_t root, const std::string& rest, bool followLast, bool* exists);
    std::optional<Place> wowNode(const Place& at);
    // Where a key leads when it is there (links followed), else nothing.
    std::optional<Place> existingKey(const KeyArg& key);
    std::optional<Place> enter(const Place& parent, const std::string& name);

    int query(const KeyArg& key, const Options& o);
    int add(const KeyArg& key, const Options& o);
    int remove(const KeyArg& key, const Options& o);
    int exportKey(const std::vector<std::string>& args, size_t i);
    int importFile(const std::vector<std::string>& args, size_t i);
    int copy(const std::vector<std::string>& args, size_t i);
    // Like wineserverStops, and names the Wine command that would make the same change.
    bool wineserverStops(const std::string& wineCommand);
    void exportTree(RegExportWriter& w, const Place& at, const std::string& shown);
    std::vector<StoredValue> valuesOf(HKey k);

    void valueLine(std::string_view name, uint32_t type, std::string_view data);
    void listValues(HKey k);
    std::vector<std::string> subkeyNames(HKey k);
    // Visits every key below `at` depth first, in the store's order, with an explicit stack: a
    // tree can be deeper than the call stack. A link back to a key on the current path is
    // visited when linkBacks says so, but never entered, so a loop is walked once. visit
    // answers whether the key could be opened; one that could not is not entered.
    void walkTree(const Place& at, const std::string& shown, bool linkBacks,
                  const std::function<bool(const Place&, const std::string&)>& visit);
    void listTree(const Place& at, const std::string& shown);
    size_t searchTree(const Place& at, const std::string& shown, const std::string& name);

    ToolIo& io_;
    enum class Kind { Default, Own, Wine, Windows } kind_ = Kind::Default;
    std::string windowsUser_;
    std::string folder_;
    int view_ = 0;        // /reg:32 or /reg:64 as given
    std::string viewSwitch() const { return view_ ? " /reg:" + std::to_string(view_) : std::string(); }
    bool wow32_ = false;  // the 32-bit view of a 64-bit registry
    std::unique_ptr<Machine> machine_;
};

}  // namespace qv::reg::cli
