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
#include "common/standard_descriptors.h"
#include "common/text_escape.h"
#include "hid/linux_hidraw.h"
#include "remote/key_file.h"
#include "sim/simulated_hid_bus.h"
#include "sim/simulated_setup.h"

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
    tavrel::OpenClosedStandardDescriptors();
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
        tavrel::PlatformSetup setup(options.platform,
                                    [](const std::string& line) { std::cerr << "tavrel: " << line << '\n'; });
        if (const auto& error = setup.StateError()) {
            std::cerr << "tavrel: " << error->message << "\n";
            return error->exitStatus;
        }
        if (const std::string error = setup.TraceOpenMessage(); !error.empty()) {
            std::cerr << "tavrel: " << error << "\n";
            return 2;
        }
        const QHostAddress udpBind = options.udpBind.empty()
                                         ? QHostAddress(QHostAddress::AnyIPv4)
                                         : QHostAddress(QString::fromStdString(options.udpBind));
        tavrel::KeySet keys;
        if (!options.udpKeys.empty()) {
            if (const std::optional<std::string> error = tavrel::LoadKeyFile(options.udpKeys, keys)) {
                std::cerr << "tavrel: " << *error << "\n";
                return 2;
            }
        }
        tavrel::TForm1 Form1(tavrel::ExecutableFolder(), setup.Platform(), udpBind);
        if (!options.udpKeys.empty()) Form1.ScriptServer().UseDtls(std::move(keys));
        Form1.show();
        return app.exec();
    } catch (...) {
        // An error that escapes start-up or the event loop ends the program after showing it.
        tavrel::ShowErrorMessage(tavrel::CurrentExceptionText());
        return 1;
    }
}
