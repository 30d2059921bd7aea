#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "commands/flash_block.h"

namespace tavrel {

// Flash address of the first script chunk; chunk j goes to 32 * (j + 1).
inline constexpr std::uint16_t kScriptFlashAddress = 32;
// The most bytes a script may hold: the version record and 42 records of 3 bytes, as the compiler
// makes at most; the gadget plays no more.
inline constexpr std::size_t kMaxScriptBytes = 3 + 42 * 3;

// What the download button sends for a byte text.
struct ScriptDownload {
    std::vector<std::string> logLines;  // "无脚本", "共%d字节" or "脚本过长，...：共%d字节" (GBK)
    std::size_t byteTotal = 0;          // bytes the lines hold; decides the chunk count
    std::vector<FlashBlock> blocks;     // CMD_FLASH write blocks in sending order; empty: send nothing
    // The working bytes after parsing: the record buffer as given, each non-blank line i
    // parsed over it at offset 3 * i, widened with zeros where the text reaches further.
    std::vector<std::uint8_t> image;
};

// Plans the download of `lines` (the byte text box) over `recordBuffer` (its bytes fill the
// slots of blank lines and the tail of the last chunk). The byte total decides the chunks sent; a
// script of more than kMaxScriptBytes is refused, with a log line and no blocks.
ScriptDownload PlanScriptDownload(std::span<const std::string> lines,
                                  std::span<const std::uint8_t> recordBuffer);

}  // namespace tavrel
