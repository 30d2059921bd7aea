#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_packet.h"
#include "common/log_sink.h"

namespace tavrel::test {

// Keeps every logged line; traces are kept only when tracing is switched on, standing in for
// an attached debugger.
class LogCollector : public LogSink {
public:
    explicit LogCollector(bool tracing = false) : m_tracing(tracing) {}

    void LogLine(std::string_view text) override { m_lines.emplace_back(text); }

    // The lines as GBK bytes, and as UTF-8 for readable comparisons.
    const std::vector<std::string>& lines() const { return m_lines; }
    std::vector<std::string> Utf8Lines() const;
    void Clear() { m_lines.clear(); }

protected:
    bool DebuggerAttached() const override { return m_tracing; }

private:
    bool m_tracing;
    std::vector<std::string> m_lines;
};

// A packet as sent: its code and data.
struct SentPacket {
    std::uint8_t code = 0;
    std::vector<std::uint8_t> data;
    std::uint8_t checksum = 0;
    bool operator==(const SentPacket&) const = default;
};

class PacketCollector : public PacketSink {
public:
    void SendPacket(const CommandPacket& packet) override {
        m_packets.push_back({packet.code(), {packet.data().begin(), packet.data().end()}, packet.checksum()});
    }
    const std::vector<SentPacket>& packets() const { return m_packets; }

private:
    std::vector<SentPacket> m_packets;
};

// GBK bytes as UTF-8, and back, for tables written in readable UTF-8.
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);

// Bytes from hex text such as "E1 08 01".
std::vector<std::uint8_t> Bytes(std::string_view hex);

// A report with report id 0 (as the tool writes them and the gadget answers): the bytes of `head`,
// then zeros up to `length`.
std::vector<std::uint8_t> ReportOf(std::string_view head, std::size_t length = 65);

}  // namespace tavrel::test
