// quorvel-reg: see reg_tool.h.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "registry/cli/reg_tool.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    qv::reg::cli::ToolIo io{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1};
    const int status = qv::reg::cli::runRegTool(args, io);
    std::cout.flush();
    return std::cout.good() ? status : 1;
}
