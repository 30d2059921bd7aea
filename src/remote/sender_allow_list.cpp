#include "remote/sender_allow_list.h"

#include <string>

#include <arpa/inet.h>

#include "common/gbk_text.h"

namespace tavrel {

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
    // inet_pton takes exactly four decimal parts, unlike inet_aton's "127.1" and octal forms.
    const std::string copy(text);
    in_addr address{};
    if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
    return ntohl(address.s_addr);
}

std::optional<std::uint32_t> ParseBindAddress(std::string_view text) {
    const std::optional<std::uint32_t> address = ParseIpv4(text);
    if (!address || *address == 0xFFFFFFFFu || (*address >> 28) == 0xE) return std::nullopt;
    return address;
}

bool SenderAllowList::Add(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::optional<std::uint32_t> address = ParseIpv4(text.substr(0, slash));
    if (!address) return false;
    std::uint32_t bits = 32;
    if (slash != std::string_view::npos) {
        // Digits only: "/-0" is a slip, and taken as /0 it would let every sender in.
        const std::optional<std::uint32_t> given = ParseDigits(text.substr(slash + 1), 32);
        if (!given) return false;
        bits = *given;
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

}  // namespace tavrel
