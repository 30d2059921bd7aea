#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// Flash bytes from a CMD_FLASH answer, to be placed in the data flash grid at `address`.
struct FlashReplyData {
    std::uint16_t address = 0;
    std::vector<std::uint8_t> bytes;
};

// What one input report does to the window; the window applies these in this order:
// log lines, reply flag, identifier text, grid bytes, serial receive line.
struct ReplyEffects {
    std::vector<std::string> logLines;        // GBK texts, one LogLine each
    bool setsReplyArrived = true;             // every report, whatever it holds, answers the last request
    std::optional<std::string> deviceIdText;  // for edtDevid: "78 56 34 12"
    std::optional<FlashReplyData> flashData;  // only when it lies wholly within the grid
    std::optional<std::string> serialLine;    // for MemoRev: every byte as "%02X "
};

// Decodes the bytes of one input report that follow its report id.
ReplyEffects DecodeReplyEffects(std::span<const std::uint8_t> bytes);

// Logged, after the "read flash:" line, for a flash answer that does not fit the grid or
// claims more bytes than the report holds; nothing of it is stored.
std::string_view FlashReplyRefusedText();

}  // namespace tavrel
