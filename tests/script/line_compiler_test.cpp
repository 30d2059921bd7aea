#include "script/line_compiler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/gbk_literal.h"
#include "common/hex_text.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::LogCollector;
using test::Utf8ToGbk;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct LineCase {
    const char* line;  // as typed, UTF-8
    int result;
    const char* record;  // the record place, zeroed beforehand, after the call
    std::vector<std::string> log;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.line;
}

class CompileScriptLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(CompileScriptLineTest, MakesTheRecordAndLogs) {
    const LineCase& c = GetParam();
    LogCollector log;
    ScriptRecord record{};
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk(c.line), record, log), c.result);
    EXPECT_EQ(BytesToHexText(record), std::string(c.record));
    EXPECT_THAT(log.Utf8Lines(), ElementsAreArray(c.log));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CompileScriptLineTest,
    ::testing::Values(
        LineCase{"键盘：ctrl + shift + del", 1, "23 4C 00 ", {}}, LineCase{"按键：A", 1, "20 04 00 ", {}},
        LineCase{"键盘: b延时1秒", 1, "20 05 01 ", {}}, LineCase{"键盘: hid04", 1, "20 04 00 ", {}},
        LineCase{"keyboard:alt+f4", 1, "24 3D 00 ", {}}, LineCase{"KEYBOARD:A", 1, "20 04 00 ", {}},
        LineCase{"keyboarda", 1, "20 0E 00 ", {}},
        LineCase{"键盘：win+ctrl+alt+shift+tab", 1, "2F 2B 00 ", {}},
        LineCase{"键盘: a 延迟300", 1, "20 04 2C ", {}},  // key delay: low 8 bits
        LineCase{"键盘：停止", 1, "82 00 00 ", {}},       // play control is tested before keyboard
        LineCase{"重新开始", 1, "81 00 00 ", {}}, LineCase{"停止", 1, "82 00 00 ", {}},
        LineCase{"暂停", 1, "83 00 00 ", {}}, LineCase{"延时：120秒", 1, "60 2E E0 ", {}},
        LineCase{"延时：500毫秒", 1, "60 00 32 ", {}}, LineCase{"延时：5毫秒", 1, "60 00 00 ", {}},
        LineCase{"延时：655", 1, "60 FF DC ", {}},
        LineCase{"延时：656", 0, "60 00 00 ", {"超过延时最大值：655"}},
        LineCase{"延时：0", 0, "60 00 00 ", {}}, LineCase{"延时：abc", 0, "60 00 00 ", {}},
        LineCase{"延时 3秒", 0, "00 00 00 ", {"参数错误"}}, LineCase{"延时：-1毫秒", 1, "60 19 99 ", {}},
        LineCase{"延时：-1", 0, "60 00 00 ", {"超过延时最大值：655"}},
        LineCase{"延时：65536", 0, "60 00 00 ", {}},  // cut to 16 bits: 0
        LineCase{"delay:2", 1, "60 00 C8 ", {}}, LineCase{"跳转到：5", 1, "A0 05 00 ", {"goto"}},
        LineCase{"跳转：300", 1, "A0 2C 00 ", {"goto"}}, LineCase{"跳转：2行", 1, "A0 02 00 ", {"goto"}},
        LineCase{"跳转", 0, "A0 00 00 ", {"goto", "参数错误"}}, LineCase{"   # note", 0, "00 00 00 ", {}},
        LineCase{"// note", 0, "00 00 00 ", {}}, LineCase{"注释: 脚本说明", 0, "00 00 00 ", {}},
        LineCase{"", 0, "00 00 00 ", {}}, LineCase{"  \t ", 0, "00 00 00 ", {}},
        LineCase{"单击", 0, "00 00 00 ", {"未知指令：单击"}},
        LineCase{"Hello World", 0, "00 00 00 ", {"未知指令：helloworld"}},
        LineCase{"鼠标：单击", 1, "41 00 00 ", {}}, LineCase{"鼠标：双击", 1, "42 00 00 ", {}},
        LineCase{"鼠标：中击", 1, "43 00 00 ", {}}, LineCase{"鼠标：右击", 1, "44 00 00 ", {}},
        LineCase{"鼠标：定位", 1, "46 00 00 ", {}}, LineCase{"鼠标：滚轮", 1, "47 00 00 ", {}},
        LineCase{"鼠标：左移", 1, "4B 00 00 ", {}}, LineCase{"鼠标：右移", 1, "4C 00 00 ", {}},
        LineCase{"鼠标：上移", 1, "4D 00 00 ", {}}, LineCase{"鼠标：下移", 1, "4E 00 00 ", {}},
        LineCase{"鼠标：右击单击", 1, "41 00 00 ", {}},  // word order of the test, not of the line
        LineCase{"鼠标：乱动", 1, "40 00 00 ", {}},
        LineCase{"keyhid:00 00 04 00 00 00 00 00", 1, "00 00 00 ", {}},
        LineCase{"鼠标HID:18 30 00 00", 1, "00 00 00 ", {}},
        LineCase{"键盘：中", 0, "20 00 00 ", {"无法识别键盘值：中"}},
        LineCase{"键盘：ctrl+", 0, "21 00 00 ", {"无法识别键盘值：ctrl+"}}));

TEST(CompileScriptLine, WritesOnlyTheBytesItsKindSets) {
    LogCollector log;
    ScriptRecord record = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk("按键：A"), record, log), 1);
    EXPECT_EQ(BytesToHexText(record), "20 04 EE ");
    record = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk("跳转：7"), record, log), 1);
    EXPECT_EQ(BytesToHexText(record), "A0 07 EE ");
    record = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(CompileScriptLine(Utf8ToGbk("键盘HID:01"), record, log), 1);
    EXPECT_EQ(BytesToHexText(record), "EE EE EE ");
}

TEST(CompileScriptLine, AsciiKeywordsDoNotMatchInsideChineseCharacters) {
    LogCollector log;
    ScriptRecord record{};
    // 0x81 0x75 is one character whose trail byte is 'u'; with "p" after it the line holds no "up".
    const std::string line = "keyboard:\x81\x75p";
    EXPECT_EQ(CompileScriptLine(line, record, log), 0);
    EXPECT_THAT(log.lines(), ElementsAre(std::string("无法识别键盘值："_gbk) + "\x81\x75p"));
}

TEST(CompileScriptLine, TracesWhatItRecognisedUnderADebugger) {
    LogCollector log(/*tracing=*/true);
    ScriptRecord record{};
    CompileScriptLine(Utf8ToGbk("键盘：ctrl+回车 延时2"), record, log);
    const auto lines = log.Utf8Lines();
    EXPECT_THAT(lines, ::testing::Contains("ctrl+"));
    EXPECT_THAT(lines, ::testing::Contains("特殊按键值：21 + 28"));
    EXPECT_THAT(lines, ::testing::Contains("按键延时2秒"));
    log.Clear();
    CompileScriptLine(Utf8ToGbk("键盘：q"), record, log);
    EXPECT_THAT(log.Utf8Lines(), ::testing::Contains("按键值：20 + 14"));
}

}  // namespace
}  // namespace tavrel
