// quorvel-reg. What Wine 8.0's `wine reg` does, as observed on a fresh prefix with its standard
// streams redirected to files (these are the facts the tool reproduces; line ends are CRLF there,
// LF here):
//
// Listing (query)
// - Value line: 4 blanks, name ("(Default)" for the empty name), 4 blanks, type name, 4 blanks,
//   data. REG_SZ and REG_EXPAND_SZ: the text up to the first NUL, control characters raw.
//   REG_MULTI_SZ: the strings joined by the two characters `\0` ("a\0b"; an empty list prints
//   nothing). REG_DWORD and REG_DWORD_BIG_ENDIAN: "0x" and lowercase hex of the little-endian
//   number without padding (0x190, 0x0; big endian is not byte-swapped). REG_BINARY, REG_NONE:
//   uppercase hex pairs, no separators, one line however long; empty data leaves the column empty
//   after its 4 blanks.
// - KEY: "\n"; when the key has values: its name, the value lines, "\n"; then every direct subkey
//   as a full name on its own line. The key is shown as the canonical root name plus the path as
//   typed (one trailing backslash dropped); subkeys in their stored case.
// - KEY /s: "\n"; the top key as above when it has values; then every key below, depth first in
//   the store's order, each as its name, its value lines (possibly none) and "\n".
// - KEY /v NAME: "\n", the key, the line (the name as typed, not as stored), "\n". A missing
//   value: "\n" then "reg: Unable to find the specified registry value", exit 1. /ve (or /v "")
//   with no default value: "\n", the key, "    (Default)    REG_SZ    (value not set)", exit 0,
//   no blank line after it.
// - /v NAME /s or /ve /s: "\n", then for every key of the subtree holding the value: key, line,
//   "\n"; finally "Search complete. Number of matches found: N".
// - Missing key: "reg: Unable to find the specified registry key", exit 1.
// - Symbolic-link keys (#link, a REG_LINK "SymbolicLinkValue" naming "\Registry\Machine\...")
//   are followed: the link is listed under its own name with the target's values and subkeys,
//   and its SymbolicLinkValue is not shown.
// - Keys that only exist while Wine runs (HKLM\Hardware, ...\NetworkCards, the computer name)
//   are in no file, so no file-based tool can list them.
// Add
// - /t: REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD,
//   REG_DWORD_LITTLE_ENDIAN (stored as REG_DWORD), REG_DWORD_BIG_ENDIAN (same bytes as REG_DWORD),
//   REG_QWORD, REG_NONE, case-insensitive; others: "reg: Unsupported registry data type [T]".
// - Strings and REG_NONE store the text in UTF-16 with one NUL (no /d: the empty string).
// - REG_DWORD: /d is required ("reg: Invalid command line parameters"); "" is 0; "0x"/"0X" at
//   the very start selects hex, otherwise decimal (a leading zero is not octal); leading blanks and
//   one sign are accepted after that choice, a leading "-" as first character is not; nothing may
//   follow the digits; a number past 32 bits fails. REG_QWORD: the same with 64 bits, /d optional,
//   and a leading "-" allowed (negated modulo 2^64). Failure: "reg: The option [/d] must be
//   followed by a valid numeric value".
// - REG_BINARY: hex digits only, an odd count gets a leading 0 ("ABC" is 0a bc); else "... a valid
//   hexadecimal value".
// - REG_MULTI_SZ: the separator is the two characters `\0`, or the one character of /s (any other
//   length of /s is a syntax error). A separator followed by another one, or one at the start
//   followed by more text, fails ("... a valid string"); a trailing separator is allowed. Stored
//   as each string with its NUL plus a final NUL; "" stores a single NUL, `\0` alone two.
// - Without /v and /ve the key's default value is set (to the empty string without /d).
// - An existing value without /f asks "The registry value 'NAME' already exists. Do you want to
//   overwrite it? (Yes|No)" ('(Default)' for the default); an answer starting with y or n
//   decides, anything else asks again; No prints "reg: The registry operation was cancelled" and
//   exits 0. Success: "reg: The operation completed successfully", exit 0.
// Delete
// - Without /f it asks first (before looking the key up): "Are you sure you want to delete the
//   registry key 'KEY'?", "... the registry value 'NAME'?", "... all registry values in 'KEY'?",
//   each followed by " (Yes|No)". /va removes the key's own values only and succeeds on a key
//   without values. Missing value: "reg: Unable to find the specified registry value", exit 1.
// Export
// - export KEY FILE [/y] [/reg:32|64]: KEY and FILE are required and the key is judged first;
//   /y (or -Y, any case) may be repeated; anything else is "reg: Invalid syntax. Type "REG EXPORT
//   /?" for help.". A missing key: "reg: Unable to find the specified registry key", exit 1, no
//   file. An existing FILE without /y asks "The file 'FILE' already exists. Do you want to
//   overwrite it? (Yes|No)" after the key was found; No cancels with exit 0. A FILE in a missing
//   folder: "Path not found.", exit 1. Success prints nothing, exit 0.
// - The file: UTF-16LE with a byte order mark, CRLF line ends. "Windows Registry Editor Version
//   5.00", then for every key "\r\n[NAME]\r\n" and its values, and one "\r\n" at the end. NAME is
//   the root's full name and the path as typed (one trailing backslash dropped); subkeys follow
//   depth first with their stored names, in the store's order, values too. Links are followed.
// - A value is "NAME"= or @= for the default. REG_SZ: "text" with \\, \", \r and \n escaped,
//   ending at the first NUL, the last unit taken as the terminator; REG_DWORD with data:
//   dword:%08x; everything else (and an empty DWORD) hex: (REG_BINARY) or hex(%x): with
//   lowercase two-digit bytes joined by commas. (So Wine loses the last character of a string
//   stored without its NUL, what follows a string's first NUL, an empty string's emptiness and
//   the bytes of a DWORD that is not four long.) The line's length is counted from its start
//   (escaped name and "=" included); after each comma, once it reaches 77, the line ends in
//   "\" and goes on after two blanks (counted as 2).
// Import
// - import FILE [/reg:32|64] ("-" is standard input). A missing file: "reg: The file 'FILE' was
//   not found.", exit 1. Success prints nothing, exit 0 even when lines were skipped.
// - A file starting with FF FE is UTF-16LE, anything else 8-bit text in the ANSI code page
//   (1252 here, so UTF-8 text comes out garbled); the first line must be
//   "Windows Registry Editor Version 5.00" or "REGEDIT4" (leading blanks allowed, nothing after),
//   in either encoding; other headers import nothing (exit 1, or 0 for "REGEDIT...").
// - Lines end at CR, LF or CRLF; leading blanks are skipped; [KEY] ends at the line's last "]"
//   (text after it is ignored); "[ " is no key; [-KEY] deletes a subtree and leaves no key open.
//   Roots as reg takes them: the five full names and HKLM, HKCU, HKCR, HKU, HKCC, any case.
//   Empty components and a trailing backslash are ignored; a backslash right after the root
//   fails the key ("reg: Unable to import the registry key 'KEY'") and its values are dropped.
// - "name"= or @= with blanks around "="; trailing blanks dropped. "name"=- deletes (blanks and a
//   ; comment may follow). "text" takes \\ \" \n \r; \0 drops the value; any other escape keeps
//   the character ("reg: Unrecognized escape sequence [\q]"). dword: takes at most 8 hex digits,
//   no 0x; "dword:" alone drops the value, "dword: ;x" is 0. hex: and hex(N): (N in hex, no 0x) are
//   case-sensitive; bytes may have blanks, + or 0x before them but no blank before the comma; a
//   line ending in ",\" continues in the next line that is not blank or a comment. hex(1),
//   hex(2), hex(7) get a NUL unit when the last one is not (an 8-bit file's bytes are text in the
//   code page, NUL byte added likewise). Anything else on a line is skipped silently.
// Copy
// - copy KEY1 KEY2 [/s] [/f] [/reg:32|64]: options once each; both keys as for query; the same
//   key twice (any case, trailing backslash aside): "reg: The source and destination keys cannot
//   be the same"; a missing KEY1: "reg: Unable to find the specified registry key"; exit 1.
// - KEY2 is made; values are copied with type and bytes, with /s every key below too (links
//   followed); values and keys only in KEY2 stay. Without /f each value KEY2 already has asks
//   "The value 'PATH\NAME' already exists in the destination key. Do you want to overwrite it?
//   (Yes|No|All)" with PATH the source path as typed below its root (plus the subkeys on the
//   way) and NAME "(Default)" for the default; No keeps that value, All stops asking. Success
//   prints nothing, exit 0.
// Arguments
// - "OP /?", "OP /h" (any case, or "-") alone prints the operation's help.
// - Operation and options are case-insensitive; options start with "/" or "-"; the word after /v,
//   /d, /t, /s is taken as it is, even when it looks like an option. Every option at most once,
//   /v /ve (/va) exclusive, /reg:32 or /reg:64 once (the view: see resolve below); anything else: "reg: Invalid
//   syntax. Type "REG QUERY /?" for help." (ADD, DELETE), exit 1. No operation: "reg: Invalid
//   syntax. Type "REG /?" for help."; an unknown one: "reg: Invalid option [X]. Type "REG /?" for
//   help.". "OP /?" alone prints the operation's help, exit 0.
// - The key is checked before the options: empty, starting with "/" or "-", or ending in two
//   backslashes: "reg: Invalid registry key"; a root other than HKLM, HKCU, HKCR, HKU, HKCC (or
//   the full names), or a root followed by a lone backslash: "reg: Invalid system key".
// - Empty components inside the path are skipped; a path starting with an empty component (a
//   backslash right after the root's) is not found (query) or "reg: Unable to access or create
//   the specified registry key" (add, delete).
//
// Where this tool departs from Wine 8 (mostly where Wine is plainly at fault):
// - Errors go to standard error (Wine writes them to standard output).
// - Text is written as UTF-8 (Wine converts to the console's OEM code page and loses characters).
// - REG_QWORD prints as "0x" and hex (Wine prints "(null)"); types without a name print as
//   REG_LINK, REG_RESOURCE_LIST... or REG_UNKNOWN(0xN) with their data in hex (Wine: "(null)").
// - DWORD and QWORD data shorter than the type are zero-extended (Wine reads past the data).
// - A REG_MULTI_SZ without its terminating NULs shows every character (Wine drops two units).
// - A question answered by end of input cancels with exit status 1 (Wine asks forever); the
//   data is checked before anything is asked or created (Wine creates the key, then fails).
// - Deleting a root key is refused (Wine reports success and does nothing).
// - import applies the whole file or nothing: a line Wine would skip, a key it could not open or
//   a root this registry lacks (HKCC, branches of HKU but the user's) is an error naming the file
//   and line. HKEY_USERS\<the user's SID> is HKEY_CURRENT_USER, so a whole-registry export
//   (regedit /E) imports once its HKEY_USERS\.Default keys are left out. Keys Wine keeps only in
//   memory (HKLM\Hardware...) are left out of a prefix's files, as Wine's import leaves them;
//   a note names them. REGEDIT4 text is read as UTF-8 when it is valid UTF-8, else as
//   Windows-1252. A UTF-8 byte order mark is allowed; REGEDIT (3.1) files are refused.
//   Odd-length hex(1|2|7) data is kept as it is (Wine adds a terminator over the last byte and
//   one byte of garbage).
// - export writes a REG_SZ in quotes only when it is text with exactly one NUL, at its end, and
//   dword: only for four bytes; other such data goes out as hex(1): or hex(4):, which Wine's
//   import reads back byte for byte (a string without its NUL gains one there, nothing is lost).
// - copy, too, is one change: cancelling at a question (end of input) copies nothing. It copies
//   the source as it was, so a copy into its own subtree copies once (Wine's recursion walks
//   into what it is copying, many levels deep).
// - A key more than 512 levels below its root, deeper than Windows allows, is not made (Wine 8
//   makes it): add and copy fail with "reg: The key is deeper than the 512 levels Windows allows",
//   import with the file and line; deleting one is allowed.
// - import and copy on a Wine prefix whose wineserver runs are refused; the message shows the
//   `wine reg import` / `wine reg copy` command that makes the change through that server.
// - A listing walks into a loop of links only once; a link leading out of this registry (to
//   HKEY_USERS\.Default, say) is treated as a missing key.

