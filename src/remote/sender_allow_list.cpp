#include "cli/serve_allow_list.h"

#include <charconv>

#include <arpa/inet.h>

namespace tavrel {

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
    // inet_pton takes exactly four decimal parts, unlike inet_aton's "127.1" and octal forms.
    const std::string copy(text);
    in_addr address{};
    if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
    return ntohl(address.s_addr);
}

bool SenderAllowList::Add(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::optional<std::uint32_t> address = ParseIpv4(text.substr(0, slash));
    if (!address) return false;
    int bits = 32;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || bits < 0 ||
            bits > 32)
            return false;
    }
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    m_rules.push_back({*address & mask, mask});
    return true;
}

bool SenderAllowList::Allows(std::string_view sender) const {
    if (m_rules.empty()) return true;
    constexpr std::string_view kMapped = "::ffff:";
    if (sender.substr(0, kMapped.size()) == kMapped) sender.remove_prefix(kMapped.size());
    const std::optional<std::uint32_t> address = ParseIpv4(sender);
    if (!address) return false;
    for (const Rule& rule : m_rules) {
        if ((*address & rule.mask) == rule.network) return true;
    }
    return false;
}

std::optional<std::string> RefusalTally::ReportIfDue(const std::string& name, Count& count, TimePoint now) {
    if (count.refused == 0) return std::nullopt;
    if (count.lastReport && now - *count.lastReport < kReportInterval) return std::nullopt;
    std::string line = "refused " + std::to_string(count.refused) +
                       (count.refused == 1 ? " datagram" : " datagrams") + " from " + name;
    count.refused = 0;
    count.lastReport = now;
    return line;
}

RefusalTally::Count* RefusalTally::CountFor(const std::string& sender, TimePoint now) {
    if (const auto found = m_senders.find(sender); found != m_senders.end()) return &found->second;
    if (m_senders.size() >= kNamedSenders) {
        // A sender that has been quiet for a second has nothing held back: its place can go.
        for (auto it = m_senders.begin(); it != m_senders.end(); ++it) {
            const Count& count = it->second;
            if (count.refused == 0 && (!count.lastReport || now - *count.lastReport >= kReportInterval)) {
                m_senders.erase(it);
                break;
            }
        }
    }
    if (m_senders.size() >= kNamedSenders) return nullptr;
    return &m_senders[sender];
}

std::optional<std::string> RefusalTally::Refuse(const std::string& sender, TimePoint now) {
    Count* count = CountFor(sender, now);
    if (count == nullptr) {
        ++m_others.refused;
        return ReportIfDue("other senders", m_others, now);
    }
    ++count->refused;
    return ReportIfDue(sender, *count, now);
}

std::vector<std::string> RefusalTally::TakeDue(TimePoint now) {
    std::vector<std::string> lines;
    for (auto& [sender, count] : m_senders) {
        if (auto line = ReportIfDue(sender, count, now)) lines.push_back(std::move(*line));
    }
    if (auto line = ReportIfDue("other senders", m_others, now)) lines.push_back(std::move(*line));
    return lines;
}

bool RefusalTally::Pending() const {
    if (m_others.refused > 0) return true;
    for (const auto& [sender, count] : m_senders) {
        if (count.refused > 0) return true;
    }
    return false;
}

}  // namespace tavrel
