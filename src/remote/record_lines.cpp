#include "remote/record_lines.h"

namespace tavrel {

std::vector<std::string_view> SplitRecordLines(std::string_view record) {
    std::vector<std::string_view> lines;
    while (!record.empty()) {
        const std::size_t end = record.find('\n');
        std::string_view line = record.substr(0, end);
        record = end == std::string_view::npos ? std::string_view() : record.substr(end + 1);
        if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line.substr(0, line.find('\0')));
    }
    return lines;
}

}  // namespace tavrel