#include "registry/cli/reg_tool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <unordered_set>

#include "registry/machines/branches.h"
#include "registry/regfile/dotreg.h"
#include "registry/machines/machine.h"
#include "registry/safefile.h"
#include "registry/text.h"

namespace qv::reg::cli {

namespace {

constexpr std::string_view kOk = "reg: The operation completed successfully";
constexpr std::string_view kCancelled = "reg: The registry operation was cancelled";
constexpr std::string_view kKeyNotFound = "reg: Unable to find the specified registry key";
constexpr std::string_view kValueNotFound = "reg: Unable to find the specified registry value";
constexpr std::string_view kCannotCreate = "reg: Unable to access or create the specified registry key";
constexpr std::string_view kInvalidKey = "reg: Invalid registry key";
constexpr std::string_view kInvalidRoot = "reg: Invalid system key";
constexpr std::string_view kBadParameters = "reg: Invalid command line parameters";
constexpr std::string_view kBadNumber = "reg: The option [/d] must be followed by a valid numeric value";
constexpr std::string_view kBadHex = "reg: The option [/d] must be followed by a valid hexadecimal value";
constexpr std::string_view kBadString = "reg: The option [/d] must be followed by a valid string";

std::string upperAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && upperAscii(a) == upperAscii(b);
}

// ---------------------------------------------------------------------------------------------
// Help

constexpr std::string_view kToolHelp =
    "Usage: quorvel-reg [--machine DIR | --wine-prefix DIR | --windows DIR [--windows-user NAME]]\n"
    "                   OPERATION ...\n"
    "\n"
    "Reads and changes a registry the way Wine's `reg` command does, without starting Wine.\n"
    "\n"
    "  --machine DIR       use the Quorvel machine in DIR (made and seeded when missing or empty)\n"
    "  --wine-prefix DIR   use the Wine prefix DIR (its system.reg and user.reg); it is not\n"
    "                      changed while its wineserver runs\n"
    "  --windows DIR       use the Windows installation whose system drive is DIR (a mounted\n"
    "                      partition or a copy), through its hive files\n"
    "  --windows-user NAME with --windows: the user (profile folder or SID) whose NTUSER.DAT\n"
    "                      is HKCU; needed when the installation has several users\n"
    "  (neither)           use Quorvel's own machine in $XDG_DATA_HOME/quorvel/machine\n"
    "\n"
    "Operations:\n"
    "  query KEY [/v NAME | /ve] [/s] [/reg:32 | /reg:64]\n"
    "  add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/f] [/reg:32 | /reg:64]\n"
    "  delete KEY [/v NAME | /ve | /va] [/f] [/reg:32 | /reg:64]\n"
    "  copy KEY1 KEY2 [/s] [/f] [/reg:32 | /reg:64]\n"
    "  export KEY FILE [/y] [/reg:32 | /reg:64]\n"
    "  import FILE [/reg:32 | /reg:64]\n"
    "\n"
    "/reg:32 works on the 32-bit view of a 64-bit prefix as Wine does: a key with a Wow6432Node\n"
    "subkey is read through it (HKLM\\Software\\X is HKLM\\Software\\Wow6432Node\\X, HKCR is\n"
    "HKLM\\Software\\Classes\\Wow6432Node), and keys the prefix links between the views are\n"
    "shared. /reg:64 is the 64-bit view, the default. A 32-bit prefix has one view for both; a\n"
    "Windows installation takes /reg:64 only.\n"
    "\n"
    "Unlike Wine's reg, import applies a file all or nothing: one error anywhere in it (the\n"
    "message names the line) and nothing is changed; copy likewise lands whole or not at all.\n"
    "\n"
    "KEY is ROOT\\path with ROOT one of HKLM, HKCU, HKCR (or HKEY_LOCAL_MACHINE,\n"
    "HKEY_CURRENT_USER, HKEY_CLASSES_ROOT); HKCR is HKLM\\Software\\Classes (on a Windows\n"
    "installation merged with the user's classes, as Windows shows it).\n"
    "Type \"quorvel-reg OPERATION /?\" for the options of an operation.\n"
    "\n"
    "Exit status: 0 done (or cancelled at a question), 1 error.\n";

constexpr std::string_view kQueryHelp =
    "quorvel-reg query KEY [/v NAME | /ve] [/s] [/reg:32 | /reg:64]\n"
    "\n"
    "  Lists the values of KEY and its direct subkeys.\n"
    "\n"
    "  /v NAME  only the value NAME            /ve  only the default value\n"
    "  /s       every key below KEY as well (with /v or /ve: search the subtree for the value)\n"
    "  /reg:32  the 32-bit view (Wow6432Node)      /reg:64  the 64-bit view (the default)\n";

constexpr std::string_view kAddHelp =
    "quorvel-reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/f] [/reg:32 | /reg:64]\n"
    "\n"
    "  Creates KEY (and its parents) and sets a value in it; without /v and /ve the default\n"
    "  value is set.\n"
    "\n"
    "  /t TYPE  REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "           REG_BINARY or REG_NONE\n"
    "  /d DATA  text; a decimal or 0x-prefixed hex number (REG_DWORD, REG_QWORD); hex digits\n"
    "           (REG_BINARY); strings separated by \\0 (REG_MULTI_SZ)\n"
    "  /s SEP   one character that separates the strings of a REG_MULTI_SZ instead of \\0\n"
    "  /f       overwrite an existing value without asking\n"
    "  /reg:32  the 32-bit view (Wow6432Node)      /reg:64  the 64-bit view (the default)\n";

constexpr std::string_view kDeleteHelp =
    "quorvel-reg delete KEY [/v NAME | /ve | /va] [/f] [/reg:32 | /reg:64]\n"
    "\n"
    "  Deletes KEY with everything below it, or only values of KEY.\n"
    "\n"
    "  /v NAME  the value NAME      /ve  the default value      /va  every value of KEY\n"
    "  /f       do not ask for confirmation\n"
    "  /reg:32  the 32-bit view (Wow6432Node)      /reg:64  the 64-bit view (the default)\n";

constexpr std::string_view kCopyHelp =
    "quorvel-reg copy KEY1 KEY2 [/s] [/f] [/reg:32 | /reg:64]\n"
    "\n"
    "  Copies the values of KEY1 into KEY2 (made when missing), in one change.\n"
    "\n"
    "  /s  copy every key below KEY1 as well\n"
    "  /f  overwrite values that KEY2 already has without asking (values and keys only in KEY2\n"
    "      stay)\n"
    "  /reg:32  the 32-bit view (Wow6432Node)      /reg:64  the 64-bit view (the default)\n";

constexpr std::string_view kExportHelp =
    "quorvel-reg export KEY FILE [/y] [/reg:32 | /reg:64]\n"
    "\n"
    "  Writes KEY with everything below it to FILE as a .reg file, byte for byte as Wine's\n"
    "  reg export writes it (Windows Registry Editor Version 5.00, UTF-16 with a BOM).\n"
    "\n"
    "  /y  overwrite FILE without asking\n"
    "  /reg:32  the 32-bit view (Wow6432Node)      /reg:64  the 64-bit view (the default)\n";

constexpr std::string_view kImportHelp =
    "quorvel-reg import FILE [/reg:32 | /reg:64]\n"
    "\n"
    "  Applies a .reg file (Windows Registry Editor Version 5.00 or REGEDIT4; \"-\" reads it\n"
    "  from standard input) as one change: when any line is wrong, or any key cannot be\n"
    "  written, nothing is changed and the message names the file and line. (Wine's reg import\n"
    "  skips what it cannot read and applies the rest.)\n"
    "  REGEDIT4 files are read as UTF-8 when they are valid UTF-8, else as Windows-1252.\n"
    "  HKEY_USERS\\<the user's SID> (S-1-5-21-0-0-0-1000 in Wine) is HKEY_CURRENT_USER; other\n"
    "  branches of HKEY_USERS (.Default too) are refused. On a Wine prefix, what the file sets in\n"
    "  keys Wine keeps only in memory (HKLM\\Hardware, ...) is left out, as Wine's import does.\n"
    "\n"
    "  /reg:32  the 32-bit view (Wow6432Node)      /reg:64  the 64-bit view (the default)\n";

// ---------------------------------------------------------------------------------------------
// Keys

struct RootName {
    const char* full;
    const char* abbrev;
    int32_t handle;  // 0: a root Wine knows that no machine here has
};

constexpr RootName kRoots[] = {
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
std::optional<std::string_view> parseKey(std::string_view arg, KeyArg* key) {
    if (arg.empty() || arg[0] == '/' || arg[0] == '-' ||
        (arg.size() >= 2 && arg.substr(arg.size() - 2) == "\\\\"))
        return kInvalidKey;
    const size_t slash = arg.find('\\');
    const std::string_view rootPart = arg.substr(0, slash);
    for (const RootName& r : kRoots) {
        if (equalsNoCase(rootPart, r.full) || equalsNoCase(rootPart, r.abbrev)) key->root = &r;
    }
    if (!key->root) return kInvalidRoot;
    std::string_view sub;
    if (slash != std::string_view::npos) {
        sub = arg.substr(slash + 1);
        if (sub.empty()) return kInvalidRoot;
        if (sub.back() == '\\') sub.remove_suffix(1);
    }
    key->shown = key->root->full;
    if (!sub.empty()) {
        key->shown += '\\';
        key->shown += sub;
    }
    key->leadingEmpty = !sub.empty() && sub[0] == '\\';
    size_t i = 0;
    while (i <= sub.size()) {
        size_t j = sub.find('\\', i);
        if (j == std::string_view::npos) j = sub.size();
        if (j > i) {
            if (!key->path.empty()) key->path += '\\';
            key->path += sub.substr(i, j - i);
        }
        i = j + 1;
    }
    return std::nullopt;
}

// The roots Wine knows that no machine here has.
std::optional<std::string> rootOutside(const KeyArg& key) {
    if (key.root->handle != 0) return std::nullopt;
    return std::string("quorvel-reg: ") + key.root->full +
           " is not part of this registry; use HKEY_LOCAL_MACHINE (HKLM), "
           "HKEY_CURRENT_USER (HKCU) or HKEY_CLASSES_ROOT (HKCR)";
}

// The path of a key argument as typed, without its root and one trailing backslash.
std::string key0Path(std::string_view arg) {
    const size_t slash = arg.find('\\');
    if (slash == std::string_view::npos) return {};
    std::string_view sub = arg.substr(slash + 1);
    if (!sub.empty() && sub.back() == '\\') sub.remove_suffix(1);
    return std::string(sub);
}

// ---------------------------------------------------------------------------------------------
// Data: formatting

std::u16string unitsOf(std::string_view data) { return bytesToUtf16(data); }

uint64_t littleEndian(std::string_view data, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width && i < data.size(); ++i)
        v |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    return v;
}

std::string hexNumber(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string hexBytes(std::string_view data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(data.size() * 2);
    for (unsigned char c : data) {
        r += digits[c >> 4];
        r += digits[c & 15];
    }
    return r;
}

// ---------------------------------------------------------------------------------------------
// Data: parsing

bool isBlank(char16_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

int digitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// The number rules of /d for REG_DWORD (bits 32) and REG_QWORD (bits 64).
std::optional<uint64_t> parseNumber(std::u16string_view s, int bits) {
    if (s.empty()) return 0;
    if (bits == 32 && s[0] == u'-') return std::nullopt;
    const bool hex = s.size() >= 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X');
    const unsigned base = hex ? 16 : 10;
    const uint64_t max = bits == 64 ? UINT64_MAX : UINT32_MAX;
    size_t i = 0;
    bool negative = false;
    if (hex) {
        i = 2;
    } else {
        while (i < s.size() && isBlank(s[i])) ++i;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    }
    if (i == s.size()) return std::nullopt;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const int d = digitValue(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base) return std::nullopt;
        if (v > (max - static_cast<uint64_t>(d)) / base) return std::nullopt;
        v = v * base + static_cast<uint64_t>(d);
    }
    if (negative) v = (~v + 1) & max;
    return v;
}

std::string numberBytes(uint64_t v, size_t width) {
    std::string r(width, '\0');
    for (size_t i = 0; i < width; ++i) r[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    return r;
}

std::optional<std::string> parseMultiString(std::u16string_view data, std::u16string_view sep) {
    std::u16string out;
    if (data.empty()) return utf16ToBytes(std::u16string(1, u'\0'));
    bool endsWithSeparator = false;
    size_t i = 0;
    while (i < data.size()) {
        if (data.substr(i, sep.size()) == sep) {
            const size_t next = i + sep.size();
            if (i == 0 && next < data.size()) return std::nullopt;       // an empty first string
            if (data.substr(next, sep.size()) == sep) return std::nullopt;  // an empty string
            out += u'\0';
            i = next;
            endsWithSeparator = true;
        } else {
            out += data[i++];
            endsWithSeparator = false;
        }
    }
    out += u'\0';
    if (!endsWithSeparator) out += u'\0';
    return utf16ToBytes(out);
}

// ---------------------------------------------------------------------------------------------
// Arguments

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

const char* opWord(Op op) {
    switch (op) {
    case Op::Query: return "QUERY";
    case Op::Add: return "ADD";
    case Op::Delete: return "DELETE";
    case Op::Copy: return "COPY";
    case Op::Export: return "EXPORT";
    case Op::Import: return "IMPORT";
    }
    return "";
}

std::string syntaxError(Op op) {
    return std::string("reg: Invalid syntax. Type \"REG ") + opWord(op) + " /?\" for help.";
}

// /reg:32 or /reg:64, once.
bool takeView(std::string_view upperName, int* view) {
    if (*view) return false;
    *view = upperName == "REG:32" ? 32 : 64;
    return true;
}

// Parses the options after the key; false on any syntax error.
bool parseOptions(Op op, const std::vector<std::string>& args, size_t from, Options* o) {
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) return false;
        const std::string name = upperAscii(std::string_view(a).substr(1));
        auto takeWord = [&](std::optional<std::string>* slot) {
            if (*slot || i + 1 >= args.size()) return false;
            *slot = args[++i];
            return true;
        };
        auto takeFlag = [](bool* flag) {
            if (*flag) return false;
            *flag = true;
            return true;
        };
        bool ok;
        if (name == "V") ok = takeWord(&o->valueName);
        else if (name == "VE") ok = takeFlag(&o->defaultValue);
        else if (name == "VA" && op == Op::Delete) ok = takeFlag(&o->allValues);
        else if (name == "S" && op == Op::Query) ok = takeFlag(&o->recurse);
        else if (name == "S" && op == Op::Add) ok = takeWord(&o->separator);
        else if (name == "T" && op == Op::Add) ok = takeWord(&o->type);
        else if (name == "D" && op == Op::Add) ok = takeWord(&o->data);
        else if (name == "F" && op != Op::Query) ok = takeFlag(&o->force);
        else if (name == "REG:32" || name == "REG:64") ok = takeView(name, &o->view);
        else ok = false;
        if (!ok) return false;
    }
    const int which = (o->valueName ? 1 : 0) + (o->defaultValue ? 1 : 0) + (o->allValues ? 1 : 0);
    if (which > 1) return false;
    if (o->separator && utf8ToUtf16(*o->separator).size() != 1) return false;
    return true;
}

struct TypeName {
    const char* name;
    uint32_t type;
};

constexpr TypeName kAddTypes[] = {
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

// ---------------------------------------------------------------------------------------------
// The run

// A key as the store knows it: a root and a path without empty components.
struct Place {
    int32_t root = 0;
    std::string path;
};

std::string childPath(const std::string& path, std::string_view name) {
    return path.empty() ? std::string(name) : path + '\\' + std::string(name);
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('\\', i);
        if (j == std::string::npos) j = path.size();
        parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

// Where a symbolic-link key's target ("\Registry\Machine\..." or the user's branch) lives here.
std::optional<Place> linkPlace(std::string_view target) {
    static const std::pair<std::string_view, int32_t> kBranches[] = {
        {"\\Registry\\Machine", HKEY_LOCAL_MACHINE},
        {"\\Registry\\User\\S-1-5-21-0-0-0-1000", HKEY_CURRENT_USER},
    };
    for (const auto& [prefix, root] : kBranches) {
        if (target.size() < prefix.size() || !equalsNoCase(target.substr(0, prefix.size()), prefix)) continue;
        std::string_view rest = target.substr(prefix.size());
        if (!rest.empty() && rest[0] != '\\') continue;
        Place p{root, {}};
        for (const std::string& c : components(std::string(rest)))
            if (!c.empty()) p.path = childPath(p.path, c);
        return p;
    }
    return std::nullopt;
}

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

constexpr int kMaxLinkHops = 64;

// The same key whichever way it was reached (HKCR or HKLM, any case).
std::string identity(const Place& p) {
    int32_t root = p.root;
    std::string path = p.path;
    if (root == HKEY_CLASSES_ROOT) {
        root = HKEY_LOCAL_MACHINE;
        path = childPath("Software\\Classes", path);
    }
    return std::to_string(root) + ':' + utf16ToUtf8(foldName(utf8ToUtf16(path)));
}

bool Tool::openMachine() {
    try {
        if (kind_ == Kind::Windows) machine_ = Machine::openWindows(folder_, windowsUser_);
        else if (kind_ == Kind::Wine) machine_ = Machine::openWinePrefix(folder_);
        else if (kind_ == Kind::Own) machine_ = Machine::openOwn(folder_);
        else machine_ = Machine::openOwn(Machine::defaultOwnFolder());
    } catch (const MachineError& e) {
        io_.err << "quorvel-reg: " << e.what() << '\n';
        return false;
    } catch (const std::exception& e) {
        io_.err << "quorvel-reg: the machine could not be opened: " << e.what() << '\n';
        return false;
    }
    for (const std::string& w : machine_->warnings()) io_.err << w << '\n';
    if (view_ == 32 && machine_->kind() == Machine::Kind::Windows) {
        io_.err << "quorvel-reg: /reg:32 (the 32-bit view) is not available for a Windows installation; "
                   "name its keys under Wow6432Node instead\n";
        return false;
    }
    wow32_ = view_ == 32 && !machine_->singleView();
    return true;
}

// Stops a change before anything is asked or done when Wine's server would overwrite it.
bool Tool::wineserverStops() {
    if (machine_->kind() != Machine::Kind::WinePrefix) return false;
    if (auto msg = machine_->wineserverRunning()) {
        io_.err << "quorvel-reg: " << *msg << '\n';
        return true;
    }
    return false;
}

// Single quotes for a POSIX shell.
std::string shellQuote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'') r += "'\\''";
        else r += c;
    }
    return r + "'";
}

