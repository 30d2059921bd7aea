#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include <QObject>
#include <QTimer>

#include "commands/command_packet.h"
#include "gadget/gadget_link.h"

namespace tavrel {

// An exchange of several packets with one gadget, driven by that gadget's replies and timers on
// the event loop: the handler that starts it returns at once. It stays with the gadget it started
// on across device-list rebuilds, whatever is selected later; when that gadget is gone, or does
// not answer within the link's bound, it ends silently.
class GadgetExchange : public QObject {
    Q_OBJECT

public:
    enum class Outcome { Running, Done, TimedOut, GadgetGone };

    // `target`: the gadget to talk to; none when no gadget was selected (each packet then logs
    // "请选择设备", as a single send does).
    GadgetExchange(GadgetLink& link, std::optional<GadgetId> target);
    ~GadgetExchange() override;

    const std::optional<GadgetId>& Target() const { return m_target; }
    Outcome GetOutcome() const { return m_outcome; }
    bool Running() const { return m_outcome == Outcome::Running; }

signals:
    // The exchange has ended; it is deleted once the event loop gets there.
    void finished(tavrel::GadgetExchange::Outcome outcome);

protected:
    virtual void Begin() = 0;
    // The target answered the packet awaited with WaitForReply.
    virtual void OnReply() {}

    // Sends one packet to the target; false (the exchange has ended) when its gadget is gone.
    bool Send(const CommandPacket& packet);
    // Waits for the target's next report: OnReply, or the end after the link's bound.
    void WaitForReply();
    // Runs `step` after `ms` on the event loop, unless the exchange has ended by then.
    void After(int ms, void (GadgetExchange::*step)());
    template <typename Derived>
    void After(int ms, void (Derived::*step)()) {
        After(ms, static_cast<void (GadgetExchange::*)()>(step));
    }
    void Finish(Outcome outcome);
    GadgetLink& Link() const { return m_link; }

private:
    friend class GadgetLink;
    void StartExchange();
    // A report of the target arrived (called queued, after its effects were applied).
    void ReportArrived();

    GadgetLink& m_link;
    const std::optional<GadgetId> m_target;
    Outcome m_outcome = Outcome::Running;
    bool m_replied = false;  // the target answered since the last packet sent to it
    bool m_waiting = false;  // in WaitForReply
    QTimer m_replyTimer;
};

// Sends packets one after another, each once the gadget has answered the one before (the
// download and the data flash reads and writes). Ends silently at the first packet unanswered
// within the bound.
class PacketSequence : public GadgetExchange {
    Q_OBJECT

public:
    PacketSequence(GadgetLink& link, std::optional<GadgetId> target, std::vector<CommandPacket> packets);

    // Packets answered so far; all of them once it is Done.
    std::size_t Answered() const { return m_answered; }
    std::size_t Sent() const { return m_sent; }

protected:
    void Begin() override;
    void OnReply() override;

private:
    void SendNext();

    std::vector<CommandPacket> m_packets;
    std::size_t m_sent = 0;
    std::size_t m_answered = 0;
};

}  // namespace tavrel
