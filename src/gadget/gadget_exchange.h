#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QTimer>

#include "commands/command_packet.h"
#include "commands/reply_decoder.h"
#include "gadget/gadget_link.h"

namespace tavrel {

// An exchange of several packets with one gadget, driven by that gadget's replies and timers on
// the event loop: the handler that starts it returns at once. It stays with the gadget it started
// on across device-list rebuilds, whatever is selected later; when that gadget is gone, or does
// not answer within the link's bound, it ends silently.
class GadgetExchange : public QObject {
    Q_OBJECT

public:
    // What only the link that runs an exchange may make: the key to the calls below.
    class LinkKey {
        friend class GadgetLink;
        LinkKey() = default;
    };
    // The link starts the exchange.
    void StartExchange(LinkKey);
    // The link has written a packet to the target: an answer from before does not count for it.
    void PacketWritten(LinkKey) { m_reply.reset(); }
    // A report of the target arrived (called queued, after its effects were applied).
    void ReportArrived(LinkKey, const ReplyEffects& reply);
    // The target is no longer listed: the exchange ends with GadgetGone.
    void GadgetLeft(LinkKey) { Finish(Outcome::GadgetGone); }

    // Failed: an answer came, but said the work was not done (see FailureText).
    enum class Outcome { Running, Done, TimedOut, GadgetGone, Failed };

    // Which report answers a packet. The window takes any report of the gadget, as the gadget's
    // own protocol has it; the command line, which must tell a gadget that did not do the work
    // from one that did, takes the first report carrying the packet's command code and passes over
    // the rest (events the gadget reports of its own accord).
    enum class ReplyMatch { AnyReport, SameCode };

    // `target`: the gadget to talk to; none when no gadget was selected (each packet then logs
    // "请选择设备", as a single send does).
    GadgetExchange(GadgetLink& link, std::optional<GadgetId> target);
    ~GadgetExchange() override;

    const std::optional<GadgetId>& Target() const { return m_target; }
    Outcome GetOutcome() const { return m_outcome; }
    bool Running() const { return m_outcome == Outcome::Running; }
    // Why it failed, when its outcome is Failed.
    const std::string& FailureText() const { return m_failure; }
    void SetReplyMatch(ReplyMatch match) { m_match = match; }
    // What a write the system refused does. The window, as the gadget's own tool always did, goes
    // on waiting for an answer (which times out); the command line ends the exchange at once with
    // the cause: GadgetGone for an unplugged device, else Failed with "write: " and the system's
    // words.
    void SetEndOnWriteFailure(bool ends) { m_endOnWriteFailure = ends; }

signals:
    // The exchange has ended; it is deleted once the event loop gets there.
    void finished(tavrel::GadgetExchange::Outcome outcome);

protected:
    virtual void Begin() = 0;
    // The target answered the packet awaited with WaitForReply; `reply` is what its report held.
    virtual void OnReply(const ReplyEffects& reply) { static_cast<void>(reply); }

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
    // Ends with Outcome::Failed and `reason`.
    void Fail(std::string reason);
    GadgetLink& Link() const { return m_link; }

private:
    GadgetLink& m_link;
    const std::optional<GadgetId> m_target;
    Outcome m_outcome = Outcome::Running;
    std::string m_failure;
    ReplyMatch m_match = ReplyMatch::AnyReport;
    bool m_endOnWriteFailure = false;
    std::optional<std::uint8_t> m_sentCode;  // of the last packet this exchange sent
    // The target answered since the last packet sent to it, with this.
    std::optional<ReplyEffects> m_reply;
    bool m_waiting = false;  // in WaitForReply
    QTimer m_replyTimer;
};

// Sends packets one after another, each once the gadget has answered the one before (the
// download and the data flash reads and writes). Ends silently at the first packet unanswered
// within the bound.
class PacketSequence : public GadgetExchange {
    Q_OBJECT

public:
    // Looks at the answer to packet `index`: a reason ends the sequence as Failed; none goes on.
    using AnswerCheck =
        std::function<std::optional<std::string>(std::size_t index, const ReplyEffects& reply)>;

    PacketSequence(GadgetLink& link, std::optional<GadgetId> target, std::vector<CommandPacket> packets);

    void SetAnswerCheck(AnswerCheck check) { m_check = std::move(check); }
    // Packets given so far, those already let go included.
    std::size_t PacketCount() const { return m_dropped + m_packets.size(); }

    // An open sequence takes more packets while it runs (Append) and ends only once it has been
    // closed and every packet is answered; call before it starts.
    void KeepOpen() { m_open = true; }
    void Append(CommandPacket packet);
    void Close();

    // Packets answered so far; all of them once it is Done.
    std::size_t Answered() const { return m_answered; }
    std::size_t Sent() const { return m_sent; }

signals:
    // The gadget has answered one more packet (before the answer is checked).
    void answered();

protected:
    void Begin() override;
    void OnReply(const ReplyEffects& reply) override;

private:
    void SendNext();

    std::vector<CommandPacket> m_packets;  // from packet m_dropped on
    std::size_t m_dropped = 0;             // answered packets an open sequence has let go
    AnswerCheck m_check;
    bool m_open = false;
    bool m_idle = false;  // open, with every packet so far answered
    std::size_t m_sent = 0;
    std::size_t m_answered = 0;
};

}  // namespace tavrel
