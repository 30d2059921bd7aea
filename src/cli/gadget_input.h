#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "cli/gadget_options.h"
#include "commands/script_download.h"

namespace tavrel {

// What download sends for its script, compiled as `compile` does (the compile messages go to
// `err`). A script with a line that gives no record (other than blank lines and comments), one
// with more than 42 records, or a version text that is no number is refused with a UsageError
// before anything is sent; the compile messages have said why.
ScriptDownload PrepareScriptDownload(const GadgetOptions& options, std::istream& in, std::ostream& err);

// flash write's 128 bytes from `file` ("-": `in`): a file of exactly 128 bytes as they are;
// anything else as hex text (pairs, blank-separated or not; a "0x.." offset starting a line, as
// PrintDataFlash writes it, is skipped) that must give exactly 128 bytes, else a UsageError.
std::vector<std::uint8_t> ReadDataFlashInput(const std::string& file, std::istream& in);

// The data flash as the grid shows it: 16 rows of 8 bytes behind their "0x" offsets.
void PrintDataFlash(std::ostream& out, std::span<const std::uint8_t> bytes);

}  // namespace tavrel
