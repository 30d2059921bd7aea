#pragma once

#include <optional>
#include <string>

#include <QHostAddress>
#include <QObject>

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "remote/line_queue_driver.h"
#include "remote/notice_reporter.h"
#include "remote/tick_timer.h"
#include "remote/udp_endpoint.h"
#include "remote/udp_line_queue.h"

namespace tavrel {

// The UDP script server: the endpoint Udp1, bound to port 10200 from the start, whose datagrams
// are script lines once the server is enabled; the line queue lstUdpSc; and the tick tmrUdpSc
// that runs one line per 10 ms in live mode into the packet sink (the selected gadget).
class UdpScriptServer : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultPort = 10200;

    UdpScriptServer(PacketSink& packets, LogSink& log, QHostAddress bindAddress = QHostAddress::AnyIPv4,
                    QObject* parent = nullptr);
    ~UdpScriptServer() override;

    // chkUdp ticked: applies the port text (0 to 65535, blanks around it allowed; 0 lets the system
    // choose), re-creating the socket, and takes datagrams from now on; a bad port text or a failed
    // bind is logged and leaves the server deaf (a bad text binds nothing anew). The tick runs in
    // every case.
    void Enable(const std::string& portText);
    // chkUdp unticked: datagrams are read and lost again, waiting lines are dropped.
    void Disable();
    bool Enabled() const { return m_enabled; }

    // None once destroyed.
    TUdpEndpoint* Udp1() { return m_endpoint.get(); }
    const UdpLineQueue& Queue() const { return lstUdpSc; }
    // Destroys the endpoint (when the window closes): nothing is received after.
    void DestroyEndpoint();

    // The endpoint's data handler while enabled, and the queue's tick.
    void Udp1DataReceived(TUdpEndpoint& Sender, int NumberBytes);
    void tmrUdpScTimer();

private:
    // A datagram that did not become a line: counted per kind and sender, said at most once a
    // second for each ("UDP数据过长，已丢弃N个（来自ADDRESS）").
    void Refused(TUdpEndpoint::Refusal refusal, const std::string& from);
    void Say(const NoticeTally::Notice& notice);
    void LogBindFailure(int port, const std::string& failure);
    void ReportOverflow();

    PacketSink& m_packets;
    LogSink& m_log;
    std::unique_ptr<TUdpEndpoint> m_endpoint;
    UdpLineQueue lstUdpSc;
    TickTimer tmrUdpSc;
    LineQueueDriver m_driver{lstUdpSc, tmrUdpSc};  // arms tmrUdpSc for the queue's ticks
    bool m_enabled = false;
    NoticeReporter m_notices{[this](const NoticeTally::Notice& notice) { Say(notice); }};
};

}  // namespace tavrel
