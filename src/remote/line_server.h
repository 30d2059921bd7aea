#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QHostAddress>
#include <QObject>

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "remote/held_reports.h"
#include "remote/key_file.h"
#include "remote/line_queue_driver.h"
#include "remote/notice_reporter.h"
#include "remote/sender_allow_list.h"
#include "remote/tick_timer.h"
#include "remote/udp_endpoint.h"
#include "remote/udp_line_queue.h"

namespace tavrel {

class DtlsSessions;

// Who sent a line.
struct LineOrigin {
    std::string address;  // as the socket names it
    std::uint16_t port = 0;
    std::string identity;  // the DTLS identity; empty for a plain datagram
};

// What a line server refuses, counted per sender and said at most once a second for each.
enum class LineRefusal : std::size_t {
    TooLong,            // a datagram longer than the endpoint takes
    Unreadable,         // a datagram that could not be read
    NotAllowed,         // a sender the allow list leaves out
    NotDtls,            // a datagram on a DTLS port that is no handshake of a new sender
    UnknownIdentity,    // a handshake naming an identity without a key
    WrongKey,           // a handshake whose identity is known that did not finish
    TableFull,          // a handshake with every session taken
    HandshakeFailed,    // a handshake that failed otherwise (the detail says how)
    RecordLineTooLong,  // a record of a session with a line too long (the detail: its identity)
    RecordNotUtf8,      // a record of a session that is no valid UTF-8
    RecordNotGbk,       // a record of a session with a character GBK cannot represent
};

inline constexpr std::size_t kLineRefusals = static_cast<std::size_t>(LineRefusal::RecordNotGbk) + 1;

// What a line server has done since it started, for monitoring. The lines received are run,
// dropped, refused or still waiting: those add up to them.
struct LineServerFigures {
    std::uint64_t datagrams = 0;      // datagrams read while taking lines
    std::uint64_t linesReceived = 0;  // lines of datagrams and records, refused records' included
    std::uint64_t linesRun = 0;
    std::uint64_t linesDroppedFull = 0;     // no room in the queue
    std::uint64_t linesDroppedCleared = 0;  // waiting when the server stopped taking lines
    // By LineRefusal: datagrams (TooLong to NotDtls), handshakes (UnknownIdentity to
    // HandshakeFailed), and for the record refusals the lines those records held.
    std::array<std::uint64_t, kLineRefusals> refused{};
};

// How a DTLS session ended.
enum class SessionEnd {
    Closed,   // the sender said so (close notify)
    Idle,     // no record for the idle time
    Revoked,  // its identity's key was removed or changed
    Stopped,  // the server stopped taking lines, or changed its port
};

// What a line server tells the one who runs it, who chooses the texts.
class LineServerEvents {
public:
    virtual ~LineServerEvents() = default;
    // A line (GBK, as it will run) arrived and is about to be queued.
    virtual void LineArrived(const LineOrigin& from, const std::string& line) = 0;
    // A count of refusals of `reason` caused by `sender` (an address, or NoticeTally's other
    // senders), with the last detail counted (an identity or a reason, from outside: escape it).
    virtual void Refused(LineRefusal reason, const std::string& sender, std::size_t count,
                         const std::string& detail) = 0;
    // The queue's reports (GBK): lines dropped when full, a stall.
    virtual void QueueReport(const std::string& report) = 0;
    // A line from `from` is about to run.
    virtual void LineStarting(const LineOrigin& from) { static_cast<void>(from); }
    virtual void SessionOpened(const LineOrigin& who) { static_cast<void>(who); }
    virtual void SessionClosed(const LineOrigin& who, SessionEnd why) {
        static_cast<void>(who);
        static_cast<void>(why);
    }
    // `line` (GBK) was sent because the last report of its kind came from `who`, now gone, and
    // still held something.
    virtual void Released(const LineOrigin& who, const std::string& line) {
        static_cast<void>(who);
        static_cast<void>(line);
    }
};

// A DTLS line server's limits.
struct DtlsLimits {
    std::size_t maxSessions = 64;
    std::chrono::milliseconds idle{60000};
    // A handshake whose identity was found but that has not finished by then ends as a wrong key.
    std::chrono::milliseconds handshake{10000};
};

// The server that takes script lines from the network for the window and for serve: one UDP
// endpoint, the sender filter, a decoder (plain datagrams, each one line; or DTLS with pre-shared
// keys, each record one or more UTF-8 lines), the line queue and the tick that runs its lines into
// a packet sink, and the once-a-second counts of what it refuses. Texts are the caller's: it is
// told what happens through LineServerEvents.
class LineServer : public QObject {
    Q_OBJECT

public:
    LineServer(PacketSink& packets, LogSink& lineLog, LineServerEvents& events,
               QHostAddress bindAddress = QHostAddress::AnyIPv4, QObject* parent = nullptr);
    ~LineServer() override;

