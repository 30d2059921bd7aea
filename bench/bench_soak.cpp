// A long run of the window as an operator leaves it: the window (in a process of its own, over a
// simulated gadget) with the UDP script server enabled on loopback, fed 100 script lines a second
// from this process. Prints, each minute, the window's resident memory and its growth per hour
// once the log box is full, its heap in use, its share of a core, the lines a second that reached
// the gadget and the smallest gap between two lines' reports reaching it.
//   bench_soak [MINUTES]      (3 unless given; TAVREL_SOAK_MINUTES also sets it)
//   bench_soak --window       (the window's process; started by the above)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <malloc.h>
#include <unistd.h>

#include "app/tavrel_application.h"
#include "app/tform1.h"
#include "commands/command_codes.h"
#include "common/gbk_literal.h"
#include "hid/hid_platform.h"
#include "sim/gadget_firmware.h"
#include "sim/simulated_hid_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
using tavrel::operator""_gbk;

constexpr int kLinesPerSecond = 100;
constexpr int kStatusIntervalMs = 1000;
constexpr int kLogBoxLines = 20000;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string FormatMb(double mb) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f MB/h", mb);
    return text;
}

bool IsLiveCode(std::uint8_t code) {
    return code == tavrel::CMD_KEYBOARD || code == tavrel::CMD_KEYBOARD_HID || code == tavrel::CMD_MOUSE ||
           code == tavrel::CMD_MOUSE_HID;
}

// When live reports reach the gadget: their count and the smallest gap between two of them.
struct LiveReportTimes {
    long long count = 0;
    std::optional<Clock::time_point> last;
    Clock::duration smallestGap = Clock::duration::max();
    long long gapsUnder9500us = 0;

    void Took() {
        const auto now = Clock::now();
        if (last) {
            const auto gap = now - *last;
            smallestGap = std::min(smallestGap, gap);
            if (gap < std::chrono::microseconds(9500)) ++gapsUnder9500us;
        }
        last = now;
        ++count;
    }
};

// The simulated gadget's handle, timing the live reports (one per line) as they reach it.
class SoakHandle : public tavrel::HidHandle {
public:
    SoakHandle(std::unique_ptr<tavrel::HidHandle> inner, LiveReportTimes& times)
        : m_inner(std::move(inner)), m_times(times) {}

    std::optional<tavrel::HidAttributes> GetAttributes() override { return m_inner->GetAttributes(); }
    std::optional<tavrel::HidCapabilities> GetCaps() override { return m_inner->GetCaps(); }
    std::optional<std::u16string> GetProductString() override { return m_inner->GetProductString(); }
    std::optional<std::u16string> GetManufacturerString() override {
        return m_inner->GetManufacturerString();
    }
    bool Write(std::span<const std::uint8_t> report) override {
        if (report.size() > 1 && IsLiveCode(report[1])) m_times.Took();
        return m_inner->Write(report);
    }
    bool QueueRead(std::size_t length) override { return m_inner->QueueRead(length); }
    WaitResult WaitRead(std::chrono::milliseconds slice) override { return m_inner->WaitRead(slice); }
    std::size_t TakeReadResult(std::span<std::uint8_t> into) override {
        return m_inner->TakeReadResult(into);
    }
    bool CancelRead() override { return m_inner->CancelRead(); }
    std::uint32_t LastError() const override { return m_inner->LastError(); }
    std::string LastErrorText() const override { return m_inner->LastErrorText(); }
    void Close() override { m_inner->Close(); }

private:
    std::unique_ptr<tavrel::HidHandle> m_inner;
    LiveReportTimes& m_times;
};

class SoakPlatform : public tavrel::HidPlatform {
public:
    SoakPlatform(tavrel::SimulatedHidBus& bus, LiveReportTimes& times)
        : m_inner(bus.CreatePlatform()), m_times(times) {}

    bool Available() const override { return m_inner->Available(); }
    std::vector<tavrel::HidInterface> EnumerateInterfaces() override {
        return m_inner->EnumerateInterfaces();
    }
    tavrel::HidOpenResult Open(const std::string& path, tavrel::HidOpenMode mode) override {
        tavrel::HidOpenResult result = m_inner->Open(path, mode);
        if (result.handle) result.handle = std::make_unique<SoakHandle>(std::move(result.handle), m_times);
        return result;
    }
    void StartMonitoring(std::function<void()> notice) override {
        m_inner->StartMonitoring(std::move(notice));
    }

private:
    std::unique_ptr<tavrel::HidPlatform> m_inner;
    LiveReportTimes& m_times;
};

