// The UDP script server with a simulated gadget: how long from a datagram's arrival until the
// gadget's report is written, for datagrams 15 to 30 ms apart (median, 99th percentile and maximum
// over 1,000), and the sustained rate for 10,000 lines sent as fast as possible (the queue's
// bound). A sender thread stamps each datagram as it sends it; the bus stamps each report the
// gadget takes.
//   bench_udp_latency [DATAGRAMS] [FLOOD]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/gbk_literal.h"
#include "common/log_sink.h"
#include "gadget/gadget_link.h"
#include "hid/hid_device_controller.h"
#include "remote/udp_script_server.h"
#include "sim/simulated_hid_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
using tavrel::operator""_gbk;

class QuietLog : public tavrel::LogSink {
public:
    void LogLine(std::string_view) override {}

protected:
    bool DebuggerAttached() const override { return false; }
};

// Runs a real event loop (a polling wait would add its own sleeps to the figures) until `done`.
template <typename Done>
void RunUntil(Done done, int timeoutMs) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    check.start(50);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Sends `count` copies of `line` to the port, `gap` apart (none: as fast as possible).
std::vector<Clock::time_point> SendLines(quint16 port, int count, const std::string& line, bool paced) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::mt19937 random(42);
    std::uniform_int_distribution<int> gap(15, 30);
    std::vector<Clock::time_point> sent;
    for (int i = 0; i < count; ++i) {
        if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
        sent.push_back(Clock::now());
        ::sendto(fd, line.data(), line.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    ::close(fd);
    return sent;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int datagrams = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 1000;
    const int flood = argc > 2 ? std::max(2, QByteArray(argv[2]).toInt()) : 10000;

    tavrel::SimulatedHidBus bus;
    bus.Plug(tavrel::SimulatedGadget());
    std::vector<Clock::time_point> written;
    written.reserve(static_cast<std::size_t>(datagrams + flood));
    bus.SetReceivedReportObserver([&](const std::string&, std::span<const std::uint8_t> report) {
        if (report.size() > 1 && report[1] == 0x1A) written.push_back(Clock::now());
    });
    const auto platform = bus.CreatePlatform();
    QuietLog log;
    tavrel::THidDeviceController controller(*platform);
    tavrel::GadgetLink link(controller, log);
    controller.SetEnumerate([&](tavrel::THidDevice& device, int index) {
        link.Take(device, index);
        return true;
    });
    bool listed = false;
    controller.SetDeviceChangeEvent([&](tavrel::THidDeviceController&) {
        link.Rebuild();
        link.Select(0);
        listed = true;
    });
    if (!QTest::qWaitFor([&] { return listed; }, 10000)) {
        std::fprintf(stderr, "the simulated gadget was not listed\n");
        return 1;
    }

    tavrel::UdpScriptServer server(link, log, QHostAddress::LocalHost);
    server.Enable("0");
    const quint16 port = server.Udp1()->BoundPort();
    const std::string line(std::string_view("按键：A"_gbk));

    // Latency, datagrams 15 to 30 ms apart.
    std::vector<Clock::time_point> sent;
    std::thread sender([&] { sent = SendLines(port, datagrams, line, true); });
    RunUntil([&] { return written.size() >= static_cast<std::size_t>(datagrams); }, datagrams * 40 + 10000);
    sender.join();
    if (written.size() < sent.size()) {
        std::fprintf(stderr, "only %zu of %zu lines reached the gadget\n", written.size(), sent.size());
        return 1;
    }
    std::vector<double> latency;
    for (std::size_t i = 0; i < sent.size(); ++i)
        latency.push_back(Ms(written[i] - sent[i]));
    std::sort(latency.begin(), latency.end());
    std::printf(
        "latency, datagram sent to report written (%d datagrams 15-30 ms apart): median %.3f ms, "
        "p99 %.3f ms, max %.3f ms\n",
        datagrams, latency[latency.size() / 2], latency[latency.size() * 99 / 100], latency.back());

    // Sustained rate.
    written.clear();
    std::thread flooder([&] { SendLines(port, flood, line, false); });
    RunUntil([&] { return written.size() >= static_cast<std::size_t>(flood); }, flood * 12 + 10000);
    flooder.join();
    const double seconds = Ms(written.back() - written.front()) / 1000.0;
    std::printf("sustained: %zu of %d lines ran (lost %d), %.3f lines/s over %.1f s\n", written.size(), flood,
                flood - static_cast<int>(written.size()), static_cast<double>(written.size() - 1) / seconds,
                seconds);
    bus.SetReceivedReportObserver({});
    return 0;
}
