#include "cli/gadget_input.h"

#include <algorithm>
#include <cstdint>
#include <istream>
#include <ostream>

#include "cli/cli_status.h"
#include "commands/flash_block.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "script/script_compile.h"

namespace tavrel {

namespace {

bool IsHexDigit(char c) {
    return HexDigitValue(c) < 16;
}

}  // namespace

ScriptDownload PrepareScriptDownload(const GadgetOptions& options, std::istream& in, std::ostream& err) {
    const std::vector<std::string> lines = ReadGbkLines(*options.input, options.encoding, in);
    StreamLogSink log(err, options.encoding);
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
    std::int32_t version = 0;
    if (!ParseWholeInteger(options.versionText, version)) {
        throw UsageError(refused + "the version '" + options.versionText + "' is not a number");
    }
    const ScriptDownload plan = PlanScriptDownload(compilation.byteTextLines, compilation.recordBuffer);
    for (const std::string& line : plan.logLines)
        log.LogLine(line);
    if (plan.blocks.empty()) throw UsageError(refused + "there is nothing to download");
    return plan;
}

std::vector<std::uint8_t> ReadDataFlashInput(const std::string& file, std::istream& in) {
    const std::string name = file == "-" ? "standard input" : file;
    const std::string content = ReadInput(file, in);
    if (content.size() == kDataFlashSize) return {content.begin(), content.end()};
    std::vector<std::uint8_t> bytes;
    const std::vector<std::string> lines = SplitLines(content);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::string_view rest = lines[n];
        bool lineStart = true;
        while (true) {
            const std::size_t begin = rest.find_first_not_of(" \t\r");
            if (begin == std::string_view::npos) break;
            rest.remove_prefix(begin);
            const std::size_t end = std::min(rest.find_first_of(" \t\r"), rest.size());
            std::string_view word = rest.substr(0, end);
            rest.remove_prefix(end);
            if (lineStart && (word.starts_with("0x") || word.starts_with("0X"))) {
                lineStart = false;
                continue;  // a row offset
            }
            lineStart = false;
            if (word.size() % 2 != 0 || !std::all_of(word.begin(), word.end(), IsHexDigit)) {
                throw UsageError(name + ", line " + std::to_string(n + 1) + ": '" + std::string(word) +
                                 "' is not hex bytes");
            }
            const std::vector<std::uint8_t> parsed = HexTextToBytes(word);
            bytes.insert(bytes.end(), parsed.begin(), parsed.end());
        }
    }
    if (bytes.size() != kDataFlashSize) {
        throw UsageError(name + " gives " + std::to_string(bytes.size()) +
                         " bytes; the data flash takes exactly 128 (raw, or as hex text)");
    }
    return bytes;
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
