#include "sim/gadget_firmware.h"

#include <algorithm>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "commands/flash_block.h"
#include "commands/reply_decoder.h"
#include "commands/script_download.h"
#include "common/hex_text.h"
#include "sim/command_reports.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::Bytes;
using test::CommandReport;
using test::GbkToUtf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr std::uint32_t kIdentifier = 0xA1B2C3D4;

std::vector<std::string> Utf8(const std::vector<std::string>& gbk) {
    std::vector<std::string> utf8;
    for (const std::string& line : gbk) {
        utf8.push_back(GbkToUtf8(line));
    }
    return utf8;
}

std::vector<std::uint8_t> FlashReport(FlashOperation operation, std::uint16_t address,
                                      std::span<const std::uint8_t, kFlashChunkSize> bytes) {
    return CommandReport(CMD_FLASH, BuildFlashBlock(operation, address, bytes));
}

std::vector<std::uint8_t> FlashReadReport(std::uint16_t address) {
    return CommandReport(CMD_FLASH, BuildFlashReadBlock(address));
}

std::array<std::uint8_t, kFlashChunkSize> Chunk(std::uint8_t first) {
    std::array<std::uint8_t, kFlashChunkSize> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

// `count` zero bytes as the hex text of the serial receive line.
std::string ZerosText(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += "00 ";
    }
    return text;
}

// The firmware's one answer to `report`, checked for its framing: a full 65-byte report, report
// id 0, zeros after the data.
std::vector<std::uint8_t> OnlyAnswer(GadgetFirmware& firmware, std::span<const std::uint8_t> report) {
    const GadgetResponse response = firmware.HandleOutputReport(report);
    EXPECT_FALSE(response.unplugs);
    if (response.inputReports.size() != 1) {
        ADD_FAILURE() << "expected one answer, got " << response.inputReports.size();
        return std::vector<std::uint8_t>(GadgetFirmware::kReportSize, 0);
    }
    const std::vector<std::uint8_t>& answer = response.inputReports.front();
    EXPECT_EQ(answer.size(), GadgetFirmware::kReportSize);
    EXPECT_EQ(answer[0], 0);
    EXPECT_TRUE(std::all_of(answer.begin() + 5 + answer[2], answer.end(), [](auto b) { return b == 0; }))
        << BytesToHexText(answer);
    return answer;
}

// What the tool's reply decoder makes of an input report (it reads what follows the report id).
ReplyEffects Decode(std::span<const std::uint8_t> answer) {
    return DecodeReplyEffects(answer.subspan(1));
}

