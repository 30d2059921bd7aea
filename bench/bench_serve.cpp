// tavrel-cli serve over 16 simulated gadgets, fed from this process over loopback: the time from a
// datagram sent to its line's reports written to every gadget (datagrams 15 to 30 ms apart), the
// lines a second it keeps up when fed more than it may run, its CPU time while nothing arrives,
// and its resident memory at start and after MINUTES at 100 lines a second.
//   bench_serve [MINUTES]      (1 unless given; TAVREL_SERVE_BENCH_MINUTES also sets it)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cli/serve_command.h"
#include "common/gbk_literal.h"
#include "common/log_sink.h"
#include "hid/hid_platform.h"
#include "script/line_compiler.h"
#include "serve_bench_support.h"
#include "sim/simulated_hid_bus.h"

namespace {

using tavrel::bench::Arrivals;
using tavrel::bench::Clock;
using tavrel::bench::CpuMs;
using tavrel::bench::Ms;
using tavrel::bench::PacketCounter;
using tavrel::bench::ResidentMb;
using tavrel::bench::SharedTextBuffer;
using tavrel::operator""_gbk;
using namespace std::chrono_literals;

constexpr int kGadgets = 16;

class Sender {
public:
    explicit Sender(int port) : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        m_target.sin_family = AF_INET;
        m_target.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &m_target.sin_addr);
    }
    ~Sender() { close(m_fd); }
    void Send(const std::string& bytes) {
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&m_target),
               sizeof m_target);
    }

private:
    int m_fd;
    sockaddr_in m_target{};
};

bool WaitUntil(const std::function<bool()>& condition, Clock::duration limit = 10s) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

void Feed(SharedTextBuffer& log, Arrivals& arrivals, int minutes) {
    if (!WaitUntil([&] { return log.Text().find("listening on 127.0.0.1:") != std::string::npos; })) return;
    const std::string text = log.Text();
    const int port = std::stoi(text.substr(text.find("listening on 127.0.0.1:") + 23));
    if (!WaitUntil([&] { return log.Text().find("serving sim:gadget-16") != std::string::npos; })) {
        std::printf("the gadgets were never served\n");
        return;
    }
    std::this_thread::sleep_for(500ms);  // the first scan's readers settle
    Sender sender(port);
    const std::string line(std::string_view("按键：A"_gbk));

    // Latency: one line at a time, 15 to 30 ms apart.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> gap(15000, 30000);
    std::vector<double> latencies;
    for (int i = 0; i < 400; ++i) {
        const std::size_t before = arrivals.Lines();
        const Clock::time_point sent = Clock::now();
        sender.Send(line);
        if (!WaitUntil([&] { return arrivals.Lines() > before; }, 2s)) {
            std::printf("line %d never reached every gadget\n", i);
            return;
        }
        latencies.push_back(Ms(arrivals.Done(before) - sent));
        std::this_thread::sleep_until(sent + std::chrono::microseconds(gap(random)));
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "datagram to reports on all %d gadgets, %zu lines 15-30 ms apart: median %.3f ms, p99 %.3f ms, max "
        "%.3f ms (goals <= 1, <= 2)\n",
        kGadgets, latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
        latencies.back());

    // Sustained rate: fed 120 lines a second for 10 s; lines may run at most every 9.5 ms.
    {
        const std::size_t before = arrivals.Lines();
        const int lines = 1200;
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < lines; ++i) {
            std::this_thread::sleep_until(start + i * std::chrono::microseconds(1000000 / 120));
            sender.Send(line);
        }
        WaitUntil([&] { return arrivals.Lines() >= before + lines; }, 30s);
        const std::size_t done = arrivals.Lines() - before;
        const double seconds =
            std::chrono::duration<double>(arrivals.Done(before + done - 1) - arrivals.Done(before)).count();
        std::printf(
            "fed 120 lines/s for 10 s: %zu of %d lines reached every gadget, at %.2f lines/s (goal >= "
            "99.5)\n",
            done, lines, static_cast<double>(done - 1) / seconds);
    }

    // Idle CPU.
    std::this_thread::sleep_for(1s);
    {
        const double cpu = CpuMs();
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(5s);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("idle with %d gadgets served: %.2f ms of CPU a second (goal < 5)\n", kGadgets,
                    (CpuMs() - cpu) / seconds);
    }

    // Memory at 100 lines a second.
    const double startMb = ResidentMb();
    std::printf("resident memory before the long run: %.1f MB\n", startMb);
    const Clock::time_point start = Clock::now();
    for (int minute = 1; minute <= minutes; ++minute) {
        for (int i = 0; i < 6000; ++i) {
            std::this_thread::sleep_until(start + (minute - 1) * 60s + i * 10ms);
            sender.Send(line);
        }
        std::printf("after %d min at 100 lines/s: resident %.1f MB (%+.2f MB)\n", minute, ResidentMb(),
                    ResidentMb() - startMb);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int minutes = 1;
    if (const char* env = std::getenv("TAVREL_SERVE_BENCH_MINUTES")) minutes = std::max(1, std::atoi(env));
    if (argc > 1) minutes = std::max(1, std::atoi(argv[1]));
    QCoreApplication application(argc, argv);

    tavrel::SimulatedHidBus bus;
    for (int i = 1; i <= kGadgets; ++i)
        bus.Plug(tavrel::SimulatedGadget("sim:gadget-" + std::to_string(i)));
    Arrivals arrivals;
    {
        PacketCounter counter;
        tavrel::SilentLogSink silent;
        tavrel::CompileScriptLine("按键：A"_gbk, counter, silent);
        arrivals.reportsPerLine = counter.count * kGadgets;
    }
    bus.SetReceivedReportObserver(
        [&](const std::string&, std::span<const std::uint8_t>) { arrivals.Took(); });
    std::printf("resident memory with %d gadgets plugged, before serve: %.1f MB\n", kGadgets, ResidentMb());

    SharedTextBuffer errBuffer;
    std::ostream err(&errBuffer);
    std::istringstream in;
    std::ostringstream out;
    std::atomic<bool> done = false;
    std::thread feeder([&] {
        Feed(errBuffer, arrivals, minutes);
        done = true;
    });
    QTimer stopper;
    Clock::time_point stopped{};
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (!done.exchange(false)) return;
        stopped = Clock::now();
        raise(SIGTERM);
    });
    stopper.start(50);
    const std::unique_ptr<tavrel::HidPlatform> platform = bus.CreatePlatform();
    const std::vector<std::string> args = {"--udp-bind", "127.0.0.1", "--port", "0"};
    const int status = tavrel::RunServeCommand(*platform, args, tavrel::CliStreams{in, out, err, false});
    if (status == 0)
        std::printf("SIGTERM to serve's return: %.1f ms (goal <= 100)\n", Ms(Clock::now() - stopped));
    stopper.stop();
    feeder.join();
    bus.SetReceivedReportObserver(nullptr);
    if (status != 0) std::printf("serve ended with %d:\n%s", status, errBuffer.Text().c_str());
    return status;
}
