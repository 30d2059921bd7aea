#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hid/hid_platform.h"
#include "sim/gadget_firmware.h"

namespace tavrel {

// An interface to plug into the simulated bus: what the platform reports about it, and whether a
// gadget firmware answers its output reports.
struct SimulatedInterfaceDescription {
    std::string path;
    HidAttributes attributes;
    HidCapabilities capabilities;
    std::u16string productString;
    std::u16string manufacturerString;
    // Set: a gadget firmware with this device identifier answers the output reports. Unset: a
    // passive device that takes output reports (if it has any) and answers none.
    std::optional<std::uint32_t> gadgetIdentifier;
};

inline constexpr std::uint32_t kSimulatedGadgetIdentifier = 0x12345678;

// The gadget: vendor 0x4132, 65-byte input and output reports, "Tavrel USB Gadget".
SimulatedInterfaceDescription SimulatedGadget(std::string path = "sim:gadget-1",
                                              std::uint32_t deviceIdentifier = kSimulatedGadgetIdentifier);
// A mouse of another vendor: 5-byte input reports, no output report, "USB Optical Mouse".
SimulatedInterfaceDescription SimulatedMouse(std::string path = "sim:mouse-1");
// Another interface of the gadget's vendor whose output reports are 63 bytes long with the report
// id: one short of what a command packet needs, so it is no gadget.
SimulatedInterfaceDescription SimulatedVendorInterface(std::string path = "sim:vendor-1");

// One output report an interface received; `sequence` orders the reports of all interfaces.
struct ReceivedReport {
    std::uint64_t sequence = 0;
    std::string path;
    std::vector<std::uint8_t> bytes;
};

namespace simulated_bus_detail {
struct BusCore;
}

// A bus of virtual HID interfaces that stands in for the operating system's HID access.
// CreatePlatform gives the production side (HidPlatform and its handles, as stated in
// hid_platform.h); everything else here is the control and inspection side for tests and for the
// tool's simulate mode. Every method may be called from any thread.
//
// Functions taking a path throw std::out_of_range for a path that was never plugged in; an
// interface that has been unplugged stays known (with its gadget's state) until a new interface
// is plugged in under its path.
class SimulatedHidBus {
public:
    SimulatedHidBus();
    ~SimulatedHidBus();
    SimulatedHidBus(const SimulatedHidBus&) = delete;
    SimulatedHidBus& operator=(const SimulatedHidBus&) = delete;

    // A platform showing this bus. Platforms and their handles share the bus's state, so they may
    // outlive this object. Destroy a monitoring platform on the thread that started monitoring.
    std::unique_ptr<HidPlatform> CreatePlatform();

    // Plugs in a new interface (a fresh gadget, with erased flash) and gives its path. Throws
    // std::invalid_argument for an empty path or one that is plugged in now.
    std::string Plug(SimulatedInterfaceDescription description);
    // Takes an interface off the bus: its handles fail from now on and its queued input is dropped.
    // False when it was not plugged in.
    bool Unplug(const std::string& path);
    // Plugs an unplugged interface back in, the same device with its flash kept, under a new
    // device id; its old handles stay dead. False when it is plugged in already.
    bool Replug(const std::string& path);
    // False also for a path never plugged in.
    bool IsPluggedIn(const std::string& path) const;

    // Whether HID access works at all (default true); without it nothing is listed or opened.
    void SetAvailable(bool available);
    // Makes opening in `mode` fail for the interface (default: every mode opens). QueryOnly cannot
    // be refused: std::invalid_argument.
    void SetOpenRefused(const std::string& path, HidOpenMode mode, bool refused);
    // Handles of the interface that are open now (opened and neither closed nor destroyed).
    std::size_t OpenHandleCount(const std::string& path) const;
    // Reads blocked in WaitRead on the interface now; lets a test wait until a reader is parked.
    std::size_t WaitingReaderCount(const std::string& path) const;

    // Queues input reports (report id first, any length) as if the interface had sent them; false
    // when it is not plugged in. Readers take queued reports in order, one report per read.
    bool InjectInputReport(const std::string& path, std::vector<std::uint8_t> report);
    bool InjectInputReports(const std::string& path, std::vector<std::vector<std::uint8_t>> reports);
    std::size_t QueuedInputReportCount(const std::string& path) const;

    // Output reports written to interfaces under the path, as written, oldest first. The bus keeps
    // at least the last 4096 reports of all interfaces.
    std::vector<std::vector<std::uint8_t>> ReceivedReports(const std::string& path) const;
    // Output reports written to any interface, in the order they were written.
    std::vector<ReceivedReport> AllReceivedReports() const;
    // Calls `observer` with every output report an interface takes from now on (path, bytes as
    // written), in order, on the writing thread and with the bus held: it must not call back
    // into the bus. Unset by an empty function.
    void SetReceivedReportObserver(
        std::function<void(const std::string& path, std::span<const std::uint8_t>)> observer);
    // Calls `observer` with a gadget's whole flash each time a report it took changed it, on the
    // writing thread and with the bus held: it must not call back into the bus. Unset by an empty
    // function.
    void SetFlashObserver(
        std::function<void(const std::string& path, const std::vector<std::uint8_t>& flash)> observer);

    // A copy of the gadget's firmware state (flash, playback, packets, typed input); none for a
    // passive device.
    std::optional<GadgetFirmware> GadgetState(const std::string& path) const;
    // Sets the gadget's fault; throws std::invalid_argument for a passive device.
    void SetGadgetFault(const std::string& path, GadgetFault fault);
    // Makes the gadget take `delay` to answer each packet, as a real one does (a millisecond or
    // more): its answers reach a reader that long after the packet, or after the answer before.
    // Injected reports are not delayed. Throws std::invalid_argument for a passive device.
    void SetAnswerDelay(const std::string& path, std::chrono::microseconds delay);
    // Makes every write to the interface fail with the system error `error` (an errno value:
    // ENODEV and the like as an unplugged device's, others as a failing port's) until it is reset
    // with none. The reports are not taken.
    void SetWriteFault(const std::string& path, std::optional<int> error);
    // Runs `change` on the gadget's firmware with the bus held (e.g. to fill its flash); `change`
    // must not call back into the bus. Throws std::invalid_argument for a passive device.
    void UpdateGadget(const std::string& path, const std::function<void(GadgetFirmware&)>& change);

private:
    std::shared_ptr<simulated_bus_detail::BusCore> m_core;
};

}  // namespace tavrel
