#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrel {

// Notices a sender can cause as fast as it sends (a datagram too long, refused, unreadable, ...),
// counted per kind and sender and said at most once a second for each pair, whatever else
// arrives: the first at once, what follows within the second as one count when the second is
// over. The first 64 senders are named; any more are summed per kind as kOtherSenders while every
// named one still has counts held back.
class NoticeTally {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static constexpr std::size_t kKinds = 12;  // a kind is 0 to kKinds - 1
    static constexpr std::size_t kNamedSenders = 64;
    static constexpr std::chrono::seconds kInterval{1};
    static constexpr const char* kOtherSenders = "other senders";

    struct Notice {
        std::size_t kind = 0;
        std::string sender;  // kOtherSenders for the sum of the rest
        std::size_t count = 0;
        std::string detail;  // the last detail counted with it (an identity, a reason), if any
        bool operator==(const Notice&) const = default;
    };

    // Counts one notice of `kind` caused by `sender`, with what it is about (`detail`, kept until
    // said: the last one counted is said); gives it to say now when one is due.
    std::optional<Notice> Count(std::size_t kind, const std::string& sender, TimePoint now,
                                const std::string& detail = {});
    // The counts held back whose second is over by `now`.
    std::vector<Notice> TakeDue(TimePoint now) { return Take(now); }
    // When the earliest count held back is due; none while nothing is held back.
    std::optional<TimePoint> NextDue() const;
    // Every count held back, due or not (when the server stops).
    std::vector<Notice> TakeAll() { return Take(std::nullopt); }

private:
    struct Entry {
        std::size_t count = 0;  // since the last notice
        std::optional<TimePoint> lastSaid;
        std::string detail;
    };
    using Entries = std::array<Entry, kKinds>;

    // With `now`, the counts due by then; without, every count.
    std::vector<Notice> Take(std::optional<TimePoint> now);
    static std::optional<Notice> TakeIfDue(std::size_t kind, const std::string& sender, Entry& entry,
                                           std::optional<TimePoint> now);
    Entries* EntriesFor(const std::string& sender, TimePoint now);

    std::map<std::string, Entries> m_senders;
    Entries m_others;
};

}  // namespace tavrel
