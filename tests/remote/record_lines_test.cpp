#include "remote/record_lines.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_collector.h"

namespace tavrel {
namespace {

using ::testing::ElementsAreArray;

TEST(RecordLines, SplitsAtLineFeedsDroppingACarriageReturnBeforeOneAndCutsAtAZeroByte) {
    struct Case {
        std::string record;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"A", {"A"}},
        {"A\n", {"A"}},
        {"A\r\nB", {"A", "B"}},
        {"A\n\nB\n", {"A", "", "B"}},
        {"\n", {""}},
        {"A\r", {"A\r"}},
        {std::string("A\0B\nC", 5), {"A", "C"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines;
        for (const std::string_view line : SplitRecordLines(c.record))
            lines.emplace_back(line);
        EXPECT_THAT(lines, ElementsAreArray(c.lines)) << c.record;
    }
}

TEST(RecordLines, LinesBecomeGbkAndARecordWithABadLineIsRefusedWhole) {
    const auto good = RecordToGbkLines("按键：A\n延时：10毫秒", 2048);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(good));
    EXPECT_THAT(std::get<std::vector<std::string>>(good),
                ElementsAreArray({test::Utf8ToGbk("按键：A"), test::Utf8ToGbk("延时：10毫秒")}));

    struct Case {
        std::string record;
        RecordRefusal::Kind kind;
        std::string reason;
    };
    const Case cases[] = {
        {"按键：A\n\xFF\xFE", RecordRefusal::Kind::NotUtf8, "not valid UTF-8"},
        {"按键：A\n\xF0\x9F\x98\x80", RecordRefusal::Kind::NotGbk, "holds a character GBK cannot represent"},
        {"按键：A\n" + std::string(2049, 'a'), RecordRefusal::Kind::LineTooLong, "line too long"},
        {std::string(2047, 'a') + "汉", RecordRefusal::Kind::LineTooLong, "line too long"},
    };
    for (const Case& c : cases) {
        const auto refused = RecordToGbkLines(c.record, 2048);
        ASSERT_TRUE(std::holds_alternative<RecordRefusal>(refused)) << c.record.substr(0, 20);
        EXPECT_EQ(std::get<RecordRefusal>(refused).kind, c.kind);
        EXPECT_EQ(std::get<RecordRefusal>(refused).reason, c.reason);
    }
    // 2048 bytes of GBK fit, whatever the UTF-8 took.
    const auto fits = RecordToGbkLines(std::string(2046, 'a') + "汉", 2048);
    EXPECT_TRUE(std::holds_alternative<std::vector<std::string>>(fits));
}

}  // namespace
}  // namespace tavrel
