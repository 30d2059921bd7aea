// tavrel-cli's download with verification to many gadgets at once: a 43-line script (42 records,
// five chunks written and read back) to 1, 16 and 64 simulated gadgets that each take 2 ms to
// answer a packet, as real ones do. Each gadget has its own exchange, so 16 should take about as
// long as one. Prints the median of several runs of the whole command (first scan included).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "cli/gadget_commands.h"
#include "sim/simulated_hid_bus.h"
#include "sim/simulated_setup.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Script() {
    std::string script = "注释：43行\n";
    for (int i = 0; i < 42; ++i)
        script += "按键：A\n";
    return script;
}

// Milliseconds the command took, or a negative number when it failed.
double DownloadMs(int gadgets) {
    tavrel::SimulatedHidBus bus;
    tavrel::PlugSimulatedGadgets(bus, gadgets);
    for (int i = 1; i <= gadgets; ++i)
        bus.SetAnswerDelay("sim:gadget-" + std::to_string(i), std::chrono::milliseconds(2));
    const auto platform = bus.CreatePlatform();
    std::istringstream in(Script());
    std::ostringstream out;
    std::ostringstream err;
    const std::vector<std::string> args = {"download", "--all", "--verify", "-"};
    const auto start = Clock::now();
    const int status = tavrel::RunGadgetCommandOn(*platform, args, tavrel::CliStreams{in, out, err});
    const auto end = Clock::now();
    if (status != 0) {
        std::fprintf(stderr, "download to %d gadgets failed (%d):\n%s%s", gadgets, status, out.str().c_str(),
                     err.str().c_str());
        return -1;
    }
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double MedianMs(int gadgets, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double ms = DownloadMs(gadgets);
        if (ms < 0) return -1;
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const double one = MedianMs(1, runs);
    const double sixteen = MedianMs(16, runs);
    const double sixtyFour = MedianMs(64, runs);
    if (one < 0 || sixteen < 0 || sixtyFour < 0) return 1;
    std::printf("download --verify of a 43-line script, gadgets answering after 2 ms (median of %d runs)\n",
                runs);
    std::printf("   1 gadget:  %7.1f ms\n", one);
    std::printf("  16 gadgets: %7.1f ms (%.2fx)\n", sixteen, sixteen / one);
    std::printf("  64 gadgets: %7.1f ms (%.2fx; target at most 1.5x)\n", sixtyFour, sixtyFour / one);
    return 0;
}
