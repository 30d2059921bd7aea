#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// How an input for the data flash is to be read.
enum class DataFlashInputForm {
    Either,  // 128 bytes as they are, anything else as hex text; refused when it could be both
    Raw,     // exactly 128 bytes as they are
    Hex,     // hex text
};

// The 128 bytes an input gives, or why it gives none.
struct DataFlashInput {
    std::vector<std::uint8_t> bytes;
    std::string error;  // empty when the bytes are there
};

// Reads the data flash's 128 bytes from `content`, named `name` in errors (UTF-8, shown as it is).
// Hex text is pairs of hex digits, blank-separated or not, one line or many; a "0x.." word
// starting a line is a row offset and is skipped, so the rows a data flash read prints go back in
// as they are. 128 bytes that are all hex digits, blanks and line ends could be either raw bytes
// or hex text: Either refuses them.
DataFlashInput ParseDataFlashInput(std::string_view content, DataFlashInputForm form, std::string_view name);

}  // namespace tavrel
