#include "cli/cli.h"

#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/cli_status.h"
#include "cli/command_registry.h"
#include "cli/gadget_commands.h"
#include "cli/remote_send.h"
#include "common/json_text.h"
#include "common/text_escape.h"

#ifndef TAVREL_VERSION
#define TAVREL_VERSION "0.0.0"
#endif

namespace tavrel {

namespace {

// The command `args` name ("flash write" is two words, "send --to" one with an option); none for an
// unknown one.
const CliCommand* CommandOf(std::span<const std::string> args) {
    const std::string& word = args.front();
    if (word == "flash" && args.size() > 1) {
        if (const CliCommand* command = FindCliCommand("flash " + args[1])) return command;
    }
    if (word == "send" && SendsToRemote(args.subspan(1))) return FindCliCommand("send --to");
    return FindCliCommand(word);
}

}  // namespace

int ReportUsageError(const CliStreams& io, const UsageError& error) {
    io.err << "tavrel-cli: " << error.what() << "\nTry 'tavrel-cli --help'.\n";
    if (io.json) {
        // The usage line is for people: the object holds what went wrong.
        const std::string_view message = error.what();
        io.out << JsonObject()
                      .Text("error", message.substr(0, message.find("\nUsage: ")))
                      .Number("status", kExitUsage)
                      .Str()
               << '\n';
    }
    return kExitUsage;
}

int ReportRunError(const CliStreams& io, int status, const std::string& message) {
    io.err << "tavrel-cli: " << message << '\n';
    if (io.json) io.out << JsonObject().Text("error", message).Number("status", status).Str() << '\n';
    return status;
}

int ReportSimStateError(const CliStreams& io, int status, const std::string& message) {
    if (status == kExitUsage) return ReportUsageError(io, UsageError(message));
    return ReportRunError(io, status, message);
}

int RunCli(std::span<const std::string> args, std::istream& in, std::ostream& out, std::ostream& err,
           bool errIsTerminal, int errFd) {
    const CliStreams io{in, out, err, errIsTerminal, errFd, AsksForJson(args)};
    if (args.empty()) {
        err << "tavrel-cli: no command given\n" << CliUsage();
        return kExitUsage;
    }
    const std::string& word = args.front();
    if (word == "--help" || word == "-h" || word == "help") {
        out << CliUsage();
        return kExitOk;
    }
    if (word == "--version") {
        out << "tavrel-cli " TAVREL_VERSION "\n";
        return kExitOk;
    }
    try {
        const CliCommand* command = CommandOf(args);
        if (command == nullptr && word != "flash") {
            throw UsageError("unknown command '" + QuoteText(word) + "'");
        }
        for (const std::string& arg : args.subspan(1)) {
            if (arg == "--") break;
            if (arg == "--help" || arg == "-h") {
                out << (command != nullptr ? CommandHelp(*command) : CliUsage());
                return kExitOk;
            }
        }
        if (command == nullptr) return RunGadgetCommand(args, io);  // "flash" alone: says what it needs
        return command->run(args, io);
    } catch (const UsageError& error) {
        return ReportUsageError(io, error);
    }
}

}  // namespace tavrel
