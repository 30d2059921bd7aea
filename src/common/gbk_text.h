#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Byte operations on GBK text. A lead byte (0x81-0xFE) followed by a trail byte (0x40-0xFE but
// 0x7F) is one Chinese character; every other byte stands alone. Matching only starts at
// character boundaries, so an ASCII keyword never matches the trail byte of a Chinese character
// and a Chinese keyword never straddles two characters.
namespace tavrel {

// Length in bytes (1 or 2) of the character that starts at `at`.
std::size_t GbkCharLength(std::string_view text, std::size_t at);

// The text with ASCII A-Z lowered; the bytes of Chinese characters are left alone.
std::string LowerAsciiLetters(std::string_view text);

// Position of the first occurrence of `pattern` at or after `from` that starts on a character
// boundary, or npos. An empty pattern is found at `from`.
std::size_t FindText(std::string_view text, std::string_view pattern, std::size_t from = 0);

inline bool ContainsText(std::string_view text, std::string_view pattern) {
    return FindText(text, pattern) != std::string_view::npos;
}

inline bool StartsWithText(std::string_view text, std::string_view pattern) {
    return text.substr(0, pattern.size()) == pattern;
}

// Every occurrence of `pattern` replaced.
std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);

// Every occurrence of `pattern` replaced, ASCII letter case ignored.
std::string ReplaceAllIgnoringCase(std::string_view text, std::string_view pattern,
                                   std::string_view replacement);

// The text without blanks and control characters (bytes up to 0x20) at both ends.
std::string_view TrimBlanksAndControls(std::string_view text);

// The lines of a text: split at LF, one CR before each dropped; a final line break starts no
// further line, so an empty text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

// Reads an integer the way C's atoi does: leading white space, an optional sign, decimal
// digits up to the first non-digit; no digits give 0. Out-of-range values saturate.
std::int32_t ReadInteger(std::string_view text);

// The whole text as a signed 32-bit decimal integer (an optional sign, then digits; blanks
// around it are allowed), or false when it is no such integer.
bool ParseWholeInteger(std::string_view text, std::int32_t& value);

// A number as the command line takes it: decimal digits only (no sign, no blanks), at most `max`;
// none for any other text.
std::optional<std::uint32_t> ParseDigits(std::string_view text, std::uint32_t max);

// printf-style formatting into a std::string.
[[gnu::format(printf, 1, 2)]] std::string FormatText(const char* format, ...);

}  // namespace tavrel
