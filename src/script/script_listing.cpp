#include "script/script_listing.h"

#include <algorithm>
#include <vector>

#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"

namespace tavrel {

namespace {

std::string_view MouseActionName(std::uint8_t action) {
    switch (action) {
        case MOUSE_CLICK: return "MOUSE_CLICK";
        case MOUSE_DBCLICK: return "MOUSE_DBCLICK";
        case MOUSE_MCLICK: return "MOUSE_MCLICK";
        case MOUSE_RCLICK: return "MOUSE_RCLICK";
        case MOUSE_POS: return "MOUSE_POS";
        case MOUSE_WHEEL: return "MOUSE_WHEEL";
        case MOUSE_MOVE: return "MOUSE_MOVE";
        case MOUSE_MOVE_LEFT: return "MOUSE_MOVE_LEFT";
        case MOUSE_MOVE_RIGHT: return "MOUSE_MOVE_RIGHT";
        case MOUSE_MOVE_UP: return "MOUSE_MOVE_UP";
        case MOUSE_MOVE_DOWN: return "MOUSE_MOVE_DOWN";
        default: return "MOUSE_unknow!";
    }
}

void ListRecord(int number, const ScriptRecord& record, LogSink& log) {
    const auto [byte0, byte1, byte2] = record;
    log.LogLine(std::string("第"_gbk) + std::to_string(number) + std::string("行:"_gbk) +
                FormatText("%02X %02X %02X", byte0, byte1, byte2));
    const std::uint8_t field = byte0 & 0x1F;
    switch (RecordKindOf(byte0)) {
        case kKindKeyboard:
            log.LogLine("键盘"_gbk);
            if (byte0 & kModifierCtrl) log.LogLine("CTRL+");
            if (byte0 & kModifierAlt) log.LogLine("ALT+");
            if (byte0 & kModifierShift) log.LogLine("SHIFT+");
            if (byte0 & kModifierWin) log.LogLine("WIN+");
            log.LogLine(FormatText("HID:%02X", byte1));
            break;
        case kKindMouse:
            log.LogLine("鼠标"_gbk);
            log.LogLine(MouseActionName(field));
            break;
        case kKindPause:
            log.LogLine("延时"_gbk);
            log.LogLine(std::to_string(byte1 * 256 + byte2));
            break;
        case kKindPlay:
            log.LogLine("播放"_gbk);
            if (field == PLAY_RESTART) log.LogLine("PLAY_RESTART");
            if (field == PLAY_STOP) log.LogLine("PLAY_STOP");
            if (field == PLAY_SUSPEND) log.LogLine("PLAY_SUSPEND");
            break;
        case kKindJump:
            log.LogLine("转跳"_gbk);
            log.LogLine(std::to_string(byte1));
            break;
        case kKindVersion:
            log.LogLine("版本"_gbk);
            log.LogLine(std::to_string(byte1));
            log.LogLine(std::to_string(byte2));
            break;
        default:
            log.LogLine(std::string("未知脚本指令"_gbk) + FormatText("%02X %02X %02X", byte0, byte1, byte2));
            break;
    }
}

}  // namespace

namespace {

// Passes every line on, and keeps those after the first (the header) in `entry`.
class EntrySink : public LogSink {
public:
    EntrySink(LogSink& target, std::vector<std::string>& entry) : m_target(target), m_entry(entry) {}
    void LogLine(std::string_view text) override {
        m_target.LogLine(text);
        if (m_headerSeen) m_entry.emplace_back(text);
        m_headerSeen = true;
    }

protected:
    bool DebuggerAttached() const override { return m_target.TracesShown(); }

private:
    LogSink& m_target;
    std::vector<std::string>& m_entry;
    bool m_headerSeen = false;
};

}  // namespace

void ListScriptBytes(std::span<const std::string> lines, ScriptRecordBuffer& recordBuffer, LogSink& log,
                     ScriptListing* listing) {
    std::vector<ScriptRecord> records;
    std::vector<std::size_t> recordLines;
    std::size_t number = 0;
    for (const std::string& line : lines) {
        ++number;
        const std::string lowered = LowerAsciiLetters(line);
        if (TrimBlanksAndControls(lowered).empty()) {
            continue;
        }
        ScriptRecord record{};
        if (HexTextToBytes(lowered, record) != kScriptRecordSize) {
            log.LogLine(std::string("脚本不正确："_gbk) + lowered);
            if (listing != nullptr)
                listing->refused.push_back({number, std::string("脚本不正确："_gbk) + lowered});
            continue;
        }
        records.push_back(record);
        recordLines.push_back(number);
    }
    const std::size_t stored = std::min<std::size_t>(records.size(), kMaxScriptRecords);
    for (std::size_t i = 0; i < stored; ++i) {
        std::copy(records[i].begin(), records[i].end(),
                  recordBuffer.begin() + static_cast<std::ptrdiff_t>(i * kScriptRecordSize));
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (listing == nullptr) {
            ListRecord(static_cast<int>(i + 1), records[i], log);
            continue;
        }
        ScriptListing::Listed& listed = listing->records.emplace_back();
        listed.number = static_cast<int>(i + 1);
        listed.line = recordLines[i];
        listed.record = records[i];
        EntrySink entry(log, listed.entry);
        ListRecord(listed.number, records[i], entry);
    }
}

}  // namespace tavrel