bool Tool::wineserverStops(const std::string& wineCommand) {
    if (!wineserverStops()) return false;
    io_.err << "quorvel-reg: to make this change through the running Wine instead:\n  WINEPREFIX="
            << shellQuote(std::filesystem::absolute(folder_).lexically_normal().string()) << ' '
            << wineCommand << '\n';
    return true;
}

bool Tool::commit() {
    if (!machine_->hasChanges()) return true;
    try {
        machine_->commit();
    } catch (const MachineError& e) {
        io_.err << "quorvel-reg: " << e.what() << '\n';
        return false;
    }
    return true;
}

Tool::Answer Tool::ask(const std::string& question, bool offerAll) {
    for (;;) {
        io_.out << question << (offerAll ? " (Yes|No|All)" : " (Yes|No)");
        io_.out.flush();
        std::string line;
        if (!std::getline(io_.in, line)) {
            io_.out << '\n';
            return Answer::NoInput;
        }
        if (!io_.interactive) io_.out << '\n';
        size_t i = 0;
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i < line.size()) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
            if (c == 'y') return Answer::Yes;
            if (c == 'n') return Answer::No;
            if (c == 'a' && offerAll) return Answer::All;
        }
    }
}

std::optional<std::string> Tool::linkTarget(HKey k) {
    uint32_t type = 0;
    std::string data;
    if (machine_->queryValue(k, "SymbolicLinkValue", &type, &data) != ERROR_SUCCESS || type != REG_LINK)
        return std::nullopt;
    std::u16string target = bytesToUtf16(data);
    while (!target.empty() && target.back() == u'\0') target.pop_back();
    return utf16ToUtf8(target);
}

