#include "commands/command_packet.h"

#include <algorithm>
#include <stdexcept>

namespace tavrel {

std::uint8_t PacketChecksum(const std::uint8_t* data, std::uint8_t count) {
    if (data == nullptr) {
        return 0;
    }
    std::uint8_t sum = 0;
    for (std::uint8_t i = 0; i < count; ++i) {
        sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    return static_cast<std::uint8_t>(sum ^ 0x5E);
}

CommandPacket BuildCommandPacket(std::uint8_t code, const std::uint8_t* data, std::uint8_t count) {
    if (data != nullptr && count > CommandPacket::kMaxDataSize) {
        throw std::length_error("command packet data longer than 60 bytes");
    }
    CommandPacket packet;
    packet.m_bytes[0] = code;
    packet.m_bytes[2] = PacketChecksum(data, count);
    if (data != nullptr) {
        std::copy_n(data, count, packet.m_bytes.begin() + CommandPacket::kHeaderSize);
        packet.m_bytes[1] = count;
    }
    return packet;
}

CommandPacket BuildCommandPacket(std::uint8_t code, std::span<const std::uint8_t> data) {
    static constexpr std::uint8_t kNoBytes = 0;
    if (data.size() > CommandPacket::kMaxDataSize) {
        throw std::length_error("command packet data longer than 60 bytes");
    }
    return BuildCommandPacket(code, data.empty() ? &kNoBytes : data.data(),
                              static_cast<std::uint8_t>(data.size()));
}

std::vector<std::uint8_t> BuildOutputReport(std::span<const std::uint8_t> bytes, std::size_t length) {
    if (bytes.size() > kOutputReportSize - 1) {
        throw std::length_error("output report data longer than 64 bytes");
    }
    std::vector<std::uint8_t> report(std::max(kOutputReportSize, length), 0);
    std::copy(bytes.begin(), bytes.end(), report.begin() + 1);
    report.resize(length);
    return report;
}

}  // namespace tavrel
