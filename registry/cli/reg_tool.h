// quorvel-reg: the arguments and the output of Wine 8's `wine reg` (query, add, delete, copy,
// export, import) over a machine's registry files, so that a Wine prefix can be scripted without
// starting Wine.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::reg::cli {

struct ToolIo {
    std::istream& in;    // answers to the (Yes|No) questions
    std::ostream& out;   // listings, questions and success messages
    std::ostream& err;   // error messages and the machine's warnings
    bool interactive;    // in is a terminal: the user's Enter ends the question's line
};

// Runs one command line (without the program name) and returns the exit status.
int runRegTool(const std::vector<std::string>& args, ToolIo& io);
// The same with no input to answer questions (every question is answered by end of input).
int runRegTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The pieces of a listing, exposed for the tests.
std::string typeName(uint32_t type);
std::string formatData(uint32_t type, std::string_view data);

// The bytes `add /t TYPE /d DATA [/s SEP]` stores; nothing when DATA is not valid for the type.
// type is a registry type number; sep is one character (UTF-8); data absent means no /d.
struct DataError {
    std::string message;
};
std::optional<std::string> parseData(uint32_t type, const std::optional<std::string>& data,
                                     std::string_view sep, DataError* error);

}  // namespace qv::reg::cli
