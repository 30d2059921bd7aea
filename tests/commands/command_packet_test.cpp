#include "commands/command_packet.h"

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "commands/flash_block.h"
#include "common/hex_text.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::Bytes;

std::string Hex(std::span<const std::uint8_t> bytes) {
    return BytesToHexText(bytes);
}

TEST(PacketChecksum, SumXor5EAndZeroForAbsentData) {
    const std::uint8_t zeros[4] = {};
    const std::uint8_t mouse[4] = {0x18, 0x1E, 0x00, 0x00};
    EXPECT_EQ(PacketChecksum(zeros, 4), 0x5E);
    EXPECT_EQ(PacketChecksum(mouse, 4), 0x68);
    EXPECT_EQ(PacketChecksum(nullptr, 4), 0x00);
    EXPECT_EQ(PacketChecksum(mouse, 0), 0x5E) << "present data of length 0";
    const std::uint8_t wraps[3] = {0xFF, 0xFF, 0x02};  // 0x200 -> 0x00
    EXPECT_EQ(PacketChecksum(wraps, 3), 0x5E);
    EXPECT_EQ(PacketChecksum(kSerialTestBlock.data(), 32), 0x82);
}

TEST(BuildCommandPacket, FramesCodeLengthChecksumReservedAndData) {
    const std::uint8_t mouse[4] = {0x18, 0x1E, 0x00, 0x00};
    EXPECT_EQ(Hex(BuildCommandPacket(CMD_MOUSE_HID, mouse, 4).bytes()), "1D 04 68 00 18 1E 00 00 ");
    EXPECT_EQ(Hex(BuildCommandPacket(CMD_REBOOT).bytes()), "AF 00 00 00 ");
    // Without data the count is ignored: the reset button passes 4 and still sends no data.
    EXPECT_EQ(Hex(BuildCommandPacket(CMD_REBOOT, nullptr, 4).bytes()), "AF 00 00 00 ");
    EXPECT_EQ(Hex(BuildCommandPacket(CMD_SERIAL, kSerialTestBlock).bytes()).substr(0, 24),
              "A8 20 82 00 08 31 32 33 ");
    EXPECT_EQ(BuildCommandPacket(CMD_SERIAL, kSerialTestBlock).bytes().size(), 36u);
}

TEST(BuildCommandPacket, RefusesMoreDataThanAReportHolds) {
    const std::vector<std::uint8_t> sixty(60, 1);
    const std::vector<std::uint8_t> sixtyOne(61, 1);
    EXPECT_EQ(BuildCommandPacket(CMD_SERIAL, sixty).bytes().size(), 64u);
    EXPECT_THROW(BuildCommandPacket(CMD_SERIAL, sixtyOne), std::length_error);
    EXPECT_THROW(BuildCommandPacket(CMD_SERIAL, sixtyOne.data(), 61), std::length_error);
}

TEST(BuildOutputReport, ReportIdZeroThenThePacketThenZeros) {
    const std::vector<std::uint8_t> reset = BuildOutputReport(BuildCommandPacket(CMD_REBOOT).bytes());
    std::string sixtyZeros;
    for (int i = 0; i < 60; ++i)
        sixtyZeros += "00 ";
    EXPECT_EQ(Hex(reset), "00 AF 00 00 00 " + sixtyZeros);
    for (const std::uint8_t code : {CMD_START, CMD_STOP}) {
        const std::vector<std::uint8_t> report = BuildOutputReport(BuildCommandPacket(code).bytes());
        EXPECT_EQ(report[0], 0);
        EXPECT_EQ(report[1], code);
        EXPECT_TRUE(std::all_of(report.begin() + 2, report.end(), [](auto b) { return b == 0; }));
    }
    EXPECT_THROW(BuildOutputReport(std::vector<std::uint8_t>(65)), std::length_error);
}

TEST(FlashBlock, FlashPacketIsFortyBytesInReportBytesOneToForty) {
    std::array<std::uint8_t, 32> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    const FlashBlock block = BuildFlashBlock(FlashOperation::Write, 0x0120, bytes);
    EXPECT_EQ(Hex(std::span(block).first(6)), "01 20 01 20 01 02 ");
    const CommandPacket packet = BuildCommandPacket(CMD_FLASH, block);
    EXPECT_EQ(packet.bytes().size(), 40u);
    const std::vector<std::uint8_t> report = BuildOutputReport(packet.bytes());
    EXPECT_EQ(report[1], CMD_FLASH);
    EXPECT_EQ(report[2], 36);
    EXPECT_EQ(report[4], 0) << "reserved byte";
    EXPECT_EQ(report[40], 32);
    EXPECT_EQ(report[41], 0);

    EXPECT_EQ(Hex(BuildFlashReadBlock(0x60)), "00 20 00 60 " + Hex(std::array<std::uint8_t, 32>{}));
}

}  // namespace
}  // namespace tavrel
