#pragma once

#include <deque>
#include <functional>
#include <iosfwd>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "gadget/gadget_exchange.h"
#include "remote/udp_line_queue.h"

namespace tavrel {

// Reads lines from a stream on a thread of its own (standard input may be a terminal that
// blocks), handing each to the event loop of `context`'s thread; joined once the stream has ended.
class LineReader {
public:
    // `line` gets each line without its line end, and its number from 1; `ended` follows the last.
    LineReader(std::istream& in, QObject* context, std::function<void(std::string, std::size_t)> line,
               std::function<void()> ended);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

private:
    std::thread m_thread;
};

// Runs script lines as the UDP server does, through its queue (one per 10 ms tick, a delay line
// holding those behind it), and hands each line's packets to every gadget's open sequence, which
// sends each once the packet before has been answered. Closes the sequences once the input has
// ended and every line has run. Unlike the network's, these lines are never dropped.
class LiveLineFeeder : public QObject, private PacketSink {
public:
    LiveLineFeeder(LogSink& log, std::vector<QPointer<PacketSequence>> sequences);

    void Push(std::string line);  // GBK
    void EndInput();
    bool InputEnded() const { return m_inputEnded; }

private:
    void SendPacket(const CommandPacket& packet) override;
    void Tick();
    void Schedule();
    void Refill();
    void CloseWhenDrained();

    LogSink& m_log;
    std::vector<QPointer<PacketSequence>> m_sequences;
    UdpLineQueue m_queue;
    std::deque<std::string> m_waiting;  // for room in the queue
    QTimer m_timer;
    bool m_inputEnded = false;
};

}  // namespace tavrel
