#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tavrel {

// A log that never holds up the program writing it: lines go into a bounded buffer, and a thread
// of its own writes them out. A standard error nobody reads (a paused terminal, a pipe into a
// pager) fills the buffer and no more; the lines that do not fit are dropped and counted, and
// "N log lines dropped: standard error is not being read" takes their place once there is room.
// The descriptor is written as it is (never made non-blocking: a terminal shares that setting with
// every process on it); a write that blocks when the log finishes is cut short by a signal to the
// writing thread.
class LogWriter {
public:
    // Lines buffered or being written, at most.
    static constexpr std::size_t kCapacityBytes = std::size_t{256} << 10;

    // Writes to the file descriptor `fd` with write(2); with `fd` below 0, to `stream` instead (for
    // callers whose output is no descriptor, which must not block).
    LogWriter(int fd, std::ostream* stream);
    // Finish(kDefaultGrace), unless finished already.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    static constexpr std::chrono::milliseconds kDefaultGrace{100};

    // Adds one line (UTF-8, without its line end). Any thread; never blocks on the output.
    void Line(std::string_view text);
    // Waits at most `limit` for the lines added so far to be written; gives whether they were.
    bool Flush(std::chrono::milliseconds limit);
    // Waits at most `grace` for the buffered lines to be written, then ends the writing thread,
    // cutting a blocked write short; lines added after are dropped.
    void Finish(std::chrono::milliseconds grace = kDefaultGrace);
    // Why the output could not be written (a closed pipe, a full disk), in the system's words;
    // none while every write worked. Lines are not written after such a failure.
    std::optional<std::string> Failure() const;

private:
    void Write();
    bool WriteAll(std::string_view bytes);

    int m_fd;
    std::ostream* m_stream;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;     // lines to write, or finishing
    std::condition_variable m_drained;  // everything written, or the thread has left
    std::string m_buffer;
    std::size_t m_inFlight = 0;  // bytes the thread took and is writing
    std::size_t m_dropped = 0;
    bool m_finishing = false;
    bool m_finished = false;
    std::optional<std::string> m_failure;
    std::atomic<bool> m_abort = false;  // a blocked write gives up
    bool m_done = false;                // the thread has left
    struct sigaction m_previousInterrupt {};
    std::thread m_thread;
};

}  // namespace tavrel
