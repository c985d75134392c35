// Generator of realistic Wine registry files for benchmarks (and any test that needs a big one).
//
// The output is in Wine's own form, byte for byte as wineserver would save the same tree: keys
// and values in Wine's order, a `[Key] SECONDS` header with its `#time=` line only for keys that
// have values, no subkeys, a class or a link, Wine's escapes, `dword:` with 8 digits, string
// forms only for NUL-terminated strings, hex lists broken after column 76. Reading it and
// writing it back must therefore give the same bytes. The generator has its own small writer
// (it does not use the store's), so the two check each other.
//
// The content is deterministic for a given shape (a fixed pseudo-random sequence, no clock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::bench {

struct RegistryShape {
    enum class Branch {
        Machine,  // system.reg: ";; All keys relative to \\Machine"
        User,     // user.reg:   ";; All keys relative to \\User\\S-1-5-21-0-0-0-1000"
    };
    Branch branch = Branch::Machine;
    const char* arch = "win64";  // "#arch=" line; null or "" for none
    uint64_t seed = 1998;

    // File classes under Software\Classes (both branches have that key; HKCR is the machine's).
    // `classes` class keys ("Vendor.Document.N", each with a description, DefaultIcon and
    // shell\open\command) directly under Software\Classes; `extensions` extension keys (".e123")
    // whose default value names one of those classes (or one of their own when classes is 0);
    // `shellNew` of the extensions get a "ShellNew" key, spread over the places the 'New' menu
    // page looks at (.ext\ShellNew, Class\ShellNew, .ext\Class\ShellNew; one in ten switched off
    // as "ShellNew-") and over the template kinds (NullFile, FileName, Command, Data).
    size_t classes = 0;
    size_t extensions = 0;
    size_t shellNew = 0;

    // Mixed content in the style of a real system.reg or user.reg (CLSIDs, interfaces, type
    // libraries, services and device keys with deep paths, uninstall entries with non-ASCII
    // text, settings with every value type: REG_SZ, str(2), str(7), dword, hex, hex(N), strings
    // with escapes) is added until the file reaches about this many bytes (within a few percent).
    size_t targetBytes = 0;

    // Also the keys and values the program's pages read (Folder, Unknown, AudioCD, .txt/.bmp with
    // their classes and ShellNew keys, registration, setup path, file system; in a user branch
    // Control Panel\Desktop, the Explorer policies, "link" and the menu order), with the values
    // Windows 98 leaves there.
    bool pageKeys = false;
};

struct GeneratedRegistry {
    std::string text;   // the file's bytes
    size_t keys = 0;    // keys in the tree (implied ones included, the root not)
    size_t values = 0;
};

GeneratedRegistry generateRegistry(const RegistryShape& shape);

// Shorthands: a system.reg / user.reg of about `bytes` bytes of mixed content.
std::string generateSystemReg(size_t bytes, uint64_t seed = 1998);
std::string generateUserReg(size_t bytes, uint64_t seed = 1998);

// The machine registry of the start-up and pass benchmarks: 20,000 class keys, 5,000 extensions
// and 1,000 ShellNew keys, plus the keys the program's pages read, plus `extraBytes` of mixed
// content.
RegistryShape bigClassesShape(size_t extraBytes = 0);

}  // namespace qv::bench
