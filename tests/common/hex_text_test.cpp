#include "common/hex_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tavrel {
namespace {

using ::testing::ElementsAreArray;

TEST(HexDigitValue, DigitsAndLettersOfBothCasesOthersSixteen) {
    const std::string digits = "0123456789abcdefABCDEF";
    const int expected[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(HexDigitValue(digits[i]), expected[i]) << digits[i];
    }
    for (const char c : std::string("gG/:@`z \n\xC9\xFF")) {
        EXPECT_EQ(HexDigitValue(c), 16) << static_cast<int>(c);
    }
}

struct HexCase {
    std::string text;
    std::vector<std::uint8_t> bytes;
};

void PrintTo(const HexCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class HexTextToBytesTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexTextToBytesTest, ReadsPairs) {
    const auto& [text, expected] = GetParam();
    EXPECT_THAT(HexTextToBytes(text), ElementsAreArray(expected));
    std::vector<std::uint8_t> place(expected.size() + 2, 0xEE);
    EXPECT_EQ(HexTextToBytes(text, place), expected.size());
    EXPECT_THAT(std::vector(place.begin(), place.begin() + static_cast<long>(expected.size())),
                ElementsAreArray(expected));
    EXPECT_EQ(place[expected.size()], 0xEE) << "wrote past the pairs";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexTextToBytesTest,
    ::testing::Values(HexCase{"", {}}, HexCase{"E1 08 01 ", {0xE1, 0x08, 0x01}},
                      HexCase{"e1-08-01", {0xE1, 0x08, 0x01}}, HexCase{"e10801", {0xE1, 0x08, 0x01}},
                      HexCase{"E1:08:01", {0xE1, 0x08, 0x01}}, HexCase{"_e1__08", {0xE1, 0x08}},
                      // a character that is no hex digit counts 16
                      HexCase{"zz", {0x10}}, HexCase{"1z", {0x20}}, HexCase{"z1", {0x01}},
                      // a line break is not skipped: first of a pair adds nothing, second adds 16
                      HexCase{"\n5", {0x05}}, HexCase{"5\n", {0x60}},
                      // a single character left at the end is ignored
                      HexCase{"E1 0", {0xE1}}, HexCase{"E", {}},
                      // separators are skipped only where a pair begins; the second character is unexamined
                      HexCase{"1 2", {0x20}}, HexCase{"1-", {0x20}}, HexCase{"  12", {0x12}}));

TEST(HexTextToBytes, CountsAllPairsButStoresOnlyWhatFits) {
    std::uint8_t place[2] = {};
    EXPECT_EQ(HexTextToBytes("01 02 03 04", place), 4u);
    EXPECT_EQ(place[0], 0x01);
    EXPECT_EQ(place[1], 0x02);
}

TEST(BytesToHexText, UpperCaseDigitsEachFollowedByABlank) {
    EXPECT_EQ(BytesToHexText(std::vector<std::uint8_t>{0xE1, 0x08, 0x01}), "E1 08 01 ");
    EXPECT_EQ(BytesToHexText(std::vector<std::uint8_t>{0x00, 0xab, 0xFF}), "00 AB FF ");
    EXPECT_EQ(BytesToHexText({}), "");
}

}  // namespace
}  // namespace tavrel
