#include "common/json_text.h"

#include "common/hex_text.h"

namespace tavrel {

namespace {

// The length of the valid UTF-8 character at `text[i]`; 0 when the bytes there are none (a stray
// continuation byte, an overlong form, a surrogate, a code point above U+10FFFF, a cut sequence).
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;  // the range of the byte after the lead
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string json;
    json.reserve(text.size() + 2);
    json += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        if (length == 0) {
            json += '\\';  // JSON's escape of the backslash that begins the text's own
            AppendHexEscape(json, byte);
            ++i;
            continue;
        }
        if (length > 1) {
            json.append(text.substr(i, length));
        } else if (byte == '"') {
            json += "\\\"";
        } else if (byte == '\\') {
            json += "\\\\";
        } else if (byte == '\n') {
            json += "\\n";
        } else if (byte == '\t') {
            json += "\\t";
        } else if (byte == '\r') {
            json += "\\r";
        } else if (byte < 0x20) {
            json += "\\u00";
            AppendHexPair(json, byte);
        } else {
            json += static_cast<char>(byte);
        }
        i += length;
    }
    json += '"';
    return json;
}

void JsonObject::Key(std::string_view key) {
    if (m_text.size() > 1) m_text += ',';
    m_text += JsonString(key);
    m_text += ':';
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view value) {
    Key(key);
    m_text += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Number(std::string_view key, std::int64_t value) {
    Key(key);
    m_text += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
    Key(key);
    m_text += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
    Key(key);
    m_text += "null";
    return *this;
}

JsonObject& JsonObject::Texts(std::string_view key, const std::vector<std::string>& values) {
    Key(key);
    m_text += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) m_text += ',';
        m_text += JsonString(values[i]);
    }
    m_text += ']';
    return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
    Key(key);
    m_text += json;
    return *this;
}

}  // namespace tavrel