TEST(GadgetFirmware, AnswersEveryCommandAsTheToolReadsIt) {
    const std::uint8_t keyboard[] = {0x01, 0x04};
    const std::uint8_t keyboardHid[] = {0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::uint8_t mouse[] = {0x41, 0x00, 0x00, 0x00};
    const std::uint8_t mouseHid[] = {0x01, 0x10, 0xF0, 0x00};
    const auto erased = std::vector<std::uint8_t>(kFlashChunkSize, 0xFF);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> report;
        const char* head;  // the answer's first bytes after the report id
        std::vector<std::string> lines;
        std::optional<std::string> deviceIdText = std::nullopt;
        std::optional<FlashReplyData> flash = std::nullopt;
        std::optional<std::string> serialLine = std::nullopt;
    };
    const Case cases[] = {
        {"read id",
         CommandReport(CMD_READ_ID),
         "22 04 B4 00 D4 C3 B2 A1",
         {"已回复64", "DEVID: 2712847316"},
         "D4 C3 B2 A1"},
        {"start", CommandReport(CMD_START), "13 00 00 00", {"已回复64", "已发送开启命令"}},
        {"stop", CommandReport(CMD_STOP), "14 00 00 00", {"已回复64", "已发送停止命令"}},
        {"reboot", CommandReport(CMD_REBOOT), "AF 00 00 00", {"已回复64", "已发送重启命令"}},
        {"isp", CommandReport(CMD_ISP), "AE 00 00 00", {"已回复64", "进入ISP模式"}},
        {"keyboard", CommandReport(CMD_KEYBOARD, keyboard), "1A 00 00 00", {"已回复64", "已发送键盘命令"}},
        {"keyboard hid", CommandReport(CMD_KEYBOARD_HID, keyboardHid), "1B 00 00 00", {"已回复64"}},
        {"mouse", CommandReport(CMD_MOUSE, mouse), "1C 00 00 00", {"已回复64", "已发送鼠标命令"}},
        {"mouse hid", CommandReport(CMD_MOUSE_HID, mouseHid), "1D 00 00 00", {"已回复64"}},
        {"flash read",
         FlashReadReport(0),
         "A3 24 5E 00 00 20 00 00 FF FF",
         {"已回复64", "read flash:len:32 addr:0"},
         std::nullopt,
         FlashReplyData{0, erased}},
        {"flash write",
         FlashReport(FlashOperation::Write, 0x40, Chunk(1)),
         "A3 04 3F 00 01 20 00 40",
         {"已回复64"}},
        {"serial",
         CommandReport(CMD_SERIAL, kSerialTestBlock),
         "A8 20 82 00 08 31 32 33 34 0A 00",
         {"已回复64", "接收到串口数据"},
         std::nullopt,
         std::nullopt,
         "A8 20 82 00 08 31 32 33 34 0A " + ZerosText(54)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GadgetFirmware firmware(kIdentifier);
        const std::vector<std::uint8_t> answer = OnlyAnswer(firmware, c.report);
        const std::vector<std::uint8_t> head = Bytes(c.head);
        EXPECT_THAT(
            std::vector(answer.begin() + 1, answer.begin() + 1 + static_cast<std::ptrdiff_t>(head.size())),
            ElementsAreArray(head));

        const ReplyEffects effects = Decode(answer);
        EXPECT_THAT(Utf8(effects.logLines), ElementsAreArray(c.lines));
        EXPECT_EQ(effects.deviceIdText, c.deviceIdText);
        EXPECT_EQ(effects.serialLine, c.serialLine);
        ASSERT_EQ(effects.flashData.has_value(), c.flash.has_value());
        if (c.flash) {
            EXPECT_EQ(effects.flashData->address, c.flash->address);
            EXPECT_THAT(effects.flashData->bytes, ElementsAreArray(c.flash->bytes));
        }
    }
}

TEST(GadgetFirmware, FlashWritesReadBackAndSurviveAReboot) {
    GadgetFirmware firmware(kIdentifier);
    const auto bytes = Chunk(0xC0);
    OnlyAnswer(firmware, FlashReport(FlashOperation::Write, kScriptFlashAddress, bytes));
    OnlyAnswer(firmware, CommandReport(CMD_REBOOT));

    const ReplyEffects effects = Decode(OnlyAnswer(firmware, FlashReadReport(kScriptFlashAddress)));
    ASSERT_TRUE(effects.flashData);
    EXPECT_EQ(effects.flashData->address, kScriptFlashAddress);
    EXPECT_THAT(effects.flashData->bytes, ElementsAreArray(bytes));

    // Only the written chunk changed.
    const std::vector<std::uint8_t>& flash = firmware.flash();
    ASSERT_EQ(flash.size(), GadgetFirmware::kDefaultFlashSize);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin() + kScriptFlashAddress));
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), static_cast<std::ptrdiff_t>(flash.size() - 32));

    // The last chunk of the flash is in range too; the grid does not show it, the firmware keeps it.
    const std::uint16_t last = GadgetFirmware::kDefaultFlashSize - kFlashChunkSize;
    const auto written = OnlyAnswer(firmware, FlashReport(FlashOperation::Write, last, Chunk(0x10)));
    EXPECT_EQ(written[5], GadgetFirmware::kFlashWritten);
    const auto read = OnlyAnswer(firmware, FlashReadReport(last));
    EXPECT_EQ(read[5], GadgetFirmware::kFlashRead);
    EXPECT_THAT(std::vector(read.begin() + 9, read.begin() + 41), ElementsAreArray(Chunk(0x10)));
}

TEST(GadgetFirmware, FlashRequestsItCannotCarryOutFailWithStatusEE) {
    const auto bytes = Chunk(0x50);
    const std::uint8_t operationTwo[] = {0x02, 0x20, 0x00, 0x00};
    const std::uint8_t lengthPastAChunk[] = {0x00, 0x21, 0x00, 0x00};
    const std::uint8_t writeWithoutItsBytes[] = {0x01, 0x20, 0x00, 0x00, 0xAA};
    const std::uint8_t tooShort[] = {0x00, 0x20};
    const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
        {"write running past the end", FlashReport(FlashOperation::Write, 0x01F0, bytes)},
        {"write far outside", FlashReport(FlashOperation::Write, 0xFFE0, bytes)},
        {"read past the end", FlashReadReport(0x0200)},
        {"unknown operation", CommandReport(CMD_FLASH, operationTwo)},
        {"more than a chunk", CommandReport(CMD_FLASH, lengthPastAChunk)},
        {"write missing its bytes", CommandReport(CMD_FLASH, writeWithoutItsBytes)},
        {"no address", CommandReport(CMD_FLASH, tooShort)},
    };
    for (const auto& [what, report] : cases) {
        SCOPED_TRACE(what);
        GadgetFirmware firmware(kIdentifier);
        const std::vector<std::uint8_t> answer = OnlyAnswer(firmware, report);
        EXPECT_EQ(answer[1], CMD_FLASH);
        EXPECT_EQ(answer[5], GadgetFirmware::kFlashFailed);
        const ReplyEffects effects = Decode(answer);
        EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复64"));
        EXPECT_FALSE(effects.flashData);
        EXPECT_EQ(std::count(firmware.flash().begin(), firmware.flash().end(), 0xFF),
                  static_cast<std::ptrdiff_t>(GadgetFirmware::kDefaultFlashSize));
    }
}

