#include "common/json_text.h"

#include <gtest/gtest.h>

namespace tavrel {
namespace {

TEST(JsonString, EscapesByJsonsRulesAndWritesBytesThatAreNoUtf8AsHex) {
    const struct {
        std::string text;
        std::string json;
    } cases[] = {
        {"", R"("")"},
        {"sim:gadget-1", R"("sim:gadget-1")"},
        {"a\"b\\c/d", R"("a\"b\\c/d")"},
        {"\n\t\r\x01\x1f\x7f", R"("\n\t\r\u0001\u001F)"
                               "\x7f\""},
        {"按键：A é 😀", "\"按键：A é 😀\""},
        // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form, a surrogate, a
        // code point above U+10FFFF, a byte no sequence starts with.
        {"a\x80z", R"("a\\x80z")"},
        {"\xe6\x8c", R"("\\xE6\\x8C")"},
        {"\xc0\xaf", R"("\\xC0\\xAF")"},
        {"\xed\xa0\x80", R"("\\xED\\xA0\\x80")"},
        {"\xf4\x90\x80\x80", R"("\\xF4\\x90\\x80\\x80")"},
        {"\xff/dev/hidraw0", R"("\\xFF/dev/hidraw0")"},
        {std::string("nul\0end", 7), R"("nul\u0000end")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.text), c.json) << c.text;
    }
}

TEST(JsonObject, KeepsItsMembersInOrderOnOneLine) {
    const std::string object = JsonObject()
                                   .Text("path", "a\nb")
                                   .Bool("changed", false)
                                   .Number("status", -3)
                                   .Null("access_error")
                                   .Texts("records", {"E1 01 01", "x\"y"})
                                   .Raw("messages", "[]")
                                   .Str();
    EXPECT_EQ(
        object,
        R"({"path":"a\nb","changed":false,"status":-3,"access_error":null,"records":["E1 01 01","x\"y"],)"
        R"("messages":[]})");
    EXPECT_EQ(JsonObject().Str(), "{}");
}

}  // namespace
}  // namespace tavrel
