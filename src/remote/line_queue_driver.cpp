#include "remote/line_queue_driver.h"

namespace tavrel {

namespace {

// Traces as decided once: asking the platform whether a debugger is attached is a file read that
// now and then takes milliseconds, and between a tick and its packet it would bring two lines
// closer at the gadget than their ticks are.
class TracesDecidedLogSink : public LogSink {
public:
    TracesDecidedLogSink(LogSink& target, bool tracesShown) : m_target(target), m_tracesShown(tracesShown) {}
    void LogLine(std::string_view text) override { m_target.LogLine(text); }

protected:
    bool DebuggerAttached() const override { return m_tracesShown; }

private:
    LogSink& m_target;
    bool m_tracesShown;
};

}  // namespace

void LineQueueDriver::Schedule() {
    const std::optional<UdpLineQueue::TimePoint> next = m_queue.NextTick(UdpLineQueue::Clock::now());
    if (!next) return;
    if (!m_timer.When() || *m_timer.When() > *next) m_timer.Start(*next);
}

bool LineQueueDriver::Tick(PacketSink& packets, LogSink& log) {
    TracesDecidedLogSink decided(log, log.TracesShown());
    const bool ran = m_queue.Tick(UdpLineQueue::Clock::now(), packets, decided);
    Schedule();
    return ran;
}

}  // namespace tavrel
