#include "gadget/gadget_exchange.h"

#include <utility>

namespace tavrel {

GadgetExchange::GadgetExchange(GadgetLink& link, std::optional<GadgetId> target)
    : m_link(link), m_target(std::move(target)) {
    m_replyTimer.setSingleShot(true);
    // The wait's bound passed without an answer: the exchange stops, and says nothing.
    connect(&m_replyTimer, &QTimer::timeout, this, [this] { Finish(Outcome::TimedOut); });
}

GadgetExchange::~GadgetExchange() = default;

void GadgetExchange::StartExchange() {
    Begin();
}

bool GadgetExchange::Send(const CommandPacket& packet) {
    if (!Running()) return false;
    if (!m_link.SendPacketTo(m_target, packet)) {
        Finish(Outcome::GadgetGone);
        return false;
    }
    return true;
}

void GadgetExchange::WaitForReply() {
    if (!Running()) return;
    if (!m_target) {
        Finish(Outcome::TimedOut);  // nothing selected: nothing will ever answer
        return;
    }
    if (m_replied) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (Running()) OnReply();
            },
            Qt::QueuedConnection);
        return;
    }
    m_waiting = true;
    m_replyTimer.start(m_link.ReplyWaitMs());
}

void GadgetExchange::ReportArrived() {
    m_replied = true;
    if (!Running() || !m_waiting) return;
    m_waiting = false;
    m_replyTimer.stop();
    OnReply();
}

void GadgetExchange::After(int ms, void (GadgetExchange::*step)()) {
    QTimer::singleShot(ms, this, [this, step] {
        if (Running()) (this->*step)();
    });
}

void GadgetExchange::Finish(Outcome outcome) {
    if (!Running()) return;
    m_outcome = outcome;
    m_waiting = false;
    m_replyTimer.stop();
    emit finished(outcome);
    m_link.Finished(this);
}

PacketSequence::PacketSequence(GadgetLink& link, std::optional<GadgetId> target,
                               std::vector<CommandPacket> packets)
    : GadgetExchange(link, std::move(target)), m_packets(std::move(packets)) {}

void PacketSequence::Begin() {
    SendNext();
}

void PacketSequence::SendNext() {
    if (m_sent == m_packets.size()) {
        Finish(Outcome::Done);
        return;
    }
    if (!Send(m_packets[m_sent])) return;
    ++m_sent;
    WaitForReply();
}

void PacketSequence::OnReply() {
    ++m_answered;
    SendNext();
}

}  // namespace tavrel