// The window's process: prints "port N" once the server listens, then a status line every few
// seconds: "status <live reports> <smallest gap in us> <gaps under 9.5 ms> <log box lines> <queue size>
// <heap bytes in use>".
int RunWindow(int argc, char** argv) {
    tavrel::TavrelApplication app(argc, argv);
    tavrel::SimulatedHidBus bus;
    bus.Plug(tavrel::SimulatedGadget());
    LiveReportTimes times;
    SoakPlatform platform(bus, times);
    tavrel::TForm1 form(QCoreApplication::applicationDirPath() + '/', platform, QHostAddress::LocalHost);
    form.show();
    if (!QTest::qWaitFor([&] { return form.Link().SelectedGadget().has_value(); }, 10000)) {
        std::fprintf(stderr, "no gadget selected\n");
        return 1;
    }
    form.findChild<QLineEdit*>(QStringLiteral("edtUdpPort"))->setText(QStringLiteral("0"));
    form.findChild<QCheckBox*>(QStringLiteral("chkUdp"))->setChecked(true);
    std::printf("port %d\n", form.ScriptServer().Udp1()->BoundPort());
    std::fflush(stdout);

    const QPlainTextEdit* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
    QTimer status;
    QObject::connect(&status, &QTimer::timeout, [&] {
        const long long gapUs =
            times.smallestGap == Clock::duration::max()
                ? -1
                : std::chrono::duration_cast<std::chrono::microseconds>(times.smallestGap).count();
        std::printf("status %lld %lld %lld %d %zu %zu\n", times.count, gapUs, times.gapsUnder9500us,
                    memo->blockCount(), form.ScriptServer().Queue().Size(), mallinfo2().uordblks);
        std::fflush(stdout);
    });
    status.start(kStatusIntervalMs);
    return app.exec();
}

struct ProcessTimes {
    long rssKb = 0;
    double cpuSeconds = 0;
};

ProcessTimes Sample(qint64 pid) {
    ProcessTimes sample;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) sample.rssKb = std::atol(line.c_str() + 6);
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name (which may hold blanks), from field 3 on: utime is 14, stime 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    sample.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return sample;
}

