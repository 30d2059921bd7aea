#include "cli/script_commands.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_arguments.h"
#include "cli/cli_input.h"
#include "cli/command_registry.h"
#include "common/gbk_text.h"
#include "common/json_text.h"
#include "common/text_escape.h"
#include "script/script_compile.h"
#include "script/script_listing.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

namespace {

using namespace cli_options;

struct Options {
    const CliCommand* command = nullptr;
    std::string versionText = "1";
    bool autoRun = true;
    Encoding encoding = Encoding::Utf8;
    std::string file = "-";
    bool json = false;
};

Options ParseArguments(const CliCommand& command, std::span<const std::string> args) {
    Options options;
    options.command = &command;
    bool haveFile = false;
    ReadArguments(
        command, args,
        [&](const OptionDef& def, const std::optional<std::string>& value) {
            if (&def == &kEncoding) {
                options.encoding = ParseEncoding(*value);
            } else if (&def == &kVersion) {
                options.versionText = CheckedVersion(*value);
            } else if (&def == &kNoAutorun) {
                options.autoRun = false;
            } else if (&def == &kJson) {
                options.json = true;
            }
        },
        [&](const std::string& operand) {
            if (haveFile) throw UsageError("more than one input file given");
            options.file = operand;
            haveFile = true;
        });
    return options;
}

// A message or listing line (GBK) as UTF-8, for JSON whatever the encoding of the text output.
std::string Utf8(std::string_view gbk) {
    return FromGbk(gbk).toStdString();
}

int Compile(const Options& options, const CliStreams& io) {
    const std::vector<std::string> lines = ReadGbkLines(options.file, options.encoding, io.in);
    StreamLogSink stream(io.err, options.encoding);
    ControlEscapingLogSink log(stream);  // the messages quote the script's lines
    const ScriptCompilation compilation = CompileScript(lines, options.versionText, options.autoRun, log);
    if (!options.json) {
        for (const std::string& line : compilation.byteTextLines) {
            io.out << line << '\n';
        }
        return kExitOk;
    }
    std::vector<std::string> records;
    for (const std::string& line : compilation.byteTextLines)
        records.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    std::string messages = "[";
    for (std::size_t i = 0; i < compilation.lineResults.size(); ++i) {
        for (const std::string& message : compilation.lineResults[i].messages) {
            if (messages.size() > 1) messages += ',';
            messages += JsonObject()
                            .Number("line", static_cast<std::int64_t>(i + 1))
                            .Text("text", Utf8(message))
                            .Str();
        }
    }
    messages += ']';
    io.out << JsonObject()
                  .Text("command", "compile")
                  .Number("record_count", compilation.recordCount)
                  .Texts("records", records)
                  .Raw("messages", messages)
                  .Str()
           << '\n';
    return kExitOk;
}

int List(const Options& options, const CliStreams& io) {
    const std::vector<std::string> lines = ReadGbkLines(options.file, options.encoding, io.in);
    ScriptRecordBuffer recordBuffer{};
    if (!options.json) {
        StreamLogSink stream(io.out, options.encoding);
        ControlEscapingLogSink log(stream);  // the messages quote the input's lines
        ListScriptBytes(lines, recordBuffer, log);
        return kExitOk;
    }
    // The listing goes to standard error as text, and to standard output as data.
    StreamLogSink stream(io.err, options.encoding);
    ControlEscapingLogSink log(stream);
    ScriptListing listing;
    ListScriptBytes(lines, recordBuffer, log, &listing);
    std::string refused = "[";
    for (const ScriptListing::Refused& line : listing.refused) {
        if (refused.size() > 1) refused += ',';
        refused += JsonObject()
                       .Number("line", static_cast<std::int64_t>(line.line))
                       .Text("text", Utf8(line.message))
                       .Str();
    }
    refused += ']';
    std::string records = "[";
    for (const ScriptListing::Listed& listed : listing.records) {
        if (records.size() > 1) records += ',';
        std::vector<std::string> entry;
        for (const std::string& text : listed.entry)
            entry.push_back(Utf8(text));
        records += JsonObject()
                       .Number("number", listed.number)
                       .Number("line", static_cast<std::int64_t>(listed.line))
                       .Text("record", FormatText("%02X %02X %02X", listed.record[0], listed.record[1],
                                                  listed.record[2]))
                       .Texts("entry", entry)
                       .Str();
    }
    records += ']';
    io.out << JsonObject().Text("command", "list").Raw("records", records).Raw("messages", refused).Str()
           << '\n';
    return kExitOk;
}

}  // namespace

int RunCompileCommand(std::span<const std::string> args, const CliStreams& io) {
    return Compile(ParseArguments(*FindCliCommand("compile"), args.subspan(1)), io);
}

int RunListCommand(std::span<const std::string> args, const CliStreams& io) {
    return List(ParseArguments(*FindCliCommand("list"), args.subspan(1)), io);
}

}  // namespace tavrel
