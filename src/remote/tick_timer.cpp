#include "remote/tick_timer.h"

#include <algorithm>
#include <thread>

namespace tavrel {

namespace {

// The event loop rounds its waits up to whole milliseconds, so a timer may wake up to a millisecond
// after its time; waking one millisecond early leaves the rest to a short blocking wait.
constexpr std::chrono::milliseconds kWakeEarly{1};
// A wake-up this far before the moment is re-armed instead of waited out.
constexpr std::chrono::milliseconds kLongestBlockingWait{2};

int WholeMillisecondsBefore(TickTimer::TimePoint when, TickTimer::TimePoint now) {
    const auto wait = std::chrono::floor<std::chrono::milliseconds>(when - now) - kWakeEarly;
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
}

}  // namespace

TickTimer::TickTimer(QObject* parent) : QObject(parent) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TickTimer::Woken);
}

void TickTimer::Start(TimePoint when) {
    m_when = when;
    m_timer.start(WholeMillisecondsBefore(when, Clock::now()));
}

void TickTimer::Stop() {
    m_when.reset();
    m_timer.stop();
}

void TickTimer::Woken() {
    if (!m_when) return;
    const TimePoint when = *m_when;
    const TimePoint now = Clock::now();
    if (when - now > kLongestBlockingWait) {
        m_timer.start(WholeMillisecondsBefore(when, now));
        return;
    }
    if (when > now) std::this_thread::sleep_until(when);
    m_when.reset();
    emit timeout();
}

}  // namespace tavrel