int RunDriver(int argc, char** argv, double minutes) {
    QCoreApplication app(argc, argv);
    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--window")});
    if (!window.waitForStarted(10000)) {
        std::fprintf(stderr, "the window's process did not start\n");
        return 1;
    }
    const qint64 pid = window.processId();

    quint16 port = 0;
    auto lastStatusAt = Clock::now();
    long long reports = 0, gapUs = -1, shortGaps = 0, boxLines = 0, queued = 0, heapInUse = 0;
    QObject::connect(&window, &QProcess::readyReadStandardOutput, [&] {
        while (window.canReadLine()) {
            const QByteArray line = window.readLine().trimmed();
            if (line.startsWith("port ")) port = static_cast<quint16>(line.mid(5).toUInt());
            if (line.startsWith("status ")) {
                std::istringstream in(line.mid(7).toStdString());
                in >> reports >> gapUs >> shortGaps >> boxLines >> queued >> heapInUse;
                lastStatusAt = Clock::now();
            }
        }
    });
    if (!QTest::qWaitFor([&] { return port != 0; }, 30000)) {
        std::fprintf(stderr, "the window's UDP server did not start\n");
        return 1;
    }

    // 100 lines a second on a steady schedule: each tick sends the lines due by then.
    QUdpSocket sender;
    const std::string line(std::string_view("按键：A"_gbk));
    const QByteArray datagram(line.data(), static_cast<qsizetype>(line.size()));
    const auto start = Clock::now();
    long long sent = 0;
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feed, &QTimer::timeout, [&] {
        const long long due = static_cast<long long>(Ms(Clock::now() - start) * kLinesPerSecond / 1000) + 1;
        for (; sent < due; ++sent)
            sender.writeDatagram(datagram, QHostAddress::LocalHost, port);
    });
    feed.start(5);

    const ProcessTimes first = Sample(pid);
    std::printf("soak: %.1f minutes, %d lines a second over loopback; start: resident %.1f MB\n", minutes,
                kLinesPerSecond, first.rssKb / 1024.0);
    std::optional<std::pair<Clock::time_point, long>> full;  // when the log box was first seen full
    ProcessTimes lastMinute = first;
    long long reportsLastMinute = 0;
    auto lastMinuteAt = Clock::now();
    double smallestGapMs = std::numeric_limits<double>::max();
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        const ProcessTimes now = Sample(pid);
        const auto at = Clock::now();
        const double seconds = Ms(at - lastMinuteAt) / 1000;
        const double cpu = 100 * (now.cpuSeconds - lastMinute.cpuSeconds) / seconds;
        const double rate = static_cast<double>(reports - reportsLastMinute) / seconds;
        if (gapUs >= 0) smallestGapMs = gapUs / 1000.0;
        std::string growth = "log box not full yet";
        if (full && at - full->first > std::chrono::seconds(30)) {
            const double hours = Ms(at - full->first) / 3600e3;
            growth = FormatMb((now.rssKb - full->second) / 1024.0 / hours) + " since the log box filled, " +
                     FormatMb((now.rssKb - lastMinute.rssKb) / 1024.0 / (seconds / 3600)) + " this minute";
        }
        std::printf(
            "minute %.0f: resident %.1f MB (%s), CPU %.1f %% of a core, %.1f lines/s reached the "
            "gadget, smallest gap %.2f ms (%lld under 9.5 ms), log box %lld lines, queue %lld, heap in use "
            "%.1f MB\n",
            Ms(at - start) / 60e3, now.rssKb / 1024.0, growth.c_str(), cpu, rate, smallestGapMs, shortGaps,
            boxLines, queued, static_cast<double>(heapInUse) / (1 << 20));
        std::fflush(stdout);
        lastMinute = now;
        reportsLastMinute = reports;
        lastMinuteAt = at;
    });
    sample.start(60000);
    // The growth is measured from when the log box is full: filling it is memory that stays.
    QTimer fill;
    QObject::connect(&fill, &QTimer::timeout, [&] {
        if (boxLines < kLogBoxLines) return;
        full = {Clock::now(), Sample(pid).rssKb};
        std::printf("log box full after %.0f s: resident %.1f MB\n", Ms(full->first - start) / 1000,
                    full->second / 1024.0);
        std::fflush(stdout);
        fill.stop();
    });
    fill.start(1000);

    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
    static_cast<void>(
        QTest::qWaitFor([&] { return Clock::now() >= end; }, static_cast<int>(minutes * 60000) + 1000));
    feed.stop();
    sample.stop();
    const ProcessTimes last = Sample(pid);
    const double seconds = Ms(lastStatusAt - start) / 1000;
    std::string growth = "log box never full";
    if (full) {
        growth = FormatMb((last.rssKb - full->second) / 1024.0 / (Ms(Clock::now() - full->first) / 3600e3)) +
                 " over the last " + std::to_string(static_cast<int>(Ms(Clock::now() - full->first) / 1000)) +
                 " s";
    }
    std::printf(
        "end: resident %.1f MB at the start, %.1f MB at the end, growth %s; CPU %.1f %% of a core; %lld "
        "lines sent, %lld reached the gadget (%.2f lines/s); smallest gap %.2f ms (%lld under 9.5 ms)\n",
        first.rssKb / 1024.0, last.rssKb / 1024.0, growth.c_str(),
        100 * (last.cpuSeconds - first.cpuSeconds) / (Ms(Clock::now() - start) / 1000), sent, reports,
        static_cast<double>(reports) / seconds, gapUs / 1000.0, shortGaps);
    window.kill();
    window.waitForFinished(10000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--window") return RunWindow(argc, argv);
    double minutes = 3;
    if (const char* env = std::getenv("TAVREL_SOAK_MINUTES")) minutes = std::atof(env);
    if (argc > 1) minutes = std::atof(argv[1]);
    if (minutes <= 0) {
        std::fprintf(stderr, "usage: bench_soak [MINUTES]\n");
        return 2;
    }
    return RunDriver(argc, argv, minutes);
}
