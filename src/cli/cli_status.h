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

// Writes "tavrel-cli: <what>" and the pointer to --help; gives kExitUsage.
int ReportUsageError(std::ostream& err, const UsageError& error);

// Why a --sim-state file could not be taken, written as the status asks (kExitUsage: as a usage
// error; kExitInUse: the message alone); gives the status.
int ReportSimStateError(std::ostream& err, int status, const std::string& message);

}  // namespace tavrel
