#include "commands/script_download.h"

#include <cstdio>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::GbkToUtf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::string> RecordLines(std::size_t count) {
    char line[32];
    std::snprintf(line, sizeof line, "E1 %02zX 01", count - 1);
    std::vector<std::string> lines = {line};
    for (std::size_t i = 1; i < count; ++i) {
        std::snprintf(line, sizeof line, "20 %02zX 00", i);
        lines.emplace_back(line);
    }
    return lines;
}

std::uint16_t AddressOf(const FlashBlock& block) {
    return static_cast<std::uint16_t>(block[2] << 8 | block[3]);
}

std::vector<std::uint16_t> Addresses(const ScriptDownload& download) {
    std::vector<std::uint16_t> addresses;
    for (const FlashBlock& block : download.blocks)
        addresses.push_back(AddressOf(block));
    return addresses;
}

TEST(PlanScriptDownload, TenLinesGoInOneChunkTailFromTheOldBuffer) {
    std::array<std::uint8_t, 128> buffer;
    buffer.fill(0xEE);
    const ScriptDownload download = PlanScriptDownload(RecordLines(10), buffer);
    EXPECT_EQ(download.byteTotal, 30u);
    EXPECT_THAT(Addresses(download), ElementsAre(32));
    EXPECT_THAT(std::vector(download.logLines.begin(), download.logLines.end()),
                ElementsAre(test::Utf8ToGbk("共30字节")));
    const FlashBlock& block = download.blocks[0];
    EXPECT_EQ(block[0], 1) << "write";
    EXPECT_EQ(block[1], 32);
    EXPECT_EQ(block[4 + 3], 0x20);
    EXPECT_EQ(block[4 + 4], 0x01);
    EXPECT_EQ(block[4 + 30], 0xEE);
    EXPECT_EQ(block[4 + 31], 0xEE);
}

TEST(PlanScriptDownload, ChunkCountFollowsTheByteTotal) {
    const std::array<std::uint8_t, 128> buffer{};
    EXPECT_THAT(Addresses(PlanScriptDownload(RecordLines(11), buffer)), ElementsAre(32, 64));      // 33 bytes
    EXPECT_THAT(Addresses(PlanScriptDownload(RecordLines(32), buffer)), ElementsAre(32, 64, 96));  // 96 bytes
    // The longest compiled script, version record and 42 records (129 bytes), is sent whole: the
    // fifth chunk at 160 carries its last byte.
    const ScriptDownload longest = PlanScriptDownload(RecordLines(43), buffer);
    EXPECT_EQ(longest.byteTotal, 129u);
    EXPECT_THAT(Addresses(longest), ElementsAre(32, 64, 96, 128, 160));
    EXPECT_EQ(longest.blocks[4][4], 0x00) << "last byte of record 42 (20 2A 00)";
    EXPECT_EQ(longest.blocks[3][4 + 31], 0x2A);
}

TEST(PlanScriptDownload, BlankLinesKeepTheirSlotsAndCountNoBytes) {
    std::array<std::uint8_t, 128> buffer;
    buffer.fill(0xEE);
    std::vector<std::string> lines = RecordLines(11);
    lines.insert(lines.begin() + 1, "  \t");
    const ScriptDownload download = PlanScriptDownload(lines, buffer);
    EXPECT_EQ(download.byteTotal, 33u);
    EXPECT_THAT(Addresses(download), ElementsAre(32, 64)) << "the total decides, not the span of 36 bytes";
    EXPECT_EQ(download.blocks[0][4 + 3], 0xEE) << "the blank line's slot keeps the old buffer bytes";
    EXPECT_EQ(download.blocks[0][4 + 6], 0x20);
}

TEST(PlanScriptDownload, LinesLandAtThreeTimesTheirNumberWhateverTheyHold) {
    const std::array<std::uint8_t, 128> buffer{};
    const ScriptDownload download =
        PlanScriptDownload(std::vector<std::string>{"e1 02 01 ff", "20 04", "a0 02 00"}, buffer);
    EXPECT_EQ(download.byteTotal, 9u);
    // The long first line spills into slot 1, which line 1 then overwrites; line 1 is short, so
    // its third byte keeps what the spill left.
    EXPECT_THAT(std::vector(download.image.begin(), download.image.begin() + 9),
                ElementsAre(0xE1, 0x02, 0x01, 0x20, 0x04, 0x00, 0xA0, 0x02, 0x00));
    const ScriptDownload spill =
        PlanScriptDownload(std::vector<std::string>{"e1 02 01 ff 11", "20 04"}, buffer);
    EXPECT_THAT(std::vector(spill.image.begin(), spill.image.begin() + 6),
                ElementsAre(0xE1, 0x02, 0x01, 0x20, 0x04, 0x00));
    EXPECT_EQ(PlanScriptDownload(std::vector<std::string>{"E1 08 01"}, buffer).image,
              PlanScriptDownload(std::vector<std::string>{"e1 08 01"}, buffer).image);
}

TEST(PlanScriptDownload, NoBytesNoScript) {
    const std::array<std::uint8_t, 128> buffer{};
    for (const std::vector<std::string>& lines :
         {std::vector<std::string>{"", ""}, std::vector<std::string>{}, std::vector<std::string>{"x"}}) {
        const ScriptDownload download = PlanScriptDownload(lines, buffer);
        EXPECT_TRUE(download.blocks.empty());
        EXPECT_THAT(download.logLines, ElementsAre(test::Utf8ToGbk("无脚本")));
    }
}

// The version record and 42 records are the most a script holds; a byte more is refused whole,
// however the lines share the bytes out.
TEST(PlanScriptDownload, RefusesMoreThanTheVersionRecordAnd42Records) {
    const std::array<std::uint8_t, 128> buffer{};
    std::vector<std::string> fourPerLine = RecordLines(33);
    for (std::string& line : fourPerLine)
        line += " 00";
    const struct {
        const char* what;
        std::vector<std::string> lines;
        std::size_t blocks;
        const char* log;
    } cases[] = {
        {"43 lines", RecordLines(43), 5, "共129字节"},
        {"129 bytes on one line", {std::string(129 * 2, '1')}, 5, "共129字节"},
        {"44 lines", RecordLines(44), 0, "脚本过长，超出闪存地址范围：共132字节"},
        {"130 bytes on one line", {std::string(130 * 2, '1')}, 0, "脚本过长，超出闪存地址范围：共130字节"},
        {"33 lines of four bytes, each counted", fourPerLine, 0, "脚本过长，超出闪存地址范围：共132字节"},
        {"the 16-bit address space",
         {std::string(2047 * 32 * 2, '1')},
         0,
         "脚本过长，超出闪存地址范围：共65504字节"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScriptDownload download = PlanScriptDownload(c.lines, buffer);
        EXPECT_EQ(download.blocks.size(), c.blocks);
        ASSERT_EQ(download.logLines.size(), 1u);
        EXPECT_EQ(GbkToUtf8(download.logLines[0]), c.log);
    }
}

}  // namespace
}  // namespace tavrel
