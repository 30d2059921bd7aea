#include "common/gbk_text.h"

#include <gtest/gtest.h>

#include "common/gbk_literal.h"

namespace tavrel {
namespace {

// 0x81 0x41 and 0x81 0x75 are GBK characters whose trail bytes are the ASCII codes of 'A' and 'u'.
constexpr std::string_view kCharWithTrailA = "\x81\x41";
constexpr std::string_view kCharWithTrailU = "\x81\x75";

TEST(GbkText, LiteralsAreGbkBytes) {
    EXPECT_EQ("键盘HID"_gbk,
              "\xBC\xFC\xC5\xCC"
              "HID");
    EXPECT_EQ("："_gbk, "\xA3\xBA");
    EXPECT_EQ("ab"_gbk, "ab");
}

TEST(GbkText, LoweringChangesAsciiLettersOnly) {
    EXPECT_EQ(LowerAsciiLetters("KEYBOARD:A"), "keyboard:a");
    EXPECT_EQ(LowerAsciiLetters("键盘HID"_gbk), "键盘hid"_gbk);
    EXPECT_EQ(LowerAsciiLetters(std::string(kCharWithTrailA) + "A"), std::string(kCharWithTrailA) + "a");
    // A lone lead byte at the end and bytes from 0x80 up are left alone.
    EXPECT_EQ(LowerAsciiLetters("A\x81"), "a\x81");
}

TEST(GbkText, MatchesStartOnlyAtCharacterBoundaries) {
    const std::string text = "x" + std::string(kCharWithTrailU) + "p";
    EXPECT_FALSE(ContainsText(text, "up")) << "the 'u' is the trail byte of a Chinese character";
    EXPECT_TRUE(ContainsText(text + "up", "up"));
    EXPECT_EQ(FindText("abcabc", "bc", 2), 4u);
    EXPECT_EQ(FindText("abc", ""), 0u);
    // "上" is C9 CF; here those bytes are the tail of one character and the head of the next.
    EXPECT_FALSE(ContainsText("\xB0\xC9\xCF\xB0", "上"_gbk));
    EXPECT_TRUE(ContainsText("a上"_gbk, "上"_gbk));
}

TEST(GbkText, ReplacesEveryOccurrenceIgnoringCase) {
    EXPECT_EQ(ReplaceAllIgnoringCase("键盘HID:1 键盘hid"_gbk, "键盘HID"_gbk, "keyhid"), "keyhid:1 keyhid");
    EXPECT_EQ(ReplaceAllIgnoringCase("a b  c", " ", ""), "abc");
    EXPECT_EQ(ReplaceAllIgnoringCase("abc", "", "x"), "abc");
    // The trail byte 'A' of a Chinese character is not a letter to match.
    EXPECT_EQ(ReplaceAllIgnoringCase(std::string(kCharWithTrailA) + "a", "a", "b"),
              std::string(kCharWithTrailA) + "b");
}

TEST(GbkText, TrimsBlanksAndControlCharacters) {
    EXPECT_EQ(TrimBlanksAndControls(" \t\r\n x y \x01"), "x y");
    EXPECT_EQ(TrimBlanksAndControls("  \t "), "");
    EXPECT_EQ(TrimBlanksAndControls("上"_gbk), "上"_gbk);
}

TEST(GbkText, ReadsIntegersLikeAtoi) {
    const std::pair<std::string_view, std::int32_t> cases[] = {
        {"120秒", 120},
        {"  \t+7x", 7},
        {"-1毫秒", -1},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"007", 7},
        {"1 2", 1},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
        {"2147483648", 2147483647},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(ReadInteger(text), value) << text;
    }
}

TEST(GbkText, ParsesWholeIntegersOnly) {
    const std::pair<std::string_view, std::int32_t> good[] = {
        {"1", 1}, {"300", 300}, {" -5 ", -5}, {"+2", 2}, {"-2147483648", -2147483647 - 1}};
    for (const auto& [text, expected] : good) {
        std::int32_t value = 0;
        EXPECT_TRUE(ParseWholeInteger(text, value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
    for (const std::string_view text : {"", "abc", "1a", "-", "2147483648", "1 2", "0x10"}) {
        std::int32_t value = 99;
        EXPECT_FALSE(ParseWholeInteger(text, value)) << text;
        EXPECT_EQ(value, 99);
    }
}

TEST(GbkText, SplitsLinesLikeATextBox) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(SplitLines(""), Lines{});
    EXPECT_EQ(SplitLines("a"), Lines{"a"});
    EXPECT_EQ(SplitLines("a\n"), Lines{"a"});
    EXPECT_EQ(SplitLines("a\r\nb\r\n"), Lines({"a", "b"}));
    EXPECT_EQ(SplitLines("a\n\n"), Lines({"a", ""}));
    EXPECT_EQ(SplitLines("\n"), Lines{""});
    EXPECT_EQ(SplitLines("a\rb"), Lines{"a\rb"}) << "a lone CR is no line break";
}

TEST(GbkText, FormatsLikePrintf) {
    EXPECT_EQ(FormatText("%02X %d", 10, -3), "0A -3");
}

}  // namespace
}  // namespace tavrel
