#include "app/app_options.h"

#include <algorithm>
#include <array>

#include "common/gbk_text.h"
#include "common/text_escape.h"

namespace tavrel {

namespace {

constexpr int kMaxSimulatedGadgets = 64;

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
    return "Usage: tavrel [--simulate[=N]] [--sim-trace FILE] [Qt options such as -platform xcb]\n"
           "  --simulate[=N]    show a simulated bus with N gadgets (default 1, at most 64)\n"
           "                    instead of the devices of this computer\n"
           "  --sim-trace FILE  with --simulate: append every output report a simulated device\n"
           "                    receives to FILE, one line each (path, tab, hex bytes)\n"
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
        } else if (arg == "--simulate") {
            options.simulatedGadgets = 1;
        } else if (arg.starts_with("--simulate=")) {
            const std::string count(arg.substr(11));
            std::int32_t gadgets = 0;
            if (!ParseWholeInteger(count, gadgets) || gadgets < 0 || gadgets > kMaxSimulatedGadgets) {
                return fail("--simulate takes a number of gadgets from 0 to 64, not '" + count + "'");
            }
            options.simulatedGadgets = gadgets;
        } else if (arg == "--sim-trace" || arg.starts_with("--sim-trace=")) {
            if (arg == "--sim-trace") {
                if (i + 1 >= args.size()) return fail("--sim-trace needs a file");
                options.simTrace = args[++i];
            } else {
                options.simTrace = std::string(arg.substr(12));
            }
            if (options.simTrace.empty()) return fail("--sim-trace needs a file");
        } else if (Contains(kQtOptionsWithValue, arg)) {
            if (i + 1 >= args.size()) return fail("option " + std::string(arg) + " needs a value");
            ++i;  // Qt's, with its value
        } else if (Contains(kQtFlags, arg)) {
            // Qt's
        } else {
            return fail("unknown option '" + std::string(arg) + "'");
        }
    }
    if (!options.simTrace.empty() && !options.simulatedGadgets) return fail("--sim-trace needs --simulate");
    return options;
}

std::string SimTraceLine(std::string_view path, std::span<const unsigned char> report) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string line = EscapeControlCharacters(path);
    line += '\t';
    for (std::size_t i = 0; i < report.size(); ++i) {
        if (i > 0) line += ' ';
        line += kDigits[report[i] >> 4];
        line += kDigits[report[i] & 0xF];
    }
    return line;
}

}  // namespace tavrel
