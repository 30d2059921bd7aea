// Start-up time and peak memory of the window: from starting the process until the window is
// shown with its device list filled and the simulated gadget's identifier answered, against two
// bare Qt Widgets windows of the same size started the same way: an empty one, and one showing a
// line of Chinese text (the baseline: the tool cannot start without its fonts). The parent starts
// this program again as a child of each kind in turn, times each run until the child reports,
// reads the peak resident memory (VmHWM) the child reports, and prints the medians and ratios.
//   bench_startup [RUNS]     (the platform is the environment's: xcb under xvfb-run, or offscreen)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "app/tavrel_application.h"
#include "app/tform1.h"
#include "sim/simulated_hid_bus.h"

namespace {

// The child's peak resident memory so far, in KiB.
long PeakKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// Tells the parent a step was reached: "mapped" (the window's first frame is shown), then "shown"
// (all the start-up work is done), each with the peak memory so far.
void Report(const char* step) {
    std::printf("%s %ld\n", step, PeakKib());
    std::fflush(stdout);
}

int RunTool(int argc, char** argv) {
    tavrel::TavrelApplication app(argc, argv);
    tavrel::SimulatedHidBus bus;
    bus.Plug(tavrel::SimulatedGadget());
    const auto platform = bus.CreatePlatform();
    // The folder of this program holds no production marker, as in an ordinary installation.
    tavrel::TForm1 form(QCoreApplication::applicationDirPath() + '/', *platform);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form, 10000)) return 1;
    Report("mapped");
    // Told the moment the answer is shown: a polling wait would add its own sleeps to the figure.
    const auto* id = form.findChild<QLineEdit*>(QStringLiteral("edtDevid"));
    if (id->text().isEmpty()) {
        QEventLoop answered;
        QObject::connect(id, &QLineEdit::textChanged, &answered, &QEventLoop::quit);
        QTimer::singleShot(10000, &answered, &QEventLoop::quit);
        answered.exec();
    }
    if (id->text().isEmpty()) return 1;
    Report("shown");
    return 0;
}

int RunBare(int argc, char** argv, bool chinese) {
    QApplication app(argc, argv);
    QWidget window;
    window.resize(603, 531);
    QLabel text(QStringLiteral("注释：设备自动控制"), &window);
    text.move(16, 16);
    text.setVisible(chinese);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, 10000)) return 1;
    Report("mapped");
    Report("shown");
    return 0;
}

struct Run {
    double mappedMs = -1;  // to the first frame shown
    double mappedPeakMib = 0;
    double ms = -1;  // to all the start-up work done
    double peakMib = 0;
};

Run TimeChild(const char* mode) {
    QProcess child;
    QElapsedTimer timer;
    timer.start();
    child.start(QCoreApplication::applicationFilePath(), {mode});
    Run run;
    // Each line is timed as it arrives.
    while (run.ms < 0 && (child.canReadLine() || child.waitForReadyRead(20000))) {
        while (child.canReadLine()) {
            const QByteArray line = child.readLine().trimmed();
            const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            const double peakMib = line.mid(line.indexOf(' ') + 1).toDouble() / 1024.0;
            if (line.startsWith("mapped")) run.mappedMs = ms, run.mappedPeakMib = peakMib;
            if (line.startsWith("shown")) run.ms = ms, run.peakMib = peakMib;
        }
    }
    if (run.ms < 0 || run.mappedMs < 0) {
        std::fprintf(stderr, "%s: the window was not shown: %s\n", mode,
                     child.readAllStandardError().constData());
        return {};
    }
    child.waitForFinished(10000);
    return run;
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && QByteArray(argv[1]) == "--tool") return RunTool(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--bare") return RunBare(argc, argv, false);
    if (argc > 1 && QByteArray(argv[1]) == "--chinese") return RunBare(argc, argv, true);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 11;
    const char* kinds[] = {"--bare", "--chinese", "--tool"};
    std::vector<double> ms[3];
    std::vector<double> mib[3];
    std::vector<double> mappedMs[3];
    std::vector<double> mappedMib[3];
    for (int run = 0; run < runs; ++run) {
        for (int kind = 0; kind < 3; ++kind) {
            const Run measured = TimeChild(kinds[kind]);
            if (measured.ms < 0) return 1;
            ms[kind].push_back(measured.ms);
            mib[kind].push_back(measured.peakMib);
            mappedMs[kind].push_back(measured.mappedMs);
            mappedMib[kind].push_back(measured.mappedPeakMib);
        }
        std::printf(
            "run %2d: tool mapped %.1f ms (identifier %.1f ms), window with Chinese text %.1f ms, bare "
            "window %.1f ms\n",
            run + 1, mappedMs[2].back(), ms[2].back(), ms[1].back(), ms[0].back());
    }
    const double mappedTime = Median(mappedMs[2]);
    const double mappedPeak = Median(mappedMib[2]);
    const double time[3] = {Median(ms[0]), Median(ms[1]), Median(ms[2])};
    const double peak[3] = {Median(mib[0]), Median(mib[1]), Median(mib[2])};
    std::printf(
        "start-up to shown window with the gadget's identifier answered (%s platform), medians of %d runs:\n",
        qEnvironmentVariable("QT_QPA_PLATFORM", "default").toUtf8().constData(), runs);
    std::printf("  bare Qt Widgets window:           %6.1f ms, peak %5.1f MiB\n", time[0], peak[0]);
    std::printf("  the same showing Chinese text:    %6.1f ms, peak %5.1f MiB\n", time[1], peak[1]);
    std::printf("  tavrel with a simulated gadget:   %6.1f ms, peak %5.1f MiB (min %.1f ms, max %.1f ms)\n",
                time[2], peak[2], *std::min_element(ms[2].begin(), ms[2].end()),
                *std::max_element(ms[2].begin(), ms[2].end()));
    std::printf("  tavrel to its window mapped:      %6.1f ms, peak %5.1f MiB\n", mappedTime, mappedPeak);
    std::printf(
        "  tavrel mapped against the Chinese-text window: %.2fx the time, %.2fx the memory (goal: 1.15x "
        "each)\n",
        mappedTime / time[1], mappedPeak / peak[1]);
    std::printf(
        "  tavrel with the identifier against the Chinese-text window: %.2fx the time, %.2fx the memory\n",
        time[2] / time[1], peak[2] / peak[1]);
    std::printf("  tavrel against the bare window:         %.2fx the time, %.2fx the memory\n",
                time[2] / time[0], peak[2] / peak[0]);
    return 0;
}