std::optional<Place> Tool::existingKey(const KeyArg& key) {
    bool exists;
    std::optional<Place> found = resolveFromRoot(key.root->handle, key.path, true, &exists);
    HKey k;
    if (!found || !exists || machine_->openKey(found->root, found->path, &k) != ERROR_SUCCESS) return std::nullopt;
    machine_->closeKey(k);
    return found;
}

std::optional<Place> Tool::wowNode(const Place& at) {
    Place w{at.root, childPath(at.path, "Wow6432Node")};
    HKey k;
    if (machine_->openKey(w.root, w.path, &k) != ERROR_SUCCESS) return std::nullopt;
    machine_->closeKey(k);
    return w;
}

// The 32-bit view of a 64-bit prefix, as Wine 8's `reg ... /reg:32` showed it on a fresh prefix:
// - Opening a path takes one step into a Wow6432Node: before the first component whose parent
//   has a Wow6432Node subkey (HKLM\Software\X is Software\Wow6432Node\X), or, when none had
//   one, into the key's own Wow6432Node at the end (HKLM\Software itself is its Wow6432Node).
//   Later components are taken as they are (P\Q\R with P\Wow6432Node\Q\Wow6432Node\R is
//   P\Wow6432Node\Q\R), and a component named Wow6432Node ends the redirection. Missing keys
//   are made where the path led. A walk below a key opens each subkey by name anew, so each
//   may step into its own Wow6432Node.
// - Every root is its own key but HKEY_CLASSES_ROOT, which is Software\Classes\Wow6432Node
//   (HKCR\.txt is not found there) - except that a query of HKCR itself lists the 64-bit
//   classes.
// - Wine's server shares no key by itself: the keys shared between the views are symbolic links
//   that a new prefix holds, in Software\Wow6432Node (Classes, to Software\Classes\Wow6432Node;
//   Policies; Registered Applications; Wine\Ports; and below Microsoft: Clients,
//   Cryptography\Calais\Current and \Readers, Cryptography\Services,
//   CTF\SystemShared, CTF\TIP, DFS, Driver Signing, EnterpriseCertificates, EventSystem, MSMQ,
//   Non-Driver Signing, Notepad\DefaultFonts, OLE, RAS, RPC, Shared Tools\MSInfo,
//   SystemCertificates, TermServLicensing, Transaction Server, Windows\CurrentVersion's
//   {App Paths, Control Panel\Cursors\Schemes, Explorer\AutoplayHandlers,
//   Explorer\DriveIcons, Explorer\KindMap, Group Policy, Policies, PreviewHandlers, Setup,
//   Telephony\Locations, Time Zones} and Windows NT\CurrentVersion\{Console, FontDpi,
//   FontLink, FontMapper, Fonts, FontSubstitutes, Gre_Initialize, Image File Execution Options,
//   LanguagePack, NetworkCards, Perflib, Ports, Print, ProfileList, Time Zones}) and in
//   Software\Classes\Wow6432Node (AppId, Protocols, TypeLib). So the other subkeys of
//   Software\Classes are not shared: HKCR\.new /reg:32 is made in Classes\Wow6432Node.
//   HKLM\System and HKCU (which has no Wow6432Node) are the same in both views. Links are
//   followed as they are, in the 64-bit view.
std::optional<Place> Tool::resolve(Place start, const std::string& rest, bool followLast, bool* exists) {
    // A stack: the next component at the back, with whether it came from a link's target.
    std::vector<std::pair<std::string, bool>> todo;
    for (std::string& c : components(rest)) todo.emplace_back(std::move(c), false);
    std::reverse(todo.begin(), todo.end());
    Place cur = std::move(start);
    int hops = 0;
    *exists = true;
    bool redirect = wow32_ && !todo.empty();
    // Each level is opened below the one before, so that a deep path costs its length once; a
    // Windows installation maps its paths, so there each is opened from its root.
    const bool below = machine_->kind() != Machine::Kind::Windows;
    HKey at = nullptr;  // the key at cur, while walking below
    auto drop = [&](HKey& k) {
        if (k) machine_->closeKey(k);
        k = nullptr;
    };
    while (!todo.empty()) {
        const std::string name = todo.back().first;
        if (redirect && !todo.back().second) {
            if (equalsNoCase(name, "Wow6432Node")) {
                redirect = false;
            } else if (std::optional<Place> w = wowNode(cur)) {
                cur = std::move(*w);
                redirect = false;
                drop(at);  // cur moved: the next level is opened from its root
            }
        }
        const std::string parent = cur.path;
        cur.path = childPath(cur.path, name);
        HKey k;
        const int32_t st = below && at ? machine_->openSubkey(at, name, &k) : machine_->openKey(cur.root, cur.path, &k);
        if (st != ERROR_SUCCESS) {
            cur.path = parent;
            break;
        }
        std::optional<std::string> target;
        if (todo.size() > 1 || followLast) target = linkTarget(k);
        todo.pop_back();
        drop(at);
        if (!target) {
            if (below) at = k;
            else machine_->closeKey(k);
            continue;
        }
        machine_->closeKey(k);
        const std::optional<Place> to = linkPlace(*target);
        if (!to || ++hops > kMaxLinkHops) return std::nullopt;
        cur = *to;
        // The target's own path may pass through links too.
        std::vector<std::string> parts = components(cur.path);
        cur.path.clear();
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.emplace_back(*it, true);
    }
    drop(at);
    for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
        cur.path = childPath(cur.path, it->first);
        *exists = false;
    }
    if (redirect && *exists)
        if (std::optional<Place> w = wowNode(cur)) cur = std::move(*w);
    return cur;
}

