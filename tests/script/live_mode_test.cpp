#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "script/line_compiler.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::Bytes;
using test::LogCollector;
using test::PacketCollector;
using test::Utf8ToGbk;
using ::testing::ElementsAreArray;

struct LiveCase {
    const char* line;
    std::vector<std::pair<std::uint8_t, const char*>> packets;  // code and data as hex text
    std::vector<std::string> log;
};

void PrintTo(const LiveCase& c, std::ostream* os) {
    *os << c.line;
}

class LiveModeTest : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveModeTest, SendsTheLinesPacketsAtOnce) {
    const LiveCase& c = GetParam();
    LogCollector log;
    PacketCollector packets;
    CompileScriptLine(Utf8ToGbk(c.line), packets, log);
    std::vector<test::SentPacket> expected;
    for (const auto& [code, data] : c.packets) {
        const std::vector<std::uint8_t> bytes = Bytes(data);
        expected.push_back(
            {code, bytes, PacketChecksum(bytes.data(), static_cast<std::uint8_t>(bytes.size()))});
    }
    EXPECT_THAT(packets.packets(), ElementsAreArray(expected));
    EXPECT_THAT(log.Utf8Lines(), ElementsAreArray(c.log));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LiveModeTest,
    ::testing::Values(
        LiveCase{"按键：A", {{CMD_KEYBOARD, "20 04 00 00 00 00 00 00"}}, {}},
        // the key delay is worked out after the packet has gone, so it never reaches the gadget
        LiveCase{"键盘: b延时1秒", {{CMD_KEYBOARD, "20 05 00 00 00 00 00 00"}}, {}},
        LiveCase{"键盘：ctrl+alt+del", {{CMD_KEYBOARD, "25 4C 00 00 00 00 00 00"}}, {}},
        LiveCase{"键盘：中", {}, {"无法识别键盘值：中"}},
        LiveCase{"鼠标：单击", {{CMD_MOUSE, "41 00 00 00"}}, {}},
        LiveCase{"鼠标：下移", {{CMD_MOUSE, "4E 00 00 00"}}, {}}, LiveCase{"鼠标：乱动", {}, {}},
        LiveCase{"鼠标HID:18 30 00 00", {{CMD_MOUSE_HID, "18 30 00 00"}}, {}},
        LiveCase{"mousehid:18-30-00-00", {{CMD_MOUSE_HID, "18 30 00 00"}}, {}},
        LiveCase{"键盘HID:00 00 04 00 00 00 00 00", {{CMD_KEYBOARD_HID, "00 00 04 00 00 00 00 00"}}, {}},
        LiveCase{"键盘HID:00 00 04", {}, {"键盘HID数据长度不正确：3"}},
        LiveCase{"键盘HID:00 00 04 00 00 00 00 00 00", {}, {"键盘HID数据长度不正确：9"}},
        LiveCase{"鼠标HID:", {}, {"鼠标HID数据长度不正确：0"}}, LiveCase{"延时：3秒", {}, {}},
        LiveCase{"跳转：2", {}, {"goto"}}, LiveCase{"停止", {}, {}}, LiveCase{"延时", {}, {"参数错误"}},
        LiveCase{"注释：x", {}, {}}, LiveCase{"", {}, {}}, LiveCase{"乱码", {}, {"未知指令：乱码"}}));

TEST(LiveMode, GivesTheCompileResult) {
    LogCollector log;
    PacketCollector packets;
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk("按键：A"), packets, log), 1);
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk("键盘HID:00"), packets, log), 1);  // raw report lines: always 1
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk("键盘：中"), packets, log), 0);
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk("延时：0"), packets, log), 0);
    EXPECT_EQ(packets.packets().size(), 1u);
}

TEST(LiveMode, KeepsOnlyWhatAPacketHoldsOfAVeryLongRawReport) {
    LogCollector log;
    PacketCollector packets;
    CompileScriptLine("keyhid:" + std::string(100000, '0'), packets, log);
    EXPECT_TRUE(packets.packets().empty());
    EXPECT_THAT(log.Utf8Lines(), ElementsAreArray({std::string("键盘HID数据长度不正确：50000")}));
}

}  // namespace
}  // namespace tavrel
