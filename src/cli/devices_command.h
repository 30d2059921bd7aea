#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace tavrel {

// tavrel-cli devices [--simulate[=N]] [--sysfs-root DIR] [--dev-root DIR]: lists every HID
// interface the tool sees, one tab-separated line each. Gives the exit status; throws UsageError
// for bad options.
int RunDevicesCommand(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace tavrel
