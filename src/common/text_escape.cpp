#include "common/text_escape.h"

#include "common/gbk_text.h"
#include "common/hex_text.h"

namespace tavrel {

std::string EscapeControlCharacters(std::string_view utf8) {
    std::string escaped;
    escaped.reserve(utf8.size());
    const auto hex = [&](unsigned char byte) { AppendHexEscape(escaped, byte); };
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte == '\t') {
            escaped += "\\t";
        } else if (byte == '\n') {
            escaped += "\\n";
        } else if (byte == '\\') {
            escaped += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F) {
            hex(byte);
        } else if (byte == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
            hex(static_cast<unsigned char>(utf8[++i]));  // U+0080 to U+009F
        } else {
            escaped += utf8[i];
        }
    }
    return escaped;
}

std::string QuoteText(std::string_view utf8, std::size_t maxCharacters) {
    std::size_t characters = 0;
    int expected = 0;  // continuation bytes the character being read still takes
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        // A continuation byte belongs to the character its lead byte began; any other byte, one
        // that is no UTF-8 included, begins a character of its own.
        if ((byte & 0xC0) == 0x80 && expected > 0) {
            --expected;
            continue;
        }
        expected = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
        if (characters++ == maxCharacters) return EscapeControlCharacters(utf8.substr(0, i)) + "…";
    }
    return EscapeControlCharacters(utf8);
}

}  // namespace tavrel

namespace tavrel {

std::string EscapeControlBytes(std::string_view gbk) {
    std::string escaped;
    escaped.reserve(gbk.size());
    const auto hex = [&](unsigned char byte) { AppendHexEscape(escaped, byte); };
    for (std::size_t i = 0; i < gbk.size(); ++i) {
        const auto byte = static_cast<unsigned char>(gbk[i]);
        if (byte >= 0x80) {
            // A lead byte and its trail byte pass whole, even when the trail is a backslash or an
            // ASCII letter. Any other byte above ASCII stands alone and is shown as hex: left raw,
            // a lone lead byte would take the backslash of the escape after it as its trail byte
            // and hide that escape in a Chinese character.
            if (GbkCharLength(gbk, i) == 2) {
                escaped += gbk.substr(i++, 2);
            } else {
                hex(byte);
            }
        } else if (byte == '\\') {
            escaped += "\\\\";
        } else if (byte >= 0x20 && byte != 0x7F) {
            escaped += static_cast<char>(byte);
        } else if (byte == '\r') {
            escaped += "\\r";
        } else if (byte == '\n') {
            escaped += "\\n";
        } else if (byte == '\t') {
            escaped += "\\t";
        } else {
            hex(byte);
        }
    }
    return escaped;
}

std::string EscapeToPrintableAscii(std::string_view bytes) {
    std::string escaped;
    escaped.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            escaped += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            escaped.push_back(c);
        } else {
            AppendHexEscape(escaped, byte);
        }
    }
    return escaped;
}

}  // namespace tavrel
