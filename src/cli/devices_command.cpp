#include "cli/devices_command.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string_view>

#include <QCoreApplication>
#include <QString>

#include "cli/cli_status.h"
#include "cli/core_application.h"
#include "commands/gadget_filter.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"
#include "hid/hid_device_controller.h"
#include "hid/linux_hidraw.h"
#include "sim/simulated_hid_bus.h"
#include "sim/simulated_setup.h"

namespace tavrel {

namespace {

struct DevicesOptions {
    std::optional<int> simulatedGadgets;
    std::string simState;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
};

DevicesOptions ParseDevicesOptions(std::span<const std::string> args) {
    DevicesOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const auto value = [&](std::string_view option) -> std::string {
            if (arg.size() > option.size() && arg[option.size()] == '=')
                return std::string(arg.substr(option.size() + 1));
            if (i + 1 >= args.size()) throw UsageError("option " + QuoteText(option) + " needs a value");
            return args[++i];
        };
        if (arg == "--simulate" || arg.starts_with("--simulate=")) {
            std::string error;
            options.simulatedGadgets = ParseSimulatedGadgetCount(
                arg == "--simulate" ? std::nullopt : std::optional(arg.substr(11)), error);
            if (!options.simulatedGadgets) throw UsageError(error);
        } else if (arg == "--sim-state" || arg.starts_with("--sim-state=")) {
            options.simState = value("--sim-state");
            if (options.simState.empty()) throw UsageError("--sim-state needs a file");
        } else if (arg == "--sysfs-root" || arg.starts_with("--sysfs-root=")) {
            options.sysfsRoot = value("--sysfs-root");
        } else if (arg == "--dev-root" || arg.starts_with("--dev-root=")) {
            options.devRoot = value("--dev-root");
        } else {
            throw UsageError("unknown option '" + QuoteText(arg) + "' for devices");
        }
    }
    if (!options.simState.empty() && !options.simulatedGadgets)
        throw UsageError("--sim-state needs --simulate");
    return options;
}

std::string Utf8(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())).toStdString();
}

}  // namespace

int RunDevicesCommand(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
    const DevicesOptions options = ParseDevicesOptions(args);

    // The controller reports from the event loop; a command line has none until now.
    std::optional<QCoreApplication> application;
    EnsureApplication(application);

    PlatformSetup setup(
        {options.simulatedGadgets, {}, true, options.sysfsRoot, options.devRoot, options.simState});
    if (const auto& error = setup.StateError())
        return ReportSimStateError(err, error->exitStatus, error->message);
    HidPlatform* platform = &setup.Platform();
    if (!platform->Available()) {
        err << "tavrel-cli: no HID access here (" << EscapeControlCharacters(options.sysfsRoot)
            << "/class is missing)\n";
        return kExitOk;
    }

    THidDeviceController controller(*platform);
    WaitForFirstScan(controller);

    int interfaces = 0;
    int gadgets = 0;
    controller.SetEnumerate([&](THidDevice& device, int) {
        const HidAttributes& identity = device.Attributes();
        const HidCapabilities caps = device.GetCaps();
        const bool gadget = IsGadget(identity.vendorId, caps.outputReportByteLength);
        const std::string product = Utf8(device.GetProductName());
        // The queries above opened the interface again: its access is as of now.
        const std::string& cause = device.ReadWriteError();
        out << EscapeControlCharacters(device.PnPInfo().DevicePath) << '\t'
            << FormatText("VID=%04X PID=%04X", identity.vendorId, identity.productId) << '\t'
            << "in=" << caps.inputReportByteLength << '\t' << "out=" << caps.outputReportByteLength << '\t'
            << (gadget ? "gadget" : "-") << '\t' << (device.ReadWriteAccess() ? "rw" : "query-only") << '\t'
            << (cause.empty() ? std::string("-") : EscapeControlCharacters(cause)) << '\t'
            << EscapeControlCharacters(product) << '\n';
        ++interfaces;
        gadgets += gadget ? 1 : 0;
        return true;
    });
    controller.Enumerate();
    err << interfaces << (interfaces == 1 ? " HID interface, " : " HID interfaces, ") << gadgets
        << (gadgets == 1 ? " gadget\n" : " gadgets\n");
    return kExitOk;
}

}  // namespace tavrel
