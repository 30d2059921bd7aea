#include "commands/reply_decoder.h"

#include "commands/command_codes.h"
#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"

namespace tavrel {

std::string_view FlashReplyRefusedText() {
    return "闪存数据超出范围，未写入"_gbk;
}

namespace {

constexpr std::size_t kDataOffset = 4;

// Log texts of the codes that only produce a line.
std::string_view AcknowledgementText(std::uint8_t code) {
    switch (code) {
        case CMD_SUSPEND: return "已发送暂停命令"_gbk;
        case CMD_START: return "已发送开启命令"_gbk;
        case CMD_STOP: return "已发送停止命令"_gbk;
        case CMD_ADD_SCRIPT: return "增加脚本"_gbk;
        case CMD_CLEAR_SCRIPT: return "已清空脚本"_gbk;
        case CMD_DEMO: return "开始演示模式"_gbk;
        case CMD_KEYBOARD: return "已发送键盘命令"_gbk;
        case CMD_MOUSE: return "已发送鼠标命令"_gbk;
        case CMD_DEVICE_INFO: return "设备信息读取完毕"_gbk;
        case CMD_SET_VIDPID: return "设置VIDPID完成"_gbk;
        case CMD_ISP: return "进入ISP模式"_gbk;
        case CMD_REBOOT: return "已发送重启命令"_gbk;
        default: return {};
    }
}

void DecodeDeviceId(std::span<const std::uint8_t> bytes, ReplyEffects& effects) {
    if (bytes.size() < kDataOffset + 4) {
        return;
    }
    const auto id = bytes.subspan(kDataOffset, 4);
    effects.deviceIdText = FormatText("%02X %02X %02X %02X", id[0], id[1], id[2], id[3]);
    const std::uint32_t value = static_cast<std::uint32_t>(id[0]) | static_cast<std::uint32_t>(id[1]) << 8 |
                                static_cast<std::uint32_t>(id[2]) << 16 |
                                static_cast<std::uint32_t>(id[3]) << 24;
    effects.logLines.push_back(FormatText("DEVID: %u", value));
}

void DecodeFlashData(std::span<const std::uint8_t> bytes, ReplyEffects& effects) {
    constexpr std::size_t kStatus = kDataOffset;
    constexpr std::size_t kFlashBytes = kDataOffset + 4;
    if (bytes.size() < kFlashBytes || bytes[kStatus] != 0) {
        return;
    }
    const std::size_t length = bytes[kStatus + 1];
    const std::size_t address = static_cast<std::size_t>(bytes[kStatus + 2]) * 256 + bytes[kStatus + 3];
    effects.logLines.push_back(FormatText("read flash:len:%zu addr:%zu", length, address));
    if (length > bytes.size() - kFlashBytes) {
        effects.logLines.emplace_back(FlashReplyRefusedText());
        return;
    }
    const auto flashBytes = bytes.subspan(kFlashBytes, length);
    effects.flashData =
        FlashReplyData{static_cast<std::uint16_t>(address), {flashBytes.begin(), flashBytes.end()}};
}

}  // namespace

ReplyEffects DecodeReplyEffects(std::span<const std::uint8_t> bytes) {
    ReplyEffects effects;
    effects.logLines.push_back(std::string("已回复"_gbk) + std::to_string(bytes.size()));
    if (bytes.size() < kDataOffset) {
        return effects;
    }
    const std::uint8_t code = bytes[0];
    effects.replyCode = code;
    if (const std::string_view text = AcknowledgementText(code); !text.empty()) {
        effects.logLines.emplace_back(text);
    } else if (code == CMD_READ_ID) {
        DecodeDeviceId(bytes, effects);
    } else if (code == CMD_FLASH) {
        DecodeFlashData(bytes, effects);
    } else if (code == CMD_SERIAL) {
        effects.logLines.emplace_back("接收到串口数据"_gbk);
        effects.serialLine = BytesToHexText(bytes);
    }
    return effects;
}

}  // namespace tavrel