std::optional<Place> Tool::resolveFromRoot(int32_t root, const std::string& rest, bool followLast, bool* exists) {
    Place start{root, {}};
    if (wow32_ && root == HKEY_CLASSES_ROOT) {
        bool found;
        const std::optional<Place> classes = resolve({HKEY_LOCAL_MACHINE, {}}, "Software\\Classes", true, &found);
        if (!classes || !found) {
            *exists = false;
            return Place{root, rest};
        }
        start = *classes;
    }
    return resolve(std::move(start), rest, followLast, exists);
}

std::optional<Place> Tool::enter(const Place& parent, const std::string& name) {
    bool exists;
    return resolve(parent, name, true, &exists);
}

void Tool::valueLine(std::string_view name, uint32_t type, std::string_view data) {
    io_.out << "    " << (name.empty() ? std::string_view("(Default)") : name) << "    "
            << typeName(type) << "    " << formatData(type, data) << '\n';
}

void Tool::listValues(HKey k) {
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; machine_->enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        valueLine(name, type, data);
}

std::vector<std::string> Tool::subkeyNames(HKey k) {
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; machine_->enumKey(k, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
}

// Every key below `at`: its name, its values and a blank line, depth first.
void Tool::walkTree(const Place& at, const std::string& shown, bool linkBacks,
                    const std::function<bool(const Place&, const std::string&)>& visit) {
    struct Frame {
        Place place;
        std::string shown, id;
        std::vector<std::string> subs;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    std::unordered_set<std::string> onPath;
    auto enterKey = [&](const Place& p, const std::string& sh, std::string id) {
        HKey k;
        std::vector<std::string> subs;
        if (machine_->openKey(p.root, p.path, &k) == ERROR_SUCCESS) {
            subs = subkeyNames(k);
            machine_->closeKey(k);
        }
        onPath.insert(id);
        stack.push_back(Frame{p, sh, std::move(id), std::move(subs), 0});
    };
    enterKey(at, shown, identity(at));
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.subs.size()) {
            onPath.erase(f.id);
            stack.pop_back();
            continue;
        }
        const std::string& name = f.subs[f.next++];
        const std::optional<Place> child = enter(f.place, name);
        if (!child) continue;
        std::string sh = f.shown + '\\' + name;
        std::string id = identity(*child);
        const bool linkBack = onPath.count(id) > 0;
        if (linkBack && !linkBacks) continue;
        if (visit(*child, sh) && !linkBack) enterKey(*child, sh, std::move(id));
    }
}

void Tool::listTree(const Place& at, const std::string& shown) {
    walkTree(at, shown, true, [&](const Place& p, const std::string& sh) {
        HKey c;
        if (machine_->openKey(p.root, p.path, &c) != ERROR_SUCCESS) return false;
        io_.out << sh << '\n';
        listValues(c);
        io_.out << '\n';
        machine_->closeKey(c);
        return true;
    });
}

size_t Tool::searchTree(const Place& at, const std::string& shown, const std::string& name) {
    size_t found = 0;
    auto search = [&](const Place& p, const std::string& sh) {
        HKey k;
        if (machine_->openKey(p.root, p.path, &k) != ERROR_SUCCESS) return false;
        uint32_t type = 0;
        std::string data;
        if (machine_->queryValue(k, name, &type, &data) == ERROR_SUCCESS) {
            io_.out << sh << '\n';
            valueLine(name, type, data);
            io_.out << '\n';
            ++found;
        }
        machine_->closeKey(k);
        return true;
    };
    if (search(at, shown)) walkTree(at, shown, false, search);
    return found;
}

int Tool::query(const KeyArg& key, const Options& o) {
    if (key.leadingEmpty) return fail(kKeyNotFound);
    if (!openMachine()) return 1;
    if (machine_->kind() == Machine::Kind::WinePrefix && machine_->wineserverRunning())
        io_.err << "quorvel-reg: note: the wineserver of this prefix is running; the files may "
                   "not hold its latest changes yet\n";
    // A root itself is listed as it is, whatever the view (Wine lists HKCR's 64-bit classes).
    const std::optional<Place> found = key.path.empty() ? Place{key.root->handle, {}} : existingKey(key);
    HKey k;
    if (!found || machine_->openKey(found->root, found->path, &k) != ERROR_SUCCESS) return fail(kKeyNotFound);
    const Place& at = *found;

    const bool byName = o.valueName || o.defaultValue;
    const std::string name = o.valueName ? *o.valueName : std::string();
    io_.out << '\n';
    if (byName && o.recurse) {
        machine_->closeKey(k);
        const size_t n = searchTree(at, key.shown, name);
        io_.out << "Search complete. Number of matches found: " << n << '\n';
        return 0;
    }
    if (byName) {
        uint32_t type = 0;
        std::string data;
        const bool present = machine_->queryValue(k, name, &type, &data) == ERROR_SUCCESS;
        machine_->closeKey(k);
        if (!present && !name.empty()) return fail(kValueNotFound);
        io_.out << key.shown << '\n';
        if (!present) {
            io_.out << "    (Default)    REG_SZ    (value not set)\n";
            return 0;
        }
        valueLine(name, type, data);
        io_.out << '\n';
        return 0;
    }
    KeyInfo info;
    if (machine_->queryInfoKey(k, &info) == ERROR_SUCCESS && info.values > 0) {
        io_.out << key.shown << '\n';
        listValues(k);
        io_.out << '\n';
    }
    if (o.recurse) {
        machine_->closeKey(k);
        listTree(at, key.shown);
        return 0;
    }
    for (const std::string& s : subkeyNames(k)) io_.out << key.shown << '\\' << s << '\n';
    machine_->closeKey(k);
    return 0;
}

