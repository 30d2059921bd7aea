#include "cli/devices_command.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string_view>

#include <QCoreApplication>
#include <QString>

#include "cli/cli_status.h"
#include "cli/command_registry.h"
#include "cli/core_application.h"
#include "commands/gadget_filter.h"
#include "common/gbk_text.h"
#include "common/json_text.h"
#include "common/text_escape.h"
#include "hid/hid_device_controller.h"
#include "hid/linux_hidraw.h"
#include "sim/platform_options.h"
#include "sim/simulated_hid_bus.h"

namespace tavrel {

namespace {

struct DevicesOptions {
    PlatformSetup::Options platform{.otherInterfaces = true};
    bool json = false;
};

DevicesOptions ParseDevicesOptions(std::span<const std::string> args) {
    DevicesOptions options;
    ReadArguments(
        *FindCliCommand("devices"), args,
        [&](const OptionDef& def, const std::optional<std::string>& value) {
            if (&def == &cli_options::kJson) {
                options.json = true;
            } else if (auto error = ApplyPlatformOption(def, value, options.platform)) {
                throw UsageError(*error);
            }
        },
        [](const std::string&) {});
    if (auto error = CheckPlatformOptions(options.platform)) throw UsageError(*error);
    return options;
}

std::string Utf8(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())).toStdString();
}

}  // namespace

int RunDevicesCommand(std::span<const std::string> args, const CliStreams& io) {
    const DevicesOptions options = ParseDevicesOptions(args);

    // The controller reports from the event loop; a command line has none until now.
    std::optional<QCoreApplication> application;
    EnsureApplication(application);

    PlatformSetup setup(options.platform,
                        [&io](const std::string& line) { io.err << "tavrel-cli: " << line << '\n'; });
    if (const auto& error = setup.StateError())
        return ReportSimStateError(io, error->exitStatus, error->message);
    if (const std::string error = setup.TraceOpenMessage(); !error.empty()) throw UsageError(error);
    HidPlatform* platform = &setup.Platform();
    if (!platform->Available()) {
        // Nothing to list is not a failure: an empty list, said on standard error.
        io.err << "tavrel-cli: no HID access here (" << EscapeControlCharacters(options.platform.sysfsRoot)
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
        if (options.json) {
            JsonObject line;
            line.Text("path", device.PnPInfo().DevicePath)
                .Text("vendor_id", FormatText("%04X", identity.vendorId))
                .Text("product_id", FormatText("%04X", identity.productId))
                .Number("input_report_bytes", caps.inputReportByteLength)
                .Number("output_report_bytes", caps.outputReportByteLength)
                .Bool("gadget", gadget)
                .Text("access", device.ReadWriteAccess() ? "rw" : "query-only");
            if (cause.empty()) {
                line.Null("access_error");
            } else {
                line.Text("access_error", cause);
            }
            io.out << line.Text("product", product).Str() << '\n';
        } else {
            io.out << EscapeControlCharacters(device.PnPInfo().DevicePath) << '\t'
                   << FormatText("VID=%04X PID=%04X", identity.vendorId, identity.productId) << '\t'
                   << "in=" << caps.inputReportByteLength << '\t' << "out=" << caps.outputReportByteLength
                   << '\t' << (gadget ? "gadget" : "-") << '\t'
                   << (device.ReadWriteAccess() ? "rw" : "query-only") << '\t'
                   << (cause.empty() ? std::string("-") : EscapeControlCharacters(cause)) << '\t'
                   << EscapeControlCharacters(product) << '\n';
        }
        ++interfaces;
        gadgets += gadget ? 1 : 0;
        return true;
    });
    controller.Enumerate();
    io.err << interfaces << (interfaces == 1 ? " HID interface, " : " HID interfaces, ") << gadgets
           << (gadgets == 1 ? " gadget\n" : " gadgets\n");
    return setup.TraceFailed() || setup.StateFailed() ? kExitFailed : kExitOk;
}

}  // namespace tavrel
