#include "common/text_escape.h"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_collector.h"

namespace tavrel {
namespace {

using namespace std::string_literals;
using test::LogCollector;
using test::Utf8ToGbk;
using ::testing::ElementsAre;

TEST(EscapeControlBytes, ControlBytesLoneBytesAndBackslashesBecomeEscapes) {
    const struct {
        std::string gbk;
        std::string escaped;
    } cases[] = {
        {"a\r\nb", "a\\r\\nb"},
        {"\t", "\\t"},
        {"\0\x01\x1B\x1F\x7F"s, "\\x00\\x01\\x1B\\x1F\\x7F"},
        {" ~", " ~"},
        // A typed backslash must not read like an escape.
        {"a\\nb", "a\\\\nb"},
        // A lead byte without its trail byte would swallow the escape's backslash.
        {"\x81\n", "\\x81\\n"},
        {"\x81\x1B[31m", "\\x81\\x1B[31m"},
        {"\x81", "\\x81"},
        {"\x80\xFF", "\\x80\\xFF"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeControlBytes(c.gbk), c.escaped) << c.escaped;
    }
}

// GBK characters whose second byte is a backslash, a letter or lies in 0x80-0x9F keep every byte.
TEST(EscapeControlBytes, DoubleByteCharactersPassWhole) {
    const std::string text = Utf8ToGbk("乗亐执行脚本");
    ASSERT_EQ(text.substr(0, 4), "\x81\x5C\x81\x80") << "乗 ends in a backslash, 亐 in 0x80";
    EXPECT_EQ(EscapeControlBytes(text), text);
    std::string pairs;
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail == 0x7F) continue;
        pairs += '\xB0';
        pairs += static_cast<char>(trail);
    }
    EXPECT_EQ(EscapeControlBytes(pairs), pairs);
}

TEST(ControlEscapingLogSink, EscapesEveryLineAndTracesAsItsTargetDoes) {
    for (const bool tracing : {false, true}) {
        LogCollector target(tracing);
        ControlEscapingLogSink escaping(target);
        escaping.LogLine("a\nDEVID: 1");
        escaping.TraceLine("b\r");
        if (tracing) {
            EXPECT_THAT(target.lines(), ElementsAre("a\\nDEVID: 1", "b\\r"));
        } else {
            EXPECT_THAT(target.lines(), ElementsAre("a\\nDEVID: 1"));
        }
    }
}

TEST(TextEscape, ControlCharactersOfUtf8TextAreWrittenOut) {
    EXPECT_EQ(EscapeControlCharacters("a\tb\nc\\d\r\x1b\x7F"), "a\\tb\\nc\\\\d\\x0D\\x1B\\x7F");
    EXPECT_EQ(EscapeControlCharacters("中\xC2\x85文"), "中\\x85文") << "a C1 control";
    EXPECT_EQ(EscapeControlCharacters("sim:gadget-1"), "sim:gadget-1");
}

TEST(TextEscape, AQuoteShowsAtMostEightyCharactersAndMarksTheCut) {
    const struct {
        std::string text;
        std::string quoted;
    } cases[] = {
        {std::string(80, 'a'), std::string(80, 'a')},
        {std::string(81, 'a'), std::string(80, 'a') + "…"},
        {"中" + std::string(79, 'b') + "文", "中" + std::string(79, 'b') + "…"},  // characters, not bytes
        {std::string(79, 'c') + "\n\n", std::string(79, 'c') + "\\n…"},           // cut first, then escaped
        {std::string(200, '\x80'), std::string(80, '\x80') + "…"},                // no UTF-8 at all: bytes
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuoteText(c.text), c.quoted) << EscapeControlCharacters(c.text);
    }
    EXPECT_EQ(QuoteText("abcdef", 3), "abc…");
}

}  // namespace
}  // namespace tavrel
