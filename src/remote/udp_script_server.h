#pragma once

#include <optional>
#include <string>

#include <QHostAddress>
#include <QObject>

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "remote/key_file.h"
#include "remote/line_server.h"
#include "remote/udp_endpoint.h"
#include "remote/udp_line_queue.h"

namespace tavrel {

// The window's UDP script server: the endpoint Udp1, bound to port 10200 from the start, whose
// datagrams are script lines once the server is enabled; the line queue lstUdpSc; and the tick
// tmrUdpSc that runs one line per 10 ms in live mode into the packet sink (the selected gadget).
// The line server does the work; this says what happens in the window's words. With keys it
// speaks DTLS instead of plain datagrams.
class UdpScriptServer : public QObject, private LineServerEvents {
    Q_OBJECT

public:
    static constexpr int kDefaultPort = 10200;

    UdpScriptServer(PacketSink& packets, LogSink& log, QHostAddress bindAddress = QHostAddress::AnyIPv4,
                    QObject* parent = nullptr);
    ~UdpScriptServer() override;

    // Speaks DTLS with pre-shared keys from now on (before the server is first enabled).
    void UseDtls(KeySet keys, DtlsLimits limits = {});

    // chkUdp ticked: applies the port text (0 to 65535, blanks around it allowed; 0 lets the system
    // choose), re-creating the socket, and takes datagrams from now on; a bad port text or a failed
    // bind is logged and leaves the server deaf (a bad text binds nothing anew). The tick runs in
    // every case. Every DTLS session ends.
    void Enable(const std::string& portText);
    // chkUdp unticked: datagrams are read and lost again, waiting lines are dropped, every DTLS
    // session ends.
    void Disable();
    bool Enabled() const { return m_server.Accepting(); }

    // None once destroyed.
    TUdpEndpoint* Udp1() { return m_server.Endpoint(); }
    const UdpLineQueue& Queue() const { return m_server.Queue(); }
    const LineServer& Server() const { return m_server; }
    // Destroys the endpoint (when the window closes): nothing is received after.
    void DestroyEndpoint() { m_server.DestroyEndpoint(); }

private:
    void LineArrived(const LineOrigin& from, const std::string& line) override;
    void Refused(LineRefusal reason, const std::string& sender, std::size_t count,
                 const std::string& detail) override;
    void QueueReport(const std::string& report) override { m_log.LogLine(report); }
    void SessionOpened(const LineOrigin& who) override;
    void SessionClosed(const LineOrigin& who, SessionEnd why) override;
    void Released(const LineOrigin& who, const std::string& line) override;
    void LogBindFailure(int port, const std::string& failure);

    LogSink& m_log;
    LineServer m_server;
};

}  // namespace tavrel
