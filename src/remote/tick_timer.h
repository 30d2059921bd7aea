#pragma once

#include <chrono>
#include <optional>

#include <QObject>
#include <QTimer>

namespace tavrel {

// A single-shot timer for a moment on the steady clock, finer than Qt's whole milliseconds: it is
// armed to wake a little before the moment and blocks the event thread for the rest (under two
// milliseconds), so that it fires neither early nor, on an idle machine, late. It always fires
// from the event loop, never from Start, even for a moment already past.
class TickTimer : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    explicit TickTimer(QObject* parent = nullptr);

    // Fires at `when` (at once from the event loop when that is past); replaces any earlier start.
    void Start(TimePoint when);
    void Stop();
    bool Active() const { return m_when.has_value(); }
    // The moment it fires; none while stopped.
    std::optional<TimePoint> When() const { return m_when; }

signals:
    void timeout();

private:
    void Woken();

    QTimer m_timer;
    std::optional<TimePoint> m_when;
};

}  // namespace tavrel
