#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_input.h"
#include "commands/data_flash_input.h"
#include "sim/simulated_setup.h"

namespace tavrel {

struct GadgetCommand;

// What a gadget command was asked to do.
struct GadgetOptions {
    std::string command;  // "id", "download", "flash read", "flash write", "flash clear", "start", ...
    const GadgetCommand* descriptor = nullptr;  // the command's entry in the table
    std::vector<std::string> devices;           // --device, each once
    bool all = false;
    PlatformSetup::Options platform;  // --simulate[=N], --sim-trace, --sim-state, --sysfs-root, --dev-root
    bool platformGiven = false;       // any of those was given
    int timeoutMs = 0;                // 0: the link's own bound
    std::string versionText = "1";
    bool autoRun = true;
    Encoding encoding = Encoding::Utf8;
    bool verify = false;
    bool ifChanged = false;  // --if-changed: read first, write only what differs
    DataFlashInputForm dataFlashForm = DataFlashInputForm::Either;  // flash write's --raw, --hex
    std::optional<std::string> input;  // download's SCRIPT, flash write's FILE ("-": standard input)
    std::string output;                // flash read --output
    std::vector<std::string> lines;    // send's LINEs
    bool json = false;                 // --json: JSON Lines on standard output
};

// Whether `command` names a gadget command: id, download, flash, start, stop, reboot, send.
bool IsGadgetCommand(std::string_view command);

// Reads a gadget command's arguments, its word(s) first; options may stand anywhere after them.
// Throws UsageError with the command's usage line for anything it does not take.
GadgetOptions ParseGadgetOptions(std::span<const std::string> args);

}  // namespace tavrel
