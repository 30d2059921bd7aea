// Start-up time of the window: from starting the process until the window is shown with its
// device list filled and the simulated gadget's identifier answered, against a bare Qt Widgets
// window of the same size started the same way, as a ratio. The parent starts this program
// again as a child of either kind, alternately, times each run until the child reports, and
// prints the medians.
//   bench_startup [RUNS]     (the platform is the environment's: xcb under xvfb-run, or offscreen)
#include <algorithm>
#include <cstdio>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "app/tavrel_application.h"
#include "app/tform1.h"
#include "sim/simulated_hid_bus.h"

namespace {

void Report() {
    std::puts("shown");
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
    // Told the moment the answer is shown: a polling wait would add its own sleeps to the figure.
    const auto* id = form.findChild<QLineEdit*>(QStringLiteral("edtDevid"));
    if (id->text().isEmpty()) {
        QEventLoop answered;
        QObject::connect(id, &QLineEdit::textChanged, &answered, &QEventLoop::quit);
        QTimer::singleShot(10000, &answered, &QEventLoop::quit);
        answered.exec();
    }
    if (id->text().isEmpty()) return 1;
    Report();
    return 0;
}

int RunBare(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.resize(603, 531);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, 10000)) return 1;
    Report();
    return 0;
}

double TimeChild(const char* mode) {
    QProcess child;
    QElapsedTimer timer;
    timer.start();
    child.start(QCoreApplication::applicationFilePath(), {mode});
    if (!child.waitForReadyRead(20000) || !child.readAllStandardOutput().startsWith("shown")) {
        std::fprintf(stderr, "%s: the window was not shown: %s\n", mode,
                     child.readAllStandardError().constData());
        return -1;
    }
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    child.waitForFinished(10000);
    return ms;
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && QByteArray(argv[1]) == "--tool") return RunTool(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--bare") return RunBare(argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 11;
    std::vector<double> tool;
    std::vector<double> bare;
    for (int run = 0; run < runs; ++run) {
        bare.push_back(TimeChild("--bare"));
        tool.push_back(TimeChild("--tool"));
        if (bare.back() < 0 || tool.back() < 0) return 1;
        std::printf("run %2d: tool %.1f ms, bare window %.1f ms\n", run + 1, tool.back(), bare.back());
    }
    const double toolMedian = Median(tool);
    const double bareMedian = Median(bare);
    std::printf(
        "start-up to shown window with the gadget's identifier answered (%s platform): median %.1f ms "
        "(min %.1f, max %.1f); bare Qt Widgets window of the same size: median %.1f ms; ratio %.2fx over %d "
        "runs\n",
        qEnvironmentVariable("QT_QPA_PLATFORM", "default").toUtf8().constData(), toolMedian,
        *std::min_element(tool.begin(), tool.end()), *std::max_element(tool.begin(), tool.end()), bareMedian,
        toolMedian / bareMedian, runs);
    return 0;
}
