// tavrel-cli serve with pre-shared keys over 16 simulated gadgets, fed over DTLS from this process
// on loopback: the time from a record sent to its line's reports written to every gadget (records
// 15 to 30 ms apart), the handshake's time, 64 sessions sending 10 lines a second each for MINUTES
// (memory and CPU), and a flood of 10,000 handshake starts a second: serve's CPU and memory, and
// whether an established session's lines still run on time.
//   bench_dtls [MINUTES]      (1 unless given; TAVREL_DTLS_BENCH_MINUTES also sets it)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QDtls>
#include <QEventLoop>
#include <QTimer>
#include <QUdpSocket>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/serve_command.h"
#include "common/gbk_literal.h"
#include "common/log_sink.h"
#include "hid/hid_platform.h"
#include "remote/dtls_sessions.h"
#include "remote/line_client.h"
#include "script/line_compiler.h"
#include "serve_bench_support.h"
#include "sim/simulated_hid_bus.h"

namespace {

using tavrel::bench::Arrivals;
using tavrel::bench::Clock;
using tavrel::bench::Ms;
using tavrel::bench::PacketCounter;
using tavrel::bench::ResidentMb;
using tavrel::bench::SharedTextBuffer;
using tavrel::operator""_gbk;
using namespace std::chrono_literals;

constexpr int kGadgets = 16;
constexpr int kSessions = 64;

// serve's own thread (the process's main thread): its CPU time, in ms.
double ServeCpuMs() {
    std::ifstream stat("/proc/self/task/" + std::to_string(getpid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs this thread's event loop until `condition` holds or `limit` passes.
bool Pump(const std::function<bool()>& condition, Clock::duration limit = 10s) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        std::this_thread::sleep_for(100us);
    }
    return true;
}

void PumpFor(Clock::duration time) {
    Pump([] { return false; }, time);
}

std::string Identity(int i) {
    return "rig-" + std::to_string(i);
}

std::string Key(int i) {
    std::string key(16, '\0');
    for (std::size_t b = 0; b < key.size(); ++b)
        key[b] = static_cast<char>(i * 16 + b);
    return key;
}

std::unique_ptr<tavrel::LineClient> Client(int port, int i) {
    tavrel::LineClient::Options options;
    options.address = QHostAddress::LocalHost;
    options.port = static_cast<quint16>(port);
    options.psk = tavrel::LineClient::Psk{Identity(i), Key(i)};
    options.timeout = 10s;
    auto client = std::make_unique<tavrel::LineClient>(options);
    client->Start();
    return client;
}

// Latencies of lines sent from `client` while `during` runs between them.
std::vector<double> Latencies(tavrel::LineClient& client, Arrivals& arrivals, int lines) {
    const std::string line = "按键：A";
    std::vector<double> latencies;
    for (int i = 0; i < lines; ++i) {
        const std::size_t before = arrivals.Lines();
        const Clock::time_point sent = Clock::now();
        client.Send(line);
        if (!Pump([&] { return arrivals.Lines() > before; }, 2s)) {
            std::printf("line %d never reached every gadget\n", i);
            return {};
        }
        latencies.push_back(Ms(arrivals.Done(before) - sent));
        PumpFor(std::chrono::microseconds(15000 + (i * 7919) % 15000) - (Clock::now() - sent));
    }
    std::sort(latencies.begin(), latencies.end());
    return latencies;
}

void Feed(SharedTextBuffer& log, Arrivals& arrivals, int minutes) {
    // Sockets and timers of this thread need its own event dispatcher, which a loop makes.
    QEventLoop threadLoop;
    const auto listening = [&] { return log.Text().find("listening on 127.0.0.1:") != std::string::npos; };
    if (!Pump(listening)) return;
    const std::string text = log.Text();
    const int port = std::stoi(text.substr(text.find("listening on 127.0.0.1:") + 23));
    if (!Pump([&] { return log.Text().find("serving sim:gadget-16") != std::string::npos; })) return;
    PumpFor(500ms);

    // Handshakes, one after another.
    std::vector<double> handshakes;
    for (int i = 0; i < 50; ++i) {
        const Clock::time_point start = Clock::now();
        auto client = Client(port, i % kSessions);
        if (!Pump([&] { return client->Ready(); })) {
            std::printf("handshake %d never finished\n", i);
            return;
        }
        handshakes.push_back(Ms(Clock::now() - start));
        client->EndInput();
        PumpFor(5ms);
    }
    std::sort(handshakes.begin(), handshakes.end());
    std::printf("DTLS handshake (PSK, cookie exchange), 50 in a row: median %.3f ms, p99 %.3f ms\n",
                handshakes[handshakes.size() / 2], handshakes[handshakes.size() * 99 / 100]);

    // Latency over one session.
    {
        auto client = Client(port, 0);
        Pump([&] { return client->Ready(); });
        const std::vector<double> latencies = Latencies(*client, arrivals, 400);
        if (latencies.empty()) return;
        std::printf(
            "record to reports on all %d gadgets, %zu lines 15-30 ms apart: median %.3f ms, p99 %.3f ms, max "
            "%.3f ms (goals <= 1, <= 2)\n",
            kGadgets, latencies.size(), latencies[latencies.size() / 2],
            latencies[latencies.size() * 99 / 100], latencies.back());
        client->EndInput();
        PumpFor(100ms);
    }

    // 64 sessions, 10 lines a second each.
    {
        std::vector<std::unique_ptr<tavrel::LineClient>> clients;
        for (int i = 0; i < kSessions; ++i)
            clients.push_back(Client(port, i));
        if (!Pump([&] {
                return std::all_of(clients.begin(), clients.end(), [](auto& c) { return c->Ready(); });
            })) {
            std::printf("the 64 sessions never opened\n");
            return;
        }
        const double startMb = ResidentMb();
        const double cpu = ServeCpuMs();
        const std::size_t before = arrivals.Lines();
        std::printf("64 sessions open: resident %.1f MB\n", startMb);
        const Clock::time_point start = Clock::now();
        std::size_t sent = 0;
        for (int minute = 1; minute <= minutes; ++minute) {
            const Clock::time_point minuteEnd = start + minute * 60s;
            while (Clock::now() < minuteEnd) {
                // Each session sends every 100 ms, the 64 spread over the period.
                const auto elapsed = Clock::now() - start;
                const std::size_t due = static_cast<std::size_t>(elapsed / 100ms) * kSessions +
                                        static_cast<std::size_t>((elapsed % 100ms) * kSessions / 100ms);
                while (sent < due) {
                    clients[sent % kSessions]->Send("按键：A");
                    ++sent;
                }
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
                std::this_thread::sleep_for(200us);
            }
            std::printf(
                "after %d min, 64 sessions at 10 lines/s each: resident %.1f MB (%+.2f MB), %zu lines "
                "sent, %zu run\n",
                minute, ResidentMb(), ResidentMb() - startMb, sent, arrivals.Lines() - before);
            std::fflush(stdout);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("serve's thread meanwhile: %.1f %% of a core\n", (ServeCpuMs() - cpu) / seconds / 10.0);
        for (auto& client : clients)
            client->EndInput();
        PumpFor(500ms);
    }

    // A flood of handshake starts from loopback while one session sends.
    {
        QUdpSocket capture;
        capture.bind(QHostAddress::LocalHost, 0);
        QDtls starter(QSslSocket::SslClientMode);
        starter.setDtlsConfiguration(tavrel::DtlsSessions::Configuration());
        starter.setPeer(QHostAddress::LocalHost, capture.localPort());
        starter.doHandshake(&capture);
        Pump([&] { return capture.hasPendingDatagrams(); });
        QByteArray hello(capture.pendingDatagramSize(), '\0');
        capture.readDatagram(hello.data(), hello.size());

        auto client = Client(port, 1);
        Pump([&] { return client->Ready(); });
        std::atomic<bool> flooding = true;
        std::atomic<long> floodSent = 0;
        std::thread flood([&] {
            QUdpSocket socket;
            socket.bind(QHostAddress::LocalHost, 0);
            const Clock::time_point start = Clock::now();
            for (long i = 0; flooding; ++i) {
                std::this_thread::sleep_until(start + i * 100us);
                socket.writeDatagram(hello, QHostAddress::LocalHost, static_cast<quint16>(port));
                ++floodSent;
            }
        });
        PumpFor(1s);
        const double cpu = ServeCpuMs();
        const double mb = ResidentMb();
        const Clock::time_point start = Clock::now();
        const long sentBefore = floodSent;
        const std::vector<double> latencies = Latencies(*client, arrivals, 250);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double rate = static_cast<double>(floodSent - sentBefore) / seconds;
        flooding = false;
        flood.join();
        std::printf(
            "flood of %.0f handshake starts a second: serve's thread %.1f %% of a core, resident %.1f MB "
            "(%+.2f MB)\n",
            rate, (ServeCpuMs() - cpu) / seconds / 10.0, ResidentMb(), ResidentMb() - mb);
        if (!latencies.empty()) {
            std::printf(
                "meanwhile an established session's lines: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back());
        }
        client->EndInput();
        PumpFor(100ms);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int minutes = 1;
    if (const char* env = std::getenv("TAVREL_DTLS_BENCH_MINUTES")) minutes = std::max(1, std::atoi(env));
    if (argc > 1) minutes = std::max(1, std::atoi(argv[1]));
    QCoreApplication application(argc, argv);

    const std::string keyFile =
        std::filesystem::temp_directory_path() / ("bench_dtls_keys_" + std::to_string(getpid()));
    {
        std::ofstream keys(keyFile);
        for (int i = 0; i < kSessions; ++i) {
            keys << Identity(i) << ' ' << QByteArray::fromStdString(Key(i)).toHex().toStdString() << '\n';
        }
    }
    chmod(keyFile.c_str(), 0600);

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
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (done.exchange(false)) raise(SIGTERM);
    });
    stopper.start(50);
    const std::unique_ptr<tavrel::HidPlatform> platform = bus.CreatePlatform();
    const std::vector<std::string> args = {"--udp-bind", "127.0.0.1", "--port", "0", "--keys", keyFile};
    const int status = tavrel::RunServeCommand(*platform, args, tavrel::CliStreams{in, out, err, false});
    stopper.stop();
    feeder.join();
    bus.SetReceivedReportObserver(nullptr);
    std::filesystem::remove(keyFile);
    if (status != 0) std::printf("serve ended with %d:\n%s", status, errBuffer.Text().c_str());
    return status;
}
