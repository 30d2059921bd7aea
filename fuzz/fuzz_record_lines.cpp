// The splitting of a DTLS record into lines over arbitrary bytes. No line holds a line feed or a
// zero byte; there is one line per line feed, and one more when text follows the last; each line
// is the start of its piece of the record (cut at a zero byte, a CR before the LF dropped).

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "remote/record_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tavrel::fuzz::Check;
    const std::string_view record(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> lines = tavrel::SplitRecordLines(record);
    std::size_t feeds = 0;
    for (const char c : record)
        feeds += c == '\n' ? 1 : 0;
    const bool tail = !record.empty() && record.back() != '\n';
    Check(lines.size() == feeds + (tail ? 1 : 0));
    std::size_t at = 0;
    for (const std::string_view line : lines) {
        Check(line.find('\n') == std::string_view::npos);
        Check(line.find('\0') == std::string_view::npos);
        const std::size_t end = record.find('\n', at);
        const std::string_view piece =
            record.substr(at, end == std::string_view::npos ? record.npos : end - at);
        Check(piece.starts_with(line));
        Check(line.size() == piece.size() || piece[line.size()] == '\0' ||
              (end != std::string_view::npos && line.size() + 1 == piece.size() && piece.back() == '\r'));
        at = end == std::string_view::npos ? record.size() : end + 1;
    }
    return 0;
}
