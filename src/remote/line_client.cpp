#include "remote/line_client.h"

#include <QDtls>
#include <QSslPreSharedKeyAuthenticator>
#include <QUdpSocket>

#include "common/text_escape.h"
#include "remote/dtls_sessions.h"

namespace tavrel {

LineClient::LineClient(Options options, QObject* parent) : QObject(parent), m_options(std::move(options)) {
    m_pace.setSingleShot(true);
    m_deadline.setSingleShot(true);
    connect(&m_pace, &QTimer::timeout, this, &LineClient::SendNext);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (!m_ready) {
            HandshakeOver();
        } else {
            Finish();
        }
    });
}

LineClient::~LineClient() = default;

void LineClient::Start() {
    m_socket = std::make_unique<QUdpSocket>();
    if (!m_socket->bind(QHostAddress(QHostAddress::AnyIPv4), m_options.localPort)) {
        Fail("cannot open a UDP socket: " + m_socket->errorString().toStdString());
        return;
    }
    connect(m_socket.get(), &QUdpSocket::readyRead, this, &LineClient::ReadPending);
    if (!m_options.psk) {
        m_ready = true;
        SendNext();
        return;
    }
    m_dtls = std::make_unique<QDtls>(QSslSocket::SslClientMode);
    m_dtls->setDtlsConfiguration(DtlsSessions::Configuration());
    m_dtls->setPeer(m_options.address, m_options.port);
    connect(m_dtls.get(), &QDtls::pskRequired, this, [this](QSslPreSharedKeyAuthenticator* authenticator) {
        authenticator->setIdentity(QByteArray::fromStdString(m_options.psk->identity));
        authenticator->setPreSharedKey(QByteArray::fromStdString(m_options.psk->key));
    });
    connect(m_dtls.get(), &QDtls::handshakeTimeout, this, [this] {
        if (m_dtls && m_socket) m_dtls->handleTimeout(m_socket.get());
    });
    m_deadline.start(m_options.timeout);
    if (!m_dtls->doHandshake(m_socket.get())) {
        Fail("the handshake could not start: " +
             EscapeControlCharacters(m_dtls->dtlsErrorString().toStdString()));
    }
}

void LineClient::Send(std::string line) {
    m_waiting.push_back(std::move(line));
    if (m_ready && !m_pace.isActive()) SendNext();
}

void LineClient::EndInput() {
    m_inputEnded = true;
    FinishWhenDone();
}

void LineClient::SendNext() {
    if (m_done || !m_ready || m_waiting.empty()) return;
    if (m_pace.isActive()) return;
    const QByteArray line = QByteArray::fromStdString(m_waiting.front());
    m_waiting.pop_front();
    const qint64 written = m_dtls ? m_dtls->writeDatagramEncrypted(m_socket.get(), line)
                                  : m_socket->writeDatagram(line, m_options.address, m_options.port);
    if (written < 0) {
        Fail("cannot send: " + EscapeControlCharacters(m_dtls ? m_dtls->dtlsErrorString().toStdString()
                                                              : m_socket->errorString().toStdString()));
        return;
    }
    ++m_outcome.sent;
    if (m_lineSent) m_lineSent();
    m_pace.start(kPace);
    FinishWhenDone();
}

void LineClient::ReadPending() {
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const qint64 size = m_socket->pendingDatagramSize();
        QByteArray datagram(std::max<qint64>(size, 1), '\0');
        QHostAddress from;
        quint16 port = 0;
        const qint64 read = m_socket->readDatagram(datagram.data(), datagram.size(), &from, &port);
        if (read <= 0 || from.toIPv4Address() != m_options.address.toIPv4Address() || port != m_options.port)
            continue;
        datagram.resize(read);
        m_heardAnything = true;
        if (!m_dtls) continue;
        if (!m_dtls->isConnectionEncrypted()) {
            Handshake(datagram);
        } else {
            Answer(m_dtls->decryptDatagram(m_socket.get(), datagram));
        }
        if (m_done) return;
    }
}

void LineClient::Handshake(const QByteArray& datagram) {
    if (!m_dtls->doHandshake(m_socket.get(), datagram)) {
        const std::string error = m_dtls->dtlsErrorString().toStdString();
        Fail(error.find("unknown psk identity") != std::string::npos
                 ? std::string("unknown identity '") + EscapeToPrintableAscii(m_options.psk->identity) + "'"
                 : "the handshake failed: " + EscapeControlCharacters(error));
        return;
    }
    if (!m_dtls->isConnectionEncrypted()) return;
    m_deadline.stop();
    m_ready = true;
    SendNext();
}

void LineClient::HandshakeOver() {
    // DTLS drops a record it cannot read without a word: a server that took part in the handshake
    // and then fell silent could not read our Finished.
    Fail(m_heardAnything ? "wrong key or unknown identity (or the server has no room for another session)"
                         : "no answer to the handshake");
}

void LineClient::Answer(const QByteArray& record) {
    if (m_dtls->dtlsError() == QDtlsError::RemoteClosedConnectionError) {
        Fail("the server closed the session");
        return;
    }
    if (record.isEmpty()) return;
    const std::string answer = record.toStdString();
    const std::size_t number = ++m_outcome.answered;
    if (answer.starts_with("queued ")) {
        m_outcome.queued += static_cast<std::size_t>(std::strtoull(answer.c_str() + 7, nullptr, 10));
    } else {
        ++m_outcome.refused;
        if (m_outcome.refusals.size() < 100) {
            const std::string reason = answer.starts_with("refused: ") ? answer.substr(9) : answer;
            m_outcome.refusals.push_back("line " + std::to_string(number) + ": " + QuoteText(reason));
        }
    }
    FinishWhenDone();
}

void LineClient::FinishWhenDone() {
    if (m_done || !m_inputEnded || !m_waiting.empty() || !m_ready) return;
    if (!m_dtls || m_outcome.answered >= m_outcome.sent) {
        // Plain datagrams: the last one has gone. DTLS: every record answered.
        if (!m_dtls && m_pace.isActive()) {
            // Let the last datagram's tick pass, so the server's pace is kept to the end.
            QTimer::singleShot(m_pace.remainingTimeAsDuration(), this, &LineClient::Finish);
            m_done = true;
            return;
        }
        Finish();
        return;
    }
    if (!m_deadline.isActive() || m_outcome.sent > 0) m_deadline.start(m_options.timeout);
}

void LineClient::Fail(std::string failure) {
    if (m_done) return;
    m_outcome.failure = std::move(failure);
    Finish();
}

void LineClient::Finish() {
    if (m_finished == nullptr && m_done) return;
    m_done = true;
    m_pace.stop();
    m_deadline.stop();
    // Tells the server the session is over, so it ends it (and releases what it holds) now.
    if (m_dtls && m_socket && m_dtls->isConnectionEncrypted()) m_dtls->shutdown(m_socket.get());
    if (auto finished = std::exchange(m_finished, nullptr)) finished(m_outcome);
}

}  // namespace tavrel
