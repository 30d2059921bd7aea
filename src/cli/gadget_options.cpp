#include "cli/gadget_options.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

#include "cli/cli_arguments.h"
#include "cli/cli_status.h"
#include "cli/command_registry.h"
#include "cli/gadget_command_table.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"
#include "sim/platform_options.h"

namespace tavrel {

namespace {

using namespace cli_options;

const CliCommand& CommandNamed(std::string_view name) {
    return *FindCliCommand(name);
}

}  // namespace

bool IsGadgetCommand(std::string_view command) {
    return command == "flash" || FindGadgetCommand(command) != nullptr;
}

GadgetOptions ParseGadgetOptions(std::span<const std::string> args) {
    GadgetOptions options;
    std::size_t first = 1;
    options.command = args.front();
    if (options.command == "flash") {
        if (args.size() < 2 || (args[1] != "read" && args[1] != "write" && args[1] != "clear")) {
            throw UsageError("flash needs read, write or clear\nUsage: tavrel-cli " +
                             std::string(CommandNamed("flash read").synopsis) + "\n       tavrel-cli " +
                             std::string(CommandNamed("flash write").synopsis) + "\n       tavrel-cli " +
                             std::string(CommandNamed("flash clear").synopsis));
        }
        options.command += " " + args[1];
        first = 2;
    }
    const CliCommand& command = CommandNamed(options.command);
    const GadgetCommand& descriptor = *FindGadgetCommand(options.command);
    options.descriptor = &descriptor;
    const auto refuse = [&](const std::string& what) { RefuseArgument(command, what); };
    ReadArguments(
        command, args.subspan(first),
        [&](const OptionDef& def, const std::optional<std::string>& value) {
            if (IsPlatformOption(def)) {
                options.platformGiven = true;
                if (auto error = ApplyPlatformOption(def, value, options.platform)) refuse(*error);
            } else if (&def == &kDevice) {
                if (value->empty()) refuse("--device needs a path");
                if (std::find(options.devices.begin(), options.devices.end(), *value) ==
                    options.devices.end())
                    options.devices.push_back(*value);
            } else if (&def == &kAll) {
                options.all = true;
            } else if (&def == &kTimeout) {
                const std::optional<std::uint32_t> ms =
                    ParseDigits(*value, static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()));
                if (!ms || *ms < 1)
                    refuse("--timeout takes a number of milliseconds above 0, not '" + QuoteText(*value) +
                           "'");
                options.timeoutMs = static_cast<int>(*ms);
            } else if (&def == &kEncoding) {
                options.encoding = ParseEncoding(*value);
            } else if (&def == &kVersion) {
                options.versionText = CheckedVersion(*value);
            } else if (&def == &kNoAutorun) {
                options.autoRun = false;
            } else if (&def == &kIfChanged) {
                options.ifChanged = true;
            } else if (&def == &kVerify) {
                options.verify = true;
            } else if (&def == &kRaw || &def == &kHex) {
                const DataFlashInputForm form =
                    &def == &kRaw ? DataFlashInputForm::Raw : DataFlashInputForm::Hex;
                if (options.dataFlashForm != DataFlashInputForm::Either && options.dataFlashForm != form)
                    refuse("--raw and --hex exclude each other");
                options.dataFlashForm = form;
            } else if (&def == &kOutput) {
                options.output = *value;
                if (options.output.empty()) refuse("--output needs a file");
            } else if (&def == &kJson) {
                options.json = true;
            }
        },
        [&](const std::string& operand) {
            if (descriptor.input == GadgetInput::Lines) {
                // A LINE holding line breaks is its lines, as standard input would be.
                std::vector<std::string> lines = SplitLines(operand);
                if (lines.empty()) lines.emplace_back();
                for (std::string& line : lines) {
                    if (line.size() > kLiveLineLimit) {
                        refuse("line " + std::to_string(options.lines.size() + 1) + ": longer than " +
                               std::to_string(kLiveLineLimit) + " bytes");
                    }
                    options.lines.push_back(std::move(line));
                }
            } else if (descriptor.input == GadgetInput::File && !options.input) {
                options.input = operand;
            } else {
                refuse("unexpected argument '" + QuoteText(operand) + "'");
            }
        });
    if (options.all && !options.devices.empty()) refuse("--all and --device exclude each other");
    if (auto error = CheckPlatformOptions(options.platform)) refuse(*error);
    if (descriptor.input == GadgetInput::File && !options.input) {
        refuse(options.command + " needs " + std::string(descriptor.inputName) + " (- for standard input)");
    }
    return options;
}

}  // namespace tavrel
