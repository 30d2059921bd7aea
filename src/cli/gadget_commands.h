#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace tavrel {

class HidPlatform;

// tavrel-cli's exit status when no gadget is present, or none of those selected can be used.
inline constexpr int kExitNoGadget = 3;
// ... and when at least one selected gadget failed.
inline constexpr int kExitFailed = 1;

// Where a gadget command reads and writes. Progress goes to `err` only when it is a terminal.
struct CliStreams {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;
    int errFd = -1;  // the descriptor behind `err`, for logs written off the event thread; -1: none
};

// Runs a gadget command; `args` begin with the command's word. The gadgets are the system's
// (hidraw), or a simulated bus with --simulate. Gives the exit status: 0 done on every selected
// gadget, 1 failed on at least one, 2 bad arguments or input, 3 no usable gadget.
int RunGadgetCommand(std::span<const std::string> args, const CliStreams& io);

// The same over a given platform (--simulate and --sim-trace are refused): for callers that set
// up the gadgets themselves.
int RunGadgetCommandOn(HidPlatform& platform, std::span<const std::string> args, const CliStreams& io);

}  // namespace tavrel
