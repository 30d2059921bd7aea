#include "cli/live_lines.h"

#include <algorithm>
#include <chrono>
#include <istream>

namespace tavrel {

LineReader::LineReader(std::istream& in, QObject* context, std::function<void(std::string, std::size_t)> line,
                       std::function<void()> ended) {
    in.tie(nullptr);  // the reader must not flush standard output behind the event thread's back
    m_thread = std::thread([&in, context, line = std::move(line), ended = std::move(ended)] {
        std::string text;
        for (std::size_t number = 1; std::getline(in, text); ++number) {
            if (text.ends_with('\r')) text.pop_back();
            QMetaObject::invokeMethod(
                context, [line, text, number] { line(text, number); }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(context, ended, Qt::QueuedConnection);
    });
}

LineReader::~LineReader() {
    m_thread.join();
}

LiveLineFeeder::LiveLineFeeder(LogSink& log, std::vector<QPointer<PacketSequence>> sequences)
    : m_log(log), m_sequences(std::move(sequences)) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LiveLineFeeder::Tick);
}

void LiveLineFeeder::Push(std::string line) {
    m_waiting.push_back(std::move(line));
    Refill();
    Schedule();
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
    m_queue.Tick(UdpLineQueue::Clock::now(), *this, m_log);
    Refill();
    Schedule();
    CloseWhenDrained();
}

void LiveLineFeeder::Schedule() {
    const auto now = UdpLineQueue::Clock::now();
    const std::optional<UdpLineQueue::TimePoint> next = m_queue.NextTick(now);
    if (!next) return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    m_timer.start(std::max<int>(0, static_cast<int>(wait.count())));
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
