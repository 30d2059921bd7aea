#include "cli/cli.h"

#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/cli_arguments.h"
#include "cli/cli_input.h"
#include "cli/cli_status.h"
#include "cli/devices_command.h"
#include "cli/gadget_commands.h"
#include "cli/gadget_options.h"
#include "cli/remote_send.h"
#include "cli/serve_command.h"
#include "common/log_sink.h"
#include "common/text_escape.h"
#include "script/script_compile.h"
#include "script/script_listing.h"

#ifndef TAVREL_VERSION
#define TAVREL_VERSION "0.0.0"
#endif

namespace tavrel {

namespace {

constexpr std::string_view kUsage =
    "Usage:\n"
    "  tavrel-cli compile [--version TEXT] [--no-autorun] [--encoding utf8|gbk] [FILE|-]\n"
    "      Compiles script lines into record byte text (standard output); compile\n"
    "      messages go to standard error. The version defaults to 1, auto-run is on.\n"
    "  tavrel-cli list [--encoding utf8|gbk] [FILE|-]\n"
    "      Lists record byte text as readable log entries on standard output.\n"
    "  tavrel-cli devices [--simulate[=N]] [--sysfs-root DIR] [--dev-root DIR]\n"
    "      Lists every HID interface the tool sees, one line each, tab-separated: path,\n"
    "      VID=.... PID=...., in=<input report bytes>, out=<output report bytes>,\n"
    "      'gadget' or '-', 'rw' or 'query-only', why read-write access failed ('-' when\n"
    "      it did not), product. Control characters are written as \\t, \\n, \\\\ and \\xHH.\n"
    "      --simulate lists simulated devices instead (N gadgets, default 1, with a mouse\n"
    "      and a vendor device); the roots default to /sys and /dev.\n"
    "%GADGET%"
    "%SERVE%"
    "  tavrel-cli send --to HOST[:PORT] [--keys FILE --identity NAME] [--encoding utf8|gbk]\n"
    "                  [--timeout MS] [LINE...]\n"
    "      Sends the lines (standard input without LINE) to a remote window or serve (port\n"
    "      10200 unless given), one per 10 ms. Without --keys as plain UDP datagrams in GBK,\n"
    "      which the server does not answer (\"sent N lines\"); with --keys and --identity over\n"
    "      DTLS with NAME's key from FILE, each line a record the server answers: prints how\n"
    "      many it queued and refused, waiting up to --timeout MS (default 2000) after the\n"
    "      last. Exits 0 only when every line was sent and, over DTLS, queued; 1 otherwise\n"
    "      (a failed handshake with its reason).\n"
    "  tavrel-cli --help | --version\n"
    "\n"
    "FILE defaults to standard input (-). Text is UTF-8 unless --encoding gbk is given;\n"
    "lines end in LF or CR LF.\n";

std::string Usage() {
    std::string usage(kUsage);
    usage.replace(usage.find("%GADGET%"), 8, GadgetCommandsUsage());
    usage.replace(usage.find("%SERVE%"), 7, ServeUsage());
    return usage;
}

struct Options {
    std::string command;
    std::string versionText = "1";
    bool autoRun = true;
    Encoding encoding = Encoding::Utf8;
    std::string file = "-";
};

Options ParseArguments(std::span<const std::string> args) {
    Options options;
    options.command = args.front();
    const bool compiling = options.command == "compile";
    bool haveFile = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const auto [arg, inlineValue] = SplitOption(args[i]);
        const auto value = [&]() -> std::string {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= args.size()) {
                throw UsageError("option " + QuoteText(arg) + " needs a value");
            }
            return args[++i];
        };
        if (arg == "--encoding") {
            options.encoding = ParseEncoding(value());
        } else if (compiling && arg == "--version") {
            options.versionText = CheckedVersion(value());
        } else if (compiling && arg == "--no-autorun" && !inlineValue) {
            options.autoRun = false;
        } else if (arg == "-" || !arg.starts_with("-")) {
            if (haveFile) {
                throw UsageError("more than one input file given");
            }
            options.file = std::string(arg);
            haveFile = true;
        } else {
            throw UsageError("unknown option '" + QuoteText(args[i]) + "' for " + options.command);
        }
    }
    return options;
}

int Compile(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> lines = ReadGbkLines(options.file, options.encoding, in);
    StreamLogSink stream(err, options.encoding);
    ControlEscapingLogSink log(stream);  // the messages quote the script's lines
    const ScriptCompilation compilation = CompileScript(lines, options.versionText, options.autoRun, log);
    for (const std::string& line : compilation.byteTextLines) {
        out << line << '\n';
    }
    return kExitOk;
}

int List(const Options& options, std::istream& in, std::ostream& out) {
    const std::vector<std::string> lines = ReadGbkLines(options.file, options.encoding, in);
    StreamLogSink stream(out, options.encoding);
    ControlEscapingLogSink log(stream);  // the messages quote the input's lines
    ScriptRecordBuffer recordBuffer{};
    ListScriptBytes(lines, recordBuffer, log);
    return kExitOk;
}

}  // namespace

int ReportUsageError(std::ostream& err, const UsageError& error) {
    err << "tavrel-cli: " << error.what() << "\nTry 'tavrel-cli --help'.\n";
    return kExitUsage;
}

int ReportSimStateError(std::ostream& err, int status, const std::string& message) {
    if (status == kExitUsage) return ReportUsageError(err, UsageError(message));
    err << "tavrel-cli: " << message << '\n';
    return status;
}

int RunCli(std::span<const std::string> args, std::istream& in, std::ostream& out, std::ostream& err,
           bool errIsTerminal, int errFd) {
    if (args.empty()) {
        err << "tavrel-cli: no command given\n" << Usage();
        return kExitUsage;
    }
    const std::string& command = args.front();
    if (command == "--help" || command == "-h" || command == "help") {
        out << Usage();
        return kExitOk;
    }
    if (command == "--version") {
        out << "tavrel-cli " TAVREL_VERSION "\n";
        return kExitOk;
    }
    try {
        if (command != "compile" && command != "list" && command != "devices" && command != "serve" &&
            !IsGadgetCommand(command)) {
            throw UsageError("unknown command '" + QuoteText(command) + "'");
        }
        for (const std::string& arg : args.subspan(1)) {
            if (arg == "--help" || arg == "-h") {
                out << Usage();
                return kExitOk;
            }
        }
        if (command == "devices") {
            return RunDevicesCommand(args.subspan(1), out, err);
        }
        if (command == "serve") {
            return RunServeCommandLine(args.subspan(1), CliStreams{in, out, err, errIsTerminal, errFd});
        }
        if (command == "send" && SendsToRemote(args.subspan(1))) {
            return RunRemoteSend(args.subspan(1), CliStreams{in, out, err, errIsTerminal});
        }
        if (IsGadgetCommand(command)) {
            return RunGadgetCommand(args, CliStreams{in, out, err, errIsTerminal});
        }
        const Options options = ParseArguments(args);
        if (options.command == "compile") {
            return Compile(options, in, out, err);
        }
        return List(options, in, out);
    } catch (const UsageError& error) {
        return ReportUsageError(err, error);
    }
}

}  // namespace tavrel
