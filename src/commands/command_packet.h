#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/log_sink.h"

namespace tavrel {

// One framed command: code, data length, checksum, a reserved 0, then the data.
class CommandPacket {
public:
    static constexpr std::size_t kHeaderSize = 4;
    // A packet must fit the 64 report bytes after the report id.
    static constexpr std::size_t kMaxDataSize = 60;

    std::uint8_t code() const { return m_bytes[0]; }
    std::uint8_t length() const { return m_bytes[1]; }
    std::uint8_t checksum() const { return m_bytes[2]; }
    std::span<const std::uint8_t> data() const { return {m_bytes.data() + kHeaderSize, length()}; }
    // The whole packet: header and data, 4 + length bytes.
    std::span<const std::uint8_t> bytes() const { return {m_bytes.data(), kHeaderSize + length()}; }

private:
    friend CommandPacket BuildCommandPacket(std::uint8_t, const std::uint8_t*, std::uint8_t);
    std::array<std::uint8_t, kHeaderSize + kMaxDataSize> m_bytes{};
};

// Checksum of a packet's data: 0 for absent data, else the sum of the bytes modulo 256 XOR 0x5E
// (so present data of length 0 gives 0x5E).
std::uint8_t PacketChecksum(const std::uint8_t* data, std::uint8_t count);

// Frames a command. With data absent the count is ignored and the packet has length 0.
// Throws std::length_error for more data than a packet holds.
CommandPacket BuildCommandPacket(std::uint8_t code, const std::uint8_t* data, std::uint8_t count);

inline CommandPacket BuildCommandPacket(std::uint8_t code) {
    return BuildCommandPacket(code, nullptr, 0);
}

// Frames a command with present data (an empty span still counts as present data).
CommandPacket BuildCommandPacket(std::uint8_t code, std::span<const std::uint8_t> data);

// Whoever puts packets on the wire: the window writes them to the selected gadget.
class PacketSink {
public:
    virtual ~PacketSink() = default;
    virtual void SendPacket(const CommandPacket& packet) = 0;
    // The same, with what the sending has to say (no gadget to send to) logged to `log`: the log
    // of the work the packet belongs to, which may hold its lines back to keep them in order.
    virtual void SendPacket(const CommandPacket& packet, LogSink& log) {
        static_cast<void>(log);
        SendPacket(packet);
    }
};

// The gadget's output report: report id 0, then up to 64 bytes, zero-filled.
inline constexpr std::size_t kOutputReportSize = 65;

// The output report that carries `bytes` (at most 64; longer input is refused with
// std::length_error): report id 0, the bytes, zeros, `length` bytes long in all (a device's own
// output report length; a shorter one cuts what does not fit). Every report the tool writes is
// framed here.
std::vector<std::uint8_t> BuildOutputReport(std::span<const std::uint8_t> bytes,
                                            std::size_t length = kOutputReportSize);

}  // namespace tavrel
