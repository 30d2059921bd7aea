#include "common/hex_text.h"

namespace tavrel {

namespace {

bool IsPairSeparator(char c) {
    return c == ' ' || c == '-' || c == '_' || c == ':';
}

// Walks the pairs of `text`, handing each byte to `take`; gives the number of pairs.
template <typename Take>
std::size_t ForEachHexPair(std::string_view text, Take take) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsPairSeparator(text[i])) {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            break;
        }
        const unsigned value = 16u * HexDigitValue(text[i]) + HexDigitValue(text[i + 1]);
        take(count, static_cast<std::uint8_t>(value & 0xFFu));
        ++count;
        i += 2;
    }
    return count;
}

}  // namespace

std::uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0');
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint8_t>(c - 'A' + 10);
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint8_t>(c - 'a' + 10);
    }
    return 16;
}

std::size_t HexTextToBytes(std::string_view text, std::span<std::uint8_t> place) {
    return ForEachHexPair(text, [&](std::size_t index, std::uint8_t byte) {
        if (index < place.size()) {
            place[index] = byte;
        }
    });
}

std::vector<std::uint8_t> HexTextToBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    ForEachHexPair(text, [&](std::size_t, std::uint8_t byte) { bytes.push_back(byte); });
    return bytes;
}

void AppendHexPair(std::string& text, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
}

void AppendHexEscape(std::string& text, std::uint8_t byte) {
    text += "\\x";
    AppendHexPair(text, byte);
}

std::string BytesToHexText(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const std::uint8_t byte : bytes) {
        AppendHexPair(text, byte);
        text.push_back(' ');
    }
    return text;
}

}  // namespace tavrel
