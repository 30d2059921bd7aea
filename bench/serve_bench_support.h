#pragma once

// What the serve benchmarks share: serve's standard error as text another thread reads, the
// reports every simulated gadget took, and the process's figures.

#include <chrono>
#include <cstddef>
#include <fstream>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "commands/command_packet.h"
#include "support/shared_text_buffer.h"

namespace tavrel::bench {

using Clock = std::chrono::steady_clock;

using test::SharedTextBuffer;

class PacketCounter : public PacketSink {
public:
    void SendPacket(const CommandPacket&) override { ++count; }
    std::size_t count = 0;
};

// Counts the reports all gadgets took and when each line had reached every gadget.
struct Arrivals {
    std::mutex mutex;
    std::size_t reportsPerLine = 0;
    std::size_t reports = 0;
    std::vector<Clock::time_point> linesDone;

    void Took() {
        std::lock_guard lock(mutex);
        if (++reports % reportsPerLine == 0) linesDone.push_back(Clock::now());
    }
    std::size_t Lines() {
        std::lock_guard lock(mutex);
        return linesDone.size();
    }
    Clock::time_point Done(std::size_t line) {
        std::lock_guard lock(mutex);
        return linesDone.at(line);
    }
};

inline double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
           usage.ru_stime.tv_usec / 1e3;
}

inline double ResidentMb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

}  // namespace tavrel::bench