// A key path's component or a value name the store would refuse, or a key to be made deeper
// than Windows allows, told before anything is done.
std::optional<std::string> refusedName(const std::string& path, const std::string* valueName, bool making = true) {
    for (const std::string& c : components(path)) {
        if (utf8ToUtf16(c).size() > kMaxKeyNameLength)
            return "reg: A key name is longer than " + std::to_string(kMaxKeyNameLength) +
                   " characters";
    }
    if (making && keyDepth(path) > kMaxKeyDepth)
        return "reg: The key is deeper than the " + std::to_string(kMaxKeyDepth) + " levels Windows allows";
    if (valueName && utf8ToUtf16(*valueName).size() > kMaxValueNameLength)
        return "reg: The value name is longer than " + std::to_string(kMaxValueNameLength) +
               " characters";
    return std::nullopt;
}

int Tool::add(const KeyArg& key, const Options& o) {
    uint32_t type = REG_SZ;
    if (o.type) {
        bool known = false;
        for (const TypeName& t : kAddTypes) {
            if (equalsNoCase(*o.type, t.name)) {
                type = t.type;
                known = true;
            }
        }
        if (!known) return fail("reg: Unsupported registry data type [" + *o.type + "]");
    }
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && !o.data) return fail(kBadParameters);
    if (key.leadingEmpty) return fail(kCannotCreate);
    DataError dataError;
    const std::optional<std::string> bytes =
        parseData(type, o.data, o.separator ? std::string_view(*o.separator) : "\\0", &dataError);
    if (!bytes) return fail(dataError.message);
    const std::string name = o.valueName ? *o.valueName : std::string();
    if (auto msg = refusedName(key.path, &name)) return fail(*msg);

    if (!openMachine()) return 1;
    if (wineserverStops()) return 1;
    bool exists;
    const std::optional<Place> found = resolveFromRoot(key.root->handle, key.path, true, &exists);
    if (!found) return fail(kCannotCreate);
    const Place& at = *found;
    HKey k;
    if (!o.force && exists && machine_->openKey(at.root, at.path, &k) == ERROR_SUCCESS) {
        const bool present = machine_->queryValue(k, name, nullptr, nullptr) == ERROR_SUCCESS;
        machine_->closeKey(k);
        if (present) {
            const Answer a = ask("The registry value '" + (name.empty() ? std::string("(Default)") : name) +
                                 "' already exists. Do you want to overwrite it?");
            if (a != Answer::Yes) return cancelled(a);
        }
    }
    if (machine_->createKey(at.root, at.path, &k) != ERROR_SUCCESS) return fail(kCannotCreate);
    const int32_t st = machine_->setValue(k, name, type, *bytes);
    machine_->closeKey(k);
    if (st != ERROR_SUCCESS) return fail("reg: " + statusText(st));
    if (!commit()) return 1;
    io_.out << kOk << '\n';
    return 0;
}

int Tool::remove(const KeyArg& key, const Options& o) {
    if (key.leadingEmpty) return fail(kCannotCreate);
    const bool wholeKey = !o.valueName && !o.defaultValue && !o.allValues;
    if (wholeKey && key.path.empty())
        return fail("reg: " + key.shown + " is a root key and cannot be deleted");
    if (!openMachine()) return 1;
    if (wineserverStops()) return 1;
    const std::string name = o.valueName ? *o.valueName : std::string();
    if (!o.force) {
        std::string q;
        if (wholeKey) q = "Are you sure you want to delete the registry key '" + key.shown + "'?";
        else if (o.allValues) q = "Are you sure you want to delete all registry values in '" + key.shown + "'?";
        else q = "Are you sure you want to delete the registry value '" +
                 (name.empty() ? std::string("(Default)") : name) + "'?";
        const Answer a = ask(q);
        if (a != Answer::Yes) return cancelled(a);
    }
    // Deleting a link key removes the link, not what it points to.
    bool exists;
    const std::optional<Place> found = resolveFromRoot(key.root->handle, key.path, !wholeKey, &exists);
    HKey k;
    if (!found || !exists || machine_->openKey(found->root, found->path, &k) != ERROR_SUCCESS)
        return fail(kKeyNotFound);
    const Place& at = *found;
    if (wholeKey) {
        machine_->closeKey(k);
        if (at.path.empty()) return fail("reg: " + key.shown + " is a root key and cannot be deleted");
        const int32_t st = machine_->deleteKey(at.root, at.path);
        if (st == ERROR_FILE_NOT_FOUND) return fail(kKeyNotFound);
        if (st != ERROR_SUCCESS) return fail("reg: " + statusText(st));
    } else if (o.allValues) {
        std::vector<std::string> names;
        std::string n, data;
        uint32_t type = 0;
        for (uint32_t i = 0; machine_->enumValue(k, i, &n, &type, &data) == ERROR_SUCCESS; ++i)
            names.push_back(n);
        for (const std::string& v : names) machine_->deleteValue(k, v);
        machine_->closeKey(k);
    } else {
        const int32_t st = machine_->deleteValue(k, name);
        machine_->closeKey(k);
        if (st == ERROR_FILE_NOT_FOUND) return fail(kValueNotFound);
        if (st != ERROR_SUCCESS) return fail("reg: " + statusText(st));
    }
    if (!commit()) return 1;
    io_.out << kOk << '\n';
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Export, import, copy

std::vector<StoredValue> Tool::valuesOf(HKey k) {
    std::vector<StoredValue> values;
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; machine_->enumValue(k, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        values.push_back({utf8ToUtf16(name), type, data});
    return values;
}

// Every key below `at`, depth first in the store's order (Wine's), links followed.
void Tool::exportTree(RegExportWriter& w, const Place& at, const std::string& shown) {
    auto write = [&](const Place& p, const std::string& sh) {
        HKey k;
        if (machine_->openKey(p.root, p.path, &k) != ERROR_SUCCESS) return false;
        w.key(utf8ToUtf16(sh));
        for (const StoredValue& v : valuesOf(k)) w.value(v.name, v.type, v.data);
        machine_->closeKey(k);
        return true;
    };
    if (write(at, shown)) walkTree(at, shown, false, write);
}

// Options of export, import and copy: the letters allowed, each at most once unless repeatable;
// /reg:32 or /reg:64 once. False on anything else.
bool parseFlags(const std::vector<std::string>& args, size_t from, std::string_view letters,
                std::string_view repeatable, std::string* seen, int* view) {
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) return false;
        const std::string name = upperAscii(std::string_view(a).substr(1));
        if (name == "REG:32" || name == "REG:64") {
            if (!takeView(name, view)) return false;
            continue;
        }
        if (name.size() != 1 || letters.find(name[0]) == std::string_view::npos) return false;
        if (seen->find(name[0]) != std::string::npos && repeatable.find(name[0]) == std::string_view::npos)
            return false;
        *seen += name[0];
    }
    return true;
}

// The rest of a stream, in blocks into room made for the size expected (a file's).
void readAll(std::istream& in, uintmax_t expected, std::string* out) {
    out->reserve(static_cast<size_t>(expected));
    char block[1 << 16];
    while (in.read(block, sizeof block) || in.gcount() > 0) out->append(block, static_cast<size_t>(in.gcount()));
}

// Why a file could not be written, in the words Windows uses for the common cases.
std::string fileError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR: return "Path not found.";
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return "Access denied.";
    default: return std::strerror(err);
    }
}

int Tool::exportKey(const std::vector<std::string>& args, size_t i) {
    if (args.size() - i < 2) return fail(syntaxError(Op::Export));
    KeyArg key;
    if (auto msg = parseKey(args[i], &key)) return fail(*msg);
    const std::string file = args[i + 1];
    std::string flags;
    if (!parseFlags(args, i + 2, "Y", "Y", &flags, &view_)) return fail(syntaxError(Op::Export));
    if (auto msg = rootOutside(key)) return fail(*msg);
    if (key.leadingEmpty) return fail(kKeyNotFound);
    if (!openMachine()) return 1;
    const std::optional<Place> found = existingKey(key);
    if (!found) return fail(kKeyNotFound);

    std::error_code ec;
    if (flags.empty() && std::filesystem::exists(file, ec)) {
        const Answer a = ask("The file '" + file + "' already exists. Do you want to overwrite it?");
        if (a != Answer::Yes) return cancelled(a);
    }
    RegExportWriter w;
    exportTree(w, *found, key.shown);
    const std::string bytes = w.finish();
    try {
        // A link planted at the name is replaced, never written through.
        writeFileSafely(file, bytes);
    } catch (const SafeFileError& e) {
        return fail(e.code() ? fileError(e.code()) : "quorvel-reg: " + std::string(e.what()));
    }
    return 0;
}

