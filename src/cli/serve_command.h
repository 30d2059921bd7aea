#pragma once

#include <span>
#include <string>
#include <string_view>

#include "cli/gadget_commands.h"

namespace tavrel {

class HidPlatform;

// Runs the UDP gadget server over `platform` until SIGTERM or SIGINT; `args` are serve's own
// arguments (after the word "serve"). Gives the exit status: 0 stopped by a signal, 1 port not
// bound (with the reason), 2 bad arguments (usage on io.err).
int RunServeCommand(HidPlatform& platform, std::span<const std::string> args, const CliStreams& io);

// tavrel-cli serve: the same, over the system's gadgets, or with --simulate[=N] (and --sim-trace
// FILE) over simulated ones.
int RunServeCommandLine(std::span<const std::string> args, const CliStreams& io);

}  // namespace tavrel
