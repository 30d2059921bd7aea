#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "commands/command_packet.h"

namespace tavrel::test {

// An output report as the tool writes it to the gadget.
inline std::vector<std::uint8_t> CommandReport(const CommandPacket& packet) {
    return BuildOutputReport(packet.bytes());
}

inline std::vector<std::uint8_t> CommandReport(std::uint8_t code) {
    return CommandReport(BuildCommandPacket(code));
}

inline std::vector<std::uint8_t> CommandReport(std::uint8_t code, std::span<const std::uint8_t> data) {
    return CommandReport(BuildCommandPacket(code, data));
}

}  // namespace tavrel::test
