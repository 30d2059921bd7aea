#include "cli/write_interrupts.h"

#include <unistd.h>

namespace tavrel {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    // Only async-signal-safe calls here.
    static constexpr char kMessage[] = "tavrel-cli: finishing the write; interrupt again to stop at once\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    g_interrupted = 1;
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
}

}  // namespace

WriteInterrupts::WriteInterrupts() {
    g_interrupted = 0;
    struct sigaction finish {};
    finish.sa_handler = OnInterrupt;
    sigemptyset(&finish.sa_mask);
    finish.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &finish, &m_previousInt);
    ::sigaction(SIGTERM, &finish, &m_previousTerm);
}

WriteInterrupts::~WriteInterrupts() {
    ::sigaction(SIGINT, &m_previousInt, nullptr);
    ::sigaction(SIGTERM, &m_previousTerm, nullptr);
}

bool WriteInterrupts::Interrupted() {
    return g_interrupted != 0;
}

}  // namespace tavrel
