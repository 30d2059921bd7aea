#include "cli/gadget_options.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

#include "cli/cli_arguments.h"
#include "cli/cli_status.h"
#include "cli/gadget_command_table.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"
#include "sim/simulated_setup.h"

namespace tavrel {

namespace {

constexpr std::string_view kSelectUsage =
    "      SELECT: --device PATH (repeatable; PATH as 'devices' prints it) or --all; without\n"
    "      either, the one gadget present. --simulate[=N] works on N simulated gadgets,\n"
    "      --sim-trace FILE appends the reports they take to FILE, --sim-state FILE keeps their\n"
    "      flash in FILE from one run to the next; --timeout MS bounds the wait for each answer\n"
    "      (default 10000).\n";

std::string SynopsisOf(std::string_view command) {
    const GadgetCommand* found = FindGadgetCommand(command);
    return found != nullptr ? "tavrel-cli " + std::string(found->synopsis) : std::string();
}

// A bad argument of a gadget command: reported with the command's usage line.
[[noreturn]] void Refuse(const std::string& command, const std::string& what) {
    std::string message = what;
    if (const std::string synopsis = SynopsisOf(command); !synopsis.empty())
        message += "\nUsage: " + synopsis;
    throw UsageError(message);
}

}  // namespace

bool IsGadgetCommand(std::string_view command) {
    return command == "flash" || FindGadgetCommand(command) != nullptr;
}

std::string_view GadgetCommandsUsage() {
    static const std::string usage = [] {
        std::string text;
        for (const GadgetCommand& command : GadgetCommands())
            text += "  tavrel-cli " + std::string(command.synopsis) + "\n";
        text += kSelectUsage;
        text +=
            "      Each prints one line per gadget: PATH, a tab, 'ok' or 'failed: REASON' ('id'\n"
            "      prints the identifier instead of 'ok', 'flash read' the 128 bytes). Every\n"
            "      packet waits for its gadget's answer; the gadgets are worked on at once.\n"
            "      download compiles as 'compile' does and refuses a script with a line that gives\n"
            "      no record; --verify reads the written flash back; --if-changed reads the flash\n"
            "      first and writes only the blocks that differ, printing 'unchanged' for a gadget\n"
            "      that held them all. flash write takes 128 raw\n"
            "      bytes or hex text (--raw or --hex when 128 bytes could be either); flash clear\n"
            "      writes 128 bytes of FF. send runs live lines (standard input without LINE) one\n"
            "      per 10 ms, as the UDP server does; a LINE with line breaks is its lines. A line\n"
            "      longer than 2048 bytes, not UTF-8 or not in GBK is skipped, the skips counted at\n"
            "      most once a second; it ends with 'N lines run, M skipped' (exit 2 when M > 0).\n"
            "      Inputs are read up to 1 MiB (flash write: 64 KiB). An interrupt during download\n"
            "      or flash write/clear lets the running write finish; a second one stops at once.\n"
            "      Exit status: 0 done, 1 failed on a gadget, 2 bad arguments or input, 3 no\n"
            "      usable gadget.\n";
        return text;
    }();
    return usage;
}

GadgetOptions ParseGadgetOptions(std::span<const std::string> args) {
    GadgetOptions options;
    std::size_t first = 1;
    options.command = args.front();
    if (options.command == "flash") {
        if (args.size() < 2 || (args[1] != "read" && args[1] != "write" && args[1] != "clear")) {
            throw UsageError("flash needs read, write or clear\nUsage: " + SynopsisOf("flash read") +
                             "\n       " + SynopsisOf("flash write") + "\n       " +
                             SynopsisOf("flash clear"));
        }
        options.command += " " + args[1];
        first = 2;
    }
    const std::string& command = options.command;
    const GadgetCommand& descriptor = *FindGadgetCommand(command);
    options.descriptor = &descriptor;
    const bool send = descriptor.input == GadgetInput::Lines;
    const bool takesInput = descriptor.input == GadgetInput::File;
    for (std::size_t i = first; i < args.size(); ++i) {
        const auto [arg, inlineValue] = SplitOption(args[i]);
        const auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) Refuse(command, "option " + QuoteText(arg) + " needs a value");
            return args[++i];
        };
        const auto flag = [&] {
            if (inlineValue) Refuse(command, "option " + QuoteText(arg) + " takes no value");
        };
        if (arg == "--device") {
            const std::string path = value();
            if (path.empty()) Refuse(command, "--device needs a path");
            if (std::find(options.devices.begin(), options.devices.end(), path) == options.devices.end()) {
                options.devices.push_back(path);
            }
        } else if (arg == "--all") {
            flag();
            options.all = true;
        } else if (arg == "--simulate") {
            std::string error;
            options.simulatedGadgets = ParseSimulatedGadgetCount(inlineValue, error);
            if (!options.simulatedGadgets) Refuse(command, error);
        } else if (arg == "--sim-trace") {
            options.simTrace = value();
            if (options.simTrace.empty()) Refuse(command, "--sim-trace needs a file");
        } else if (arg == "--sim-state") {
            options.simState = value();
            if (options.simState.empty()) Refuse(command, "--sim-state needs a file");
        } else if (arg == "--timeout") {
            const std::string text = value();
            const std::optional<std::uint32_t> ms =
                ParseDigits(text, static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()));
            if (!ms || *ms < 1) {
                Refuse(command,
                       "--timeout takes a number of milliseconds above 0, not '" + QuoteText(text) + "'");
            }
            options.timeoutMs = static_cast<int>(*ms);
        } else if (descriptor.Takes(kTakesEncoding) && arg == "--encoding") {
            options.encoding = ParseEncoding(value());
        } else if (descriptor.Takes(kTakesVersion) && arg == "--version") {
            options.versionText = CheckedVersion(value());
        } else if (descriptor.Takes(kTakesVersion) && arg == "--no-autorun") {
            flag();
            options.autoRun = false;
        } else if (descriptor.Takes(kTakesIfChanged) && arg == "--if-changed") {
            flag();
            options.ifChanged = true;
        } else if (descriptor.Takes(kTakesVerify) && arg == "--verify") {
            flag();
            options.verify = true;
        } else if (descriptor.Takes(kTakesDataFlashForm) && (arg == "--raw" || arg == "--hex")) {
            flag();
            const DataFlashInputForm form =
                arg == "--raw" ? DataFlashInputForm::Raw : DataFlashInputForm::Hex;
            if (options.dataFlashForm != DataFlashInputForm::Either && options.dataFlashForm != form) {
                Refuse(command, "--raw and --hex exclude each other");
            }
            options.dataFlashForm = form;
        } else if (descriptor.Takes(kTakesOutput) && arg == "--output") {
            options.output = value();
            if (options.output.empty()) Refuse(command, "--output needs a file");
        } else if (arg == "-" || !arg.starts_with("-") || (send && !arg.starts_with("--"))) {
            if (send) {
                // A LINE holding line breaks is its lines, as standard input would be.
                std::vector<std::string> lines = SplitLines(arg);
                if (lines.empty()) lines.emplace_back();
                for (std::string& line : lines) {
                    if (line.size() > kLiveLineLimit) {
                        Refuse(command, "line " + std::to_string(options.lines.size() + 1) +
                                            ": longer than " + std::to_string(kLiveLineLimit) + " bytes");
                    }
                    options.lines.push_back(std::move(line));
                }
            } else if (takesInput && !options.input) {
                options.input = std::string(arg);
            } else {
                Refuse(command, "unexpected argument '" + QuoteText(args[i]) + "'");
            }
        } else {
            Refuse(command, "unknown option '" + QuoteText(args[i]) + "' for " + command);
        }
    }
    if (options.all && !options.devices.empty()) Refuse(command, "--all and --device exclude each other");
    if (!options.simTrace.empty() && !options.simulatedGadgets)
        Refuse(command, "--sim-trace needs --simulate");
    if (!options.simState.empty() && !options.simulatedGadgets)
        Refuse(command, "--sim-state needs --simulate");
    if (takesInput && !options.input) {
        Refuse(command, command + " needs " + std::string(descriptor.inputName) + " (- for standard input)");
    }
    return options;
}

}  // namespace tavrel
