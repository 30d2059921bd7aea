#pragma once

#include <span>
#include <string>

#include "cli/cli_status.h"

namespace tavrel {

// tavrel-cli compile [--version TEXT] [--no-autorun] [--encoding utf8|gbk] [--json] [FILE|-]: the
// script's records as byte text on standard output, the compile messages on standard error.
// `args` begin with the word "compile". Throws UsageError for bad arguments and input.
int RunCompileCommand(std::span<const std::string> args, const CliStreams& io);

// tavrel-cli list [--encoding utf8|gbk] [--json] [FILE|-]: byte text listed as log entries.
int RunListCommand(std::span<const std::string> args, const CliStreams& io);

}  // namespace tavrel
