#pragma once

#include <span>
#include <string>

#include "cli/gadget_commands.h"

namespace tavrel {

// Whether send's arguments name a remote server (--to).
bool SendsToRemote(std::span<const std::string> args);

// tavrel-cli send --to HOST[:PORT] [--keys FILE --identity NAME] [--encoding utf8|gbk]
// [--timeout MS] [LINE...]: sends the lines (or standard input's) to a remote window or serve, one
// per 10 ms; `args` begin after the word "send". Gives 0 when every line was sent and, over DTLS,
// answered "queued"; 1 when a line was refused, unanswered or not sent, or the handshake failed;
// 2 for bad arguments.
int RunRemoteSend(std::span<const std::string> args, const CliStreams& io);

}  // namespace tavrel
