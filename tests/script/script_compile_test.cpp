#include "script/script_compile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/gbk_literal.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::LogCollector;
using test::Utf8ToGbk;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::string> GbkLines(std::initializer_list<const char*> utf8) {
    std::vector<std::string> lines;
    for (const char* line : utf8) {
        lines.push_back(Utf8ToGbk(line));
    }
    return lines;
}

const std::vector<std::string> kInitialScript =
    GbkLines({"注释：设备自动控制", "延时：120秒", "按键：1", "延时：120秒", "按键：下", "延时：120秒",
              "按键：回车", "延时：120秒", "跳转：2行"});

const std::vector<std::string> kInitialScriptBytes = {"E1 08 01 ", "60 2E E0 ", "20 1E 00 ",
                                                      "60 2E E0 ", "20 51 00 ", "60 2E E0 ",
                                                      "20 28 00 ", "60 2E E0 ", "A0 02 00 "};

TEST(CompileScript, TheInitialScript) {
    LogCollector log;
    const ScriptCompilation result = CompileScript(kInitialScript, "1", true, log);
    EXPECT_EQ(result.recordCount, 8);
    EXPECT_THAT(result.byteTextLines, ElementsAreArray(kInitialScriptBytes));
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("goto", "翻译完毕，共8行脚本"));
    // The buffer holds the records from its start and zeros after them.
    EXPECT_EQ(result.recordBuffer[0], 0x60);
    EXPECT_EQ(result.recordBuffer[21], 0xA0);
    EXPECT_TRUE(std::all_of(result.recordBuffer.begin() + 24, result.recordBuffer.end(),
                            [](auto b) { return b == 0; }));
}

struct VersionCase {
    bool autoRun;
    const char* versionText;
    const char* firstLine;
    std::vector<std::string> logTail;
};

TEST(CompileScript, VersionRecordFromTheSettings) {
    const VersionCase cases[] = {
        {false, "1", "E0 08 01 ", {"翻译完毕，共8行脚本"}},
        {true, "300", "E1 08 2C ", {"翻译完毕，共8行脚本"}},
        {true, "-1", "E1 08 FF ", {"翻译完毕，共8行脚本"}},
        {true, "abc", "E1 08 00 ", {"翻译完毕，共8行脚本", "请填入数字版本号"}},
        {true, "", "E1 08 00 ", {"翻译完毕，共8行脚本", "请填入数字版本号"}},
        {true, "1.5", "E1 08 00 ", {"翻译完毕，共8行脚本", "请填入数字版本号"}},
    };
    for (const VersionCase& c : cases) {
        LogCollector log;
        const ScriptCompilation result = CompileScript(kInitialScript, c.versionText, c.autoRun, log);
        EXPECT_EQ(result.byteTextLines.front(), c.firstLine) << c.versionText;
        std::vector<std::string> logged = log.Utf8Lines();
        logged.erase(logged.begin());  // the jump line's "goto"
        EXPECT_THAT(logged, ElementsAreArray(c.logTail)) << c.versionText;
    }
}

TEST(CompileScript, EmptyScript) {
    LogCollector log;
    const ScriptCompilation result = CompileScript({}, "1", true, log);
    EXPECT_THAT(result.byteTextLines, ElementsAre("E1 00 01 "));
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("翻译完毕，共0行脚本"));
}

TEST(CompileScript, StopsAfterFortyTwoRecords) {
    for (const std::size_t keyLines : {42u, 50u}) {
        std::vector<std::string> lines(keyLines, "keyboard:a");
        if (keyLines == 42) {
            lines.push_back(Utf8ToGbk("注释：一行注释也算超出"));
        }
        LogCollector log;
        const ScriptCompilation result = CompileScript(lines, "1", true, log);
        EXPECT_EQ(result.recordCount, 42);
        ASSERT_EQ(result.byteTextLines.size(), 43u);
        EXPECT_EQ(result.byteTextLines.front(), "E1 2A 01 ");
        EXPECT_EQ(result.byteTextLines.back(), "20 04 00 ");
        EXPECT_THAT(log.Utf8Lines(), ElementsAre("超过存储空间！", "翻译完毕，共42行脚本")) << keyLines;
    }
}

TEST(CompileScript, ExactlyFortyTwoRecordsIsNoOverflow) {
    LogCollector log;
    CompileScript(std::vector<std::string>(42, "keyboard:a"), "1", true, log);
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("翻译完毕，共42行脚本"));
}

TEST(CompileScript, FailedLinesAddNoRecordAndAreOverwritten) {
    LogCollector log;
    const ScriptCompilation result =
        CompileScript(GbkLines({"键盘：中", "按键：b", "UPPER:X", "KEYBOARD:A"}), "1", true, log);
    EXPECT_EQ(result.recordCount, 2);
    EXPECT_THAT(result.byteTextLines, ElementsAre("E1 02 01 ", "20 05 00 ", "20 04 00 "));
    EXPECT_THAT(log.Utf8Lines(),
                ElementsAre("无法识别键盘值：中", "未知指令：upper:x", "翻译完毕，共2行脚本"));
}

TEST(CompileScript, ARawReportLineAfterAFailedLineIsAZeroRecord) {
    LogCollector log;
    const ScriptCompilation result = CompileScript(
        GbkLines({"延时：0", "键盘HID:00 00 04 00 00 00 00 00", "跳转", "键盘：中"}), "1", true, log);
    EXPECT_THAT(result.byteTextLines, ElementsAre("E1 01 01 ", "00 00 00 "));
    EXPECT_TRUE(std::all_of(result.recordBuffer.begin(), result.recordBuffer.end(), [](auto b) {
        return b == 0;
    })) << "failed lines leave nothing behind in the buffer";
}

