#include "script/script_listing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::LogCollector;
using ::testing::ElementsAreArray;

struct ListingCase {
    std::vector<std::string> lines;
    std::vector<std::string> log;
};

void PrintTo(const ListingCase& c, std::ostream* os) {
    for (const auto& line : c.lines)
        *os << '[' << line << ']';
}

class ListScriptBytesTest : public ::testing::TestWithParam<ListingCase> {};

TEST_P(ListScriptBytesTest, NamesEachRecord) {
    LogCollector log;
    ScriptRecordBuffer buffer{};
    ListScriptBytes(GetParam().lines, buffer, log);
    EXPECT_THAT(log.Utf8Lines(), ElementsAreArray(GetParam().log));
}

INSTANTIATE_TEST_SUITE_P(
    Records, ListScriptBytesTest,
    ::testing::Values(
        ListingCase{{"E1 08 01"}, {"第1行:E1 08 01", "版本", "8", "1"}},
        ListingCase{{"20 04 00"}, {"第1行:20 04 00", "键盘", "HID:04"}},
        ListingCase{{"25 4C 00"}, {"第1行:25 4C 00", "键盘", "CTRL+", "ALT+", "HID:4C"}},
        ListingCase{{"23 4C 02"}, {"第1行:23 4C 02", "键盘", "CTRL+", "SHIFT+", "HID:4C"}},
        ListingCase{{"2F 04 00"}, {"第1行:2F 04 00", "键盘", "CTRL+", "ALT+", "SHIFT+", "WIN+", "HID:04"}},
        ListingCase{{"40 00 00"}, {"第1行:40 00 00", "鼠标", "MOUSE_unknow!"}},
        ListingCase{{"41 00 00", "42 00 00", "43 00 00", "44 00 00"},
                    {"第1行:41 00 00", "鼠标", "MOUSE_CLICK", "第2行:42 00 00", "鼠标", "MOUSE_DBCLICK",
                     "第3行:43 00 00", "鼠标", "MOUSE_MCLICK", "第4行:44 00 00", "鼠标", "MOUSE_RCLICK"}},
        ListingCase{{"46 00 00", "47 00 00", "4A 00 00", "4B 00 00"},
                    {"第1行:46 00 00", "鼠标", "MOUSE_POS", "第2行:47 00 00", "鼠标", "MOUSE_WHEEL",
                     "第3行:4A 00 00", "鼠标", "MOUSE_MOVE", "第4行:4B 00 00", "鼠标", "MOUSE_MOVE_LEFT"}},
        ListingCase{{"4C 00 00", "4D 00 00", "4E 00 00", "45 00 00", "5F 00 00"},
                    {"第1行:4C 00 00", "鼠标", "MOUSE_MOVE_RIGHT", "第2行:4D 00 00", "鼠标", "MOUSE_MOVE_UP",
                     "第3行:4E 00 00", "鼠标", "MOUSE_MOVE_DOWN", "第4行:45 00 00", "鼠标", "MOUSE_unknow!",
                     "第5行:5F 00 00", "鼠标", "MOUSE_unknow!"}},
        ListingCase{{"60 2E E0"}, {"第1行:60 2E E0", "延时", "12000"}},
        ListingCase{{"81 00 00", "82 00 00", "83 00 00", "84 00 00"},
                    {"第1行:81 00 00", "播放", "PLAY_RESTART", "第2行:82 00 00", "播放", "PLAY_STOP",
                     "第3行:83 00 00", "播放", "PLAY_SUSPEND", "第4行:84 00 00", "播放"}},
        ListingCase{{"A0 02 00"}, {"第1行:A0 02 00", "转跳", "2"}},
        ListingCase{{"C0 01 02", "1f ff 00"},
                    {"第1行:C0 01 02", "未知脚本指令C0 01 02", "第2行:1F FF 00", "未知脚本指令1F FF 00"}},
        ListingCase{{"e1-08-01", "e10801", "E1:08:01"},
                    {"第1行:E1 08 01", "版本", "8", "1", "第2行:E1 08 01", "版本", "8", "1", "第3行:E1 08 01",
                     "版本", "8", "1"}},
        // Bad lines are reported first, in pass one; the numbering skips them.
        ListingCase{{"E1 08", "20 04 00", "E1 08 01 05", "A0 02 00"},
                    {"脚本不正确：e1 08", "脚本不正确：e1 08 01 05", "第1行:20 04 00", "键盘", "HID:04",
                     "第2行:A0 02 00", "转跳", "2"}},
        ListingCase{{"20 04 00", "", "   \t", "A0 02 00"},
                    {"第1行:20 04 00", "键盘", "HID:04", "第2行:A0 02 00", "转跳", "2"}},
        ListingCase{{"", ""}, {}}, ListingCase{{}, {}}));

TEST(ListScriptBytes, StoresTheRecordsInTheBuffer) {
    LogCollector log;
    ScriptRecordBuffer buffer;
    buffer.fill(0xEE);
    ListScriptBytes(std::vector<std::string>{"E1 02 01", "", "20 04 00", "xx", "A0 02 00"}, buffer, log);
    const std::vector<std::uint8_t> expected = {0xE1, 0x02, 0x01, 0x20, 0x04, 0x00, 0xA0, 0x02, 0x00, 0xEE};
    EXPECT_THAT(std::vector(buffer.begin(), buffer.begin() + 10), ElementsAreArray(expected));
}

TEST(ListScriptBytes, ListsEveryRecordBeyondFortyTwoButStoresOnlyFortyTwo) {
    std::vector<std::string> lines(50, "20 04 00");
    lines.back() = "A0 07 00";
    LogCollector log;
    ScriptRecordBuffer buffer;
    buffer.fill(0xEE);
    ListScriptBytes(lines, buffer, log);
    const auto logged = log.Utf8Lines();
    ASSERT_EQ(logged.size(), 49u * 3 + 3);
    EXPECT_EQ(logged[49 * 3], "第50行:A0 07 00");
    EXPECT_EQ(buffer[125], 0x00);
    EXPECT_EQ(buffer[126], 0xEE) << "the buffer holds 42 whole records; its last two bytes are left alone";
    EXPECT_EQ(buffer[127], 0xEE);
}

}  // namespace
}  // namespace tavrel
