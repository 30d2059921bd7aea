#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QHostAddress>
#include <QObject>

class QUdpSocket;

namespace tavrel {

// A socket that cannot be made at all ("Unknown Error No. " and the system's error number).
class UDPSockError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A UDP endpoint on the event loop: one IPv4 datagram socket bound to LocalPort on the bind
// address (every local IPv4 address unless told otherwise). Every datagram that can be read is
// read at once; without a data handler it is lost.
class TUdpEndpoint : public QObject {
    Q_OBJECT

public:
    // Datagrams longer than this are dropped: they are no script line.
    static constexpr std::int64_t kMaxDatagramSize = 2048;

    using TOnReceive =
        std::function<void(TUdpEndpoint& Sender, int NumberBytes, const std::string& FromIP, int Port)>;
    using TOnStatus = std::function<void(TUdpEndpoint& Sender, const std::string& status)>;
    // A datagram that never became one: too long (its sender as FromIP names it), or the read
    // failed (no sender).
    enum class Refusal { TooLong, ReadFailed };
    using TOnRefused = std::function<void(Refusal refusal, const std::string& FromIP)>;

    explicit TUdpEndpoint(QHostAddress bindAddress = QHostAddress::AnyIPv4, QObject* parent = nullptr);
    ~TUdpEndpoint() override;

    // Re-creates the socket and binds it to the low 16 bits of `port`. Gives the bind's failure in
    // the system's words (the socket then receives nothing), none when bound. Throws UDPSockError
    // when no socket can be made.
    std::optional<std::string> SetLocalPort(int port);
    int LocalPort() const { return m_localPort; }
    // The port actually bound (the one the system chose for port 0); 0 when not bound.
    std::uint16_t BoundPort() const;

    int ReportLevel() const { return m_reportLevel; }
    void SetReportLevel(int level) { m_reportLevel = level; }
    // Passes `status` on to OnStatus when `level` is at most ReportLevel.
    void Status(const std::string& status, int level);

    void SetOnDataReceived(TOnReceive handler) { m_onDataReceived = std::move(handler); }
    void SetOnStatus(TOnStatus handler) { m_onStatus = std::move(handler); }
    void SetOnRefused(TOnRefused handler) { m_onRefused = std::move(handler); }

    // The last datagram read, and its sender.
    const std::vector<char>& ReadDatagram() const { return m_datagram; }
    const QHostAddress& LastSender() const { return m_from; }
    // The socket, to answer through (none while not bound).
    QUdpSocket* Socket() { return m_socket.get(); }
    // Datagrams longer than this are dropped (kMaxDatagramSize unless told otherwise).
    void SetMaxDatagramSize(std::int64_t size) { m_maxDatagramSize = size; }
    std::int64_t MaxDatagramSize() const { return m_maxDatagramSize; }

private:
    void ReadPending();

    QHostAddress m_bindAddress;
    std::unique_ptr<QUdpSocket> m_socket;
    int m_localPort = 0;
    int m_reportLevel = 1;
    std::vector<char> m_datagram;
    QHostAddress m_from;
    std::int64_t m_maxDatagramSize = kMaxDatagramSize;
    TOnReceive m_onDataReceived;
    TOnStatus m_onStatus;
    TOnRefused m_onRefused;
};

}  // namespace tavrel
