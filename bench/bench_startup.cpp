// Start-up time of the window: how long from starting the process until its window is shown.
// The parent starts this program again as a child that brings up the window exactly as the tool
// does and reports once the window is exposed; the parent times each run and prints the median.
//   bench_startup [RUNS]     (the platform is the environment's: xcb under xvfb-run, or offscreen)
#include <algorithm>
#include <cstdio>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include "app/tavrel_application.h"
#include "app/tform1.h"
#include "sim/simulated_hid_bus.h"

namespace {

int RunChild(int argc, char** argv) {
    tavrel::TavrelApplication app(argc, argv);
    // The folder of this program holds no production marker, as in an ordinary installation.
    tavrel::SimulatedHidBus bus;
    const auto platform = bus.CreatePlatform();
    tavrel::TForm1 form(QCoreApplication::applicationDirPath() + '/', *platform);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form, 10000)) return 1;
    std::puts("shown");
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && QByteArray(argv[1]) == "--child") return RunChild(argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 11;
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        QProcess child;
        QElapsedTimer timer;
        timer.start();
        child.start(QCoreApplication::applicationFilePath(), {"--child"});
        if (!child.waitForReadyRead(20000) || !child.readAllStandardOutput().startsWith("shown")) {
            std::fprintf(stderr, "run %d: the window was not shown: %s\n", run + 1,
                         child.readAllStandardError().constData());
            return 1;
        }
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        child.waitForFinished(10000);
        std::printf("run %2d: %.1f ms\n", run + 1, times.back());
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "start-up to shown window (%s platform): median %.1f ms, min %.1f ms, max %.1f ms over %d runs\n",
        qEnvironmentVariable("QT_QPA_PLATFORM", "default").toUtf8().constData(), times[times.size() / 2],
        times.front(), times.back(), runs);
    return 0;
}
