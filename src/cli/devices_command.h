#pragma once

#include <iosfwd>
#include <span>
#include <string>

#include "cli/cli_status.h"

namespace tavrel {

// tavrel-cli devices [PLATFORM OPTIONS] [--json]: lists every HID interface the tool sees, one
// tab-separated line (or JSON object) each. Gives the exit status; throws UsageError for bad
// options.
int RunDevicesCommand(std::span<const std::string> args, const CliStreams& io);

}  // namespace tavrel
