#include "script/line_compiler.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "commands/command_codes.h"
#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "script/key_codes.h"

namespace tavrel {

namespace {

// Applied in this order to the lowered line, each to every occurrence. The line is lowered first,
// so matching the lowered patterns exactly ignores letter case.
const std::array<std::pair<std::string_view, std::string_view>, 14> kKeywordReplacements = {{
    {"："_gbk, ":"},
    {" ", ""},
    {"注释"_gbk, "#"},
    {"重新开始"_gbk, "restart"},
    {"停止"_gbk, "stop"},
    {"暂停"_gbk, "suspend"},
    {"跳转"_gbk, "goto"},
    {"键盘hid"_gbk, "keyhid"},  // before "键盘", so that it does not become keyboard + hid
    {"鼠标hid"_gbk, "mousehid"},
    {"键盘"_gbk, "keyboard"},
    {"按键"_gbk, "keyboard"},
    {"鼠标"_gbk, "mouse"},
    {"延迟"_gbk, "delay"},
    {"延时"_gbk, "delay"},
}};

struct ModifierWord {
    std::string_view word;
    std::uint8_t flag;
    std::string_view trace;
};

constexpr ModifierWord kModifierWords[] = {
    {"ctrl", kModifierCtrl, "ctrl+"},
    {"alt", kModifierAlt, "alt+"},
    {"shift", kModifierShift, "shift+"},
    {"win", kModifierWin, "win+"},
};

struct MouseWord {
    std::string_view word;
    std::uint8_t action;
};

// Tested in this order; the first word found decides.
constexpr MouseWord kMouseWords[] = {
    {"单击"_gbk, MOUSE_CLICK},      {"双击"_gbk, MOUSE_DBCLICK}, {"右击"_gbk, MOUSE_RCLICK},
    {"中击"_gbk, MOUSE_MCLICK},     {"滚轮"_gbk, MOUSE_WHEEL},   {"左移"_gbk, MOUSE_MOVE_LEFT},
    {"右移"_gbk, MOUSE_MOVE_RIGHT}, {"上移"_gbk, MOUSE_MOVE_UP}, {"下移"_gbk, MOUSE_MOVE_DOWN},
    {"定位"_gbk, MOUSE_POS},
};

// Live-mode packets carry the record in a zeroed scratch area as long as the longest of them.
constexpr std::size_t kScratchSize = 8;
constexpr std::size_t kKeyboardReportSize = 8;
constexpr std::size_t kMouseReportSize = 4;

enum class LineKind {
    PlayRestart,
    PlayStop,
    PlaySuspend,
    Keyboard,
    RawMouse,
    Mouse,
    RawKeyboard,
    Pause,
    Jump
};

struct KindTest {
    std::string_view word;
    LineKind kind;
};

// The first word the line contains decides its kind.
constexpr KindTest kKindTests[] = {
    {"restart", LineKind::PlayRestart}, {"stop", LineKind::PlayStop},     {"suspend", LineKind::PlaySuspend},
    {"keyboard", LineKind::Keyboard},   {"mousehid", LineKind::RawMouse}, {"mouse", LineKind::Mouse},
    {"keyhid", LineKind::RawKeyboard},  {"delay", LineKind::Pause},       {"goto", LineKind::Jump},
};

// The line lowered and with its keywords replaced: what the kind tests and the arguments read.
std::string NormalisedLine(std::string_view line) {
    std::string normalised = LowerAsciiLetters(line);
    for (const auto& [pattern, replacement] : kKeywordReplacements) {
        normalised = ReplaceAll(normalised, pattern, replacement);
    }
    return normalised;
}

bool IsCommentOrBlank(std::string_view normalised) {
    return StartsWithText(normalised, "#") || StartsWithText(normalised, "//") ||
           TrimBlanksAndControls(normalised).empty();
}

// The first kind test the normalised line passes; none for a line the compiler does not know.
const KindTest* KindTestOf(std::string_view normalised) {
    const auto* test = std::find_if(std::begin(kKindTests), std::end(kKindTests),
                                    [&](const KindTest& t) { return ContainsText(normalised, t.word); });
    return test == std::end(kKindTests) ? nullptr : test;
}

// One line's compilation: the normalised text and where its record and packets go.
class LineCompiler {
public:
    // `record` is the caller's 3 bytes in compile mode, the 8-byte scratch area in live mode.
    LineCompiler(std::span<std::uint8_t> record, PacketSink* packets, LogSink& log)
        : m_record(record), m_packets(packets), m_log(log) {}

