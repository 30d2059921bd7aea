#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/cli.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = tavrel::RunCli(args, std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
    // Results that never reached their reader are no results: say so, and fail.
    if (!std::cout.flush()) {
        std::cerr << "tavrel-cli: cannot write standard output\n";
        return status == 0 ? 1 : status;
    }
    return status;
}
