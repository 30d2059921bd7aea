// Reply decoding over every input report the gadget could send: up to 64 bytes after the report id.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "commands/command_codes.h"
#include "commands/reply_decoder.h"
#include "common/gbk_literal.h"
#include "fuzz_check.h"

namespace {

using tavrel::fuzz::Check;
using tavrel::operator""_gbk;

constexpr std::size_t kMaxReportBytes = 64;
// Where the flash bytes of a CMD_FLASH answer begin: after the 4 header bytes come status,
// length and the address, high byte first.
constexpr std::size_t kFlashBytesOffset = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxReportBytes) {
        return 0;
    }
    const std::span<const std::uint8_t> bytes(data, size);
    const tavrel::ReplyEffects effects = tavrel::DecodeReplyEffects(bytes);

    Check(!effects.logLines.empty());
    Check(effects.logLines.front() == std::string("已回复"_gbk) + std::to_string(size));
    Check(effects.setsReplyArrived);
    Check(effects.replyCode.has_value() == (size >= 4));
    Check(!effects.replyCode || *effects.replyCode == bytes[0]);

    if (effects.deviceIdText) {
        Check(bytes[0] == tavrel::CMD_READ_ID);
        Check(effects.deviceIdText->size() == std::string_view("78 56 34 12").size());
    }
    if (effects.flashData) {
        const tavrel::FlashReplyData& flash = *effects.flashData;
        Check(bytes[0] == tavrel::CMD_FLASH);
        Check(bytes[4] == 0);
        Check(flash.address == bytes[6] * 256 + bytes[7]);
        Check(kFlashBytesOffset + flash.bytes.size() <= size);
        Check(std::equal(flash.bytes.begin(), flash.bytes.end(), bytes.begin() + kFlashBytesOffset));
    }
    if (effects.serialLine) {
        Check(bytes[0] == tavrel::CMD_SERIAL);
        Check(effects.serialLine->size() == 3 * size);
    }
    return 0;
}
