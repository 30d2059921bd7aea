#include "remote/dtls_sessions.h"

#include <algorithm>
#include <variant>
#include <vector>

#include <QDtls>
#include <QSslCipher>
#include <QSslPreSharedKeyAuthenticator>
#include <QUdpSocket>

#include "remote/record_lines.h"
#include "remote/udp_endpoint.h"

namespace tavrel {

namespace {

// A DTLS record starts with its content type and the protocol's version, 0xFE 0xxx: a handshake
// (22) is the only record a sender without a session may send.
bool LooksLikeHandshake(const QByteArray& datagram) {
    return datagram.size() >= 13 && static_cast<unsigned char>(datagram[0]) == 22 &&
           static_cast<unsigned char>(datagram[1]) == 0xFE;
}

// A ClientHello of epoch 0: a handshake begun from the start.
bool StartsAnew(const QByteArray& datagram) {
    return LooksLikeHandshake(datagram) && datagram.size() > 13 && datagram[3] == 0 && datagram[4] == 0 &&
           static_cast<unsigned char>(datagram[13]) == 1;
}

std::string AnswerOf(const std::optional<std::string>& refusal, std::size_t lines) {
    return refusal ? "refused: " + *refusal : "queued " + std::to_string(lines);
}

}  // namespace

struct DtlsSessions::Session {
    std::unique_ptr<QDtls> dtls;
    UdpLineQueue::Origin origin = 0;
    LineOrigin who;
    bool identityFound = false;  // the handshake named an identity that has a key
    bool identityUnknown = false;
    std::string key;  // the key the session was made with
    bool opened = false;
    Clock::time_point deadline;  // the handshake's end, then the idle time's
};

DtlsSessions::DtlsSessions(LineServer& server, KeySet keys, DtlsLimits limits)
    : m_server(server), m_keys(std::move(keys)), m_limits(limits), m_configuration(Configuration()) {
    m_sweep.setSingleShot(true);
    connect(&m_sweep, &QTimer::timeout, this, &DtlsSessions::Sweep);
}

DtlsSessions::~DtlsSessions() = default;

QSslConfiguration DtlsSessions::Configuration() {
    QSslConfiguration configuration = QSslConfiguration::defaultDtlsConfiguration();
    configuration.setProtocol(QSsl::DtlsV1_2);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setDtlsCookieVerificationEnabled(true);
    QList<QSslCipher> ciphers;
    for (const char* name : kCipherSuites) {
        const QSslCipher cipher(QString::fromLatin1(name));
        if (!cipher.isNull()) ciphers.push_back(cipher);
    }
    configuration.setCiphers(ciphers);
    return configuration;
}

void DtlsSessions::Datagram(QUdpSocket& socket, const QByteArray& datagram, const QHostAddress& from,
                            quint16 port) {
    m_socket = &socket;
    const Key key{from.toIPv4Address(), port};
    const auto found = m_sessions.find(key);
    if (found == m_sessions.end()) {
        Start(datagram, from, port);
    } else if (found->second->dtls->isConnectionEncrypted() && StartsAnew(datagram) &&
               m_verifier.verifyClient(m_socket, datagram, from, port)) {
        // The sender started over from the same address and port (a restarted client) and has
        // answered the cookie: its old session is over, and a new one begins.
        End(key, SessionEnd::Closed, false);
        Start(datagram, from, port);
    } else if (found->second->dtls->isConnectionEncrypted()) {
        Record(*found->second, datagram);
    } else {
        Handshake(*found->second, datagram);
    }
    Arm();
}

void DtlsSessions::Start(const QByteArray& hello, const QHostAddress& from, quint16 port) {
    const std::string address = from.toString().toStdString();
    if (!LooksLikeHandshake(hello)) {
        m_server.Refuse(LineRefusal::NotDtls, address);
        return;
    }
    // The cookie exchange: a hello without the cookie this sender's address earns is answered
    // with one, and nothing is kept.
    if (!m_verifier.verifyClient(m_socket, hello, from, port)) return;
    if (m_sessions.size() >= m_limits.maxSessions) {
        m_server.Refuse(LineRefusal::TableFull, address);
        return;
    }
    auto session = std::make_unique<Session>();
    session->dtls = std::make_unique<QDtls>(QSslSocket::SslServerMode);
    session->dtls->setDtlsConfiguration(m_configuration);
    session->dtls->setPeer(from, port);
    session->origin = m_nextOrigin++;
    session->who = {address, port, {}};
    session->deadline = Clock::now() + m_limits.handshake;
    Session* raw = session.get();
    connect(
        raw->dtls.get(), &QDtls::pskRequired, this,
        [this, raw](QSslPreSharedKeyAuthenticator* authenticator) {
            raw->who.identity = authenticator->identity().toStdString();
            if (const std::string* key = m_keys.Find(raw->who.identity)) {
                raw->identityFound = true;
                raw->key = *key;
                authenticator->setPreSharedKey(QByteArray(key->data(), static_cast<qsizetype>(key->size())));
            } else {
                raw->identityUnknown = true;
            }
        });
    connect(raw->dtls.get(), &QDtls::handshakeTimeout, this, [this, raw] {
        if (m_socket != nullptr) raw->dtls->handleTimeout(m_socket);
    });
    const Key key{from.toIPv4Address(), port};
    m_sessions.emplace(key, std::move(session));
    Handshake(*raw, hello);
}

void DtlsSessions::Handshake(Session& session, const QByteArray& datagram) {
    const Key key{session.dtls->peerAddress().toIPv4Address(), session.dtls->peerPort()};
    if (!session.dtls->doHandshake(m_socket, datagram)) {
        if (session.identityUnknown) {
            HandshakeFailed(key, LineRefusal::UnknownIdentity);
        } else if (session.dtls->dtlsError() == QDtlsError::TlsNonFatalError ||
                   session.dtls->handshakeState() == QDtls::HandshakeInProgress) {
            // A datagram that does not fit the handshake (a retransmission, a stray record) is
            // dropped, as DTLS drops what it cannot use.
        } else {
            HandshakeFailed(key, LineRefusal::HandshakeFailed);
        }
        return;
    }
    if (!session.dtls->isConnectionEncrypted()) return;
    session.opened = true;
    session.deadline = Clock::now() + m_limits.idle;
    m_server.SessionOpened(session.origin, session.who);
}

void DtlsSessions::HandshakeFailed(const Key& key, LineRefusal reason) {
    const auto found = m_sessions.find(key);
    if (found == m_sessions.end()) return;
    const LineOrigin who = found->second->who;
    m_sessions.erase(found);
    m_server.Refuse(reason, who.address, who.identity);
}

void DtlsSessions::Record(Session& session, const QByteArray& datagram) {
    const Key key{session.dtls->peerAddress().toIPv4Address(), session.dtls->peerPort()};
    const QByteArray plain = session.dtls->decryptDatagram(m_socket, datagram);
    if (session.dtls->dtlsError() == QDtlsError::RemoteClosedConnectionError) {
        End(key, SessionEnd::Closed, false);
        return;
    }
    // Records that are no application data (a handshake message sent again, an alert that ends
    // nothing) and records that fail their check (forged, or replayed) give nothing.
    if (plain.isEmpty()) return;
    session.deadline = Clock::now() + m_limits.idle;
    auto lines = RecordToGbkLines(std::string_view(plain.constData(), static_cast<std::size_t>(plain.size())),
                                  TUdpEndpoint::kMaxDatagramSize);
    std::optional<std::string> refusal;
    std::size_t count = 0;
    if (const auto* refused = std::get_if<RecordRefusal>(&lines)) {
        refusal = refused->reason;
        const LineRefusal reason =
            refused->kind == RecordRefusal::Kind::LineTooLong ? LineRefusal::RecordLineTooLong
            : refused->kind == RecordRefusal::Kind::NotUtf8   ? LineRefusal::RecordNotUtf8
                                                              : LineRefusal::RecordNotGbk;
        const std::size_t held =
            SplitRecordLines(std::string_view(plain.constData(), static_cast<std::size_t>(plain.size())))
                .size();
        m_server.Refuse(reason, session.who.address, session.who.identity, held);
    } else {
        auto& taken = std::get<std::vector<std::string>>(lines);
        count = taken.size();
        refusal = m_server.TakeLines(session.origin, std::move(taken));
    }
    const std::string answer = AnswerOf(refusal, count);
    session.dtls->writeDatagramEncrypted(m_socket, QByteArray::fromStdString(answer));
}

void DtlsSessions::End(const Key& key, SessionEnd why, bool tell) {
    const auto found = m_sessions.find(key);
    if (found == m_sessions.end()) return;
    std::unique_ptr<Session> session = std::move(found->second);
    m_sessions.erase(found);
    if (tell && m_socket != nullptr && session->dtls->isConnectionEncrypted())
        session->dtls->shutdown(m_socket);
    if (session->opened) m_server.SessionClosed(session->origin, why);
}

void DtlsSessions::ReplaceKeys(KeySet keys) {
    m_keys = std::move(keys);
    std::vector<Key> revoked;
    for (const auto& [key, session] : m_sessions) {
        if (!session->identityFound) continue;
        const std::string* now = m_keys.Find(session->who.identity);
        if (now == nullptr || *now != session->key) revoked.push_back(key);
    }
    for (const Key& key : revoked)
        End(key, SessionEnd::Revoked, true);
    Arm();
}

void DtlsSessions::EndAll(SessionEnd why) {
    while (!m_sessions.empty())
        End(m_sessions.begin()->first, why, true);
    m_sweep.stop();
}

void DtlsSessions::Sweep() {
    const Clock::time_point now = Clock::now();
    std::vector<Key> due;
    for (const auto& [key, session] : m_sessions) {
        if (session->deadline <= now) due.push_back(key);
    }
    for (const Key& key : due) {
        Session& session = *m_sessions.at(key);
        if (session.opened) {
            End(key, SessionEnd::Idle, true);
        } else if (session.identityFound) {
            // The sender's Finished could not be read with the key its identity has: DTLS drops
            // such a record without a word, so the handshake only stops moving.
            HandshakeFailed(key, LineRefusal::WrongKey);
        } else {
            HandshakeFailed(key, LineRefusal::HandshakeFailed);
        }
    }
    Arm();
}

void DtlsSessions::Arm() {
    if (m_sessions.empty()) {
        m_sweep.stop();
        return;
    }
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& [key, session] : m_sessions)
        earliest = std::min(earliest, session->deadline);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - Clock::now());
    m_sweep.start(std::max<std::chrono::milliseconds::rep>(wait.count() + 1, 0));
}

}  // namespace tavrel