    int Compile(std::string_view line) {
        m_line = NormalisedLine(line);
        const std::size_t colon = m_line.find(':');
        m_hasArgument = colon != std::string::npos;
        m_argument = m_hasArgument ? std::string_view(m_line).substr(colon + 1) : std::string_view();

        if (IsCommentOrBlank(m_line)) {
            return 0;
        }
        const KindTest* test = KindTestOf(m_line);
        if (test == nullptr) {
            m_log.LogLine(std::string("未知指令："_gbk) + m_line);
            return 0;
        }
        switch (test->kind) {
            case LineKind::PlayRestart: return PlayControl(PLAY_RESTART);
            case LineKind::PlayStop: return PlayControl(PLAY_STOP);
            case LineKind::PlaySuspend: return PlayControl(PLAY_SUSPEND);
            case LineKind::Keyboard: return Keyboard();
            case LineKind::RawMouse: return RawReport("mousehid", CMD_MOUSE_HID, kMouseReportSize);
            case LineKind::Mouse: return Mouse();
            case LineKind::RawKeyboard: return RawReport("keyhid", CMD_KEYBOARD_HID, kKeyboardReportSize);
            case LineKind::Pause: return Pause();
            case LineKind::Jump: return Jump();
        }
        return 0;
    }

private:
    bool Live() const { return m_packets != nullptr; }

    void Send(std::uint8_t code, std::span<const std::uint8_t> data) {
        m_packets->SendPacket(BuildCommandPacket(code, data));
    }

    int PlayControl(std::uint8_t control) {
        m_log.TraceLine("播放控制"_gbk);
        m_record[0] = static_cast<std::uint8_t>(kPlayRecord | control);
        return 1;
    }

    int Keyboard() {
        m_log.TraceLine("键盘"_gbk);
        std::uint8_t byte0 = kKeyboardRecord;
        for (const ModifierWord& modifier : kModifierWords) {
            if (ContainsText(m_line, modifier.word)) {
                byte0 |= modifier.flag;
                m_log.TraceLine(modifier.trace);
            }
        }
        m_record[0] = byte0;
        const std::string_view keyText = m_hasArgument ? m_argument : std::string_view(m_line);
        std::uint8_t usage = KeyNameToUsage(keyText, m_log);
        if (usage != kNoKeyUsage) {
            m_log.TraceLine(std::string("特殊按键值："_gbk) + FormatText("%02x + %02X", byte0, usage));
        } else {
            usage = CharToUsage(keyText, m_log);
            if (usage == kNoKeyUsage) {
                m_log.LogLine(std::string("无法识别键盘值："_gbk) + std::string(keyText));
                return 0;
            }
            m_log.TraceLine(std::string("按键值："_gbk) + FormatText("%02X + %02X", byte0, usage));
        }
        m_record[1] = usage;
        if (Live()) {
            // The key delay is worked out only after the packet has gone: it never reaches the gadget.
            Send(CMD_KEYBOARD, m_record.first(kKeyboardReportSize));
        }
        if (const std::size_t delay = FindText(m_line, "delay"); delay != std::string::npos) {
            const std::int32_t seconds = ReadInteger(std::string_view(m_line).substr(delay + 5));
            m_record[2] = static_cast<std::uint8_t>(seconds & 0xFF);
            m_log.TraceLine(std::string("按键延时"_gbk) + std::to_string(seconds) + std::string("秒"_gbk));
        }
        return 1;
    }

    int Mouse() {
        m_log.TraceLine("鼠标"_gbk);
        m_record[0] = kMouseRecord;
        const auto* word = std::find_if(std::begin(kMouseWords), std::end(kMouseWords),
                                        [&](const MouseWord& w) { return ContainsText(m_line, w.word); });
        if (word != std::end(kMouseWords)) {
            m_record[0] = static_cast<std::uint8_t>(kMouseRecord + word->action);
            m_log.TraceLine(word->word);
            if (Live()) {
                Send(CMD_MOUSE, m_record.first(kMouseReportSize));
            }
        }
        return 1;
    }

