#include "hid/hid_report_descriptor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_sysfs.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::Bytes;
using test::DescriptorFromTestData;

HidReportDescriptorInfo Info(std::size_t input, std::size_t output, std::size_t feature, bool ids) {
    return {input, output, feature, ids};
}

TEST(ParseHidReportDescriptor, DescriptorsFromTestData) {
    const struct {
        const char* file;
        HidReportDescriptorInfo expected;
    } cases[] = {
        {"boot_keyboard.hex", Info(9, 2, 0, false)},
        {"boot_mouse_wheel.hex", Info(5, 0, 0, false)},
        {"vendor_64_byte.hex", Info(65, 65, 0, false)},
        {"keyboard_consumer_ids.hex", Info(9, 2, 0, true)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseHidReportDescriptor(DescriptorFromTestData(c.file)), c.expected) << c.file;
    }
}

TEST(ParseHidReportDescriptor, ItemRules) {
    const struct {
        const char* what;
        const char* descriptor;
        HidReportDescriptorInfo expected;
    } cases[] = {
        {"empty", "", Info(0, 0, 0, false)},
        {"a kind with only zero-bit items has no report", "75 08 95 00 81 02 91 02", Info(0, 0, 0, false)},
        {"feature reports", "85 03 75 08 95 04 B1 02", Info(0, 0, 5, true)},
        {"bits round up to whole bytes", "75 01 95 09 81 02", Info(3, 0, 0, false)},
        // Push keeps 8 x 4; the 16 bits in between come on top; Pop brings 8 x 4 back.
        {"push and pop", "75 08 95 04 A4 75 10 95 01 81 02 B4 81 02", Info(7, 0, 0, false)},
        {"pop restores the report id", "85 01 75 08 95 01 A4 85 02 81 02 B4 81 02 81 02",
         Info(3, 0, 0, true)},
        // Id 1 gets 8 + 16 bits from two places; id 2 has 16.
        {"one id spread over two places", "75 08 95 01 85 01 81 02 85 02 95 02 81 02 85 01 81 02",
         Info(4, 0, 0, true)},
        {"longest of several ids", "75 08 85 01 95 02 81 02 85 02 95 07 81 02 85 03 95 03 81 02 91 02",
         Info(8, 4, 0, true)},
        {"4-byte item data", "77 08 00 00 00 97 02 00 00 00 81 02", Info(3, 0, 0, false)},
        {"2-byte item data", "76 08 00 96 00 01 81 02", Info(257, 0, 0, false)},
        {"0-byte item data sets zero", "75 08 95 04 94 81 02 95 01 81 02", Info(2, 0, 0, false)},
        // The data of the long item holds what would read as Input items.
        {"long items are skipped", "75 08 95 01 FE 04 10 81 02 81 02 81 02", Info(2, 0, 0, false)},
        {"local items and collections change nothing",
         "06 00 FF 09 01 A1 01 19 01 29 05 75 08 95 02 81 02 C0", Info(3, 0, 0, false)},
        // Malformed input ends the walk and keeps what came before.
        {"pop without push", "75 08 95 02 81 02 B4 81 02", Info(3, 0, 0, false)},
        {"truncated item data", "75 08 95 01 81 02 96 40", Info(2, 0, 0, false)},
        {"truncated long item", "75 08 95 01 81 02 FE 10 00 81 02", Info(2, 0, 0, false)},
        {"long item header cut short", "75 08 95 01 81 02 FE 01", Info(2, 0, 0, false)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseHidReportDescriptor(Bytes(c.descriptor)), c.expected) << c.what;
    }
}

TEST(ParseHidReportDescriptor, HugeSizesSaturateInsteadOfWrapping) {
    // (2^32 - 1)^2 bits, four times over, does not fit 64 bits.
    std::vector<std::uint8_t> descriptor = Bytes("77 FF FF FF FF 97 FF FF FF FF");
    for (int i = 0; i < 4; ++i) {
        descriptor.push_back(0x81);
        descriptor.push_back(0x02);
    }
    const HidReportDescriptorInfo info = ParseHidReportDescriptor(descriptor);
    EXPECT_EQ(info.inputReportByteLength, std::numeric_limits<std::uint64_t>::max() / 8 + 2);
}

TEST(ParseHidReportDescriptor, DeepPushNestingIsCutOff) {
    // Thousands of Pushes, then an Input item: the walk stops at the nesting limit, well before it.
    std::vector<std::uint8_t> descriptor = Bytes("75 08 95 01");
    descriptor.insert(descriptor.end(), 5000, 0xA4);
    descriptor.push_back(0x81);
    descriptor.push_back(0x02);
    EXPECT_EQ(ParseHidReportDescriptor(descriptor), Info(0, 0, 0, false));
}

// Every cut of a real descriptor parses without reading past its end (the sanitizers watch), and a
// cut never finds more than the whole.
TEST(ParseHidReportDescriptor, EveryPrefixOfARealDescriptor) {
    const std::vector<std::uint8_t> whole = DescriptorFromTestData("keyboard_consumer_ids.hex");
    const HidReportDescriptorInfo full = ParseHidReportDescriptor(whole);
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        // A copy of exactly `size` bytes, so a read past the end is a heap overflow.
        const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        const HidReportDescriptorInfo info = ParseHidReportDescriptor(cut);
        EXPECT_LE(info.inputReportByteLength, full.inputReportByteLength) << size;
        EXPECT_LE(info.outputReportByteLength, full.outputReportByteLength) << size;
    }
}

}  // namespace
}  // namespace tavrel
