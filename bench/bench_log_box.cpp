// How the log box copes with many lines: time to append batches of log lines to a shown window,
// so that a long session (thousands of replies, a UDP stream) stays smooth.
//   bench_log_box [LINES]
#include <algorithm>
#include <cstdio>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include "app/tavrel_application.h"
#include "app/tform1.h"
#include "common/gbk_literal.h"
#include "sim/simulated_hid_bus.h"

int main(int argc, char** argv) {
    using tavrel::operator""_gbk;
    tavrel::TavrelApplication app(argc, argv);
    const int total = argc > 1 ? std::max(1000, QByteArray(argv[1]).toInt()) : 20000;
    tavrel::SimulatedHidBus bus;
    const auto platform = bus.CreatePlatform();
    tavrel::TForm1 form(QCoreApplication::applicationDirPath() + '/', *platform);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) return 1;

    constexpr int kBatch = 1000;
    double worst = 0;
    QElapsedTimer all;
    all.start();
    for (int done = 0; done < total; done += kBatch) {
        QElapsedTimer batch;
        batch.start();
        for (int i = 0; i < kBatch; ++i)
            form.LogLine("已回复64"_gbk);
        QCoreApplication::processEvents();  // let the box repaint as it would between events
        const double ms = static_cast<double>(batch.nsecsElapsed()) / 1e6;
        worst = std::max(worst, ms);
        if ((done / kBatch) % 5 == 0)
            std::printf("lines %6d-%6d: %.1f ms per 1000\n", done, done + kBatch, ms);
    }
    const double ms = static_cast<double>(all.nsecsElapsed()) / 1e6;
    std::printf("log box: %d lines in %.0f ms (%.1f us a line), slowest batch of 1000: %.1f ms\n", total, ms,
                ms * 1000 / total, worst);
    return 0;
}