    // Only these senders from now on (checked before anything else, a handshake included).
    void SetAllowList(SenderAllowList allowed) { m_allowed = std::move(allowed); }
    // Speaks DTLS with these keys from now on (call before Listen).
    void UseDtls(KeySet keys, DtlsLimits limits = {});
    bool Dtls() const { return m_dtls != nullptr; }
    // The keys anew: the sessions of identities removed or whose key changed end.
    void ReplaceKeys(KeySet keys);

    // Ends every session and binds `port` anew (0: the system chooses). Gives the bind's failure
    // in the system's words; throws UDPSockError when no socket can be made.
    std::optional<std::string> Listen(int port);
    // Whether datagrams become lines; while not, they are read and lost and nothing is counted.
    void SetAccepting(bool accepting);
    bool Accepting() const { return m_accepting; }
    // Drops the waiting lines and ends every session (releasing what they hold at once).
    void DropEverything();
    // Datagrams are read and lost until the next Listen; the waiting lines still run.
    void Deafen();
    // At the end of a run: the counts held back are said, and what sessions hold is released.
    void Finish();
    // Destroys the endpoint: nothing is received after.
    void DestroyEndpoint();

    TUdpEndpoint* Endpoint() { return m_endpoint.get(); }
    const UdpLineQueue& Queue() const { return m_queue; }
    std::size_t Sessions() const;

    // Queues the lines of one record of `origin` whole, or none of them; the reason when none.
    std::optional<std::string> TakeLines(UdpLineQueue::Origin origin, std::vector<std::string> lines);
    // Counts a refusal; for a record's, `lines` are the lines it held.
    void Refuse(LineRefusal reason, const std::string& sender, const std::string& detail = {},
                std::size_t lines = 0);
    const LineServerFigures& Figures() const { return m_figures; }
    // A session began or ended (its release is queued behind its last line).
    void SessionOpened(UdpLineQueue::Origin origin, const LineOrigin& who);
    void SessionClosed(UdpLineQueue::Origin origin, SessionEnd why);

    // The tick (tests run it by hand).
    void Tick();

private:
    void Received(TUdpEndpoint& endpoint, int bytes, const std::string& from, int port);
    void EndpointRefused(TUdpEndpoint::Refusal refusal, const std::string& from);
    // Sends the releases of `origin` (of every session when none) into `packets`; gives whether it
    // sent any.
    bool Release(std::optional<UdpLineQueue::Origin> origin, PacketSink& packets);
    void ReportQueue();
    void EndSessions(SessionEnd why);

    LogSink& m_lineLog;
    LineServerEvents& m_events;
    QHostAddress m_bindAddress;
    std::unique_ptr<TUdpEndpoint> m_endpoint;
    SenderAllowList m_allowed;
    std::unique_ptr<DtlsSessions> m_dtls;
    bool m_accepting = false;
    HeldReports m_held;
    UdpLineQueue m_queue;
    TickTimer m_tick;
    LineQueueDriver m_driver{m_queue, m_tick};
    NoticeReporter m_notices;
    LineServerFigures m_figures;
    // The senders of the sessions whose lines may still be queued, by origin.
    std::map<UdpLineQueue::Origin, LineOrigin> m_origins;
};

}  // namespace tavrel