int Tool::importFile(const std::vector<std::string>& args, size_t i) {
    if (args.size() - i < 1) return fail(syntaxError(Op::Import));
    const std::string file = args[i];
    std::string flags;
    if (!parseFlags(args, i + 1, "", "", &flags, &view_)) return fail(syntaxError(Op::Import));
    std::string bytes;
    if (file == "-") {
        readAll(io_.in, 0, &bytes);
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in || std::filesystem::is_directory(file))
            return fail("reg: The file '" + file + "' was not found.");
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(file, ec);
        readAll(in, ec ? 0 : size, &bytes);
    }
    const std::string shownName = file == "-" ? std::string("(standard input)") : file;
    const std::string nothing = "\nquorvel-reg: nothing was imported";
    // The file is read three times rather than held as a change set: checked whole first (what
    // the store would refuse is told with its line before anything is done), its keys then
    // resolved, then applied. A value's key is its [KEY] line's, so only key lines are looked at.
    auto keyOp = [](const ChangeOp& op) { return op.kind == ChangeOp::Kind::CreateKey || op.kind == ChangeOp::Kind::DeleteKey; };
    std::string error, why;
    size_t whyLine = 0;
    const bool read = readRegFileOps(bytes, shownName, &error, [&](const ChangeOp& op, size_t line) {
        if (!why.empty()) return true;
        if (!keyOp(op)) {
            if (op.name.size() > kMaxValueNameLength)
                why = "The value name is longer than " + std::to_string(kMaxValueNameLength) + " characters";
        } else if (op.root != HKEY_LOCAL_MACHINE && op.root != HKEY_CURRENT_USER && op.root != HKEY_CLASSES_ROOT &&
                   op.root != HKEY_USERS) {
            why = std::string(rootName(op.root)) +
                  " is not part of this registry (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
                  "HKEY_CLASSES_ROOT and the user's branch of HKEY_USERS are)";
        } else if (auto msg = refusedName(utf16ToUtf8(op.key), nullptr, op.kind == ChangeOp::Kind::CreateKey)) {
            why = msg->substr(5);
        }
        whyLine = line;
        return true;
    });
    if (!read) return fail("quorvel-reg: " + error + nothing);
    if (!why.empty()) return fail("quorvel-reg: " + shownName + ":" + std::to_string(whyLine) + ": " + why + nothing);
    if (!openMachine()) return 1;
    // HKEY_USERS\<this machine's user> is HKEY_CURRENT_USER, as in a whole-registry export; any
    // other branch refuses the file before anything is done.
    readRegFileOps(bytes, shownName, nullptr, [&](const ChangeOp& op, size_t line) {
        if (op.root != HKEY_USERS) return true;
        ChangeOp mapped = op;
        bool drop;
        if (mapUsersBranch(*machine_, &mapped, &drop, &error)) return true;
        why = error;
        whyLine = line;
        return false;
    });
    if (!why.empty()) return fail("quorvel-reg: " + shownName + ":" + std::to_string(whyLine) + ": " + why + nothing);
    const std::string wineFile =
        file == "-" ? file : std::filesystem::absolute(file).lexically_normal().string();
    if (wineserverStops("wine reg import " + shellQuote(wineFile) + viewSwitch())) return 1;

    // Keys are reached through symbolic links as Wine reaches them (HKLM\System\CurrentControlSet
    // is one), all as they are before the import; a deleted key is the link itself, as with
    // delete. Only the key lines a link leads elsewhere are kept, by their number.
    std::vector<std::pair<size_t, Place>> elsewhere;
    size_t keyLines = 0;
    std::vector<std::string> inMemory;
    ChangeOp prepared;
    readRegFileOps(bytes, shownName, nullptr, [&](const ChangeOp& in, size_t) {
        if (!keyOp(in)) return true;
        const size_t n = keyLines++;
        const Prepared how = prepareOp(*machine_, in, &prepared, &error, nullptr);
        if (how == Prepared::Drop || how == Prepared::Refuse) return true;
        const ChangeOp& op = how == Prepared::Mapped ? prepared : in;
        bool exists;
        const std::string key = utf16ToUtf8(op.key);
        const std::optional<Place> to = resolveFromRoot(op.root, key, op.kind != ChangeOp::Kind::DeleteKey, &exists);
        if (!to) {
            std::string shown(rootName(op.root));
            if (!op.key.empty()) shown += "\\" + key;
            why = shown + ": a symbolic link on the way leads out of this registry";
            return false;
        }
        if (to->root != op.root || to->path != key) elsewhere.emplace_back(n, *to);
        return true;
    });
    if (!why.empty()) return fail("quorvel-reg: " + shownName + ": " + why + nothing);

    Machine::Applier applier(*machine_);
    keyLines = 0;
    size_t next = 0;  // in elsewhere
    ChangeOp moved;   // the last key line's operation when a link leads it elsewhere
    bool isMoved = false;
    int32_t st = ERROR_SUCCESS;
    readRegFileOps(bytes, shownName, nullptr, [&](const ChangeOp& in, size_t) {
        // What Wine keeps only in memory stays out of the files, as Wine's import leaves it.
        const Prepared how = prepareOp(*machine_, in, &prepared, &error, &inMemory);
        if (keyOp(in) && how == Prepared::Drop) ++keyLines;
        if (how == Prepared::Drop) return true;
        if (how == Prepared::Refuse) {
            st = ERROR_INVALID_PARAMETER;
            return false;
        }
        const ChangeOp& op = how == Prepared::Mapped ? prepared : in;
        if (keyOp(op)) {
            const size_t n = keyLines++;
            isMoved = next < elsewhere.size() && elsewhere[next].first == n;
            if (isMoved) {
                moved = op;
                moved.root = elsewhere[next].second.root;
                moved.key = utf8ToUtf16(elsewhere[next].second.path);
                ++next;
            }
            st = applier.add(isMoved ? moved : op, false, &error);
            return st == ERROR_SUCCESS;
        }
        if (!isMoved) {
            st = applier.add(op, true, &error);
            return st == ERROR_SUCCESS;
        }
        // The value goes where its key went.
        moved.kind = op.kind;
        moved.name = op.name;
        moved.type = op.type;
        moved.data = op.data;
        st = applier.add(moved, true, &error);
        return st == ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return fail("quorvel-reg: " + shownName + ": " + error + nothing);
    bytes.clear();
    bytes.shrink_to_fit();
    if (!commit()) return 1;
    if (!inMemory.empty()) {
        io_.err << "quorvel-reg: note: left out what the file sets in keys Wine keeps only in memory (as Wine's "
                   "import does):";
        for (const std::string& k : inMemory) io_.err << "\n  " << k;
        io_.err << '\n';
    }
    return 0;
}

int Tool::copy(const std::vector<std::string>& args, size_t i) {
    if (args.size() - i < 2) return fail(syntaxError(Op::Copy));
    std::string flags;
    if (!parseFlags(args, i + 2, "SF", "", &flags, &view_)) return fail(syntaxError(Op::Copy));
    const bool recurse = flags.find('S') != std::string::npos;
    bool force = flags.find('F') != std::string::npos;
    KeyArg src, dst;
    if (auto msg = parseKey(args[i], &src)) return fail(*msg);
    if (auto msg = parseKey(args[i + 1], &dst)) return fail(*msg);
    if (auto msg = rootOutside(src)) return fail(*msg);
    if (auto msg = rootOutside(dst)) return fail(*msg);
    if (src.root == dst.root && equalsNoCase(src.path, dst.path) && src.leadingEmpty == dst.leadingEmpty)
        return fail("reg: The source and destination keys cannot be the same");
    if (src.leadingEmpty) return fail(kKeyNotFound);
    if (dst.leadingEmpty) return fail(kCannotCreate);
    if (auto msg = refusedName(dst.path, nullptr)) return fail(*msg);
    if (!openMachine()) return 1;
    const std::optional<Place> from = existingKey(src);
    if (!from) return fail(kKeyNotFound);
    bool exists;
    std::string wineCommand = "wine reg copy " + shellQuote(args[i]) + ' ' + shellQuote(args[i + 1]);
    if (recurse) wineCommand += " /s";
    if (force) wineCommand += " /f";
    wineCommand += viewSwitch();
    if (wineserverStops(wineCommand)) return 1;
    const std::optional<Place> to = resolveFromRoot(dst.root->handle, dst.path, true, &exists);
    if (!to) return fail(kCannotCreate);

    // The source as it is now, so that a copy into its own subtree copies what was there once.
    struct Node {
        std::string rel, shownPath;  // below the source; the source path as typed, for questions
        std::vector<StoredValue> values;
    };
    std::vector<Node> nodes;
    const std::string typed = key0Path(args[i]);
    // Walked with "" as the source's shown path, so that a key's path below it is what follows
    // the leading backslash.
    auto take = [&](const Place& at, const std::string& below) {
        HKey h;
        if (machine_->openKey(at.root, at.path, &h) != ERROR_SUCCESS) return false;
        const std::string rel = below.empty() ? below : below.substr(1);
        nodes.push_back({rel, typed + below, valuesOf(h)});
        machine_->closeKey(h);
        return true;
    };
    if (take(*from, {}) && recurse) walkTree(*from, {}, false, take);

    ChangeSet changes;
    for (const Node& n : nodes) {
        const std::string path = childPath(to->path, n.rel);
        ChangeOp create;
        create.kind = ChangeOp::Kind::CreateKey;
        create.root = to->root;
        create.key = utf8ToUtf16(path);
        changes.ops.push_back(create);
        HKey d = nullptr;
        const bool destHere = machine_->openKey(to->root, path, &d) == ERROR_SUCCESS;
        for (const StoredValue& v : n.values) {
            const std::string name = utf16ToUtf8(v.name);
            if (!force && destHere && machine_->queryValue(d, name, nullptr, nullptr) == ERROR_SUCCESS) {
                const Answer a = askAll("The value '" + n.shownPath + '\\' +
                                        (name.empty() ? std::string("(Default)") : name) +
                                        "' already exists in the destination key. Do you want to "
                                        "overwrite it?");
                if (a == Answer::NoInput) {
                    machine_->closeKey(d);
                    return cancelled(a);
                }
                if (a == Answer::No) continue;
                if (a == Answer::All) force = true;
            }
            ChangeOp set;
            set.kind = ChangeOp::Kind::SetValue;
            set.root = to->root;
            set.key = create.key;
            set.name = v.name;
            set.type = v.type;
            set.data = v.data;
            changes.ops.push_back(std::move(set));
        }
        if (destHere) machine_->closeKey(d);
    }
    std::string error;
    if (machine_->apply(changes, &error) != ERROR_SUCCESS) return fail("reg: " + error);
    if (!commit()) return 1;
    return 0;
}

bool isHelpWord(std::string_view a) {
    return a == "/?" || a == "-?" || equalsNoCase(a, "/h") || equalsNoCase(a, "-h");
}

int Tool::run(const std::vector<std::string>& args) {
    size_t i = 0;
    // Options of the tool itself come before the operation.
    while (i < args.size() && args[i].size() > 2 && args[i].compare(0, 2, "--") == 0) {
        const std::string& a = args[i];
        if (a == "--help") {
            io_.out << kToolHelp;
            return 0;
        }
        if (a == "--version") {
#ifdef QV_VERSION
            io_.out << "quorvel-reg " << QV_VERSION << '\n';
#else
            io_.out << "quorvel-reg\n";
#endif
            return 0;
        }
        Kind kind;
        std::string value;
        auto optionIs = [&](std::string_view opt) {
            if (a == opt) {
                if (i + 1 >= args.size()) return false;
                value = args[++i];
                return true;
            }
            if (a.size() > opt.size() && a.compare(0, opt.size(), opt) == 0 && a[opt.size()] == '=') {
                value = a.substr(opt.size() + 1);
                return true;
            }
            return false;
        };
        if (optionIs("--windows-user")) {
            if (value.empty()) return fail("quorvel-reg: --windows-user needs a user name");
            windowsUser_ = value;
            ++i;
            continue;
        }
        if (optionIs("--machine")) kind = Kind::Own;
        else if (optionIs("--wine-prefix")) kind = Kind::Wine;
        else if (optionIs("--windows")) kind = Kind::Windows;
        else if (a == "--machine" || a == "--wine-prefix" || a == "--windows")
            return fail("quorvel-reg: " + a + " needs a folder");
        else if (a == "--windows-user")
            return fail("quorvel-reg: --windows-user needs a user name");
        else
            return fail("quorvel-reg: unknown option " + a + " (see quorvel-reg --help)");
        if (kind_ != Kind::Default)
            return fail("quorvel-reg: give one machine only (--machine, --wine-prefix or --windows, once)");
        if (value.empty()) return fail("quorvel-reg: " + a + " needs a folder");
        kind_ = kind;
        folder_ = value;
        ++i;
    }
    if (!windowsUser_.empty() && kind_ != Kind::Windows)
        return fail("quorvel-reg: --windows-user goes with --windows");
    if (i >= args.size()) return fail("reg: Invalid syntax. Type \"REG /?\" for help.");
    const std::string& word = args[i];
    if (isHelpWord(word) || word == "-h") {
        io_.out << kToolHelp;
        return 0;
    }
    Op op;
    if (equalsNoCase(word, "query")) op = Op::Query;
    else if (equalsNoCase(word, "add")) op = Op::Add;
    else if (equalsNoCase(word, "delete")) op = Op::Delete;
    else if (equalsNoCase(word, "copy")) op = Op::Copy;
    else if (equalsNoCase(word, "export")) op = Op::Export;
    else if (equalsNoCase(word, "import")) op = Op::Import;
    else {
        static const char* const kOthers[] = {"save", "load", "unload", "restore", "compare", "flags"};
        for (const char* other : kOthers) {
            if (equalsNoCase(word, other))
                return fail("quorvel-reg: the operation " + upperAscii(word) +
                            " is not available; use query, add, delete, copy, export or import");
        }
        return fail("reg: Invalid option [" + word + "]. Type \"REG /?\" for help.");
    }
    ++i;
    if (args.size() - i == 1 && isHelpWord(args[i])) {
        switch (op) {
        case Op::Query: io_.out << kQueryHelp; break;
        case Op::Add: io_.out << kAddHelp; break;
        case Op::Delete: io_.out << kDeleteHelp; break;
        case Op::Copy: io_.out << kCopyHelp; break;
        case Op::Export: io_.out << kExportHelp; break;
        case Op::Import: io_.out << kImportHelp; break;
        }
        return 0;
    }
    if (i >= args.size()) return fail(syntaxError(op));
    if (op == Op::Export) return exportKey(args, i);
    if (op == Op::Import) return importFile(args, i);
    if (op == Op::Copy) return copy(args, i);

    KeyArg key;
    if (auto msg = parseKey(args[i], &key)) return fail(*msg);
    Options o;
    if (!parseOptions(op, args, i + 1, &o)) return fail(syntaxError(op));
    view_ = o.view;
    if (auto msg = rootOutside(key)) return fail(*msg);
    switch (op) {
    case Op::Query: return query(key, o);
    case Op::Add: return add(key, o);
    case Op::Delete: return remove(key, o);
    default: break;
    }
    return 1;
}

}  // namespace

