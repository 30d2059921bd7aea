#include "remote/udp_line_queue.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/gbk_literal.h"
#include "common/text_escape.h"
#include "script/line_compiler.h"
#include "script/script_record.h"

namespace tavrel {

namespace {

// Keeps the lines logged to it for later; traces as the sink it stands in for.
class HeldLogSink : public LogSink {
public:
    explicit HeldLogSink(const LogSink& target) : m_target(target) {}
    void LogLine(std::string_view text) override { m_lines.emplace_back(text); }
    const std::vector<std::string>& Lines() const { return m_lines; }

protected:
    bool DebuggerAttached() const override { return m_target.TracesShown(); }

private:
    const LogSink& m_target;
    std::vector<std::string> m_lines;
};

// Hands packets on, with what sending them has to say held in the line's log, and notes when the
// last one was written.
class WriteTimingPacketSink : public PacketSink {
public:
    WriteTimingPacketSink(PacketSink& target, LogSink& log) : m_target(target), m_log(log) {}
    void SendPacket(const CommandPacket& packet) override {
        m_target.SendPacket(packet, m_log);
        m_lastWrite = UdpLineQueue::Clock::now();
    }
    void SendPacket(const CommandPacket& packet, LogSink& log) override {
        m_target.SendPacket(packet, log);
        m_lastWrite = UdpLineQueue::Clock::now();
    }
    std::optional<UdpLineQueue::TimePoint> LastWrite() const { return m_lastWrite; }

private:
    PacketSink& m_target;
    LogSink& m_log;
    std::optional<UdpLineQueue::TimePoint> m_lastWrite;
};

// How long a delay line holds the queue: its record's pause, in 10 ms units; 0 for other lines.
std::chrono::milliseconds HoldOf(std::string_view line) {
    std::array<std::uint8_t, kScriptRecordSize> record{};
    SilentLogSink silent;
    if (CompileScriptLine(line, record, silent) != 1 || RecordKindOf(record[0]) != kKindPause) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(10 * ((record[1] << 8) | record[2]));
}

}  // namespace

std::string UdpLineQueue::LineOf(std::string_view datagram) {
    return std::string(datagram.substr(0, datagram.find('\0')));
}

bool UdpLineQueue::Push(std::string line, TimePoint now, Origin origin) {
    if (m_lines.size() >= kCapacity) {
        ++m_dropped;
        return false;
    }
    const bool wasEmpty = m_lines.empty();
    m_lines.push_back({std::move(line), origin, false});
    if (wasEmpty) m_arrivedIdle = *Due(now) <= now;
    return true;
}

void UdpLineQueue::PushRelease(Origin origin, TimePoint now) {
    const bool wasEmpty = m_lines.empty();
    m_lines.push_back({std::string(), origin, true});
    if (wasEmpty) m_arrivedIdle = *Due(now) <= now;
}

UdpLineQueue::TimePoint UdpLineQueue::GridPoint() const {
    return std::max(*m_grid + kTick, m_heldUntil);
}

std::optional<UdpLineQueue::TimePoint> UdpLineQueue::Due(TimePoint now) const {
    if (m_lines.empty()) return std::nullopt;
    if (!m_grid) return std::max(now, m_heldUntil);
    return std::max(GridPoint(), m_lastWrite + kMinSpacing);
}

std::optional<UdpLineQueue::TimePoint> UdpLineQueue::NextTick(TimePoint now) const {
    const std::optional<TimePoint> due = Due(now);
    if (!due) return std::nullopt;
    return *due < now ? now : *due;
}

void UdpLineQueue::AdvanceGrid(TimePoint now) {
    // A late tick keeps the 10 ms grid (a timer always fires a little late, and 100 lines a second
    // must stay 100): the lines behind it follow at the least spacing until the grid is reached
    // again. A line that came to an idle queue starts the grid from now; so does a stall of a second
    // or more (the event thread was held up), which is said rather than made up.
    if (m_arrivedIdle || !m_grid) {
        m_grid = now;
    } else if (const TimePoint point = GridPoint(); now - point >= kStall) {
        m_stall = std::chrono::duration_cast<std::chrono::milliseconds>(now - point);
        m_grid = now;
    } else {
        m_grid = point;
    }
    m_arrivedIdle = false;
}

bool UdpLineQueue::Tick(TimePoint now, PacketSink& packets, LogSink& log) {
    const std::optional<TimePoint> due = Due(now);
    if (!due || *due > now) return false;
    HeldLogSink messages(log);
    WriteTimingPacketSink timed(packets, messages);
    // A sender's release takes the tick only when it sends something.
    while (!m_lines.empty() && m_lines.front().release) {
        const Origin origin = m_lines.front().origin;
        m_lines.pop_front();
        if (m_release && m_release(origin, timed)) {
            AdvanceGrid(now);
            m_lastWrite = timed.LastWrite() ? std::max(now, *timed.LastWrite()) : now;
            for (const std::string& message : messages.Lines())
                log.LogLine(message);
            return true;
        }
    }
    if (m_lines.empty()) return false;
    AdvanceGrid(now);
    const Entry entry = std::move(m_lines.front());
    m_lines.pop_front();
    if (m_starting) m_starting(entry.origin);
    const std::string& line = entry.line;
    // The packets go out first and the lines about them are logged after, in their order:
    // appending to the log box takes long and varies, and before the packets it would bring two
    // lines closer at the gadget than their ticks are.
    CompileScriptLine(line, timed, messages);
    // The write's own moment on the steady clock: measured from `now` instead, a thread held up
    // between taking `now` and writing would move it back by as long.
    m_lastWrite = timed.LastWrite() ? std::max(now, *timed.LastWrite()) : now;
    // The line came from outside: what is logged about it shows its control bytes escaped, so a
    // line break in it cannot start a log line of its own; the line itself runs as received.
    ControlEscapingLogSink escaping(log);
    escaping.LogLine(std::string("执行脚本："_gbk) + line);
    for (const std::string& message : messages.Lines())
        escaping.LogLine(message);
    if (const auto hold = HoldOf(line); hold.count() > 0) m_heldUntil = now + hold;
    return true;
}

std::optional<std::string> UdpLineQueue::TakeStallReport() {
    if (!m_stall) return std::nullopt;
    std::string report(std::string_view("UDP队列延迟"_gbk));
    report += std::to_string(std::exchange(m_stall, std::nullopt)->count());
    report += "毫秒，重新计时"_gbk;
    return report;
}

std::size_t UdpLineQueue::Lines() const {
    return static_cast<std::size_t>(
        std::count_if(m_lines.begin(), m_lines.end(), [](const Entry& entry) { return !entry.release; }));
}

void UdpLineQueue::Clear() {
    m_lines.clear();
    m_arrivedIdle = false;
    m_heldUntil = {};
}

std::optional<std::string> UdpLineQueue::TakeOverflowReport(TimePoint now) {
    if (m_dropped == 0) return std::nullopt;
    if (m_lastOverflowReport && now - *m_lastOverflowReport < kOverflowReportInterval) return std::nullopt;
    m_lastOverflowReport = now;
    std::string report(std::string_view("UDP队列已满，已丢弃"_gbk));
    report += std::to_string(std::exchange(m_dropped, 0));
    report += "行"_gbk;
    return report;
}

}  // namespace tavrel
