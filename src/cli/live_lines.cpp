#include "cli/live_lines.h"

#include <algorithm>
#include <chrono>
#include <istream>

#include "cli/cli_input.h"

namespace tavrel {

LineReader::LineReader(std::istream& in, QObject* context, Handlers handlers) {
    in.tie(nullptr);  // the reader must not flush standard output behind the event thread's back
    m_thread =
        std::thread([this, &in, context, handlers = std::move(handlers)] { Read(in, context, handlers); });
}

LineReader::~LineReader() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_room.notify_all();
    m_thread.join();
}

void LineReader::Taken() {
    {
        const std::lock_guard lock(m_mutex);
        if (m_waiting > 0) --m_waiting;
    }
    m_room.notify_all();
}

bool LineReader::WaitForRoom() {
    std::unique_lock lock(m_mutex);
    m_room.wait(lock, [this] { return m_stopping || m_waiting < kMaxWaiting; });
    if (m_stopping) return false;
    ++m_waiting;
    return true;
}

void LineReader::Read(std::istream& in, QObject* context, const Handlers& handlers) {
    std::string text;
    bool handing = true;
    for (std::size_t number = 1;; ++number) {
        const LineRead read = ReadBoundedLine(in, text, kLiveLineLimit);
        if (read == LineRead::End) break;
        if (read == LineRead::Failed) {
            if (handing)
                QMetaObject::invokeMethod(
                    context, [failed = handlers.failed, text] { failed(text); }, Qt::QueuedConnection);
            break;
        }
        if (!handing) continue;  // stopping: read on to the end, as a read cannot be cut short
        if (read == LineRead::TooLong) {
            QMetaObject::invokeMethod(
                context, [tooLong = handlers.tooLong, number] { tooLong(number); }, Qt::QueuedConnection);
            continue;
        }
        if (!WaitForRoom()) {
            handing = false;
            continue;
        }
        QMetaObject::invokeMethod(
            context, [line = handlers.line, text, number] { line(text, number); }, Qt::QueuedConnection);
    }
    if (handing) QMetaObject::invokeMethod(context, handlers.ended, Qt::QueuedConnection);
}

LiveLineFeeder::LiveLineFeeder(LogSink& log, std::vector<QPointer<PacketSequence>> sequences)
    : m_log(log), m_sequences(std::move(sequences)) {
    connect(&m_timer, &TickTimer::timeout, this, &LiveLineFeeder::Tick);
}

void LiveLineFeeder::Push(std::string line) {
    m_waiting.push_back(std::move(line));
    Refill();
    m_driver.Schedule();
}

void LiveLineFeeder::EndInput() {
    m_inputEnded = true;
    CloseWhenDrained();
}

void LiveLineFeeder::SendPacket(const CommandPacket& packet) {
    for (const QPointer<PacketSequence>& sequence : m_sequences) {
        if (sequence) sequence->Append(packet);
    }
}

void LiveLineFeeder::Tick() {
    if (m_driver.Tick(*this, m_log) && m_lineRan) m_lineRan();
    if (const auto stall = m_queue.TakeStallReport()) m_log.LogLine(*stall);
    Refill();
    m_driver.Schedule();
    CloseWhenDrained();
}

void LiveLineFeeder::Refill() {
    while (!m_waiting.empty() && m_queue.Size() < UdpLineQueue::kCapacity) {
        m_queue.Push(std::move(m_waiting.front()));
        m_waiting.pop_front();
    }
}

void LiveLineFeeder::CloseWhenDrained() {
    if (!m_inputEnded || m_queue.Size() > 0 || !m_waiting.empty()) return;
    for (const QPointer<PacketSequence>& sequence : m_sequences) {
        if (sequence) sequence->Close();
    }
}

}  // namespace tavrel
