#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// A dotted IPv4 address ("192.168.1.20") as a number in host order; none for any other text.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);

// The senders a server takes datagrams from: IPv4 networks given as ADDRESS or ADDRESS/BITS.
class SenderAllowList {
public:
    // Adds "ADDRESS" or "ADDRESS/BITS" (0 to 32); false for any other text.
    bool Add(std::string_view text);
    bool Empty() const { return m_rules.empty(); }
    // Whether a sender (as the socket names it, "127.0.0.1" or "::ffff:127.0.0.1") may send; every
    // sender may while the list is empty, none whose address is no IPv4 address otherwise.
    bool Allows(std::string_view sender) const;

private:
    struct Rule {
        std::uint32_t network = 0;
        std::uint32_t mask = 0;
    };
    std::vector<Rule> m_rules;
};

// Counts refused datagrams per sender and says so at most once a second per sender: the first
// 64 senders by name, any more summed as "other senders".
class RefusalTally {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static constexpr std::size_t kNamedSenders = 64;
    static constexpr std::chrono::seconds kReportInterval{1};

    // Counts one datagram from `sender`; gives the line to log now, if one is due.
    std::optional<std::string> Refuse(const std::string& sender, TimePoint now);
    // The lines of counts held back that are due by `now` (their sender's last line is a second
    // old).
    std::vector<std::string> TakeDue(TimePoint now);
    // Whether counts are held back, and so TakeDue has something to say later.
    bool Pending() const;

private:
    struct Count {
        std::size_t refused = 0;  // since the last line
        std::optional<TimePoint> lastReport;
    };
    static std::optional<std::string> ReportIfDue(const std::string& name, Count& count, TimePoint now);
    Count* CountFor(const std::string& sender, TimePoint now);

    std::map<std::string, Count> m_senders;
    Count m_others;
};

}  // namespace tavrel
