#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavrel {

// What the tool was started with.
struct AppOptions {
    std::optional<int> simulatedGadgets;  // --simulate[=N]: a simulated bus with N gadgets
    std::string simTrace;                 // --sim-trace FILE: where the simulated devices' reports go
    std::string simState;                 // --sim-state FILE: the simulated gadgets' flash between runs
    std::string udpBind;                  // --udp-bind ADDRESS: the UDP server's one address (dotted IPv4)
    std::string udpKeys;                  // --udp-keys FILE: the UDP server speaks DTLS with these keys
    bool help = false;
    std::string error;  // a bad option or value: the usage goes to standard error, exit status 2
};

// The options of `tavrel` (without the program name). Qt's own options (-platform xcb, -style
// NAME, ...) are left to Qt.
AppOptions ParseAppOptions(std::span<const std::string> args);

// The usage text printed by --help.
std::string_view AppUsage();

}  // namespace tavrel
