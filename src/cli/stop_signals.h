#pragma once

#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tavrel {

// While it lives, SIGTERM and SIGINT no longer end the process: each calls `onStop` from the event
// loop instead (through a pipe the handler writes to, so the loop wakes at once). Given `onHangUp`,
// SIGHUP calls it the same way instead of ending the process. The dispositions before are restored
// when it goes. One at a time.
class StopSignals {
public:
    explicit StopSignals(std::function<void()> onStop, std::function<void()> onHangUp = {});
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void Drain();

    std::function<void()> m_onStop;
    std::function<void()> m_onHangUp;
    int m_pipe[2] = {-1, -1};
    struct sigaction m_previousTerm {};
    struct sigaction m_previousInt {};
    struct sigaction m_previousHup {};
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace tavrel
