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
//   /v /ve (/va) exclusive, /reg:32 or /reg:64 once (the view: see Keys::resolve); anything else: "reg: Invalid
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

#include <iostream>
#include <sstream>

#include "registry/cli/tool.h"
#include "registry/wine/winefile.h"

namespace qv::reg::cli {

namespace {

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

bool isHelpWord(std::string_view a) {
    return a == "/?" || a == "-?" || equalsNoCase(a, "/h") || equalsNoCase(a, "-h");
}

}  // namespace

int Tool::run(const std::vector<std::string>& args) {
    size_t i = 0;
    MachineChoice choice;
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
        MachineChoice::Kind kind;
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
            choice.windowsUser = value;
            ++i;
            continue;
        }
        if (optionIs("--machine")) kind = MachineChoice::Kind::Own;
        else if (optionIs("--wine-prefix")) kind = MachineChoice::Kind::Wine;
        else if (optionIs("--windows")) kind = MachineChoice::Kind::Windows;
        else if (a == "--machine" || a == "--wine-prefix" || a == "--windows")
            return fail("quorvel-reg: " + a + " needs a folder");
        else if (a == "--windows-user")
            return fail("quorvel-reg: --windows-user needs a user name");
        else
            return fail("quorvel-reg: unknown option " + a + " (see quorvel-reg --help)");
        if (choice.kind != MachineChoice::Kind::Default)
            return fail("quorvel-reg: give one machine only (--machine, --wine-prefix or --windows, once)");
        if (value.empty()) return fail("quorvel-reg: " + a + " needs a folder");
        choice.kind = kind;
        choice.folder = value;
        ++i;
    }
    if (!choice.windowsUser.empty() && choice.kind != MachineChoice::Kind::Windows)
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
    Run run(io_, choice);
    if (op == Op::Export) return exportKey(run, args, i);
    if (op == Op::Import) return importFile(run, args, i);
    if (op == Op::Copy) return copyKey(run, args, i);

    KeyArg key;
    if (auto msg = parseKey(args[i], &key)) return fail(*msg);
    Options o;
    if (!parseOptions(op, args, i + 1, &o)) return fail(syntaxError(op));
    run.view = o.view;
    if (auto msg = rootOutside(key)) return fail(*msg);
    if (op == Op::Query && !o.recurse) return queryOneKey(io_, choice, key, o);
    switch (op) {
    case Op::Query: return queryKey(run, key, o);
    case Op::Add: return addValue(run, key, o);
    case Op::Delete: return deleteKey(run, key, o);
    default: break;
    }
    return 1;
}

// A query of one key reads a few keys of files that may be large: they are opened from their key
// headers, and the answer is held back until the keys it read are known to hold only lines
// opening would have passed; otherwise it is asked again with the files read the usual way, and
// what only the first asking told (a save it found half done and finished) is told as well.
int Tool::queryOneKey(ToolIo& io, const MachineChoice& choice, const KeyArg& key, const Options& o) {
    std::ostringstream out[2], err[2];
    int status = 0;
    int asked = 0;
    for (bool clean = false; !clean && asked < 2; ++asked) {
        ToolIo held{io.in, out[asked], err[asked], io.interactive};
        auto quick = asked == 0 ? std::make_unique<HeaderOnlyReading>() : nullptr;
        Run run(held, choice);
        run.view = o.view;
        status = queryKey(run, key, o);
        clean = !quick || quick->clean();
    }
    if (asked == 2) {
        const std::string again = err[1].str();
        std::istringstream first(err[0].str());
        for (std::string line; std::getline(first, line);)
            if (again.find(line + '\n') == std::string::npos) io.err << line << '\n';
    }
    io.err << err[asked - 1].str();
    io.out << out[asked - 1].str();
    return status;
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
