#include "remote/notice_tally.h"

#include <algorithm>

namespace tavrel {

std::optional<NoticeTally::Notice> NoticeTally::TakeIfDue(std::size_t kind, const std::string& sender,
                                                          Entry& entry, std::optional<TimePoint> now) {
    if (entry.count == 0) return std::nullopt;
    if (now && entry.lastSaid && *now - *entry.lastSaid < kInterval) return std::nullopt;
    Notice notice{kind, sender, entry.count, std::move(entry.detail)};
    entry.count = 0;
    entry.detail.clear();
    if (now) entry.lastSaid = *now;
    return notice;
}

NoticeTally::Entries* NoticeTally::EntriesFor(const std::string& sender, TimePoint now) {
    if (const auto found = m_senders.find(sender); found != m_senders.end()) return &found->second;
    if (m_senders.size() >= kNamedSenders) {
        // A sender with nothing held back and nothing said within the second can give up its place.
        const auto quiet = std::find_if(m_senders.begin(), m_senders.end(), [now](const auto& named) {
            return std::all_of(named.second.begin(), named.second.end(), [now](const Entry& entry) {
                return entry.count == 0 && (!entry.lastSaid || now - *entry.lastSaid >= kInterval);
            });
        });
        if (quiet == m_senders.end()) return nullptr;
        m_senders.erase(quiet);
    }
    return &m_senders[sender];
}

std::optional<NoticeTally::Notice> NoticeTally::Count(std::size_t kind, const std::string& sender,
                                                      TimePoint now, const std::string& detail) {
    Entries* entries = EntriesFor(sender, now);
    Entry& entry = entries != nullptr ? (*entries)[kind] : m_others[kind];
    ++entry.count;
    entry.detail = detail;
    return TakeIfDue(kind, entries != nullptr ? sender : std::string(kOtherSenders), entry, now);
}

std::vector<NoticeTally::Notice> NoticeTally::Take(std::optional<TimePoint> now) {
    std::vector<Notice> taken;
    for (auto& [sender, entries] : m_senders) {
        for (std::size_t kind = 0; kind < kKinds; ++kind) {
            if (auto notice = TakeIfDue(kind, sender, entries[kind], now))
                taken.push_back(std::move(*notice));
        }
    }
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
        if (auto notice = TakeIfDue(kind, kOtherSenders, m_others[kind], now))
            taken.push_back(std::move(*notice));
    }
    return taken;
}

std::optional<NoticeTally::TimePoint> NoticeTally::NextDue() const {
    std::optional<TimePoint> next;
    const auto consider = [&next](const Entry& entry) {
        if (entry.count == 0) return;
        // A count is held back only behind a notice said less than a second before.
        const TimePoint due = entry.lastSaid ? *entry.lastSaid + kInterval : TimePoint{};
        if (!next || due < *next) next = due;
    };
    for (const auto& [sender, entries] : m_senders)
        std::for_each(entries.begin(), entries.end(), consider);
    std::for_each(m_others.begin(), m_others.end(), consider);
    return next;
}

}  // namespace tavrel