    int RawReport(std::string_view keyword, std::uint8_t code, std::size_t reportSize) {
        m_log.TraceLine(keyword);
        if (!Live()) {
            return 1;
        }
        const std::string_view text =
            std::string_view(m_line).substr(FindText(m_line, keyword) + keyword.size());
        std::array<std::uint8_t, kKeyboardReportSize> bytes{};
        const std::size_t count = HexTextToBytes(text, bytes);
        if (count == reportSize) {
            Send(code, std::span(bytes).first(reportSize));
        } else {
            const std::string_view message =
                code == CMD_KEYBOARD_HID ? "键盘HID数据长度不正确："_gbk : "鼠标HID数据长度不正确："_gbk;
            m_log.LogLine(std::string(message) + std::to_string(count));
        }
        return 1;
    }

    int Pause() {
        m_log.TraceLine("延时"_gbk);
        if (!m_hasArgument) {
            m_log.LogLine("参数错误"_gbk);
            return 0;
        }
        m_record[0] = kPauseRecord;
        const auto n = static_cast<std::uint16_t>(ReadInteger(m_argument) & 0xFFFF);
        if (n == 0) {
            return 0;
        }
        std::uint16_t units = 0;
        if (ContainsText(m_line, "毫秒"_gbk)) {
            units = static_cast<std::uint16_t>(n / 10);
        } else if (n > kMaxPauseSeconds) {
            m_log.LogLine(std::string("超过延时最大值："_gbk) + std::to_string(kMaxPauseSeconds));
            return 0;
        } else {
            units = static_cast<std::uint16_t>(n * 100);
        }
        m_record[1] = static_cast<std::uint8_t>(units >> 8);
        m_record[2] = static_cast<std::uint8_t>(units & 0xFF);
        return 1;
    }

    int Jump() {
        m_log.LogLine("goto");
        m_record[0] = kJumpRecord;
        if (!m_hasArgument) {
            m_log.LogLine("参数错误"_gbk);
            return 0;
        }
        m_record[1] = static_cast<std::uint8_t>(ReadInteger(m_argument) & 0xFF);
        return 1;
    }

    std::span<std::uint8_t> m_record;
    PacketSink* m_packets;
    LogSink& m_log;
    std::string m_line;
    bool m_hasArgument = false;
    std::string_view m_argument;
};

}  // namespace

int CompileScriptLine(std::string_view line, std::span<std::uint8_t, kScriptRecordSize> record,
                      LogSink& log) {
    return LineCompiler(record, nullptr, log).Compile(line);
}

ScriptLineKind ClassifyScriptLine(std::string_view line) {
    const std::string normalised = NormalisedLine(line);
    if (TrimBlanksAndControls(normalised).empty()) return ScriptLineKind::Blank;
    if (IsCommentOrBlank(normalised)) return ScriptLineKind::Comment;
    const KindTest* test = KindTestOf(normalised);
    if (test == nullptr) return ScriptLineKind::Unknown;
    switch (test->kind) {
        case LineKind::PlayRestart:
        case LineKind::PlayStop:
        case LineKind::PlaySuspend: return ScriptLineKind::PlayControl;
        case LineKind::Keyboard: return ScriptLineKind::Keyboard;
        case LineKind::RawMouse: return ScriptLineKind::RawMouse;
        case LineKind::Mouse: return ScriptLineKind::Mouse;
        case LineKind::RawKeyboard: return ScriptLineKind::RawKeyboard;
        case LineKind::Pause: return ScriptLineKind::Delay;
        case LineKind::Jump: return ScriptLineKind::Jump;
    }
    return ScriptLineKind::Unknown;
}

int CompileScriptLine(std::string_view line, PacketSink& packets, LogSink& log) {
    std::array<std::uint8_t, kScratchSize> scratch{};
    return LineCompiler(scratch, &packets, log).Compile(line);
}

}  // namespace tavrel
