#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// Flash bytes from a CMD_FLASH answer with status 0, read from flash address `address` on.
struct FlashReplyData {
    std::uint16_t address = 0;
    std::vector<std::uint8_t> bytes;
};

// What one input report does to the window; the window applies these in this order:
// log lines, reply flag, identifier text, grid bytes, serial receive line.
struct ReplyEffects {
    std::vector<std::string> logLines;        // GBK texts, one LogLine each
    bool setsReplyArrived = true;             // every report, whatever it holds, answers the last request
    std::optional<std::uint8_t> replyCode;    // byte 0, when the report is long enough to be acted on
    std::optional<std::string> deviceIdText;  // for edtDevid: "78 56 34 12"
    // Any status-0 answer whose bytes the report holds, wherever they lie: the window's grid takes
    // only what falls within its 128 bytes, the command line's verification reads further.
    std::optional<FlashReplyData> flashData;
    std::optional<std::string> serialLine;  // for MemoRev: every byte as "%02X "
};

// Decodes the bytes of one input report that follow its report id.
ReplyEffects DecodeReplyEffects(std::span<const std::uint8_t> bytes);

// Logged, after the "read flash:" line, for a flash answer that claims more bytes than the report
// holds (the decoder), or that the grid cannot take whole (the window); nothing of it is stored.
std::string_view FlashReplyRefusedText();

}  // namespace tavrel
