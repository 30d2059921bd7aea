#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_packet.h"

namespace tavrel {

// Hands packets on and keeps, for the raw keyboard report and the raw mouse report, which sender
// sent the last one and whether it still holds something down (a key or modifier; a button): a
// raw report stays in force on the machine under test until the next one of its kind.
class HeldReports : public PacketSink {
public:
    using Origin = std::uint64_t;  // 0: no one in particular (a plain datagram)

    explicit HeldReports(PacketSink& target) : m_target(target) {}

    // The sender of the packets from now on.
    void SetOrigin(Origin origin) { m_origin = origin; }
    void SendPacket(const CommandPacket& packet) override;
    void SendPacket(const CommandPacket& packet, LogSink& log) override;

    // The all-up line (GBK) for each kind whose last report holds something and came from
    // `origin`, or with none from any sender but the plain datagrams', with that sender: what must
    // be sent so that nothing stays held once the sender is gone.
    struct Release {
        Origin origin = 0;
        std::string line;
    };
    std::vector<Release> ReleasesFor(std::optional<Origin> origin) const;

private:
    struct Last {
        Origin origin = 0;
        bool holds = false;
    };
    void Note(const CommandPacket& packet);

    PacketSink& m_target;
    Origin m_origin = 0;
    Last m_keyboard;
    Last m_mouse;
};

}  // namespace tavrel
