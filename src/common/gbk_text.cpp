#include "common/gbk_text.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

namespace tavrel {

namespace {

bool IsLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}
bool IsTrailByte(unsigned char c) {
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
}
char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool IsCSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

std::size_t GbkCharLength(std::string_view text, std::size_t at) {
    if (at + 1 < text.size() && IsLeadByte(static_cast<unsigned char>(text[at])) &&
        IsTrailByte(static_cast<unsigned char>(text[at + 1]))) {
        return 2;
    }
    return 1;
}

std::string LowerAsciiLetters(std::string_view text) {
    std::string lowered(text);
    for (std::size_t i = 0; i < lowered.size();) {
        const std::size_t length = GbkCharLength(lowered, i);
        if (length == 1) {
            lowered[i] = LowerAscii(lowered[i]);
        }
        i += length;
    }
    return lowered;
}

std::size_t FindText(std::string_view text, std::string_view pattern, std::size_t from) {
    for (std::size_t i = 0; i <= text.size();) {
        if (i >= from && text.substr(i, pattern.size()) == pattern) {
            return i;
        }
        if (i == text.size()) {
            break;
        }
        i += GbkCharLength(text, i);
    }
    return std::string_view::npos;
}

namespace {

// Replaces every occurrence of `pattern` in `matched` (a text with the same character
// boundaries as `text`), copying `text` elsewhere.
std::string ReplaceMatches(std::string_view text, std::string_view matched, std::string_view pattern,
                           std::string_view replacement) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (matched.substr(i, pattern.size()) == pattern) {
            result.append(replacement);
            i += pattern.size();
            continue;
        }
        const std::size_t length = GbkCharLength(text, i);
        result.append(text.substr(i, length));
        i += length;
    }
    return result;
}

}  // namespace

std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement) {
    if (pattern.empty() || !ContainsText(text, pattern)) {
        return std::string(text);
    }
    return ReplaceMatches(text, text, pattern, replacement);
}

std::string ReplaceAllIgnoringCase(std::string_view text, std::string_view pattern,
                                   std::string_view replacement) {
    if (pattern.empty()) {
        return std::string(text);
    }
    return ReplaceMatches(text, LowerAsciiLetters(text), LowerAsciiLetters(pattern), replacement);
}

std::string_view TrimBlanksAndControls(std::string_view text) {
    const auto isTrimmed = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!text.empty() && isTrimmed(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isTrimmed(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.emplace_back(line);
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::int32_t ReadInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude <= kMax + 1) {
            magnitude = magnitude * 10 + (text[i] - '0');
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > kMax) {
        return static_cast<std::int32_t>(kMax);
    }
    if (value < kMin) {
        return static_cast<std::int32_t>(kMin);
    }
    return static_cast<std::int32_t>(value);
}

bool ParseWholeInteger(std::string_view text, std::int32_t& value) {
    text = TrimBlanksAndControls(text);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::int64_t magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        magnitude = magnitude * 10 + (c - '0');
    }
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < std::numeric_limits<std::int32_t>::min() ||
        signedValue > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    value = static_cast<std::int32_t>(signedValue);
    return true;
}

std::optional<std::uint32_t> ParseDigits(std::string_view text, std::uint32_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

}  // namespace tavrel
