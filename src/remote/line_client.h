#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QDtls;
class QUdpSocket;

namespace tavrel {

// Sends script lines to a remote line server (a window's or serve's), one per 10 ms, the server's
// own pace: as plain datagrams (GBK, one line each; the server never answers), or over DTLS with
// a pre-shared key (UTF-8, one line a record, each answered "queued N" or "refused: REASON").
// Nothing is ever sent twice.
class LineClient : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kPace{10};

    struct Psk {
        std::string identity;
        std::string key;  // its bytes
    };
    struct Options {
        QHostAddress address;
        quint16 port = 0;
        std::optional<Psk> psk;  // none: plain datagrams
        std::chrono::milliseconds timeout{2000};
        quint16 localPort = 0;  // 0: the system chooses
    };
    // How it went.
    struct Outcome {
        std::string failure;  // the handshake failed, or the socket: nothing more was sent
        std::size_t sent = 0;
        std::size_t queued = 0;             // lines the server queued, from its answers
        std::size_t refused = 0;            // records the server refused
        std::size_t answered = 0;           // records answered
        std::vector<std::string> refusals;  // "line N: REASON", the reason escaped
    };

    explicit LineClient(Options options, QObject* parent = nullptr);
    ~LineClient() override;

    // Adds a line (GBK for plain datagrams, UTF-8 over DTLS) to be sent at its turn.
    void Send(std::string line);
    // No more lines: once every one has been sent and answered (or the timeout after the last one
    // is over), the client ends and tells `finished`.
    void EndInput();
    void SetFinished(std::function<void(const Outcome&)> finished) { m_finished = std::move(finished); }
    // Told each time a line has been sent (room for another).
    void SetLineSent(std::function<void()> sent) { m_lineSent = std::move(sent); }
    // Opens the socket and starts the handshake.
    void Start();
    // Whether lines go out now (the handshake is done).
    bool Ready() const { return m_ready && !m_done; }

private:
    void ReadPending();
    void Handshake(const QByteArray& datagram);
    void Answer(const QByteArray& record);
    void SendNext();
    void Fail(std::string failure);
    void HandshakeOver();
    void FinishWhenDone();
    void Finish();

    Options m_options;
    std::unique_ptr<QUdpSocket> m_socket;
    std::unique_ptr<QDtls> m_dtls;
    bool m_ready = false;  // lines may go
    bool m_heardAnything = false;
    bool m_inputEnded = false;
    bool m_done = false;
    std::deque<std::string> m_waiting;
    QTimer m_pace;
    QTimer m_deadline;  // the handshake's, then the answers'
    Outcome m_outcome;
    std::function<void(const Outcome&)> m_finished;
    std::function<void()> m_lineSent;
};

}  // namespace tavrel