TEST(GadgetFirmware, MalformedPacketsAndUnknownCodesGetNoAnswer) {
    auto badChecksum = CommandReport(CMD_SERIAL, kSerialTestBlock);
    badChecksum[3] ^= 0x01;
    auto tooLong = CommandReport(CMD_START);
    tooLong[2] = CommandPacket::kMaxDataSize + 1;
    auto cut = CommandReport(CMD_SERIAL, kSerialTestBlock);
    cut.resize(1 + 4 + 31);
    auto otherReportId = CommandReport(CMD_START);
    otherReportId[0] = 1;
    auto emptyWithStrayChecksum = CommandReport(CMD_START);
    emptyWithStrayChecksum[3] = 0x01;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> report;
        bool taken;  // well framed, so the firmware keeps it among its packets
    };
    const Case cases[] = {
        {"checksum off by one bit", badChecksum, false},
        {"length beyond a packet", tooLong, false},
        {"data beyond the report", cut, false},
        {"report id 1", otherReportId, false},
        {"empty data with a stray checksum", emptyWithStrayChecksum, false},
        {"only a report id and three bytes", {0x00, 0x13, 0x00, 0x00}, false},
        {"nothing", {}, false},
        {"suspend", CommandReport(CMD_SUSPEND), true},
        {"device info", CommandReport(CMD_DEVICE_INFO), true},
        {"code 0", CommandReport(0x00), true},
        {"code FF", CommandReport(0xFF), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GadgetFirmware firmware(kIdentifier);
        const GadgetResponse response = firmware.HandleOutputReport(c.report);
        EXPECT_THAT(response.inputReports, IsEmpty());
        EXPECT_FALSE(response.unplugs);
        EXPECT_EQ(firmware.packets().size(), c.taken ? 1u : 0u);
    }
}

TEST(GadgetFirmware, CommandWithoutDataIsTakenWithEitherChecksumTheToolFramesItWith) {
    GadgetFirmware firmware(kIdentifier);
    OnlyAnswer(firmware, CommandReport(CMD_START));                                  // no data: checksum 0
    OnlyAnswer(firmware, CommandReport(CMD_STOP, std::span<const std::uint8_t>()));  // empty data: 0x5E
    EXPECT_THAT(firmware.packets(), ElementsAre(GadgetPacket{CMD_START, {}}, GadgetPacket{CMD_STOP, {}}));
}

TEST(GadgetFirmware, TracksPlaybackAndKeepsWhatItWasAskedToTypeOrMove) {
    GadgetFirmware firmware(kIdentifier);
    EXPECT_EQ(firmware.playback(), PlaybackState::Stopped);
    const std::uint8_t key[] = {0x01, 0x04};
    const std::uint8_t move[] = {0x01, 0x10, 0xF0, 0x00};
    const std::pair<std::vector<std::uint8_t>, PlaybackState> steps[] = {
        {CommandReport(CMD_START), PlaybackState::Started},
        {CommandReport(CMD_KEYBOARD, key), PlaybackState::Started},
        {CommandReport(CMD_READ_ID), PlaybackState::Started},
        {CommandReport(CMD_STOP), PlaybackState::Stopped},
        {CommandReport(CMD_START), PlaybackState::Started},
        {CommandReport(CMD_MOUSE_HID, move), PlaybackState::Started},
        {CommandReport(CMD_REBOOT), PlaybackState::Stopped},
    };
    for (const auto& [report, playback] : steps) {
        OnlyAnswer(firmware, report);
        EXPECT_EQ(firmware.playback(), playback) << BytesToHexText(report);
    }
    EXPECT_THAT(firmware.inputRequests(), ElementsAre(GadgetPacket{CMD_KEYBOARD, {0x01, 0x04}},
                                                      GadgetPacket{CMD_MOUSE_HID, {0x01, 0x10, 0xF0, 0x00}}));
    EXPECT_EQ(firmware.packets().size(), std::size(steps));
}

