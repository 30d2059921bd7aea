#include "common/text_escape.h"

#include <gtest/gtest.h>

namespace tavrel {
namespace {

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