TEST(ClassifyScriptLine, TakesEachLineForWhatTheCompilerMakesOfIt) {
    const std::pair<const char*, ScriptLineKind> cases[] = {
        {"按键：A", ScriptLineKind::Keyboard},
        {"KEYBOARD:ctrl+c", ScriptLineKind::Keyboard},
        {"键盘：中", ScriptLineKind::Keyboard},  // a keyboard line, whose key then fails
        {"键盘HID:00 00 04 00 00 00 00 00", ScriptLineKind::RawKeyboard},
        {"鼠标：单击", ScriptLineKind::Mouse},
        {"鼠标HID:01 00 00 00", ScriptLineKind::RawMouse},
        {"延时：1秒", ScriptLineKind::Delay},
        {"跳转：2行", ScriptLineKind::Jump},
        {"停止：1", ScriptLineKind::PlayControl},
        {"重新开始", ScriptLineKind::PlayControl},
        {"注释：说明", ScriptLineKind::Comment},
        {"// 说明", ScriptLineKind::Comment},
        {"   ", ScriptLineKind::Blank},
        {"", ScriptLineKind::Blank},
        {"你好", ScriptLineKind::Unknown},
    };
    for (const auto& [line, kind] : cases) {
        EXPECT_EQ(ClassifyScriptLine(Utf8ToGbk(line)), kind) << line;
    }
}

// Per line: whether it counted and what was logged for it; the log itself stays as it was.
TEST(CompileScript, GivesEachLinesResult) {
    std::vector<std::string> lines =
        GbkLines({"按键：A", "按键：中", "延时：abc", "跳转", "注释：说明", "", "你好"});
    const std::size_t firstPast = lines.size() + 41;
    lines.insert(lines.end(), 41, "keyboard:a");  // with the first, 42 records
    lines.push_back(Utf8ToGbk("按键：B"));
    lines.push_back("");
    LogCollector withResults;
    const ScriptCompilation result = CompileScript(lines, "1", true, withResults);
    ASSERT_EQ(result.lineResults.size(), lines.size());

    struct Expected {
        ScriptLineKind kind;
        bool counted;
        bool leftOut;
        std::vector<std::string> messages;
    };
    const Expected expected[] = {
        {ScriptLineKind::Keyboard, true, false, {}},
        {ScriptLineKind::Keyboard, false, true, {"无法识别键盘值：中"}},
        {ScriptLineKind::Delay, false, true, {}},  // a delay of no time: dropped without a word
        {ScriptLineKind::Jump, false, true, {"goto", "参数错误"}},
        {ScriptLineKind::Comment, false, false, {}},
        {ScriptLineKind::Blank, false, false, {}},
        {ScriptLineKind::Unknown, false, true, {"未知指令：你好"}},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const ScriptLineResult& line = result.lineResults[i];
        EXPECT_EQ(line.kind, expected[i].kind);
        EXPECT_EQ(line.counted, expected[i].counted);
        EXPECT_EQ(line.LeftOut(), expected[i].leftOut);
        EXPECT_FALSE(line.pastLimit);
        std::vector<std::string> messages;
        for (const std::string& message : line.messages)
            messages.push_back(test::GbkToUtf8(message));
        EXPECT_EQ(messages, expected[i].messages);
    }
    const ScriptLineResult& past = result.lineResults[firstPast];
    EXPECT_TRUE(past.pastLimit && past.LeftOut());
    EXPECT_EQ(past.kind, ScriptLineKind::Keyboard);
    EXPECT_THAT(past.messages, ElementsAre("超过存储空间！"_gbk));
    EXPECT_TRUE(result.lineResults.back().pastLimit);
    EXPECT_FALSE(result.lineResults.back().LeftOut()) << "a blank line past the limit loses nothing";

    std::vector<std::string> logged;
    for (const ScriptLineResult& line : result.lineResults) {
        if (!line.pastLimit) logged.insert(logged.end(), line.messages.begin(), line.messages.end());
    }
    logged.emplace_back("超过存储空间！"_gbk);
    logged.emplace_back("翻译完毕，共42行脚本"_gbk);
    EXPECT_EQ(withResults.lines(), logged);
    EXPECT_EQ(result.recordCount, 42);

    // Under a debugger the sink shows trace lines; they still reach it through the collection.
    LogCollector tracing(true);
    const ScriptCompilation traced = CompileScript(GbkLines({"按键：A"}), "1", true, tracing);
    EXPECT_GT(tracing.lines().size(), 1u);
    EXPECT_EQ(traced.lineResults[0].messages.size(), tracing.lines().size() - 1);
}

TEST(DemoScriptText, TenExampleLinesAfterALineBreak) {
    EXPECT_EQ(
        test::GbkToUtf8(DemoScriptText()),
        "\r\n键盘: a\r\n键盘: b延时1秒\r\n键盘: ctrl+shift+del\r\n键盘: hid04\r\n鼠标: 单击\r\n鼠标: 右击\r\n"
        "鼠标: 中击\r\n延迟: 1秒\r\n跳转: 2行\r\n注释: 脚本说明\r\n");
}

}  // namespace
}  // namespace tavrel
