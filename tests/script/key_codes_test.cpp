#include "script/key_codes.h"

#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::LogCollector;
using test::Utf8ToGbk;

// The usage the keyboard line uses: a named key first, else one character.
std::uint8_t LookUp(std::string_view utf8KeyText) {
    LogCollector log;
    const std::string keyText = Utf8ToGbk(utf8KeyText);
    const std::uint8_t named = KeyNameToUsage(keyText, log);
    return named != kNoKeyUsage ? named : CharToUsage(keyText, log);
}

TEST(KeyNameToUsage, EveryNameAndAlias) {
    const std::pair<const char*, int> cases[] = {
        {"enter", 0x28},
        {"回车", 0x28},
        {"esc", 0x29},
        {"del", 0x4C},
        {"delete", 0x4C},
        {"backspace", 0x2A},
        {"退格", 0x2A},
        {"insert", 0x49},
        {"插入", 0x49},
        {"home", 0x4A},
        {"end", 0x4D},
        {"prnsc", 0x46},
        {"截屏", 0x46},
        {"power", 0x66},
        {"电源", 0x66},
        {"space", 0x2C},
        {"空格", 0x2C},
        {"tab", 0x2B},
        {"pageup", 0x4B},
        {"pgup", 0x4B},
        {"向上翻页", 0x4B},
        {"pagedown", 0x4E},
        {"pgdn", 0x4E},
        {"向下翻页", 0x4E},
        {"左", 0x50},
        {"left", 0x50},
        {"右", 0x4F},
        {"right", 0x4F},
        {"上", 0x52},
        {"up", 0x52},
        {"下", 0x51},
        {"down", 0x51},
        {"f12", 0x45},
        {"f11", 0x44},
        {"f10", 0x43},
        {"f9", 0x42},
        {"f8", 0x41},
        {"f7", 0x40},
        {"f6", 0x3F},
        {"f5", 0x3E},
        {"f4", 0x3D},
        {"f3", 0x3C},
        {"f2", 0x3B},
        {"f1", 0x3A},
        {"=", 0x2E},
        {"-", 0x2D},
        {"hid04", 0x04},
        {"hid4", 0x04},
        {"ctrl+hid2c", 0x2C},
        {"hid 2c", 0x2C},
        {"hidx hid 05", 0x05},
        {"hidzz", 0x10},
        {"HIDE1", 0xE1},
        {"a", 0xFF},
        {"", 0xFF},
        // no byte from the raw form: no key
        {"hid", 0xFF},
        {"ab hid", 0xFF},
        {"hid:4", 0xFF},
    };
    for (const auto& [text, usage] : cases) {
        LogCollector log;
        EXPECT_EQ(KeyNameToUsage(Utf8ToGbk(text), log), usage) << text;
    }
}

TEST(KeyNameToUsage, TestOrderDecides) {
    const std::pair<const char*, int> cases[] = {
        {"ctrl+alt+delete", 0x4C},  // test 3
        {"bdelay1秒", 0x05},        // "del" refused because of "delay"; then the first character
        {"ctrl+shift+deldelay2", 0x07},
        {"cup", 0x52},      // contains "up"
        {"f15", 0x3A},      // contains "f1"
        {"backend", 0x4D},  // contains "end"
        {"ESC", 0x29},
        {"Enter", 0x28},
        {"PgUp", 0x4B},
        {"A", 0x04},  // lowered; no Shift
        {"+", 0xFF},
        {"ctrl+", 0xFF},
        {"shift+=", 0x2E},  // test 30 before the "+" rule
        {"", 0xFF},
        {"hidzz", 0x10},
        {"backspace", 0x2A},  // not "space"
        {"pageup", 0x4B},     // not "up"
        {"enter", 0x28},      // not "end"
        {"f1", 0x3A},
    };
    for (const auto& [text, usage] : cases) {
        EXPECT_EQ(LookUp(text), usage) << text;
    }
}

TEST(KeyNameToUsage, TracesTheDisplayNameAndTheLoweredText) {
    LogCollector log(/*tracing=*/true);
    KeyNameToUsage("Ctrl+Hid2C", log);
    EXPECT_THAT(log.lines(), ::testing::ElementsAre("hid:0x2C", "=====ctrl+hid2c"));
    log.Clear();
    KeyNameToUsage("x", log);
    EXPECT_THAT(log.Utf8Lines(), ::testing::ElementsAre("非特殊按键", "", "=====x"));
    LogCollector silent(false);
    KeyNameToUsage("enter", silent);
    EXPECT_TRUE(silent.lines().empty());
}

TEST(CharToUsage, EveryCharacterOfTheTable) {
    std::map<int, int> table = {
        {'\n', 0x28}, {' ', 0x2C},  {'!', 0x1E}, {'"', 0x34},  {'#', 0x20}, {'$', 0xA1}, {'%', 0x22},
        {'&', 0x24},  {'\'', 0x34}, {'(', 0x26}, {')', 0x27},  {'*', 0x25}, {',', 0x36}, {'-', 0x2D},
        {'.', 0x37},  {'/', 0x38},  {':', 0x33}, {';', 0x33},  {'<', 0x36}, {'=', 0x2E}, {'>', 0x37},
        {'?', 0xB8},  {'@', 0x1F},  {'[', 0x2F}, {'\\', 0x31}, {']', 0x30}, {'^', 0x23}, {'_', 0x2D},
        {'`', 0x35},  {'{', 0xAF},  {'}', 0xB0}, {'0', 0x27},
    };
    for (int c = 'a'; c <= 'z'; ++c) {
        table[c] = 0x04 + (c - 'a');
        table[c - 'a' + 'A'] = 0x04 + (c - 'a');  // lowered first
    }
    for (int c = '1'; c <= '9'; ++c) {
        table[c] = 0x1E + (c - '1');
    }
    for (int c = 0; c < 256; ++c) {
        if (c == '+') {
            continue;  // a lone "+" has no character after it
        }
        const auto found = table.find(c);
        const int expected = found != table.end() ? found->second : 0xFF;
        LogCollector log;
        EXPECT_EQ(CharToUsage(std::string(1, static_cast<char>(c)), log), expected) << "character " << c;
    }
}

TEST(CharToUsage, TakesTheCharacterAfterTheLastPlusElseTheFirst) {
    LogCollector log(/*tracing=*/true);
    EXPECT_EQ(CharToUsage("ctrl+alt+x", log), 0x1B);
    EXPECT_EQ(CharToUsage("xyz", log), 0x1B);
    EXPECT_EQ(CharToUsage("a+", log), 0xFF);
    EXPECT_EQ(CharToUsage("", log), 0xFF);
    EXPECT_EQ(CharToUsage(Utf8ToGbk("中"), log), 0xFF);
    EXPECT_THAT(log.Utf8Lines(), ::testing::Contains("输入按键：x"));
}

}  // namespace
}  // namespace tavrel
