#pragma once

#include <iosfwd>
#include <stdexcept>

namespace tavrel {

// tavrel-cli's exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;  // bad arguments or unreadable input

// Bad arguments or unreadable input; every command reports it the same way, with kExitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes "tavrel-cli: <what>" and the pointer to --help; gives kExitUsage.
int ReportUsageError(std::ostream& err, const UsageError& error);

}  // namespace tavrel
