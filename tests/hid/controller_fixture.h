#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QTest>

#include "hid/hid_device_controller.h"
#include "hid/hid_device_read_thread.h"
#include "sim/simulated_hid_bus.h"

namespace tavrel::test {

// A controller over a simulated bus, recording its events as text: "arrival <path>",
// "removal <path>", "unplug <path>", "change".
class ControllerFixture {
public:
    ControllerFixture() : platform(bus.CreatePlatform()) {}

    void Start() {
        controller = std::make_unique<THidDeviceController>(*platform);
        controller->SetOnArrival(Record("arrival"));
        controller->SetOnRemoval(Record("removal"));
        controller->SetDevUnplug(Record("unplug"));
        controller->SetDeviceChangeEvent([this](THidDeviceController&) {
            events.push_back("change");
            ++changes;
        });
        AwaitChange();  // the start-up notice
    }

    // Runs the event loop until the controller has reported one more change (or gives up).
    bool AwaitChange(int timeoutMs = 5000) {
        const int before = changes;
        return QTest::qWaitFor([&] { return changes > before; }, timeoutMs);
    }

    // Runs pending events, then takes the recorded events.
    std::vector<std::string> TakeEvents() {
        QCoreApplication::processEvents();
        return std::exchange(events, {});
    }

    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const THidDevice* device : controller->DeviceList())
            paths.push_back(device->PnPInfo().DevicePath);
        return paths;
    }

    int IndexOf(const std::string& path) const {
        const auto& list = controller->DeviceList();
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (list[i]->PnPInfo().DevicePath == path) return static_cast<int>(i);
        }
        return -1;
    }

    // Checks out the device at `path`, failing the test when it cannot.
    THidDevice* CheckOut(const std::string& path) {
        THidDevice* device = nullptr;
        EXPECT_TRUE(controller->CheckOutByIndex(device, IndexOf(path))) << path;
        return device;
    }

    SimulatedHidBus bus;
    std::unique_ptr<HidPlatform> platform;
    std::unique_ptr<THidDeviceController> controller;
    std::vector<std::string> events;
    int changes = 0;

private:
    THidPlugEvent Record(std::string what) {
        return MakeHidEvent<THidPlugEvent>(
            [this, what](THidDevice& device) { events.push_back(what + " " + device.PnPInfo().DevicePath); });
    }
};

// A 65-byte input report: report id, then 64 bytes starting with `first`.
inline std::vector<std::uint8_t> InputReport(std::uint8_t reportId, std::uint8_t first,
                                             std::uint8_t second = 0) {
    std::vector<std::uint8_t> report(65, 0);
    report[0] = reportId;
    report[1] = first;
    report[2] = second;
    return report;
}

}  // namespace tavrel::test
