#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// `text` as a JSON string (RFC 8259), quotes included: '"', '\' and the control characters
// escaped by JSON's rules, every other valid UTF-8 character as it is, and each byte that is not
// part of valid UTF-8 as the four characters \xHH (so the JSON holds "\\xHH"), which keeps the
// result valid UTF-8 whatever `text` holds. Never cut.
std::string JsonString(std::string_view text);

// One JSON object, its members in the order they were added, written on one line.
class JsonObject {
public:
    JsonObject& Text(std::string_view key, std::string_view value);
    JsonObject& Number(std::string_view key, std::int64_t value);
    JsonObject& Bool(std::string_view key, bool value);
    JsonObject& Null(std::string_view key);
    JsonObject& Texts(std::string_view key, const std::vector<std::string>& values);
    // `json` must be a whole JSON value (another object, an array).
    JsonObject& Raw(std::string_view key, std::string_view json);

    // "{...}" without a line break.
    std::string Str() const { return m_text + "}"; }

private:
    void Key(std::string_view key);
    std::string m_text = "{";
};

}  // namespace tavrel
