#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace tavrel {

// tavrel-cli with its arguments (without the program name), reading standard input from `in`.
// Gives the exit status: 0 done, 1 failed on a gadget, 2 bad arguments or unreadable input, 3 no
// usable gadget. Progress shows on `err` only when it is a terminal. `errFd` is the descriptor
// behind `err`, which serve's log writes to from a thread of its own (-1: none, write to `err`).
int RunCli(std::span<const std::string> args, std::istream& in, std::ostream& out, std::ostream& err,
           bool errIsTerminal = false, int errFd = -1);

}  // namespace tavrel
