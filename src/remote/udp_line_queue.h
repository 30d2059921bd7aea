#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "commands/command_packet.h"
#include "common/log_sink.h"

namespace tavrel {

// The script lines received over UDP and their pacing: one line per 10 ms tick, in arrival order,
// each run through the line compiler's live mode into a packet sink. A delay line holds back the
// lines behind it for its duration. The lines keep a 10 ms grid, and a line never runs less than
// 9.5 ms after the previous line's last packet was written: after a late tick the lines catch up at
// that spacing until the grid is reached again, so a late tick loses nothing and a steady sender
// of 100 lines a second is never fallen behind. Only a stall of a second or more starts the grid
// again (and is said). Plain code on a steady clock; the server owns the socket and the timer and
// feeds it.
class UdpLineQueue {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    // Who sent a line, for the server that queued it; 0 for no one in particular.
    using Origin = std::uint64_t;
    // Sends what must be sent once a sender is gone (its release, queued behind its last line)
    // into `packets`; gives whether it sent anything.
    using Release = std::function<bool(Origin origin, PacketSink& packets)>;

    static constexpr std::size_t kCapacity = 10000;
    static constexpr std::chrono::milliseconds kTick{10};
    // The least time from one line's last write to the next line.
    static constexpr std::chrono::microseconds kMinSpacing{9500};
    // A line this late behind the grid starts it again instead of catching up.
    static constexpr std::chrono::seconds kStall{1};
    static constexpr std::chrono::seconds kOverflowReportInterval{1};

    // The line of one datagram (GBK bytes): cut at its first zero byte; line breaks are kept.
    static std::string LineOf(std::string_view datagram);

    // Adds a line that arrived at `now` at the end; false (the line is dropped and counted) when
    // the queue is full.
    bool Push(std::string line, TimePoint now = Clock::now(), Origin origin = 0);
    // Adds, behind the lines waiting, the release of a sender that is gone: at its turn the
    // release handler runs (taking a tick only when it sends something). Not bound by the
    // capacity: one per sender gone.
    void PushRelease(Origin origin, TimePoint now = Clock::now());
    // How many more lines may be pushed now.
    std::size_t Room() const { return m_lines.size() >= kCapacity ? 0 : kCapacity - m_lines.size(); }
    // Counts lines dropped by the caller for want of room, as a full queue counts its own.
    void CountDropped(std::size_t lines) { m_dropped += lines; }
    // Told the origin of each line just before it runs.
    void SetLineStarting(std::function<void(Origin)> starting) { m_starting = std::move(starting); }
    void SetRelease(Release release) { m_release = std::move(release); }
    // When the next tick is due: `now` when a line may run at once (the queue was idle for a tick
    // and no delay holds), else the next point of the 10 ms grid, or when a delay ends; none with
    // nothing waiting. Not always a whole millisecond from `now`.
    std::optional<TimePoint> NextTick(TimePoint now) const;
    // One tick at `now`: when a line is due, takes it and runs it in live mode (keyboard and mouse
    // lines reach `packets` at once), then logs "执行脚本：" and the line, and the line compiler's
    // messages about it; at most one line. Every line logged shows the control bytes escaped
    // (EscapeControlBytes). The next line's spacing counts from the moment its last packet was
    // written (on the steady clock; `now` when that is later, or when it wrote none). Gives
    // whether a line ran.
    bool Tick(TimePoint now, PacketSink& packets, LogSink& log);
    // Drops every waiting line and any delay.
    void Clear();

    std::size_t Size() const { return m_lines.size(); }
    // The lines waiting, without the releases queued behind them.
    std::size_t Lines() const;
    // "UDP队列已满，已丢弃N行" with the lines dropped since the last such line, at most once a
    // second; none when nothing was dropped or the last report is less than a second old.
    std::optional<std::string> TakeOverflowReport(TimePoint now);
    // "UDP队列延迟N毫秒，重新计时" when a line ran a second or more behind the grid and started it
    // again; none otherwise. Taken once.
    std::optional<std::string> TakeStallReport();

private:
    // When the next line is due on the grid (or when a delay ends), possibly already past.
    std::optional<TimePoint> Due(TimePoint now) const;

    struct Entry {
        std::string line;
        Origin origin = 0;
        bool release = false;
    };
    // Moves the grid to the point of the line running at `now`.
    void AdvanceGrid(TimePoint now);

    std::deque<Entry> m_lines;
    std::function<void(Origin)> m_starting;
    Release m_release;
    // The grid's point for the next line (a delay moves it to where the delay ends).
    TimePoint GridPoint() const;

    std::optional<TimePoint> m_grid;  // the grid's point of the last line run
    TimePoint m_lastWrite{};          // when the last line's last packet was written
    bool m_arrivedIdle = false;       // the front line came to an idle queue: its tick is when it runs
    TimePoint m_heldUntil{};
    std::size_t m_dropped = 0;
    std::optional<TimePoint> m_lastOverflowReport;
    std::optional<std::chrono::milliseconds> m_stall;
};

}  // namespace tavrel
