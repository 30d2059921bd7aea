#include "remote/line_server.h"

#include <QUdpSocket>

#include "remote/dtls_sessions.h"
#include "script/line_compiler.h"

namespace tavrel {

namespace {

// The longest datagram a DTLS sender may send: a record of 16 KiB and its framing.
constexpr std::int64_t kMaxDtlsDatagramSize = 16384 + 256;

}  // namespace

LineServer::LineServer(PacketSink& packets, LogSink& lineLog, LineServerEvents& events,
                       QHostAddress bindAddress, QObject* parent)
    : QObject(parent),
      m_lineLog(lineLog),
      m_events(events),
      m_bindAddress(std::move(bindAddress)),
      m_endpoint(std::make_unique<TUdpEndpoint>(m_bindAddress)),
      m_held(packets),
      m_notices([this](const NoticeTally::Notice& notice) {
          m_events.Refused(static_cast<LineRefusal>(notice.kind), notice.sender, notice.count, notice.detail);
      }) {
    m_endpoint->SetReportLevel(1);
    m_endpoint->SetOnRefused(
        [this](TUdpEndpoint::Refusal refusal, const std::string& from) { EndpointRefused(refusal, from); });
    m_queue.SetLineStarting([this](UdpLineQueue::Origin origin) {
        m_held.SetOrigin(origin);
        ++m_figures.linesRun;
        const auto found = m_origins.find(origin);
        m_events.LineStarting(found != m_origins.end() ? found->second : LineOrigin{});
    });
    m_queue.SetRelease(
        [this](UdpLineQueue::Origin origin, PacketSink& packets) { return Release(origin, packets); });
    connect(&m_tick, &TickTimer::timeout, this, &LineServer::Tick);
}

LineServer::~LineServer() {
    if (m_dtls) m_dtls->ForgetSocket();
}

void LineServer::UseDtls(KeySet keys, DtlsLimits limits) {
    m_dtls = std::make_unique<DtlsSessions>(*this, std::move(keys), limits);
    if (m_endpoint) m_endpoint->SetMaxDatagramSize(kMaxDtlsDatagramSize);
}

void LineServer::ReplaceKeys(KeySet keys) {
    if (m_dtls) m_dtls->ReplaceKeys(std::move(keys));
}

std::optional<std::string> LineServer::Listen(int port) {
    if (!m_endpoint) return std::string("the endpoint is gone");
    EndSessions(SessionEnd::Stopped);
    // The socket the sessions answered through goes with the old port.
    if (m_dtls) m_dtls->ForgetSocket();
    m_endpoint->SetOnDataReceived(nullptr);
    std::optional<std::string> failure = m_endpoint->SetLocalPort(port);
    m_endpoint->SetOnDataReceived([this](TUdpEndpoint& endpoint, int bytes, const std::string& from,
                                         int fromPort) { Received(endpoint, bytes, from, fromPort); });
    return failure;
}

void LineServer::SetAccepting(bool accepting) {
    if (!accepting) EndSessions(SessionEnd::Stopped);
    m_accepting = accepting;
}

void LineServer::DropEverything() {
    EndSessions(SessionEnd::Stopped);
    m_tick.Stop();
    m_figures.linesDroppedCleared += m_queue.Lines();
    m_queue.Clear();
    // With the queue gone, what the ended sessions hold is released at once.
    Release(std::nullopt, m_held);
    m_origins.clear();
}

void LineServer::Deafen() {
    if (m_endpoint) m_endpoint->SetOnDataReceived(nullptr);
}

void LineServer::Finish() {
    m_notices.Flush();
    ReportQueue();
    EndSessions(SessionEnd::Stopped);
    Release(std::nullopt, m_held);
    m_origins.clear();
}

void LineServer::DestroyEndpoint() {
    EndSessions(SessionEnd::Stopped);
    if (m_dtls) m_dtls->ForgetSocket();
    m_endpoint.reset();
}

std::size_t LineServer::Sessions() const {
    return m_dtls ? m_dtls->Count() : 0;
}

void LineServer::Received(TUdpEndpoint& endpoint, int bytes, const std::string& from, int port) {
    if (!m_accepting) return;
    ++m_figures.datagrams;
    if (!m_allowed.Allows(from)) {
        Refuse(LineRefusal::NotAllowed, from);
        return;
    }
    const std::vector<char>& datagram = endpoint.ReadDatagram();
    const std::size_t size = std::min(datagram.size(), static_cast<std::size_t>(bytes));
    if (m_dtls) {
        if (QUdpSocket* socket = endpoint.Socket()) {
            m_dtls->Datagram(*socket, QByteArray(datagram.data(), static_cast<qsizetype>(size)),
                             endpoint.LastSender(), static_cast<quint16>(port));
        }
        return;
    }
    std::string line = UdpLineQueue::LineOf({datagram.data(), size});
    ++m_figures.linesReceived;
    m_events.LineArrived({from, static_cast<std::uint16_t>(port), {}}, line);
    if (!m_queue.Push(std::move(line))) {
        ++m_figures.linesDroppedFull;
        ReportQueue();
    }
    m_driver.Schedule();
}

// The sender comes first: a refused sender's datagrams are refused, whatever their size.
void LineServer::EndpointRefused(TUdpEndpoint::Refusal refusal, const std::string& from) {
    if (!m_accepting) return;
    ++m_figures.datagrams;
    if (refusal == TUdpEndpoint::Refusal::ReadFailed) {
        Refuse(LineRefusal::Unreadable, from);
    } else if (!m_allowed.Allows(from)) {
        Refuse(LineRefusal::NotAllowed, from);
    } else {
        Refuse(LineRefusal::TooLong, from);
    }
}

std::optional<std::string> LineServer::TakeLines(UdpLineQueue::Origin origin,
                                                 std::vector<std::string> lines) {
    m_figures.linesReceived += lines.size();
    if (lines.size() > m_queue.Room()) {
        m_figures.linesDroppedFull += lines.size();
        m_queue.CountDropped(lines.size());
        ReportQueue();
        return std::string("queue full");
    }
    const auto found = m_origins.find(origin);
    for (std::string& line : lines) {
        if (found != m_origins.end()) m_events.LineArrived(found->second, line);
        m_queue.Push(std::move(line), UdpLineQueue::Clock::now(), origin);
    }
    m_driver.Schedule();
    return std::nullopt;
}

void LineServer::Refuse(LineRefusal reason, const std::string& sender, const std::string& detail,
                        std::size_t lines) {
    const auto kind = static_cast<std::size_t>(reason);
    if (lines > 0) {
        m_figures.linesReceived += lines;
        m_figures.refused[kind] += lines;
    } else {
        ++m_figures.refused[kind];
    }
    m_notices.Count(kind, sender, detail);
}

void LineServer::SessionOpened(UdpLineQueue::Origin origin, const LineOrigin& who) {
    m_origins[origin] = who;
    m_events.SessionOpened(who);
}

void LineServer::SessionClosed(UdpLineQueue::Origin origin, SessionEnd why) {
    const auto found = m_origins.find(origin);
    if (found == m_origins.end()) return;
    m_events.SessionClosed(found->second, why);
    // What it holds is released once its last line has run.
    m_queue.PushRelease(origin);
    m_driver.Schedule();
}

bool LineServer::Release(std::optional<UdpLineQueue::Origin> origin, PacketSink& packets) {
    const std::vector<HeldReports::Release> releases = m_held.ReleasesFor(origin);
    // `packets` leads through the tracker, which then knows nothing is held any more.
    m_held.SetOrigin(0);
    SilentLogSink silent;
    for (const HeldReports::Release& release : releases) {
        CompileScriptLine(release.line, packets, silent);
        const auto found = m_origins.find(release.origin);
        m_events.Released(found != m_origins.end() ? found->second : LineOrigin{}, release.line);
    }
    if (origin) m_origins.erase(*origin);
    return !releases.empty();
}

void LineServer::Tick() {
    if (!m_accepting) return;
    m_driver.Tick(m_held, m_lineLog);
    ReportQueue();
}

void LineServer::ReportQueue() {
    if (const auto report = m_queue.TakeOverflowReport(UdpLineQueue::Clock::now()))
        m_events.QueueReport(*report);
    if (const auto report = m_queue.TakeStallReport()) m_events.QueueReport(*report);
}

void LineServer::EndSessions(SessionEnd why) {
    if (m_dtls) m_dtls->EndAll(why);
}

}  // namespace tavrel
