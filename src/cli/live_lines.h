#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QPointer>

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "gadget/gadget_exchange.h"
#include "remote/line_queue_driver.h"
#include "remote/tick_timer.h"
#include "remote/udp_line_queue.h"

namespace tavrel {

// Reads lines from a stream on a thread of its own (standard input may be a terminal that
// blocks), handing each to the event loop of `context`'s thread; joined once the stream has ended.
// At most kMaxWaiting lines are handed over and not yet Taken: the reader waits for room, so an
// endless input is read no faster than its lines run. A line longer than kLiveLineLimit bytes is
// read to its end without being kept, and reported instead.
class LineReader {
public:
    static constexpr std::size_t kMaxWaiting = 10000;

    struct Handlers {
        std::function<void(std::string line, std::size_t number)> line;  // without its line end
        std::function<void(std::size_t number)> tooLong;
        std::function<void(const std::string& message)> failed;  // a read failed: the input ends
        std::function<void()> ended;                             // after the last line
    };

    LineReader(std::istream& in, QObject* context, Handlers handlers);
    // Hands nothing more over; the stream is still read to its end (a read cannot be cut short).
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // A line handed over has been run or dropped: room for one more. Any thread.
    void Taken();

private:
    void Read(std::istream& in, QObject* context, const Handlers& handlers);
    // Waits for room; false once the reader is stopping.
    bool WaitForRoom();

    std::mutex m_mutex;
    std::condition_variable m_room;
    std::size_t m_waiting = 0;
    bool m_stopping = false;
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
    // `ran` is told each time a pushed line has run.
    void SetLineRan(std::function<void()> ran) { m_lineRan = std::move(ran); }
    void EndInput();
    bool InputEnded() const { return m_inputEnded; }

private:
    void SendPacket(const CommandPacket& packet) override;
    void Tick();
    void Refill();
    void CloseWhenDrained();

    LogSink& m_log;
    std::vector<QPointer<PacketSequence>> m_sequences;
    UdpLineQueue m_queue;
    std::deque<std::string> m_waiting;  // for room in the queue
    TickTimer m_timer;
    LineQueueDriver m_driver{m_queue, m_timer};
    bool m_inputEnded = false;
    std::function<void()> m_lineRan;
};

}  // namespace tavrel
