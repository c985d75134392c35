// .reg files, as Windows' and Wine's regedit and reg read and write them: a change set on disk.
//
// Two formats: "Windows Registry Editor Version 5.00" (UTF-16LE with a byte order mark, CRLF
// line ends) and "REGEDIT4" (8-bit text: UTF-8 when it is valid UTF-8, else Windows-1252).
// [KEY] creates a key, [-KEY] deletes it with its subtree, "name"=... sets a value, "name"=-
// deletes one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/changeset.h"

namespace qv::reg {

enum class RegFormat { Unicode, Regedit4 };

// Reads a .reg file's bytes as a change set (no old states). On any error returns nothing and
// sets *error to "NAME:LINE: what was wrong"; name is how the file is shown.
std::optional<ChangeSet> readRegFile(std::string_view bytes, const std::string& name, std::string* error);
// The same, and the line each operation came from (lines->at(i) for changes.ops[i]).
std::optional<ChangeSet> readRegFile(std::string_view bytes, const std::string& name, std::string* error,
                                     std::vector<size_t>* lines);

// Reads a .reg file's bytes operation by operation, none kept: each goes to `each` with the line
// it came from as soon as it is read; `each` returns false to stop the reading (readRegFileOps
// then returns false, *error untouched). A value operation always follows the [KEY] operation
// of its key or another value of it, and its op.key is the reader's own, lent for the call: a
// key with a million values is held once. False on an error, as readRegFile; the operations
// before it were handed out already.
using RegOpSink = std::function<bool(const ChangeOp& op, size_t line)>;
bool readRegFileOps(std::string_view bytes, const std::string& name, std::string* error, const RegOpSink& each);

// Writes a change set as a .reg file's bytes. comment, when not empty, goes in ';' lines after
// the header (one per line of comment).
std::string writeRegFile(const ChangeSet& changes, RegFormat format, std::string_view comment = {});

// The Unicode format's text as UTF-8 with LF line ends, for showing on a terminal or in a window.
std::string writeRegText(const ChangeSet& changes, std::string_view comment = {});

// A value's data as the right-hand side of a .reg line ("text", dword:0000002a, hex(2):41,00,...)
// in UTF-8 on one line, for lists that show old and new data side by side.
std::string regDataText(uint32_t type, std::string_view data);

// What Wine's `reg export` writes, built key by key in the order they are given: UTF-16LE with a
// byte order mark, CRLF, "[FULL\KEY]" after a blank line, values as Wine spells them, hex lists
// broken after column 76. A REG_SZ that is not text with one terminating NUL, and a DWORD that is
// not four bytes, are written as hex(1): and hex(4): (Wine's export would lose bytes of them).
class RegExportWriter {
public:
    RegExportWriter();
    // fullName: the root's full name and the path, "HKEY_CURRENT_USER\Software\x".
    void key(std::u16string_view fullName);
    void value(std::u16string_view name, uint32_t type, std::string_view data);
    // The file's bytes; the writer is empty afterwards.
    std::string finish();

private:
    std::u16string out_;
};

}  // namespace qv::reg