TEST(GadgetFirmware, FaultsChangeTheAnswers) {
    struct Case {
        GadgetFault fault;
        std::vector<std::uint8_t> report;
        std::vector<std::size_t> answerSizes;
        bool unplugs;
        std::vector<std::string> lines;  // the decoder's reading of the first answer
    };
    const Case cases[] = {
        {GadgetFault::NoAnswer, CommandReport(CMD_READ_ID), {}, false, {}},
        {GadgetFault::ShortReply, CommandReport(CMD_READ_ID), {4}, false, {"已回复3"}},
        {GadgetFault::ShortReply, FlashReadReport(0), {4}, false, {"已回复3"}},
        {GadgetFault::ErrorStatus, FlashReadReport(0), {65}, false, {"已回复64"}},
        {GadgetFault::ErrorStatus,
         CommandReport(CMD_READ_ID),
         {65},
         false,
         {"已回复64", "DEVID: 2712847316"}},
        {GadgetFault::UnplugDuringExchange, CommandReport(CMD_READ_ID), {}, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        GadgetFirmware firmware(kIdentifier);
        firmware.SetFault(c.fault);
        const GadgetResponse response = firmware.HandleOutputReport(c.report);
        EXPECT_EQ(response.unplugs, c.unplugs);
        std::vector<std::size_t> sizes;
        for (const auto& answer : response.inputReports) {
            sizes.push_back(answer.size());
        }
        EXPECT_THAT(sizes, ElementsAreArray(c.answerSizes));
        if (!response.inputReports.empty()) {
            EXPECT_THAT(Utf8(Decode(response.inputReports.front()).logLines), ElementsAreArray(c.lines));
        }
        // Whatever the answer, the packet was taken.
        EXPECT_EQ(firmware.packets().size(), 1u);
    }
}

TEST(GadgetFirmware, FaultDetails) {
    // A silent gadget still does what it is told.
    GadgetFirmware silent(kIdentifier);
    silent.SetFault(GadgetFault::NoAnswer);
    EXPECT_THAT(silent.HandleOutputReport(CommandReport(CMD_START)).inputReports, IsEmpty());
    EXPECT_EQ(silent.playback(), PlaybackState::Started);

    // A failing flash stores nothing, and answers with the request's length and address.
    GadgetFirmware failing(kIdentifier);
    failing.SetFault(GadgetFault::ErrorStatus);
    const auto answer = OnlyAnswer(failing, FlashReport(FlashOperation::Write, 0x20, Chunk(0)));
    EXPECT_THAT(std::vector(answer.begin() + 1, answer.begin() + 9),
                ElementsAreArray(Bytes("A3 04 70 00 EE 20 00 20")));
    EXPECT_EQ(failing.flash()[0x20], 0xFF);

    // Unplugging happens once: the gadget answers again afterwards (the bus plugs it back in).
    GadgetFirmware leaving(kIdentifier);
    leaving.SetFault(GadgetFault::UnplugDuringExchange);
    EXPECT_TRUE(leaving.HandleOutputReport(CommandReport(CMD_START)).unplugs);
    EXPECT_EQ(leaving.fault(), GadgetFault::None);
    EXPECT_EQ(leaving.playback(), PlaybackState::Started);
    OnlyAnswer(leaving, CommandReport(CMD_STOP));
}

TEST(GadgetFirmware, IdentifierAndFlashSizeArePerGadget) {
    GadgetFirmware small(0x00000001, 64);
    EXPECT_EQ(Decode(OnlyAnswer(small, CommandReport(CMD_READ_ID))).deviceIdText, "01 00 00 00");
    EXPECT_EQ(small.flash().size(), 64u);
    EXPECT_EQ(OnlyAnswer(small, FlashReadReport(32))[5], GadgetFirmware::kFlashRead);
    EXPECT_EQ(OnlyAnswer(small, FlashReadReport(64))[5], GadgetFirmware::kFlashFailed);

    const std::uint8_t preset[] = {0xDE, 0xAD};
    small.WriteFlash(62, preset);
    EXPECT_EQ(small.flash()[63], 0xAD);
    EXPECT_THROW(small.WriteFlash(63, preset), std::out_of_range);
}

TEST(GadgetInputReport, FramesLikeTheToolsPackets) {
    const std::uint8_t data[] = {0x01, 0x02};
    EXPECT_THAT(GadgetInputReport(CMD_SERIAL, data), ElementsAreArray(CommandReport(CMD_SERIAL, data)));
    EXPECT_THAT(GadgetInputReport(CMD_SUSPEND), ElementsAreArray(CommandReport(CMD_SUSPEND)));
    EXPECT_THROW(GadgetInputReport(CMD_SERIAL, std::vector<std::uint8_t>(61)), std::length_error);
}

}  // namespace
}  // namespace tavrel
