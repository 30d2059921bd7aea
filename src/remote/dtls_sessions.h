#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include <QByteArray>
#include <QDtlsClientVerifier>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

#include "remote/key_file.h"
#include "remote/line_server.h"

class QDtls;
class QUdpSocket;

namespace tavrel {

// The DTLS side of a line server: DTLS 1.2 with pre-shared keys, one session per sender address
// and port, through Qt's QDtls. A new sender must answer the cookie exchange before any state is
// kept for it (so a forged source address costs nothing); then it gets a session while fewer than
// the limit are open. Each application record of a session is one or more UTF-8 lines, queued
// whole or not at all and answered with one short record, "queued N" or "refused: REASON";
// nothing is ever sent again. A session ends when its sender closes it, after the idle time
// without a record, when its identity's key is removed or changed, or when the server stops.
class DtlsSessions : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    // The suites spoken, and only these.
    static constexpr const char* kCipherSuites[] = {"PSK-AES128-GCM-SHA256", "PSK-AES256-GCM-SHA384",
                                                    "PSK-CHACHA20-POLY1305", "ECDHE-PSK-CHACHA20-POLY1305"};

    DtlsSessions(LineServer& server, KeySet keys, DtlsLimits limits);
    ~DtlsSessions() override;

    // A datagram from an allowed sender, read from `socket` (which answers go through).
    void Datagram(QUdpSocket& socket, const QByteArray& datagram, const QHostAddress& from, quint16 port);
    // The keys anew: sessions (and handshakes) whose identity was removed or has a new key end.
    void ReplaceKeys(KeySet keys);
    // Ends every session, telling each established sender (close notify) while the socket lives.
    void EndAll(SessionEnd why);
    // The socket is going away: sessions end without a word.
    void ForgetSocket() { m_socket = nullptr; }
    std::size_t Count() const { return m_sessions.size(); }

    // The configuration both ends use: DTLS 1.2, the suites above, no certificates.
    static QSslConfiguration Configuration();

private:
    struct Session;
    using Key = std::pair<quint32, quint16>;

    void Start(const QByteArray& hello, const QHostAddress& from, quint16 port);
    void Handshake(Session& session, const QByteArray& datagram);
    void Record(Session& session, const QByteArray& datagram);
    void End(const Key& key, SessionEnd why, bool tell);
    void HandshakeFailed(const Key& key, LineRefusal reason);
    void Sweep();
    void Arm();

    LineServer& m_server;
    KeySet m_keys;
    DtlsLimits m_limits;
    QSslConfiguration m_configuration;
    QDtlsClientVerifier m_verifier;
    QUdpSocket* m_socket = nullptr;
    std::map<Key, std::unique_ptr<Session>> m_sessions;
    std::uint64_t m_nextOrigin = 1;
    QTimer m_sweep;
};

}  // namespace tavrel
