#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// Value of one hex digit: 0 to 15, or 16 for any character that is no hex digit.
std::uint8_t HexDigitValue(char c);

// Reads hex pairs from `text` into `place` and gives the number of bytes the text holds.
// One blank, '-', '_' or ':' is skipped where a pair would begin; any other character starts a
// pair whose second character is taken unexamined, so "zz" gives 0x10. A single character left
// at the end is ignored. Only the first place.size() bytes are stored; the count is of all pairs.
std::size_t HexTextToBytes(std::string_view text, std::span<std::uint8_t> place);

// Every byte the text holds, by the rules above.
std::vector<std::uint8_t> HexTextToBytes(std::string_view text);

// Appends `byte` as two upper-case hex digits: 0x5A -> "5A". Every hex text of the tool is
// written with this.
void AppendHexPair(std::string& text, std::uint8_t byte);
// Appends `byte` as the escape the tool's texts show a byte in: 0x1B -> "\x1B".
void AppendHexEscape(std::string& text, std::uint8_t byte);

// Each byte as two upper-case hex digits followed by one blank: E1 08 01 -> "E1 08 01 ".
std::string BytesToHexText(std::span<const std::uint8_t> bytes);

}  // namespace tavrel
