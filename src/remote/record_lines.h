#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavrel {

// The lines of one DTLS application record: UTF-8 text, lines separated by LF, a CR before an LF
// dropped, the last line needing no LF (so "A\n" is one line and "\n" one empty line). Each line
// is cut at its first zero byte, as a datagram is.
std::vector<std::string_view> SplitRecordLines(std::string_view record);

// Why a record's lines are refused as a whole.
struct RecordRefusal {
    enum class Kind { LineTooLong, NotUtf8, NotGbk };
    Kind kind;
    std::string reason;  // "line too long", "not valid UTF-8", "holds a character GBK cannot represent"
};

// The record's lines in GBK, as the line queue takes them; refused whole when a line is no valid
// UTF-8, holds a character GBK cannot represent, or is longer than `maxLineBytes` in GBK.
std::variant<std::vector<std::string>, RecordRefusal> RecordToGbkLines(std::string_view record,
                                                                       std::size_t maxLineBytes);

}  // namespace tavrel
