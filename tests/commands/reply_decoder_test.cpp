#include "commands/reply_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::Bytes;
using test::GbkToUtf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A 64-byte report (what follows the report id) that begins with `head`.
std::vector<std::uint8_t> Report(std::string_view head, std::size_t size = 64) {
    std::vector<std::uint8_t> bytes = Bytes(head);
    bytes.resize(size, 0);
    return bytes;
}

std::vector<std::string> Utf8(const std::vector<std::string>& gbk) {
    std::vector<std::string> utf8;
    for (const auto& line : gbk)
        utf8.push_back(GbkToUtf8(line));
    return utf8;
}

TEST(DecodeReplyEffects, AcknowledgementOfEveryCode) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x12, "已发送暂停命令"}, {0x13, "已发送开启命令"}, {0x14, "已发送停止命令"},
        {0x15, "增加脚本"},       {0x16, "已清空脚本"},     {0x17, "开始演示模式"},
        {0x1A, "已发送键盘命令"}, {0x1C, "已发送鼠标命令"}, {0xA0, "设备信息读取完毕"},
        {0xA1, "设置VIDPID完成"}, {0xAE, "进入ISP模式"},    {0xAF, "已发送重启命令"},
    };
    for (const auto& [code, text] : cases) {
        std::vector<std::uint8_t> report = Report("00");
        report[0] = code;
        const ReplyEffects effects = DecodeReplyEffects(report);
        EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复64", text)) << int(code);
        EXPECT_TRUE(effects.setsReplyArrived);
        EXPECT_FALSE(effects.deviceIdText || effects.flashData || effects.serialLine);
    }
}

TEST(DecodeReplyEffects, CodesWithoutALineOfTheirOwn) {
    for (const std::uint8_t code : {0x00, 0x1B, 0x1D, 0x11, 0xFF, 0x23}) {
        std::vector<std::uint8_t> report = Report("00");
        report[0] = code;
        const ReplyEffects effects = DecodeReplyEffects(report);
        EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复64")) << int(code);
        EXPECT_TRUE(effects.setsReplyArrived);
    }
}

TEST(DecodeReplyEffects, ShortReportsGiveOnlyTheirLengthAndStillSetTheFlag) {
    for (const std::size_t size : {0u, 1u, 3u}) {
        const ReplyEffects effects = DecodeReplyEffects(Report("13", size));
        EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复" + std::to_string(size)));
        EXPECT_TRUE(effects.setsReplyArrived);
    }
    EXPECT_THAT(Utf8(DecodeReplyEffects(Report("13", 4)).logLines), ElementsAre("已回复4", "已发送开启命令"));
}

TEST(DecodeReplyEffects, DeviceIdentifierLeastSignificantByteFirst) {
    const ReplyEffects effects = DecodeReplyEffects(Report("22 04 99 00 78 56 34 12"));
    EXPECT_EQ(effects.deviceIdText, "78 56 34 12");
    EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复64", "DEVID: 305419896"));
    EXPECT_EQ(DecodeReplyEffects(Report("22 04 00 00 FF FF FF FF")).logLines.back(), "DEVID: 4294967295");
    // Too short to hold the identifier: nothing is taken.
    const ReplyEffects cut = DecodeReplyEffects(Report("22 04 00 00 78 56", 6));
    EXPECT_FALSE(cut.deviceIdText);
    EXPECT_THAT(Utf8(cut.logLines), ElementsAre("已回复6"));
}

TEST(DecodeReplyEffects, FlashDataGoesToTheGridAtItsAddress) {
    std::vector<std::uint8_t> report = Report("A3 24 00 00 00 20 00 40");
    for (std::size_t i = 0; i < 32; ++i)
        report[8 + i] = static_cast<std::uint8_t>(0xC0 + i);
    const ReplyEffects effects = DecodeReplyEffects(report);
    EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复64", "read flash:len:32 addr:64"));
    ASSERT_TRUE(effects.flashData);
    EXPECT_EQ(effects.flashData->address, 64);
    EXPECT_THAT(effects.flashData->bytes,
                ElementsAreArray(std::vector(report.begin() + 8, report.begin() + 40)));
}

TEST(DecodeReplyEffects, FlashAnswerWithAnErrorStatusChangesNothing) {
    const ReplyEffects effects = DecodeReplyEffects(Report("A3 24 00 00 01 20 00 40"));
    EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复64"));
    EXPECT_FALSE(effects.flashData);
}

TEST(DecodeReplyEffects, FlashAnswerIsTakenWhereverItLiesWhenTheReportHoldsItsBytes) {
    // Past the data flash the window shows: the answer's bytes are given all the same.
    const ReplyEffects beyond = DecodeReplyEffects(Report("A3 24 00 00 00 20 00 A0 5A"));
    ASSERT_TRUE(beyond.flashData);
    EXPECT_EQ(beyond.flashData->address, 160);
    ASSERT_EQ(beyond.flashData->bytes.size(), 32u);
    EXPECT_EQ(beyond.flashData->bytes[0], 0x5A);
    EXPECT_THAT(Utf8(beyond.logLines), ElementsAre("已回复64", "read flash:len:32 addr:160"));
    EXPECT_TRUE(DecodeReplyEffects(Report("A3 24 00 00 00 38 FF FF")).flashData);  // 56 bytes, the most
    EXPECT_TRUE(DecodeReplyEffects(Report("A3 24 00 00 00 00 00 80")).flashData);  // nothing at 128

    // More bytes than the report holds after the header: refused whole.
    const std::pair<const char*, const char*> refused[] = {
        {"A3 24 00 00 00 39 00 00", "read flash:len:57 addr:0"},
        {"A3 24 00 00 00 FF FF FF", "read flash:len:255 addr:65535"},
    };
    for (const auto& [head, line] : refused) {
        const ReplyEffects effects = DecodeReplyEffects(Report(head));
        EXPECT_FALSE(effects.flashData) << head;
        EXPECT_THAT(Utf8(effects.logLines),
                    ElementsAre("已回复64", line, GbkToUtf8(std::string(FlashReplyRefusedText()))));
    }
    // A report too short for the flash header is taken as no data.
    EXPECT_THAT(Utf8(DecodeReplyEffects(Report("A3 24 00 00 00 20", 6)).logLines), ElementsAre("已回复6"));
}

TEST(DecodeReplyEffects, SerialDataBecomesOneHexLineOfTheWholeReport) {
    const ReplyEffects effects = DecodeReplyEffects(Report("A8 06 00 00 31 32 33 34 0A"));
    EXPECT_THAT(Utf8(effects.logLines), ElementsAre("已回复64", "接收到串口数据"));
    ASSERT_TRUE(effects.serialLine);
    EXPECT_EQ(effects.serialLine->size(), 192u);
    EXPECT_EQ(effects.serialLine->substr(0, 27), "A8 06 00 00 31 32 33 34 0A ");
    EXPECT_EQ(effects.serialLine->substr(189), "00 ");
}

}  // namespace
}  // namespace tavrel
