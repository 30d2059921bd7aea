#include "gadget/broadcast_packet_sink.h"

#include <algorithm>

namespace tavrel {

void BroadcastPacketSink::SetServed(std::vector<GadgetId> served) {
    std::erase_if(m_failing, [&](const GadgetId& id) {
        return std::find(served.begin(), served.end(), id) == served.end();
    });
    m_served = std::move(served);
}

void BroadcastPacketSink::SendPacket(const CommandPacket& packet) {
    for (const GadgetId& id : m_served) {
        const GadgetLink::SendResult result = m_link.SendPacketTo(id, packet);
        if (result.status == GadgetLink::SendResult::Status::WriteFailed) ++m_writeFailures;
        if (result.status == GadgetLink::SendResult::Status::Sent) {
            std::erase(m_failing, id);
        } else if (result.status == GadgetLink::SendResult::Status::WriteFailed && !result.deviceGone &&
                   std::find(m_failing.begin(), m_failing.end(), id) == m_failing.end()) {
            m_failing.push_back(id);
            if (m_writeFailed) m_writeFailed(id, result.error);
        }
    }
}

}  // namespace tavrel
