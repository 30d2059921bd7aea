#pragma once

#include <optional>
#include <span>
#include <string>

#include "common/command_line.h"
#include "sim/simulated_setup.h"

namespace tavrel {

// The options that choose the HID platform, the same for the window and every command of
// tavrel-cli that works on devices: --simulate[=N], --sim-trace FILE, --sim-state FILE,
// --sysfs-root DIR, --dev-root DIR.
std::span<const OptionDef* const> PlatformOptionDefs();

// Whether `def` is one of them.
bool IsPlatformOption(const OptionDef& def);

// Takes one of them into `options`; the reason when its value is refused.
std::optional<std::string> ApplyPlatformOption(const OptionDef& def, const std::optional<std::string>& value,
                                               PlatformSetup::Options& options);

// What the options refuse together ("--sim-trace needs --simulate"); none when they go together.
std::optional<std::string> CheckPlatformOptions(const PlatformSetup::Options& options);

}  // namespace tavrel
