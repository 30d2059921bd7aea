#include "commands/data_flash_input.h"

#include <algorithm>

#include "commands/flash_block.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "common/text_escape.h"

namespace tavrel {

namespace {

bool IsHexDigit(char c) {
    return HexDigitValue(c) < 16;
}

bool IsHexTextCharacter(char c) {
    return IsHexDigit(c) || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

DataFlashInput Refused(std::string error) {
    return {{}, std::move(error)};
}

DataFlashInput ParseHexText(std::string_view content, std::string_view name) {
    std::vector<std::uint8_t> bytes;
    const std::vector<std::string> lines = SplitLines(content);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::string_view rest = lines[n];
        bool lineStart = true;
        while (true) {
            const std::size_t begin = rest.find_first_not_of(" \t\r");
            if (begin == std::string_view::npos) break;
            rest.remove_prefix(begin);
            const std::size_t end = std::min(rest.find_first_of(" \t\r"), rest.size());
            const std::string_view word = rest.substr(0, end);
            rest.remove_prefix(end);
            if (lineStart && (word.starts_with("0x") || word.starts_with("0X"))) {
                lineStart = false;
                continue;  // a row offset
            }
            lineStart = false;
            if (word.size() % 2 != 0 || !std::all_of(word.begin(), word.end(), IsHexDigit)) {
                return Refused(std::string(name) + ", line " + std::to_string(n + 1) + ": '" +
                               QuoteText(word) + "' is not hex bytes");
            }
            const std::vector<std::uint8_t> parsed = HexTextToBytes(word);
            bytes.insert(bytes.end(), parsed.begin(), parsed.end());
        }
    }
    if (bytes.size() != kDataFlashSize) {
        return Refused(std::string(name) + " gives " + std::to_string(bytes.size()) +
                       " bytes; the data flash takes exactly 128 (raw, or as hex text)");
    }
    return {std::move(bytes), {}};
}

}  // namespace

DataFlashInput ParseDataFlashInput(std::string_view content, DataFlashInputForm form, std::string_view name) {
    const bool rawSize = content.size() == kDataFlashSize;
    if (form == DataFlashInputForm::Raw) {
        if (!rawSize) {
            return Refused(std::string(name) + " holds " + std::to_string(content.size()) +
                           " bytes; --raw takes exactly 128");
        }
    } else if (form == DataFlashInputForm::Hex || !rawSize) {
        return ParseHexText(content, name);
    } else if (std::all_of(content.begin(), content.end(), IsHexTextCharacter)) {
        return Refused(std::string(name) + " could be raw bytes or hex text: give --raw or --hex");
    }
    return {{content.begin(), content.end()}, {}};
}

}  // namespace tavrel
