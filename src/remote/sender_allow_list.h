#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tavrel {

// A dotted IPv4 address ("192.168.1.20") as a number in host order; none for any other text.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);

// An address a server may bind to: a dotted IPv4 address that is neither the broadcast address
// 255.255.255.255 nor a multicast one (224.0.0.0/4). 0.0.0.0 is every local address.
std::optional<std::uint32_t> ParseBindAddress(std::string_view text);

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

}  // namespace tavrel
