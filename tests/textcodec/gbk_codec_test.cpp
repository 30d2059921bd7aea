#include "textcodec/gbk_codec.h"

#include <gtest/gtest.h>

#include "common/gbk_literal.h"

namespace tavrel {
namespace {

TEST(GbkCodec, RoundTripsChineseAndAscii) {
    const QString text = QString::fromUtf8("键盘：ctrl+回车 延时1秒");
    const std::string gbk = ToGbk(text);
    EXPECT_EQ(gbk, "键盘：ctrl+回车 延时1秒"_gbk);
    EXPECT_EQ(FromGbk(gbk), text);
    EXPECT_EQ(ToGbkExactly(text), gbk);
}

TEST(GbkCodec, CharactersOutsideGbk) {
    const QString emoji = QString::fromUtf8("a😀");
    EXPECT_FALSE(ToGbkExactly(emoji).has_value());
    EXPECT_EQ(ToGbk(emoji), "a?");
    // Bytes that are no GBK still decode to something, never fail.
    EXPECT_FALSE(FromGbk("\xFF\x81").isEmpty());
}

// The compile-time table behind "..."_gbk must agree with the platform's GBK converter on every
// character it holds.
TEST(GbkCodec, CompileTimeTableAgreesWithThePlatformConverter) {
    ASSERT_GT(std::size(gbk_detail::kGbkTable), 0u);
    for (const auto& pair : gbk_detail::kGbkTable) {
        const char32_t unicode = pair.unicode;
        const std::string bytes = ToGbk(QString::fromUcs4(&unicode, 1));
        const std::string expected = {static_cast<char>(pair.gbk >> 8), static_cast<char>(pair.gbk & 0xFF)};
        ASSERT_EQ(bytes, expected) << "U+" << std::hex << static_cast<unsigned>(unicode);
    }
}

}  // namespace
}  // namespace tavrel
