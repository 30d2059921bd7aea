#include "cli/gadget_input.h"

#include <cstdint>
#include <istream>
#include <ostream>

#include "cli/cli_status.h"
#include "commands/data_flash_input.h"
#include "commands/flash_block.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"
#include "script/script_compile.h"

namespace tavrel {

ScriptDownload PrepareScriptDownload(const GadgetOptions& options, std::istream& in, std::ostream& err) {
    const std::vector<std::string> lines = ReadGbkLines(*options.input, options.encoding, in);
    StreamLogSink stream(err, options.encoding);
    ControlEscapingLogSink log(stream);  // the messages quote the script's lines
    const ScriptCompilation compilation = CompileScript(lines, options.versionText, options.autoRun, log);
    std::vector<std::size_t> failing;
    bool pastLimit = false;
    for (std::size_t i = 0; i < compilation.lineResults.size(); ++i) {
        const ScriptLineResult& result = compilation.lineResults[i];
        if (!result.LeftOut()) continue;
        if (result.pastLimit) {
            pastLimit = true;
        } else {
            failing.push_back(i + 1);
        }
    }
    const std::string refused = "script refused, nothing sent: ";
    if (!failing.empty()) {
        std::string which;
        for (std::size_t k = 0; k < failing.size() && k < 10; ++k) {
            which += (k == 0 ? "" : ", ") + std::to_string(failing[k]);
        }
        if (failing.size() > 10) which += ", ...";
        throw UsageError(refused + (failing.size() == 1 ? "line " : "lines ") + which + " gave no record");
    }
    if (pastLimit) {
        throw UsageError(refused + FormatText("it holds more than %d records", kMaxScriptRecords));
    }
    const ScriptDownload plan = PlanScriptDownload(compilation.byteTextLines, compilation.recordBuffer);
    for (const std::string& line : plan.logLines)
        log.LogLine(line);
    if (plan.blocks.empty()) throw UsageError(refused + "there is nothing to download");
    return plan;
}

std::vector<std::uint8_t> ReadDataFlashInput(const std::string& file, DataFlashInputForm form,
                                             std::istream& in) {
    DataFlashInput input =
        ParseDataFlashInput(ReadInput(file, in, kDataFlashInputLimit), form, InputName(file));
    if (!input.error.empty()) throw UsageError(input.error);
    return std::move(input.bytes);
}

void PrintDataFlash(std::ostream& out, std::span<const std::uint8_t> bytes) {
    for (std::size_t row = 0; row < bytes.size(); row += 8) {
        out << FormatText("0x%02zX", row);
        for (std::size_t i = row; i < row + 8 && i < bytes.size(); ++i)
            out << FormatText(" %02X", bytes[i]);
        out << '\n';
    }
}

}  // namespace tavrel
