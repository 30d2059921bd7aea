#include "app/app_options.h"

#include <vector>

#include "common/text_escape.h"
#include "remote/sender_allow_list.h"
#include "sim/platform_options.h"

namespace tavrel {

namespace {

constexpr OptionDef kUdpBind{.name = "--udp-bind",
                             .value = OptionValue::Required,
                             .valueName = "ADDRESS",
                             .help =
                                 "the UDP script server listens on this IPv4 address only (127.0.0.1,\n"
                                 "say) instead of every local address: anyone who reaches the port can\n"
                                 "type on the gadget",
                             .noun = "an IPv4 address"};
constexpr OptionDef kUdpKeys{.name = "--udp-keys",
                             .value = OptionValue::Required,
                             .valueName = "FILE",
                             .help =
                                 "the UDP script server speaks DTLS 1.2 with the pre-shared keys of\n"
                                 "FILE (IDENTITY KEY per line) instead of plain datagrams",
                             .noun = "a file",
                             .hint = ValueHint::File};
constexpr OptionDef kHelp{.name = "--help", .value = OptionValue::None, .help = "print this and exit"};
constexpr OptionDef kShortHelp{
    .name = "-h", .value = OptionValue::None, .hint = ValueHint::Text, .hidden = true};

// Qt's own options, passed on to it: those that take a value in the next argument, and flags.
constexpr OptionDef QtOption(std::string_view name, OptionValue value) {
    return OptionDef{.name = name, .value = value, .valueName = "VALUE", .hidden = true};
}
constexpr OptionDef kQtOptions[] = {
    QtOption("-platform", OptionValue::Required),
    QtOption("-platformpluginpath", OptionValue::Required),
    QtOption("-platformtheme", OptionValue::Required),
    QtOption("-plugin", OptionValue::Required),
    QtOption("-qwindowgeometry", OptionValue::Required),
    QtOption("-qwindowicon", OptionValue::Required),
    QtOption("-qwindowtitle", OptionValue::Required),
    QtOption("-style", OptionValue::Required),
    QtOption("-stylesheet", OptionValue::Required),
    QtOption("-session", OptionValue::Required),
    QtOption("-display", OptionValue::Required),
    QtOption("-geometry", OptionValue::Required),
    QtOption("-name", OptionValue::Required),
    QtOption("-title", OptionValue::Required),
    QtOption("-reverse", OptionValue::None),
    QtOption("-sync", OptionValue::None),
    QtOption("-widgetcount", OptionValue::None),
};

}  // namespace

std::span<const OptionDef* const> AppOptionDefs() {
    static const std::vector<const OptionDef*> defs = [] {
        std::vector<const OptionDef*> all(PlatformOptionDefs().begin(), PlatformOptionDefs().end());
        all.insert(all.end(), {&kUdpBind, &kUdpKeys, &kHelp, &kShortHelp});
        for (const OptionDef& qt : kQtOptions)
            all.push_back(&qt);
        return all;
    }();
    return defs;
}

std::string_view AppUsage() {
    static const std::string usage =
        "Usage: tavrel [--simulate[=N]] [--sim-trace FILE] [--sim-state FILE] [--sysfs-root DIR] [--dev-root "
        "DIR]\n"
        "              [--udp-bind ADDRESS] [--udp-keys FILE] [Qt options such as -platform xcb]\n" +
        OptionHelpTable(AppOptionDefs());
    return usage;
}

namespace {

// A value the window refuses, with the reason; ends the reading of the options.
struct Refusal {
    std::string reason;
};

}  // namespace

AppOptions ParseAppOptions(std::span<const std::string> args) {
    AppOptions options;
    const auto refuse = [](std::optional<std::string> reason) {
        if (reason) throw Refusal{std::move(*reason)};
    };
    try {
        WalkArguments(
            args, AppOptionDefs(), OperandRule::None,
            [&](const OptionDef& def, const std::optional<std::string>& value) {
                if (IsPlatformOption(def)) {
                    refuse(ApplyPlatformOption(def, value, options.platform));
                } else if (&def == &kHelp || &def == &kShortHelp) {
                    options.help = true;
                } else if (&def == &kUdpBind) {
                    options.udpBind = *value;
                    if (!ParseBindAddress(options.udpBind)) {
                        refuse("--udp-bind takes a dotted unicast IPv4 address such as 127.0.0.1, not '" +
                               QuoteText(options.udpBind) + "'");
                    }
                } else if (&def == &kUdpKeys) {
                    options.udpKeys = *value;
                    if (options.udpKeys.empty()) refuse("--udp-keys needs a file");
                }
                // Qt's own are left to Qt.
            },
            [](const std::string&) {});
        refuse(CheckPlatformOptions(options.platform));
    } catch (const ArgumentFault& fault) {
        if (fault.kind == ArgumentFault::Kind::NeedsValue) {
            const std::string_view noun = fault.option->noun.empty() ? "a value" : fault.option->noun;
            options.error = std::string(fault.option->name) + " needs " + std::string(noun);
        } else {
            options.error = "unknown option '" + QuoteText(fault.argument) + "'";
        }
    } catch (const Refusal& refusal) {
        options.error = refusal.reason;
    }
    return options;
}

}  // namespace tavrel
