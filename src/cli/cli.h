#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace tavrel {

// tavrel-cli with its arguments (without the program name), reading standard input from `in`.
// Gives the exit status: 0 done, 2 bad arguments or unreadable input.
int RunCli(std::span<const std::string> args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace tavrel
