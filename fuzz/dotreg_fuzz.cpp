// libFuzzer target for the .reg file reader and writer (registry/dotreg.*).
//
// Every input is read twice: as it is (a UTF-16 file when it starts with FF FE, else 8-bit text),
// and widened byte by byte into a UTF-16 file with its byte order mark, so that both encodings
// see the same mutations. For any file the reader accepts, the writer's file (Unicode format)
// reads back into the same change set; the text and one-line forms are made too. A difference
// aborts with both change sets; crashes, hangs and sanitizer reports are libFuzzer's to find.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry/regfile/dotreg.h"
#include "registry/text.h"

namespace {

using namespace qv::reg;

void check(const std::string& bytes) {
    std::string error;
    std::vector<size_t> lines;
    const auto first = readRegFile(bytes, "fuzz.reg", &error, &lines);
    if (!first) {
        if (error.rfind("fuzz.reg:", 0) != 0) {
            std::fprintf(stderr, "dotreg_fuzz: an error without file and line: %s\n", error.c_str());
            std::abort();
        }
        return;
    }
    if (lines.size() != first->ops.size()) {
        std::fprintf(stderr, "dotreg_fuzz: %zu lines for %zu operations\n", lines.size(), first->ops.size());
        std::abort();
    }
    const std::string written = writeRegFile(*first, RegFormat::Unicode, "fuzz");
    const auto second = readRegFile(written, "written.reg", &error);
    if (!second || second->ops != first->ops) {
        std::fprintf(stderr, "dotreg_fuzz: the written file does not read back the same%s%s\n--- read:\n%s\n--- written:\n%s\n",
                     second ? "" : ": ", second ? "" : error.c_str(), writeRegText(*first).c_str(),
                     utf16ToUtf8(bytesToUtf16(written.substr(2))).c_str());
        std::abort();
    }
    (void)writeRegText(*first);
    (void)writeRegFile(*first, RegFormat::Regedit4);
    for (const ChangeOp& op : first->ops)
        if (op.kind == ChangeOp::Kind::SetValue) (void)regDataText(op.type, op.data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    std::string wide = "\xFF\xFE";
    for (char c : bytes) {
        wide += c;
        wide += '\0';
    }
    check(wide);
    return 0;
}
