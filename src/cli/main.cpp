#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/cli.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return tavrel::RunCli(args, std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
