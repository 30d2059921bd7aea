#include "cli/stop_signals.h"

#include <cerrno>
#include <system_error>

#include <QSocketNotifier>
#include <fcntl.h>
#include <unistd.h>

namespace tavrel {

namespace {

volatile sig_atomic_t g_writeEnd = -1;

void WakeLoop(int signal) {
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    // A full pipe already holds a wake-up; nothing else can be done in a handler anyway.
    [[maybe_unused]] const ssize_t written = write(g_writeEnd, &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop, std::function<void()> onHangUp)
    : m_onStop(std::move(onStop)), m_onHangUp(std::move(onHangUp)) {
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
    if (m_onHangUp) sigaction(SIGHUP, &action, &m_previousHup);
}

StopSignals::~StopSignals() {
    sigaction(SIGTERM, &m_previousTerm, nullptr);
    sigaction(SIGINT, &m_previousInt, nullptr);
    if (m_onHangUp) sigaction(SIGHUP, &m_previousHup, nullptr);
    m_notifier.reset();
    g_writeEnd = -1;
    close(m_pipe[0]);
    close(m_pipe[1]);
}

void StopSignals::Drain() {
    char bytes[16];
    bool stop = false;
    bool hangUp = false;
    for (ssize_t got = 0; (got = read(m_pipe[0], bytes, sizeof bytes)) > 0;) {
        for (ssize_t i = 0; i < got; ++i) {
            if (bytes[i] == SIGHUP) {
                hangUp = true;
            } else {
                stop = true;
            }
        }
    }
    if (hangUp && m_onHangUp) m_onHangUp();
    if (stop) m_onStop();
}

}  // namespace tavrel
