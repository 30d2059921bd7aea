#include "cli/stop_signals.h"

#include <cerrno>
#include <system_error>

#include <QSocketNotifier>
#include <fcntl.h>
#include <unistd.h>

namespace tavrel {

namespace {

volatile sig_atomic_t g_writeEnd = -1;

void WakeLoop(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing else can be done in a handler anyway.
    [[maybe_unused]] const ssize_t written = write(g_writeEnd, &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop) : m_onStop(std::move(onStop)) {
    if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    g_writeEnd = m_pipe[1];
    m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
    struct sigaction action {};
    action.sa_handler = WakeLoop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &m_previousTerm);
    sigaction(SIGINT, &action, &m_previousInt);
}

StopSignals::~StopSignals() {
    sigaction(SIGTERM, &m_previousTerm, nullptr);
    sigaction(SIGINT, &m_previousInt, nullptr);
    m_notifier.reset();
    g_writeEnd = -1;
    close(m_pipe[0]);
    close(m_pipe[1]);
}

void StopSignals::Drain() {
    char bytes[16];
    while (read(m_pipe[0], bytes, sizeof bytes) > 0) {
    }
    m_onStop();
}

}  // namespace tavrel
