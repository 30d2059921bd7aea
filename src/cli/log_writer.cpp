#include "cli/log_writer.h"

#include <cerrno>
#include <ostream>
#include <system_error>
#include <utility>

#include <pthread.h>
#include <unistd.h>

namespace tavrel {

namespace {

// Sent to the writing thread to cut a blocked write short. Its handler does nothing: the write
// returns EINTR (or what it wrote so far) because the handler is installed without SA_RESTART.
constexpr int kInterruptSignal = SIGURG;

void Interrupted(int) {}

std::string DroppedNotice(std::size_t dropped) {
    return std::to_string(dropped) + (dropped == 1 ? " log line" : " log lines") +
           " dropped: standard error is not being read\n";
}

}  // namespace

LogWriter::LogWriter(int fd, std::ostream* stream) : m_fd(fd), m_stream(stream) {
    if (m_fd >= 0) {
        struct sigaction action {};
        action.sa_handler = Interrupted;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(kInterruptSignal, &action, &m_previousInterrupt);
    }
    m_thread = std::thread([this] { Write(); });
}

LogWriter::~LogWriter() {
    Finish();
    if (m_fd >= 0) sigaction(kInterruptSignal, &m_previousInterrupt, nullptr);
}

void LogWriter::Line(std::string_view text) {
    {
        const std::lock_guard lock(m_mutex);
        if (m_finishing || m_failure) return;
        const auto fits = [&](std::size_t more) {
            return m_buffer.size() + m_inFlight + more <= kCapacityBytes;
        };
        if (m_dropped > 0) {
            const std::string notice = DroppedNotice(m_dropped);
            if (!fits(notice.size() + text.size() + 1)) {
                ++m_dropped;
                return;
            }
            m_buffer += notice;
            m_dropped = 0;
        }
        if (!fits(text.size() + 1)) {
            ++m_dropped;
            return;
        }
        m_buffer += text;
        m_buffer += '\n';
    }
    m_work.notify_one();
}

void LogWriter::Finish(std::chrono::milliseconds grace) {
    std::unique_lock lock(m_mutex);
    if (m_finished) return;
    m_finished = true;
    if (m_dropped > 0 && !m_failure) m_buffer += DroppedNotice(std::exchange(m_dropped, 0));
    m_finishing = true;
    m_work.notify_one();
    m_drained.wait_for(lock, grace, [this] { return m_done; });
    m_abort = true;
    // The thread may be blocked in a write, or about to enter one: signal it until it has left.
    while (!m_done) {
        lock.unlock();
        if (m_fd >= 0) pthread_kill(m_thread.native_handle(), kInterruptSignal);
        lock.lock();
        m_drained.wait_for(lock, std::chrono::milliseconds(1), [this] { return m_done; });
    }
    lock.unlock();
    m_thread.join();
}

bool LogWriter::Flush(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_drained.wait_for(lock, limit,
                              [this] { return m_done || (m_buffer.empty() && m_inFlight == 0); });
}

std::optional<std::string> LogWriter::Failure() const {
    const std::lock_guard lock(m_mutex);
    return m_failure;
}

void LogWriter::Write() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_finishing || !m_buffer.empty(); });
        if (m_buffer.empty() || m_abort) break;
        std::string chunk;
        chunk.swap(m_buffer);
        m_inFlight = chunk.size();
        lock.unlock();
        const bool written = WriteAll(chunk);
        lock.lock();
        m_inFlight = 0;
        if (!written) {
            m_buffer.clear();
            break;
        }
        if (m_buffer.empty()) m_drained.notify_all();
    }
    m_done = true;
    m_drained.notify_all();
}

bool LogWriter::WriteAll(std::string_view bytes) {
    if (m_fd < 0) {
        if (*m_stream << bytes << std::flush) return true;
        const std::lock_guard lock(m_mutex);
        m_failure = "the stream failed";
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(m_fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) {
            if (m_abort) return false;
            continue;
        }
        const std::string reason =
            written < 0 ? std::generic_category().message(errno) : std::string("nothing written");
        const std::lock_guard lock(m_mutex);
        m_failure = reason;
        return false;
    }
    return true;
}

}  // namespace tavrel
