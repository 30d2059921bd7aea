#include "remote/udp_endpoint.h"

#include <algorithm>
#include <cerrno>

#include <QNetworkProxy>
#include <QUdpSocket>
#include <QVariant>

namespace tavrel {

namespace {

// Bursts must survive while the event thread is busy elsewhere (a download's write, a long
// handler); the system may grant less.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

}  // namespace

TUdpEndpoint::TUdpEndpoint(QHostAddress bindAddress, QObject* parent)
    : QObject(parent), m_bindAddress(std::move(bindAddress)) {
    Status("Initializing Winsock", 8);
}

TUdpEndpoint::~TUdpEndpoint() = default;

std::optional<std::string> TUdpEndpoint::SetLocalPort(int port) {
    m_socket.reset();
    auto socket = std::make_unique<QUdpSocket>();
    // A server's port is bound here, never through a proxy. Asking for the system's proxy would
    // also start a resolver thread at every start for nothing.
    socket->setProxy(QNetworkProxy::NoProxy);
    m_localPort = port;
    const auto bound = static_cast<quint16>(port & 0xFFFF);
    if (!socket->bind(m_bindAddress, bound)) {
        if (socket->error() == QAbstractSocket::SocketResourceError && errno != EAGAIN &&
            errno != EWOULDBLOCK) {
            Status("Checking Error In Error Manager", 16);
            throw UDPSockError("Unknown Error No. " + std::to_string(errno));
        }
        return socket->errorString().toStdString();
    }
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(kReceiveBufferBytes));
    connect(socket.get(), &QUdpSocket::readyRead, this, &TUdpEndpoint::ReadPending);
    m_socket = std::move(socket);
    return std::nullopt;
}

std::uint16_t TUdpEndpoint::BoundPort() const {
    return m_socket ? m_socket->localPort() : 0;
}

void TUdpEndpoint::Status(const std::string& status, int level) {
    if (level <= m_reportLevel && m_onStatus) m_onStatus(*this, status);
}

void TUdpEndpoint::ReadPending() {
    // One readiness notice may stand for several datagrams: all of them are read now. Every read
    // learns its sender, a datagram too long included (only its first byte is kept, the rest goes
    // with it), so the handlers can judge the sender before anything else.
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const qint64 size = m_socket->pendingDatagramSize();
        const bool tooLong = size > m_maxDatagramSize;
        m_datagram.resize(static_cast<std::size_t>(tooLong ? 1 : std::max<qint64>(size, 1)));
        QHostAddress& from = m_from;
        quint16 port = 0;
        const qint64 read =
            m_socket->readDatagram(m_datagram.data(), static_cast<qint64>(m_datagram.size()), &from, &port);
        if (read < 0) {
            m_datagram.clear();
            if (m_onRefused) m_onRefused(Refusal::ReadFailed, std::string());
            break;  // the next readiness notice tries again
        }
        if (tooLong) {
            m_datagram.clear();
            if (m_onRefused) m_onRefused(Refusal::TooLong, from.toString().toStdString());
            continue;
        }
        m_datagram.resize(static_cast<std::size_t>(read));
        if (m_onDataReceived) {
            m_onDataReceived(*this, static_cast<int>(read), from.toString().toStdString(), port);
        }
    }
}

}  // namespace tavrel
