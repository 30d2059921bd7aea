#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <QHostAddress>

#include "app/app_options.h"
#include "app/app_support.h"
#include "app/tavrel_application.h"
#include "app/tform1.h"
#include "hid/linux_hidraw.h"
#include "sim/simulated_hid_bus.h"

namespace {

// Under a Wayland session global keys exist only for X clients, through XWayland: run there,
// unless the user chose a platform.
void PreferXcbUnderWayland(const std::vector<std::string>& args) {
    const bool chosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
                        std::find(args.begin(), args.end(), "-platform") != args.end();
    if (!chosen && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const tavrel::AppOptions options = tavrel::ParseAppOptions(args);
    if (!options.error.empty()) {
        std::cerr << "tavrel: " << options.error << '\n' << tavrel::AppUsage();
        return 2;
    }
    if (options.help) {
        std::cout << tavrel::AppUsage();
        return 0;
    }
    PreferXcbUnderWayland(args);

    tavrel::TavrelApplication app(argc, argv);
    try {
        std::optional<tavrel::SimulatedHidBus> bus;
        std::ofstream trace;
        std::unique_ptr<tavrel::HidPlatform> platform;
        if (options.simulatedGadgets) {
            bus.emplace();
            for (int i = 1; i <= *options.simulatedGadgets; ++i) {
                bus->Plug(tavrel::SimulatedGadget(
                    "sim:gadget-" + std::to_string(i),
                    tavrel::kSimulatedGadgetIdentifier + static_cast<std::uint32_t>(i) - 1));
            }
            if (!options.simTrace.empty()) {
                trace.open(options.simTrace, std::ios::app);
                if (!trace) {
                    std::cerr << "tavrel: cannot open " << options.simTrace << " for the trace\n";
                    return 2;
                }
                bus->SetReceivedReportObserver(
                    [&trace](const std::string& path, std::span<const std::uint8_t> report) {
                        trace << tavrel::SimTraceLine(path, report) << std::endl;  // flushed at once
                    });
            }
            platform = bus->CreatePlatform();
        } else {
            platform = std::make_unique<tavrel::LinuxHidrawPlatform>();
        }
        const QHostAddress udpBind = options.udpBind.empty()
                                         ? QHostAddress(QHostAddress::AnyIPv4)
                                         : QHostAddress(QString::fromStdString(options.udpBind));
        tavrel::TForm1 Form1(tavrel::ExecutableFolder(), *platform, udpBind);
        Form1.show();
        const int status = app.exec();
        if (bus) bus->SetReceivedReportObserver({});
        return status;
    } catch (...) {
        // An error that escapes start-up or the event loop ends the program after showing it.
        tavrel::ShowErrorMessage(tavrel::CurrentExceptionText());
        return 1;
    }
}
