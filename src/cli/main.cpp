#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/cli.h"
#include "common/standard_descriptors.h"

int main(int argc, char** argv) {
    tavrel::OpenClosedStandardDescriptors();
    // A closed output (a pipe into `head`) is an error to report where it is written, never a
    // silent death.
    std::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status =
        tavrel::RunCli(args, std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1, STDERR_FILENO);
    // Results that never reached their reader are no results: say so, and fail.
    if (!std::cout.flush()) {
        std::cerr << "tavrel-cli: cannot write standard output\n";
        return status == 0 ? 1 : status;
    }
    return status;
}
