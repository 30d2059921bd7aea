#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "commands/command_packet.h"
#include "gadget/gadget_link.h"

namespace tavrel {

// A packet to every gadget of a served set at once, without waiting for answers: the fan-out of a
// server that plays each line on all its gadgets. A gadget whose write fails is told of once (a
// gadget that keeps failing would otherwise be told of at every line), until a write to it works
// again or it leaves the set; an unplugged one is not told of, as the device change that follows
// says it is gone.
class BroadcastPacketSink : public PacketSink {
public:
    using WriteFailed = std::function<void(const GadgetId& gadget, const std::string& reason)>;

    BroadcastPacketSink(GadgetLink& link, WriteFailed writeFailed)
        : m_link(link), m_writeFailed(std::move(writeFailed)) {}

    // The gadgets served from now on.
    void SetServed(std::vector<GadgetId> served);
    const std::vector<GadgetId>& Served() const { return m_served; }

    void SendPacket(const CommandPacket& packet) override;
    using PacketSink::SendPacket;
    // Every write a gadget refused (an unplugged one's included), told of or not.
    std::uint64_t WriteFailures() const { return m_writeFailures; }

private:
    GadgetLink& m_link;
    WriteFailed m_writeFailed;
    std::vector<GadgetId> m_served;
    std::vector<GadgetId> m_failing;  // told of, until a write works again
    std::uint64_t m_writeFailures = 0;
};

}  // namespace tavrel
