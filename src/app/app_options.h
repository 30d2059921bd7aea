#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/command_line.h"
#include "sim/simulated_setup.h"

namespace tavrel {

// What the tool was started with.
struct AppOptions {
    PlatformSetup::Options platform;  // --simulate[=N], --sim-trace, --sim-state, --sysfs-root, --dev-root
    std::string udpBind;              // --udp-bind ADDRESS: the UDP server's one address (dotted IPv4)
    std::string udpKeys;              // --udp-keys FILE: the UDP server speaks DTLS with these keys
    bool help = false;
    std::string error;  // a bad option or value: the usage goes to standard error, exit status 2
};

// The options of `tavrel` (without the program name). Qt's own options (-platform xcb, -style
// NAME, ...) are left to Qt.
AppOptions ParseAppOptions(std::span<const std::string> args);

// Every option the window takes: the platform's, its own, and Qt's (hidden, passed on).
std::span<const OptionDef* const> AppOptionDefs();

// The usage text printed by --help.
std::string_view AppUsage();

}  // namespace tavrel
