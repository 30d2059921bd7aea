#include "cli/command_registry.h"

#include <algorithm>

#include "cli/cli_status.h"
#include "cli/devices_command.h"
#include "cli/gadget_commands.h"
#include "cli/remote_send.h"
#include "cli/script_commands.h"
#include "cli/serve_command.h"
#include "common/text_escape.h"
#include "sim/platform_options.h"

namespace tavrel {

namespace cli_options {
const OptionDef kDevice{.name = "--device",
                        .value = OptionValue::Required,
                        .valueName = "PATH",
                        .help = "work on the gadget at PATH, as 'devices' prints it (repeatable)",
                        .hint = ValueHint::Device};
const OptionDef kAll{.name = "--all", .value = OptionValue::None, .help = "work on every gadget present"};
const OptionDef kTimeout{.name = "--timeout",
                         .value = OptionValue::Required,
                         .valueName = "MS",
                         .help = "wait at most MS milliseconds for each answer (default 10000)"};
const OptionDef kEncoding{.name = "--encoding",
                          .value = OptionValue::Required,
                          .valueName = "utf8|gbk",
                          .help = "the text's encoding (default utf8)",
                          .hint = ValueHint::Words,
                          .words = "utf8 gbk"};
const OptionDef kVersion{.name = "--version",
                         .value = OptionValue::Required,
                         .valueName = "TEXT",
                         .help = "the script's version, a number from 0 to 255 (default 1)"};
const OptionDef kNoAutorun{.name = "--no-autorun",
                           .value = OptionValue::None,
                           .help = "the script does not run by itself when the gadget starts"};
const OptionDef kVerify{
    .name = "--verify", .value = OptionValue::None, .help = "read what was written back and compare"};
const OptionDef kIfChanged{.name = "--if-changed",
                           .value = OptionValue::None,
                           .help = "read the flash first and write only the blocks that differ"};
const OptionDef kRaw{.name = "--raw", .value = OptionValue::None, .help = "FILE holds 128 raw bytes"};
const OptionDef kHex{.name = "--hex", .value = OptionValue::None, .help = "FILE holds the bytes as hex text"};
const OptionDef kOutput{.name = "--output",
                        .value = OptionValue::Required,
                        .valueName = "FILE",
                        .help = "write the 128 bytes to FILE instead of standard output",
                        .hint = ValueHint::File};
const OptionDef kJson{.name = "--json",
                      .value = OptionValue::None,
                      .help =
                          "print the results as JSON Lines, errors included; nothing else on\n"
                          "standard output"};
const OptionDef kPort{.name = "--port",
                      .value = OptionValue::Required,
                      .valueName = "N",
                      .help = "the UDP port (default 10200; 0: the system's choice)"};
const OptionDef kUdpBind{.name = "--udp-bind",
                         .value = OptionValue::Required,
                         .valueName = "ADDRESS",
                         .help =
                             "listen on this IPv4 address (default 127.0.0.1, every address with\n"
                             "--keys)"};
const OptionDef kAllow{.name = "--allow",
                       .value = OptionValue::Required,
                       .valueName = "ADDRESS[/BITS]",
                       .help = "hear only these senders (repeatable)"};
const OptionDef kServeKeys{.name = "--keys",
                           .value = OptionValue::Required,
                           .valueName = "FILE",
                           .help = "speak DTLS 1.2 with the pre-shared keys of FILE",
                           .hint = ValueHint::File};
const OptionDef kPlain{
    .name = "--plain", .value = OptionValue::None, .help = "take plain UDP off the loopback"};
const OptionDef kMetricsFile{.name = "--metrics-file",
                             .value = OptionValue::Required,
                             .valueName = "FILE",
                             .help = "keep the counters in FILE (ending in .prom) for node_exporter",
                             .hint = ValueHint::File};
const OptionDef kVerbose{.name = "--verbose", .value = OptionValue::None, .help = "log every line run"};
const OptionDef kTo{.name = "--to",
                    .value = OptionValue::Required,
                    .valueName = "HOST[:PORT]",
                    .help = "the server (port 10200 unless given)"};
const OptionDef kSendKeys{.name = "--keys",
                          .value = OptionValue::Required,
                          .valueName = "FILE",
                          .help = "send over DTLS with the key of --identity from FILE",
                          .hint = ValueHint::File};
const OptionDef kIdentity{.name = "--identity",
                          .value = OptionValue::Required,
                          .valueName = "NAME",
                          .help = "the identity whose key is used"};
const OptionDef kAnswerTimeout{.name = "--timeout",
                               .value = OptionValue::Required,
                               .valueName = "MS",
                               .help =
                                   "wait up to MS milliseconds for the answers after the last line\n"
                                   "(default 2000)"};
}  // namespace cli_options

namespace {

using namespace cli_options;

constexpr std::string_view kGadgetDescription =
    "      SELECT: --device PATH (repeatable; PATH as 'devices' prints it) or --all; without\n"
    "      either, the one gadget present. --simulate[=N] works on N simulated gadgets,\n"
    "      --sim-trace FILE appends the reports they take to FILE, --sim-state FILE keeps their\n"
    "      flash in FILE from one run to the next (--sysfs-root DIR and --dev-root DIR: where\n"
    "      the system's devices are); --timeout MS bounds the wait for each answer (default\n"
    "      10000).\n"
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
    "      usable gadget, 4 --sim-state FILE in use by another tavrel.\n";

std::vector<const OptionDef*> Join(std::initializer_list<std::span<const OptionDef* const>> parts) {
    std::vector<const OptionDef*> all;
    for (const auto part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<const OptionDef*> GadgetOptionsWith(std::initializer_list<const OptionDef*> own) {
    const OptionDef* const select[] = {&kDevice, &kAll};
    const OptionDef* const timeout[] = {&kTimeout};
    const OptionDef* const json[] = {&kJson};
    const std::vector<const OptionDef*> mine(own);
    return Join({select, PlatformOptionDefs(), timeout, mine, json});
}

CliCommand Gadget(std::string_view name, std::string_view synopsis,
                  std::initializer_list<const OptionDef*> own, OperandRule operands = OperandRule::Words,
                  std::string_view description = {}) {
    return CliCommand{name,        synopsis,        GadgetOptionsWith(own), operands, ArgumentWording::Gadget,
                      description, RunGadgetCommand};
}

std::vector<CliCommand> MakeCommands() {
    const OptionDef* const select[] = {&kDevice, &kAll};
    const OptionDef* const json[] = {&kJson};
    const OptionDef* const serveOwn[] = {&kPort,  &kUdpBind,     &kAllow,  &kServeKeys,
                                         &kPlain, &kMetricsFile, &kVerbose};
    return {
        {"compile",
         "compile [--version TEXT] [--no-autorun] [--encoding utf8|gbk] [--json] [FILE|-]",
         {&kVersion, &kNoAutorun, &kEncoding, &kJson},
         OperandRule::Words,
         ArgumentWording::Plain,
         "      Compiles script lines into record byte text (standard output); compile\n"
         "      messages go to standard error. The version defaults to 1, auto-run is on.\n",
         RunCompileCommand},
        {"list",
         "list [--encoding utf8|gbk] [--json] [FILE|-]",
         {&kEncoding, &kJson},
         OperandRule::Words,
         ArgumentWording::Plain,
         "      Lists record byte text as readable log entries on standard output.\n",
         RunListCommand},
        {"devices",
         "devices [--simulate[=N]] [--sim-trace FILE] [--sim-state FILE] [--sysfs-root DIR] [--dev-root DIR] "
         "[--json]",
         Join({PlatformOptionDefs(), json}), OperandRule::None, ArgumentWording::Plain,
         "      Lists every HID interface the tool sees, one line each, tab-separated: path,\n"
         "      VID=.... PID=...., in=<input report bytes>, out=<output report bytes>,\n"
         "      'gadget' or '-', 'rw' or 'query-only', why read-write access failed ('-' when\n"
         "      it did not), product. Control characters are written as \\t, \\n, \\\\ and \\xHH.\n"
         "      --simulate lists simulated devices instead (N gadgets, default 1, with a mouse\n"
         "      and a vendor device); the roots default to /sys and /dev.\n",
         [](std::span<const std::string> args, const CliStreams& io) {
             return RunDevicesCommand(args.subspan(1), io);
         }},
        Gadget("id", "id [SELECT] [--json]", {}),
        Gadget("download",
               "download [SELECT] [--version TEXT] [--no-autorun] [--encoding utf8|gbk] [--verify] "
               "[--if-changed] "
               "[--json] SCRIPT|-",
               {&kVersion, &kNoAutorun, &kEncoding, &kVerify, &kIfChanged}),
        Gadget("flash read", "flash read [SELECT] [--output FILE] [--json]", {&kOutput}),
        Gadget("flash write", "flash write [SELECT] [--verify] [--if-changed] [--raw|--hex] [--json] FILE|-",
               {&kVerify, &kIfChanged, &kRaw, &kHex}),
        Gadget("flash clear", "flash clear [SELECT] [--verify] [--json]", {&kVerify}),
        Gadget("start", "start [SELECT] [--json]", {}),
        Gadget("stop", "stop [SELECT] [--json]", {}),
        Gadget("reboot", "reboot [SELECT] [--json]", {}),
        Gadget("send", "send [SELECT] [--encoding utf8|gbk] [--json] [LINE...]", {&kEncoding},
               OperandRule::Lines, kGadgetDescription),
        {"serve",
         "serve [--device PATH]... [--all] [--port N] [--udp-bind ADDRESS] [--allow ADDRESS[/BITS]]... "
         "[--keys FILE] [--plain] [--metrics-file FILE] [--verbose] [--simulate[=N]] [--sim-trace FILE] "
         "[--sim-state FILE] [--sysfs-root DIR] [--dev-root DIR]",
         Join({select, serveOwn, PlatformOptionDefs()}), OperandRule::None, ArgumentWording::Serve,
         "      Serves script lines over UDP without a window, until SIGTERM or SIGINT: each\n"
         "      datagram on port N (default 10200; 0 lets the system choose) of ADDRESS (IPv4,\n"
         "      default 127.0.0.1, or every address with --keys) is one line, cut at its first zero\n"
         "      byte; longer than 2048 bytes it is dropped. Lines run in live mode in arrival order,\n"
         "      at most one per 10 ms (10000 may wait); each line's packets go to every served\n"
         "      gadget at once. --all (the default) or --device PATH (repeatable) is applied\n"
         "      again whenever gadgets come and go. With --keys FILE the port speaks DTLS 1.2 with\n"
         "      the pre-shared keys of FILE (IDENTITY KEY per line, KEY 32 to 128 hex digits; no\n"
         "      access for others): each record holds UTF-8 lines and is answered \"queued N\" or\n"
         "      \"refused: REASON\"; SIGHUP reads FILE again and ends the sessions of keys removed\n"
         "      or changed. Plain UDP off the loopback needs --plain. With --allow only the given\n"
         "      senders are heard; what a sender repeats (refused, too long) is counted, said at\n"
         "      most once a second. Logs to standard error through a 256 KiB buffer that never\n"
         "      holds serving up; --verbose adds each line run. --metrics-file FILE.prom keeps the\n"
         "      counters in Prometheus' text format (for node_exporter's textfile collector),\n"
         "      written at start, every 10 s and at exit. Without --keys SIGHUP is ignored.\n"
         "      Exits 1 when the port cannot be bound.\n",
         [](std::span<const std::string> args, const CliStreams& io) {
             return RunServeCommandLine(args.subspan(1), io);
         }},
        {"send --to",
         "send --to HOST[:PORT] [--keys FILE --identity NAME] [--encoding utf8|gbk] [--timeout MS] [--json] "
         "[LINE...]",
         {&kTo, &kSendKeys, &kIdentity, &kEncoding, &kAnswerTimeout, &kJson},
         OperandRule::Lines,
         ArgumentWording::Remote,
         "      Sends the lines (standard input without LINE) to a remote window or serve (port\n"
         "      10200 unless given), one per 10 ms. Without --keys as plain UDP datagrams in GBK,\n"
         "      which the server does not answer (\"sent N lines\"); with --keys and --identity over\n"
         "      DTLS with NAME's key from FILE, each line a record the server answers: prints how\n"
         "      many it queued and refused, waiting up to --timeout MS (default 2000) after the\n"
         "      last. Exits 0 only when every line was sent and, over DTLS, queued; 1 otherwise\n"
         "      (a failed handshake with its reason).\n",
         [](std::span<const std::string> args, const CliStreams& io) {
             return RunRemoteSend(args.subspan(1), io);
         }},
    };
}

std::string UsageLine(const CliCommand& command) {
    return "tavrel-cli " + std::string(command.synopsis);
}

}  // namespace

const OptionDef* CliCommand::Option(std::string_view optionName) const {
    const auto found = std::find_if(options.begin(), options.end(),
                                    [&](const OptionDef* def) { return def->name == optionName; });
    return found == options.end() ? nullptr : *found;
}

std::span<const CliCommand> CliCommands() {
    static const std::vector<CliCommand> commands = MakeCommands();
    return commands;
}

const CliCommand* FindCliCommand(std::string_view name) {
    const std::span<const CliCommand> commands = CliCommands();
    const auto found =
        std::find_if(commands.begin(), commands.end(), [&](const CliCommand& c) { return c.name == name; });
    return found == commands.end() ? nullptr : &*found;
}

std::vector<const OptionDef*> SelectOptionDefs(const CliCommand& command) {
    std::vector<const OptionDef*> select = {&kDevice, &kAll};
    if (command.wording == ArgumentWording::Gadget) {
        select.insert(select.end(), PlatformOptionDefs().begin(), PlatformOptionDefs().end());
        select.push_back(&kTimeout);
    }
    return select;
}

std::string CliUsage() {
    std::string usage = "Usage:\n";
    for (const CliCommand& command : CliCommands()) {
        usage += "  " + UsageLine(command) + "\n";
        usage += command.description;
    }
    usage +=
        "  tavrel-cli --help | --version | COMMAND --help\n"
        "\n"
        "FILE defaults to standard input (-). Text is UTF-8 unless --encoding gbk is given;\n"
        "lines end in LF or CR LF. With --json every command but serve prints JSON Lines on\n"
        "standard output, one object per result, and an error that ends the run as one object\n"
        "{\"error\", \"status\"}; tavrel-cli(1) lists the keys.\n";
    return usage;
}

std::string CommandHelp(const CliCommand& command) {
    std::string help = "Usage: " + UsageLine(command) + "\n";
    // The commands that share a description (the gadget commands) find it further on.
    const std::span<const CliCommand> commands = CliCommands();
    for (auto it = commands.begin() + (&command - commands.data()); it != commands.end(); ++it) {
        if (!it->description.empty()) {
            help += it->description;
            break;
        }
    }
    help += "Options:\n" + OptionHelpTable(command.options);
    return help;
}

void RefuseArgument(const CliCommand& command, const std::string& what) {
    if (command.wording == ArgumentWording::Plain) throw UsageError(what);
    throw UsageError(what + "\nUsage: " + UsageLine(command));
}

void ReadArguments(const CliCommand& command, std::span<const std::string> args,
                   const std::function<void(const OptionDef&, const std::optional<std::string>&)>& option,
                   const std::function<void(const std::string&)>& operand) {
    try {
        WalkArguments(args, command.options, command.operands, option, operand);
    } catch (const ArgumentFault& fault) {
        RefuseFault(command, fault);
    }
}

void RefuseFault(const CliCommand& command, const ArgumentFault& fault) {
    const std::string name = fault.option != nullptr ? std::string(fault.option->name) : std::string();
    const bool bare = command.wording == ArgumentWording::Serve || command.wording == ArgumentWording::Remote;
    if (fault.kind == ArgumentFault::Kind::NeedsValue) {
        if (!bare) RefuseArgument(command, "option " + QuoteText(name) + " needs a value");
        const std::string_view noun = fault.option->noun.empty() ? "a value" : fault.option->noun;
        RefuseArgument(command, name + " needs " + std::string(noun));
    }
    // A flag given a value is an unknown argument, except to the gadget commands.
    if (fault.kind == ArgumentFault::Kind::TakesNoValue && command.wording == ArgumentWording::Gadget)
        RefuseArgument(command, "option " + QuoteText(name) + " takes no value");
    if (command.wording == ArgumentWording::Serve)
        RefuseArgument(command, "unknown argument '" + QuoteText(fault.argument) + "'");
    RefuseArgument(command,
                   "unknown option '" + QuoteText(fault.argument) + "' for " + std::string(command.name));
}

bool AsksForJson(std::span<const std::string> args) {
    for (const std::string& arg : args) {
        if (arg == "--") return false;
        if (arg == "--json") return true;
    }
    return false;
}

}  // namespace tavrel
