#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>

namespace tavrel {

// tavrel-cli's exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;  // bad arguments or unreadable input
inline constexpr int kExitInUse = 4;  // --sim-state FILE is held by another process

// Bad arguments or unreadable input; every command reports it the same way, with kExitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int kExitFailed = 1;    // failed on at least one gadget
inline constexpr int kExitNoGadget = 3;  // no gadget present, or none of those selected can be used

// Where a command reads and writes. Progress goes to `err` only when it is a terminal.
struct CliStreams {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;
    int errFd = -1;     // the descriptor behind `err`, for logs written off the event thread; -1: none
    bool json = false;  // --json: `out` holds JSON Lines only, errors included
};

// Writes "tavrel-cli: <what>" and the pointer to --help to standard error (and, with --json, the
// error object to standard output); gives kExitUsage.
int ReportUsageError(const CliStreams& io, const UsageError& error);

// An error that ends the run: "tavrel-cli: <message>" on standard error and, with --json, the
// object {"error": message, "status": status} on standard output; gives `status`.
int ReportRunError(const CliStreams& io, int status, const std::string& message);

// Why a --sim-state file could not be taken, written as the status asks (kExitUsage: as a usage
// error; kExitInUse: the message alone); gives the status.
int ReportSimStateError(const CliStreams& io, int status, const std::string& message);

}  // namespace tavrel
