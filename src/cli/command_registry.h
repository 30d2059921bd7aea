#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_status.h"
#include "common/command_line.h"

namespace tavrel {

// How a command words an argument it cannot read. Each command has always said it its own way,
// and scripts and people may know those words.
enum class ArgumentWording {
    Plain,   // compile, list, devices: "option --x needs a value", "unknown option 'A' for CMD"
    Gadget,  // the gadget commands: the same, "option --x takes no value", then the usage line
    Serve,   // "--x needs a value", "unknown argument 'A'", then the usage line
    Remote,  // send --to: "--x needs a value", "unknown option 'A' for send --to", the usage line
};

// One command of tavrel-cli: its words, the options it takes (each declared once, below), what
// it takes besides them, and its part of --help.
struct CliCommand {
    std::string_view name;      // "compile", "flash write", "send --to"
    std::string_view synopsis;  // after "tavrel-cli "; "[SELECT]" stands for the selection options
    std::vector<const OptionDef*> options;
    OperandRule operands = OperandRule::None;
    ArgumentWording wording = ArgumentWording::Plain;
    // What --help says below the synopsis (its lines indented by six); empty: the next command's
    // text covers this one too.
    std::string_view description;
    // Runs the command; `args` begin with its words. Throws UsageError for bad arguments.
    int (*run)(std::span<const std::string> args, const CliStreams& io) = nullptr;

    // The option of this command called `name` ("--verify"); none when it takes no such option.
    const OptionDef* Option(std::string_view name) const;
};

// Every command, in the order --help lists them.
std::span<const CliCommand> CliCommands();
// The command named `name`; none for an unknown one.
const CliCommand* FindCliCommand(std::string_view name);

// The options that select gadgets: --device, --all (and, for the gadget commands, --timeout and
// the platform's), which "[SELECT]" in a synopsis stands for.
std::vector<const OptionDef*> SelectOptionDefs(const CliCommand& command);

// tavrel-cli --help, made from the commands.
std::string CliUsage();
// tavrel-cli COMMAND --help: the command's synopsis, what it does and its options.
std::string CommandHelp(const CliCommand& command);

// Throws a UsageError with `what` worded for `command` (its usage line after it when the command's
// wording has one).
[[noreturn]] void RefuseArgument(const CliCommand& command, const std::string& what);

// Reads `args` (after the command's words) against the command's options, in order, calling
// `option` and `operand` as WalkArguments does; an argument it cannot read is a UsageError worded
// as the command words it.
void ReadArguments(const CliCommand& command, std::span<const std::string> args,
                   const std::function<void(const OptionDef&, const std::optional<std::string>&)>& option,
                   const std::function<void(const std::string&)>& operand);

// Throws the UsageError that words `fault` as the command words it.
[[noreturn]] void RefuseFault(const CliCommand& command, const ArgumentFault& fault);

// Whether --json is among `args` (before a "--" that ends the options): errors are then JSON too.
bool AsksForJson(std::span<const std::string> args);

// The options shared by several commands.
namespace cli_options {
extern const OptionDef kDevice;
extern const OptionDef kAll;
extern const OptionDef kTimeout;
extern const OptionDef kEncoding;
extern const OptionDef kVersion;
extern const OptionDef kNoAutorun;
extern const OptionDef kVerify;
extern const OptionDef kIfChanged;
extern const OptionDef kRaw;
extern const OptionDef kHex;
extern const OptionDef kOutput;
extern const OptionDef kJson;
// serve's
extern const OptionDef kPort;
extern const OptionDef kUdpBind;
extern const OptionDef kAllow;
extern const OptionDef kServeKeys;
extern const OptionDef kPlain;
extern const OptionDef kMetricsFile;
extern const OptionDef kVerbose;
// send --to's
extern const OptionDef kTo;
extern const OptionDef kSendKeys;
extern const OptionDef kIdentity;
extern const OptionDef kAnswerTimeout;
}  // namespace cli_options

}  // namespace tavrel
