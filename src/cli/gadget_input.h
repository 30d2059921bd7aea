#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "cli/gadget_options.h"
#include "commands/data_flash_input.h"
#include "commands/script_download.h"

namespace tavrel {

// What download sends for its script, compiled as `compile` does (the compile messages go to
// `err`). A script with a line that gives no record (other than blank lines and comments), or one
// with more than 42 records, is refused with a UsageError before anything is sent; the compile
// messages have said why.
ScriptDownload PrepareScriptDownload(const GadgetOptions& options, std::istream& in, std::ostream& err);

// flash write's 128 bytes from `file` ("-": `in`), read as `form` says (see ParseDataFlashInput)
// and at most 64 KiB of it; anything else is a UsageError.
std::vector<std::uint8_t> ReadDataFlashInput(const std::string& file, DataFlashInputForm form,
                                             std::istream& in);

// The data flash as the grid shows it: 16 rows of 8 bytes behind their "0x" offsets.
void PrintDataFlash(std::ostream& out, std::span<const std::uint8_t> bytes);

}  // namespace tavrel
