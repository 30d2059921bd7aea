#include "script/script_compile.h"

#include <algorithm>

#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "script/line_compiler.h"

namespace tavrel {

namespace {

// Passes every line on and keeps a copy of each for the line being compiled.
class LineMessageLog : public LogSink {
public:
    explicit LineMessageLog(LogSink& log) : m_log(log) {}
    void LogLine(std::string_view text) override {
        m_log.LogLine(text);
        if (m_lineMessages != nullptr) m_lineMessages->emplace_back(text);
    }
    void CollectInto(std::vector<std::string>* messages) { m_lineMessages = messages; }

protected:
    bool DebuggerAttached() const override { return m_log.TracesShown(); }

private:
    LogSink& m_log;
    std::vector<std::string>* m_lineMessages = nullptr;
};

}  // namespace

ScriptCompilation CompileScript(std::span<const std::string> lines, std::string_view versionText,
                                bool autoRun, LogSink& log) {
    ScriptCompilation result;
    result.lineResults.resize(lines.size());
    LineMessageLog lineLog(log);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ScriptLineResult& lineResult = result.lineResults[i];
        lineResult.kind = ClassifyScriptLine(lines[i]);
        if (result.recordCount == kMaxScriptRecords) {
            // Checked before the line is looked at: any further line, a comment too, is one too many.
            log.LogLine("超过存储空间！"_gbk);
            for (std::size_t rest = i; rest < lines.size(); ++rest) {
                ScriptLineResult& left = result.lineResults[rest];
                left.kind = ClassifyScriptLine(lines[rest]);
                left.pastLimit = true;
                left.messages.emplace_back("超过存储空间！"_gbk);
            }
            break;
        }
        // Each line compiles into a zeroed record that is stored only when it counts: a line that
        // fails may have set byte 0, and a raw report line that counts sets nothing, so compiling
        // in place would let the raw line inherit the failed line's byte.
        ScriptRecord record{};
        lineLog.CollectInto(&lineResult.messages);
        if (CompileScriptLine(LowerAsciiLetters(lines[i]), record, lineLog) == 1) {
            std::copy(record.begin(), record.end(),
                      result.recordBuffer.begin() +
                          kScriptRecordSize * static_cast<std::size_t>(result.recordCount));
            ++result.recordCount;
            lineResult.counted = true;
        }
    }
    lineLog.CollectInto(nullptr);
    log.LogLine(std::string("翻译完毕，共"_gbk) + std::to_string(result.recordCount) +
                std::string("行脚本"_gbk));

    std::int32_t version = 0;
    if (!ParseWholeInteger(versionText, version)) {
        log.LogLine("请填入数字版本号"_gbk);
        version = 0;
    }
    result.versionRecord = {static_cast<std::uint8_t>(kVersionRecord | (autoRun ? kVersionAutoRunFlag : 0)),
                            static_cast<std::uint8_t>(result.recordCount & 0xFF),
                            static_cast<std::uint8_t>(version & 0xFF)};

    result.byteTextLines.reserve(static_cast<std::size_t>(result.recordCount) + 1);
    result.byteTextLines.push_back(BytesToHexText(result.versionRecord));
    for (int i = 0; i < result.recordCount; ++i) {
        result.byteTextLines.push_back(
            BytesToHexText(std::span(result.recordBuffer)
                               .subspan(kScriptRecordSize * static_cast<std::size_t>(i), kScriptRecordSize)));
    }
    return result;
}

std::string DemoScriptText() {
    static constexpr std::string_view kDemoLines[] = {
        "键盘: a"_gbk,    "键盘: b延时1秒"_gbk, "键盘: ctrl+shift+del"_gbk, "键盘: hid04"_gbk,
        "鼠标: 单击"_gbk, "鼠标: 右击"_gbk,     "鼠标: 中击"_gbk,           "延迟: 1秒"_gbk,
        "跳转: 2行"_gbk,  "注释: 脚本说明"_gbk,
    };
    std::string text = "\r\n";
    for (const std::string_view line : kDemoLines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

}  // namespace tavrel
