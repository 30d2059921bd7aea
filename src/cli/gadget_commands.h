#pragma once

#include <iosfwd>
#include <span>
#include <string>

#include "cli/cli_status.h"

namespace tavrel {

class HidPlatform;

// Runs a gadget command; `args` begin with the command's word. The gadgets are the system's
// (hidraw), or a simulated bus with --simulate. Gives the exit status: 0 done on every selected
// gadget, 1 failed on at least one, 2 bad arguments or input, 3 no usable gadget.
int RunGadgetCommand(std::span<const std::string> args, const CliStreams& io);

// The same over a given platform (--simulate and --sim-trace are refused): for callers that set
// up the gadgets themselves.
int RunGadgetCommandOn(HidPlatform& platform, std::span<const std::string> args, const CliStreams& io);

}  // namespace tavrel