std::string typeName(uint32_t type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "REG_UNKNOWN(0x%x)", type);
        return buf;
    }
    }
}

std::string formatData(uint32_t type, std::string_view data) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::u16string s = unitsOf(data);
        const size_t nul = s.find(u'\0');
        if (nul != std::u16string::npos) s.resize(nul);
        return utf16ToUtf8(s);
    }
    case REG_MULTI_SZ: {
        std::u16string s = unitsOf(data);
        // The list's terminator and the last string's; a list missing them keeps every character.
        for (int n = 0; n < 2 && !s.empty() && s.back() == u'\0'; ++n) s.pop_back();
        std::string r;
        size_t start = 0;
        for (;;) {
            const size_t nul = s.find(u'\0', start);
            r += utf16ToUtf8(std::u16string_view(s).substr(start, nul - start));
            if (nul == std::u16string::npos) break;
            r += "\\0";
            start = nul + 1;
        }
        return r;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: return hexNumber(littleEndian(data, 4));
    case REG_QWORD: return hexNumber(littleEndian(data, 8));
    default: return hexBytes(data);
    }
}

std::optional<std::string> parseData(uint32_t type, const std::optional<std::string>& data,
                                     std::string_view sep, DataError* error) {
    auto failWith = [&](std::string_view msg) -> std::optional<std::string> {
        if (error) error->message = std::string(msg);
        return std::nullopt;
    };
    const std::string text = data ? *data : std::string();
    switch (type) {
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
        if (!data) return failWith(kBadParameters);
        const auto v = parseNumber(utf8ToUtf16(text), 32);
        if (!v) return failWith(kBadNumber);
        return numberBytes(*v, 4);
    }
    case REG_QWORD: {
        const auto v = parseNumber(utf8ToUtf16(text), 64);
        if (!v) return failWith(kBadNumber);
        return numberBytes(*v, 8);
    }
    case REG_BINARY: {
        std::string hex = text;
        for (char c : hex)
            if (!std::isxdigit(static_cast<unsigned char>(c))) return failWith(kBadHex);
        if (hex.size() % 2) hex.insert(hex.begin(), '0');
        std::string bytes;
        for (size_t i = 0; i < hex.size(); i += 2)
            bytes += static_cast<char>(digitValue(static_cast<char16_t>(hex[i])) * 16 +
                                       digitValue(static_cast<char16_t>(hex[i + 1])));
        return bytes;
    }
    case REG_MULTI_SZ: {
        auto bytes = parseMultiString(utf8ToUtf16(text), utf8ToUtf16(sep));
        if (!bytes) return failWith(kBadString);
        return bytes;
    }
    default: {  // REG_SZ, REG_EXPAND_SZ, REG_NONE: the text with its NUL
        std::u16string s = utf8ToUtf16(text);
        s += u'\0';
        return utf16ToBytes(s);
    }
    }
}

int runRegTool(const std::vector<std::string>& args, ToolIo& io) {
    Tool tool(io);
    return tool.run(args);
}

int runRegTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::istringstream none;
    ToolIo io{none, out, err, false};
    return runRegTool(args, io);
}

}  // namespace qv::reg::cli
