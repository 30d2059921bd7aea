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

void GadgetExchange::StartExchange(LinkKey) {
    Begin();
}

bool GadgetExchange::Send(const CommandPacket& packet) {
    if (!Running()) return false;
    m_sentCode = packet.bytes()[0];
    using Status = GadgetLink::SendResult::Status;
    const GadgetLink::SendResult sent = m_link.SendPacketTo(m_target, packet);
    if (sent.status == Status::NotListed || (sent.status == Status::WriteFailed && m_endOnWriteFailure)) {
        if (sent.status == Status::WriteFailed && !sent.deviceGone) {
            Fail("write: " + sent.error);
        } else {
            Finish(Outcome::GadgetGone);
        }
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
    if (m_reply) {
        QMetaObject::invokeMethod(
            this,
            [this, reply = *m_reply] {
                if (Running()) OnReply(reply);
            },
            Qt::QueuedConnection);
        return;
    }
    m_waiting = true;
    m_replyTimer.start(m_link.ReplyWaitMs());
}

void GadgetExchange::ReportArrived(LinkKey, const ReplyEffects& reply) {
    if (m_match == ReplyMatch::SameCode && (!m_sentCode || reply.replyCode != m_sentCode)) return;
    if (m_reply) return;  // the first answer since the packet went out counts
    m_reply = reply;
    if (!Running() || !m_waiting) return;
    m_waiting = false;
    m_replyTimer.stop();
    OnReply(reply);
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
    emit finished(outcome);  // the link that runs it, among others, learns of it so
}

void GadgetExchange::Fail(std::string reason) {
    if (!Running()) return;
    m_failure = std::move(reason);
    Finish(Outcome::Failed);
}

PacketSequence::PacketSequence(GadgetLink& link, std::optional<GadgetId> target,
                               std::vector<CommandPacket> packets)
    : GadgetExchange(link, std::move(target)), m_packets(std::move(packets)) {}

void PacketSequence::Begin() {
    SendNext();
}

void PacketSequence::SendNext() {
    if (m_open) {
        // Every packet sent so far has been answered: an open sequence, which may run for days,
        // lets go of them.
        m_packets.erase(m_packets.begin(),
                        m_packets.begin() + static_cast<std::ptrdiff_t>(m_sent - m_dropped));
        m_dropped = m_sent;
    }
    if (m_sent == PacketCount()) {
        if (m_open) {
            m_idle = true;
        } else {
            Finish(Outcome::Done);
        }
        return;
    }
    if (!Send(m_packets[m_sent - m_dropped])) return;
    ++m_sent;
    WaitForReply();
}

void PacketSequence::OnReply(const ReplyEffects& reply) {
    ++m_answered;
    emit answered();
    if (!Running()) return;
    if (m_check) {
        if (std::optional<std::string> failure = m_check(m_answered - 1, reply)) {
            Fail(std::move(*failure));
            return;
        }
    }
    SendNext();
}

void PacketSequence::Append(CommandPacket packet) {
    m_packets.push_back(std::move(packet));
    if (m_idle && Running()) {
        m_idle = false;
        SendNext();
    }
}

void PacketSequence::Close() {
    m_open = false;
    if (m_idle) Finish(Outcome::Done);
}

}  // namespace tavrel
