#include "script/key_codes.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"

namespace tavrel {

namespace {

struct NamedKey {
    std::array<std::string_view, 3> names;  // any one of them names the key
    std::uint8_t usage;
    std::string_view displayName;
};

// Tested in this order: "enter" before "end", "backspace" before "space", "pageup"/"pgup"
// before "up", "f12".."f10" before "f1".
constexpr NamedKey kNamedKeys[] = {
    {{"enter", "回车"_gbk}, 0x28, "Enter"},
    {{"esc"}, 0x29, "ESC"},
    {{"del"}, 0x4C, "Del"},  // refused when the text holds "delay": see below
    {{"backspace", "退格"_gbk}, 0x2A, "Backspace"},
    {{"insert", "插入"_gbk}, 0x49, "Insert"},
    {{"home"}, 0x4A, "Home"},
    {{"end"}, 0x4D, "End"},
    {{"prnsc", "截屏"_gbk}, 0x46, "Prnsc"},
    {{"power", "电源"_gbk}, 0x66, "Power"},
    {{"space", "空格"_gbk}, 0x2C, "Space"},
    {{"tab"}, 0x2B, "TAB"},
    {{"pageup", "pgup", "向上翻页"_gbk}, 0x4B, "PgUp"},
    {{"pagedown", "pgdn", "向下翻页"_gbk}, 0x4E, "PgDn"},
    {{"左"_gbk, "left"}, 0x50, "左"_gbk},
    {{"右"_gbk, "right"}, 0x4F, "右"_gbk},
    {{"上"_gbk, "up"}, 0x52, "上"_gbk},
    {{"下"_gbk, "down"}, 0x51, "下"_gbk},
    {{"f12"}, 0x45, "F12"},
    {{"f11"}, 0x44, "F11"},
    {{"f10"}, 0x43, "F10"},
    {{"f9"}, 0x42, "F9"},
    {{"f8"}, 0x41, "F8"},
    {{"f7"}, 0x40, "F7"},
    {{"f6"}, 0x3F, "F6"},
    {{"f5"}, 0x3E, "F5"},
    {{"f4"}, 0x3D, "F4"},
    {{"f3"}, 0x3C, "F3"},
    {{"f2"}, 0x3B, "F2"},
    {{"f1"}, 0x3A, "F1"},
    {{"="}, 0x2E, "="},
    {{"-"}, 0x2D, "-"},
};

bool NamesKey(const NamedKey& key, std::string_view lowered) {
    for (const std::string_view name : key.names) {
        if (!name.empty() && ContainsText(lowered, name)) {
            return key.usage != 0x4C || !ContainsText(lowered, "delay");
        }
    }
    return false;
}

// "hid04", "hid4", "ctrl+hid2c": the hex pair after the first "hid " or else the first "hid";
// a single character after it gets a "0" in front. No byte: no key.
std::uint8_t RawUsage(std::string_view lowered) {
    std::size_t at = FindText(lowered, "hid ");
    at = at != std::string_view::npos ? at + 4 : FindText(lowered, "hid") + 3;
    std::string pair(lowered.substr(at, 2));
    if (pair.size() == 1) {
        pair.insert(pair.begin(), '0');
    }
    std::uint8_t usage = 0;
    return HexTextToBytes(pair, std::span(&usage, 1)) == 1 ? usage : kNoKeyUsage;
}

// Usages of the characters 0x00 to 0x7F; every byte from 0x80 on has none.
constexpr std::array<std::uint8_t, 128> kCharUsages = [] {
    std::array<std::uint8_t, 128> usages{};
    usages.fill(kNoKeyUsage);
    for (int c = 'a'; c <= 'z'; ++c) {
        usages[c] = static_cast<std::uint8_t>(0x04 + (c - 'a'));
    }
    for (int c = '1'; c <= '9'; ++c) {
        usages[c] = static_cast<std::uint8_t>(0x1E + (c - '1'));
    }
    usages['0'] = 0x27;
    usages['\n'] = 0x28;
    usages[' '] = 0x2C;
    usages['!'] = 0x1E;
    usages['"'] = 0x34;
    usages['#'] = 0x20;
    usages['$'] = 0xA1;
    usages['%'] = 0x22;
    usages['&'] = 0x24;
    usages['\''] = 0x34;
    usages['('] = 0x26;
    usages[')'] = 0x27;
    usages['*'] = 0x25;
    usages[','] = 0x36;
    usages['-'] = 0x2D;
    usages['.'] = 0x37;
    usages['/'] = 0x38;
    usages[':'] = 0x33;
    usages[';'] = 0x33;
    usages['<'] = 0x36;
    usages['='] = 0x2E;
    usages['>'] = 0x37;
    usages['?'] = 0xB8;
    usages['@'] = 0x1F;
    usages['['] = 0x2F;
    usages['\\'] = 0x31;
    usages[']'] = 0x30;
    usages['^'] = 0x23;
    usages['_'] = 0x2D;
    usages['`'] = 0x35;
    usages['{'] = 0xAF;
    usages['}'] = 0xB0;
    return usages;
}();

}  // namespace

std::uint8_t KeyNameToUsage(std::string_view keyText, LogSink& log) {
    const std::string lowered = LowerAsciiLetters(keyText);
    std::uint8_t usage = kNoKeyUsage;
    std::string displayName;
    if (const auto* key = std::find_if(std::begin(kNamedKeys), std::end(kNamedKeys),
                                       [&](const NamedKey& k) { return NamesKey(k, lowered); });
        key != std::end(kNamedKeys)) {
        usage = key->usage;
        displayName = key->displayName;
    } else if (ContainsText(lowered, "hid")) {
        usage = RawUsage(lowered);
        displayName = FormatText("hid:0x%02X", usage);
    } else {
        log.TraceLine("非特殊按键"_gbk);
    }
    log.TraceLine(displayName);
    log.TraceLine("=====" + lowered);
    return usage;
}

std::uint8_t CharToUsage(std::string_view keyText, LogSink& log) {
    const std::string lowered = LowerAsciiLetters(keyText);
    const std::size_t plus = lowered.rfind('+');
    const std::size_t at = plus != std::string::npos ? plus + 1 : 0;
    if (at >= lowered.size()) {
        return kNoKeyUsage;
    }
    const auto character = static_cast<unsigned char>(lowered[at]);
    log.TraceLine(std::string("输入按键："_gbk) + static_cast<char>(character));
    return character < kCharUsages.size() ? kCharUsages[character] : kNoKeyUsage;
}

}  // namespace tavrel
