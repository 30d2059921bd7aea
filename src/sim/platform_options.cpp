#include "sim/platform_options.h"

#include <algorithm>
#include <string_view>

namespace tavrel {

namespace {

constexpr OptionDef kSimulate{.name = "--simulate",
                              .value = OptionValue::Optional,
                              .valueName = "N",
                              .help =
                                  "show a simulated bus with N gadgets (default 1, at most 64)\n"
                                  "instead of the devices of this computer"};
constexpr OptionDef kSimTrace{.name = "--sim-trace",
                              .value = OptionValue::Required,
                              .valueName = "FILE",
                              .help =
                                  "with --simulate: append every output report a simulated device\n"
                                  "receives to FILE, one line each (path, tab, hex bytes)",
                              .noun = "a file",
                              .hint = ValueHint::File};
constexpr OptionDef kSimState{.name = "--sim-state",
                              .value = OptionValue::Required,
                              .valueName = "FILE",
                              .help =
                                  "with --simulate: keep the simulated gadgets' flash in FILE from\n"
                                  "one run to the next (the window and tavrel-cli share it)",
                              .noun = "a file",
                              .hint = ValueHint::File};
constexpr OptionDef kSysfsRoot{.name = "--sysfs-root",
                               .value = OptionValue::Required,
                               .valueName = "DIR",
                               .help = "where the system lists its devices (default /sys)",
                               .noun = "a folder",
                               .hint = ValueHint::Folder};
constexpr OptionDef kDevRoot{.name = "--dev-root",
                             .value = OptionValue::Required,
                             .valueName = "DIR",
                             .help = "where the device files are (default /dev)",
                             .noun = "a folder",
                             .hint = ValueHint::Folder};

constexpr const OptionDef* kPlatformOptions[] = {&kSimulate, &kSimTrace, &kSimState, &kSysfsRoot, &kDevRoot};

}  // namespace

std::span<const OptionDef* const> PlatformOptionDefs() {
    return kPlatformOptions;
}

bool IsPlatformOption(const OptionDef& def) {
    return std::find(std::begin(kPlatformOptions), std::end(kPlatformOptions), &def) !=
           std::end(kPlatformOptions);
}

std::optional<std::string> ApplyPlatformOption(const OptionDef& def, const std::optional<std::string>& value,
                                               PlatformSetup::Options& options) {
    if (&def == &kSimulate) {
        std::string error;
        options.simulatedGadgets =
            ParseSimulatedGadgetCount(value ? std::optional<std::string_view>(*value) : std::nullopt, error);
        if (!options.simulatedGadgets) return error;
    } else if (&def == &kSimTrace) {
        options.simTrace = value.value_or("");
        if (options.simTrace.empty()) return "--sim-trace needs a file";
    } else if (&def == &kSimState) {
        options.simState = value.value_or("");
        if (options.simState.empty()) return "--sim-state needs a file";
    } else if (&def == &kSysfsRoot) {
        options.sysfsRoot = value.value_or("");
    } else if (&def == &kDevRoot) {
        options.devRoot = value.value_or("");
    }
    return std::nullopt;
}

std::optional<std::string> CheckPlatformOptions(const PlatformSetup::Options& options) {
    if (!options.simTrace.empty() && !options.simulatedGadgets) return "--sim-trace needs --simulate";
    if (!options.simState.empty() && !options.simulatedGadgets) return "--sim-state needs --simulate";
    return std::nullopt;
}

}  // namespace tavrel
