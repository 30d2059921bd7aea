#include "app/app_options.h"

#include <algorithm>
#include <array>

#include "common/text_escape.h"
#include "remote/sender_allow_list.h"
#include "sim/simulated_setup.h"

namespace tavrel {

namespace {

// Qt's options that take a value in the next argument, and those that take none.
constexpr std::array<std::string_view, 14> kQtOptionsWithValue = {
    "-platform",    "-platformpluginpath", "-platformtheme", "-plugin",     "-qwindowgeometry",
    "-qwindowicon", "-qwindowtitle",       "-style",         "-stylesheet", "-session",
    "-display",     "-geometry",           "-name",          "-title"};
constexpr std::array<std::string_view, 3> kQtFlags = {"-reverse", "-sync", "-widgetcount"};

template <std::size_t N>
bool Contains(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::string_view AppUsage() {
    return "Usage: tavrel [--simulate[=N]] [--sim-trace FILE] [--sim-state FILE] [--udp-bind ADDRESS] "
           "[--udp-keys "
           "FILE] [Qt options such as -platform xcb]\n"
           "  --simulate[=N]    show a simulated bus with N gadgets (default 1, at most 64)\n"
           "                    instead of the devices of this computer\n"
           "  --sim-trace FILE  with --simulate: append every output report a simulated device\n"
           "                    receives to FILE, one line each (path, tab, hex bytes)\n"
           "  --sim-state FILE  with --simulate: keep the simulated gadgets' flash in FILE from\n"
           "                    one run to the next (tavrel-cli --sim-state shares it)\n"
           "  --udp-bind ADDRESS  the UDP script server listens on this IPv4 address only (127.0.0.1,\n"
           "                    say) instead of every local address: anyone who reaches the port can\n"
           "                    type on the gadget\n"
           "  --udp-keys FILE   the UDP script server speaks DTLS 1.2 with the pre-shared keys of\n"
           "                    FILE (IDENTITY KEY per line) instead of plain datagrams\n"
           "  --help            print this and exit\n";
}

AppOptions ParseAppOptions(std::span<const std::string> args) {
    AppOptions options;
    const auto fail = [&](std::string error) {
        options.error = std::move(error);
        return options;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--simulate" || arg.starts_with("--simulate=")) {
            std::string error;
            options.simulatedGadgets = ParseSimulatedGadgetCount(
                arg == "--simulate" ? std::nullopt : std::optional(arg.substr(11)), error);
            if (!options.simulatedGadgets) return fail(error);
        } else if (arg == "--sim-trace" || arg.starts_with("--sim-trace=")) {
            if (arg == "--sim-trace") {
                if (i + 1 >= args.size()) return fail("--sim-trace needs a file");
                options.simTrace = args[++i];
            } else {
                options.simTrace = std::string(arg.substr(12));
            }
            if (options.simTrace.empty()) return fail("--sim-trace needs a file");
        } else if (arg == "--sim-state" || arg.starts_with("--sim-state=")) {
            if (arg == "--sim-state") {
                if (i + 1 >= args.size()) return fail("--sim-state needs a file");
                options.simState = args[++i];
            } else {
                options.simState = std::string(arg.substr(12));
            }
            if (options.simState.empty()) return fail("--sim-state needs a file");
        } else if (arg == "--udp-bind" || arg.starts_with("--udp-bind=")) {
            if (arg == "--udp-bind") {
                if (i + 1 >= args.size()) return fail("--udp-bind needs an IPv4 address");
                options.udpBind = args[++i];
            } else {
                options.udpBind = std::string(arg.substr(11));
            }
            if (!ParseBindAddress(options.udpBind)) {
                return fail("--udp-bind takes a dotted unicast IPv4 address such as 127.0.0.1, not '" +
                            QuoteText(options.udpBind) + "'");
            }
        } else if (arg == "--udp-keys" || arg.starts_with("--udp-keys=")) {
            if (arg == "--udp-keys") {
                if (i + 1 >= args.size()) return fail("--udp-keys needs a file");
                options.udpKeys = args[++i];
            } else {
                options.udpKeys = std::string(arg.substr(11));
            }
            if (options.udpKeys.empty()) return fail("--udp-keys needs a file");
        } else if (Contains(kQtOptionsWithValue, arg)) {
            if (i + 1 >= args.size()) return fail("option " + std::string(arg) + " needs a value");
            ++i;  // Qt's, with its value
        } else if (Contains(kQtFlags, arg)) {
            // Qt's
        } else {
            return fail("unknown option '" + QuoteText(arg) + "'");
        }
    }
    if (!options.simTrace.empty() && !options.simulatedGadgets) return fail("--sim-trace needs --simulate");
    if (!options.simState.empty() && !options.simulatedGadgets) return fail("--sim-state needs --simulate");
    return options;
}

}  // namespace tavrel
