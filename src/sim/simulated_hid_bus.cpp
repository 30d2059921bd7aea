#include "sim/simulated_hid_bus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <utility>

#include <QMetaObject>
#include <QObject>

#include "commands/command_codes.h"

namespace tavrel {

namespace simulated_bus_detail {

// An input report waiting for a reader, from the moment the interface has sent it.
struct QueuedInput {
    std::vector<std::uint8_t> bytes;
    std::chrono::steady_clock::time_point sentAt;
};

struct Interface {
    SimulatedInterfaceDescription description;
    std::optional<GadgetFirmware> firmware;
    bool pluggedIn = false;
    std::uint32_t deviceId = 0;
    unsigned refusedModes = 0;  // one bit per HidOpenMode
    std::deque<QueuedInput> input;
    // How long the gadget takes to answer each packet; its answers leave one after another.
    std::chrono::microseconds answerDelay{0};
    // Set: every write fails with this system error (an errno value), as a failing port would.
    std::optional<int> writeFault;
    // Signalled when input arrives, the interface leaves the bus, or one of its handles closes.
    std::condition_variable changed;
    std::size_t openHandles = 0;
    std::size_t waitingReaders = 0;
};

// Where a monitoring platform's notices go: a QObject living on the thread that started monitoring.
struct MonitorTarget {
    std::unique_ptr<QObject> context;
    std::function<void()> notice;
};

// The bus's state, shared by the bus, its platforms and their handles. One mutex guards all of it,
// including the handles' own state, so that Close, unplugging and a waiting reader see each other.
struct BusCore {
    std::mutex mutex;
    bool available = true;
    std::uint32_t nextDeviceId = 1;
    std::uint64_t nextSequence = 0;
    // In plug-in order; unplugged interfaces stay until their path is plugged in anew.
    std::vector<std::shared_ptr<Interface>> interfaces;
    std::vector<ReceivedReport> received;
    std::function<void(const std::string&, std::span<const std::uint8_t>)> receivedObserver;
    std::function<void(const std::string&, const std::vector<std::uint8_t>&)> flashObserver;
    std::vector<MonitorTarget*> monitors;

    // The functions below expect the mutex held.

    std::shared_ptr<Interface> Find(const std::string& path) const {
        const auto found = std::find_if(interfaces.begin(), interfaces.end(),
                                        [&](const auto& i) { return i->description.path == path; });
        return found == interfaces.end() ? nullptr : *found;
    }

    std::shared_ptr<Interface> Known(const std::string& path) const {
        std::shared_ptr<Interface> found = Find(path);
        if (!found) {
            throw std::out_of_range("no simulated HID interface " + path);
        }
        return found;
    }

    GadgetFirmware& KnownGadget(const std::string& path) const {
        const std::shared_ptr<Interface> found = Known(path);
        if (!found->firmware) {
            throw std::invalid_argument("simulated HID interface " + path + " is not a gadget");
        }
        return *found->firmware;
    }

    std::shared_ptr<Interface> PluggedIn(const std::string& path) const {
        std::shared_ptr<Interface> found = Find(path);
        return found && found->pluggedIn ? found : nullptr;
    }

    // Posted, never called here: the notice runs later on the monitoring thread's event loop,
    // like a real device monitor's.
    void PostNotices() const {
        for (const MonitorTarget* monitor : monitors) {
            QMetaObject::invokeMethod(monitor->context.get(), monitor->notice, Qt::QueuedConnection);
        }
    }

    // Puts the interface at the end of the platform's order, under a new device id.
    void PlugIn(const std::shared_ptr<Interface>& iface) {
        std::erase(interfaces, iface);
        interfaces.push_back(iface);
        iface->pluggedIn = true;
        iface->deviceId = nextDeviceId++;
        PostNotices();
    }

    void TakeOff(Interface& iface) {
        iface.pluggedIn = false;
        iface.input.clear();
        iface.changed.notify_all();
        PostNotices();
    }
};

}  // namespace simulated_bus_detail

namespace {

using simulated_bus_detail::BusCore;
using simulated_bus_detail::Interface;
using simulated_bus_detail::MonitorTarget;
using simulated_bus_detail::QueuedInput;

unsigned ModeBit(HidOpenMode mode) {
    return 1u << static_cast<unsigned>(mode);
}

class SimulatedHidHandle final : public HidHandle {
public:
    // Opened with the bus held.
    SimulatedHidHandle(std::shared_ptr<BusCore> core, std::shared_ptr<Interface> iface, HidOpenMode mode)
        : m_core(std::move(core)),
          m_interface(std::move(iface)),
          m_mode(mode),
          m_deviceId(m_interface->deviceId) {
        ++m_interface->openHandles;
    }

    ~SimulatedHidHandle() override { Close(); }

    std::optional<HidAttributes> GetAttributes() override {
        return Query([](const SimulatedInterfaceDescription& d) { return d.attributes; });
    }
    std::optional<HidCapabilities> GetCaps() override {
        return Query([](const SimulatedInterfaceDescription& d) { return d.capabilities; });
    }
    std::optional<std::u16string> GetProductString() override {
        return Query([](const SimulatedInterfaceDescription& d) { return d.productString; });
    }
    std::optional<std::u16string> GetManufacturerString() override {
        return Query([](const SimulatedInterfaceDescription& d) { return d.manufacturerString; });
    }

    bool Write(std::span<const std::uint8_t> report) override {
        const std::lock_guard lock(m_core->mutex);
        if (!Usable()) {
            return false;
        }
        if (m_mode != HidOpenMode::ReadWrite && m_mode != HidOpenMode::OverlappedWrite) {
            return Fail(kHidErrorNotPermitted);
        }
        if (report.empty() || report.size() > m_interface->description.capabilities.outputReportByteLength) {
            return Fail(kHidErrorIo);
        }
        if (const std::optional<int> fault = m_interface->writeFault) {
            const bool gone = *fault == ENODEV || *fault == ENXIO || *fault == ESHUTDOWN;
            Fail(gone ? kHidErrorDeviceGone : kHidErrorIo);
            m_errorText = std::generic_category().message(*fault);
            return false;
        }
        KeepRecent(m_core->received, ReceivedReport{m_core->nextSequence++,
                                                    m_interface->description.path,
                                                    {report.begin(), report.end()}});
        if (m_core->receivedObserver) m_core->receivedObserver(m_interface->description.path, report);
        if (m_interface->firmware) {
            std::optional<std::vector<std::uint8_t>> before;
            if (m_core->flashObserver) before = m_interface->firmware->flash();
            GadgetResponse response = m_interface->firmware->HandleOutputReport(report);
            if (before && *before != m_interface->firmware->flash())
                m_core->flashObserver(m_interface->description.path, m_interface->firmware->flash());
            if (!response.inputReports.empty()) {
                // Like the firmware's one processor: each answer after the one before it is out.
                auto sentAt = std::chrono::steady_clock::now();
                if (!m_interface->input.empty()) sentAt = std::max(sentAt, m_interface->input.back().sentAt);
                for (std::vector<std::uint8_t>& answer : response.inputReports) {
                    sentAt += m_interface->answerDelay;
                    m_interface->input.push_back({std::move(answer), sentAt});
                }
                m_interface->changed.notify_all();
            }
            if (response.unplugs) {
                m_core->TakeOff(*m_interface);
            }
        }
        m_error = kHidErrorNone;
        return true;
    }

    bool QueueRead(std::size_t length) override {
        const std::lock_guard lock(m_core->mutex);
        if (!Usable()) {
            return false;
        }
        if (m_mode != HidOpenMode::OverlappedRead) {
            return Fail(kHidErrorNotPermitted);
        }
        if (m_read == ReadState::Pending || length == 0) {
            return Fail(kHidErrorIo);
        }
        m_read = ReadState::Pending;
        m_readLength = length;
        m_report.clear();
        m_error = kHidErrorNone;
        return true;
    }

    WaitResult WaitRead(std::chrono::milliseconds slice) override {
        std::unique_lock lock(m_core->mutex);
        if (m_read != ReadState::Pending) {
            // Nothing to wait for: a completed read stays for TakeReadResult; without one, the
            // caller learns why nothing comes.
            if (m_closed || m_read == ReadState::Idle) {
                m_error = m_closed ? kHidErrorClosed : kHidErrorIo;
            }
            return WaitResult::Completed;
        }
        ++m_interface->waitingReaders;
        const auto sliceEnd = std::chrono::steady_clock::now() + slice;
        bool ended = false;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            const std::deque<QueuedInput>& input = m_interface->input;
            ended = m_closed || !Current() || (!input.empty() && input.front().sentAt <= now);
            if (ended || now >= sliceEnd) break;
            const auto until = input.empty() ? sliceEnd : std::min(sliceEnd, input.front().sentAt);
            m_interface->changed.wait_until(lock, until);
        }
        --m_interface->waitingReaders;
        if (!ended) {
            return WaitResult::TimedOut;
        }
        if (m_closed) {
            EndRead(kHidErrorClosed);
        } else if (!Current()) {
            EndRead(kHidErrorDeviceGone);
        } else {
            m_report = std::move(m_interface->input.front().bytes);
            m_interface->input.pop_front();
            // A read shorter than the report gets its beginning, as a hidraw read does.
            if (m_report.size() > m_readLength) {
                m_report.resize(m_readLength);
            }
            EndRead(kHidErrorNone);
        }
        return WaitResult::Completed;
    }

    std::size_t TakeReadResult(std::span<std::uint8_t> into) override {
        const std::lock_guard lock(m_core->mutex);
        if (m_read != ReadState::Completed || m_closed) {
            m_error = m_closed ? kHidErrorClosed : kHidErrorIo;
            return 0;
        }
        m_read = ReadState::Idle;
        m_error = m_readError;
        if (m_readError != kHidErrorNone) {
            return 0;
        }
        const std::size_t count = std::min(into.size(), m_report.size());
        std::copy_n(m_report.begin(), count, into.begin());
        return count;
    }

    bool CancelRead() override {
        const std::lock_guard lock(m_core->mutex);
        if (m_closed) {
            return Fail(kHidErrorClosed);
        }
        if (m_read != ReadState::Pending) {
            return Fail(kHidErrorIo);
        }
        m_read = ReadState::Idle;
        m_error = kHidErrorNone;
        return true;
    }

    std::uint32_t LastError() const override {
        const std::lock_guard lock(m_core->mutex);
        return m_error;
    }

    std::string LastErrorText() const override {
        const std::lock_guard lock(m_core->mutex);
        return m_error == kHidErrorNone || m_errorText.empty() ? HidErrorText(m_error) : m_errorText;
    }

    void Close() override {
        const std::lock_guard lock(m_core->mutex);
        if (m_closed) {
            return;
        }
        m_closed = true;
        --m_interface->openHandles;
        m_interface->changed.notify_all();
    }

private:
    enum class ReadState { Idle, Pending, Completed };

    // The functions below expect the bus held.

    // Whether the interface this handle was opened on is still on the bus; a handle does not
    // follow its interface when it is plugged in again.
    bool Current() const { return m_interface->pluggedIn && m_interface->deviceId == m_deviceId; }

    bool Usable() {
        if (m_closed) {
            return Fail(kHidErrorClosed);
        }
        if (!Current()) {
            return Fail(kHidErrorDeviceGone);
        }
        return true;
    }

    bool Fail(std::uint32_t error) {
        m_error = error;
        m_errorText.clear();
        return false;
    }

    void EndRead(std::uint32_t error) {
        m_read = ReadState::Completed;
        m_readError = error;
        m_error = error;
    }

    template <typename Get>
    std::optional<std::invoke_result_t<Get, const SimulatedInterfaceDescription&>> Query(Get get) {
        const std::lock_guard lock(m_core->mutex);
        if (!Usable()) {
            return std::nullopt;
        }
        m_error = kHidErrorNone;
        return get(m_interface->description);
    }

    const std::shared_ptr<BusCore> m_core;
    const std::shared_ptr<Interface> m_interface;
    const HidOpenMode m_mode;
    const std::uint32_t m_deviceId;
    bool m_closed = false;
    std::uint32_t m_error = kHidErrorNone;
    std::string m_errorText;  // the system's words for a write fault
    ReadState m_read = ReadState::Idle;
    std::size_t m_readLength = 0;
    std::vector<std::uint8_t> m_report;
    std::uint32_t m_readError = kHidErrorNone;
};

class SimulatedHidPlatform final : public HidPlatform {
public:
    explicit SimulatedHidPlatform(std::shared_ptr<BusCore> core) : m_core(std::move(core)) {}

    ~SimulatedHidPlatform() override {
        if (m_monitor) {
            const std::lock_guard lock(m_core->mutex);
            std::erase(m_core->monitors, m_monitor.get());
        }
        // Notices posted and not yet delivered go with the context object.
        m_monitor.reset();
    }

    bool Available() const override {
        const std::lock_guard lock(m_core->mutex);
        return m_core->available;
    }

    std::vector<HidInterface> EnumerateInterfaces() override {
        const std::lock_guard lock(m_core->mutex);
        std::vector<HidInterface> present;
        if (!m_core->available) {
            return present;
        }
        for (const auto& iface : m_core->interfaces) {
            if (iface->pluggedIn) {
                present.push_back({iface->description.path, iface->deviceId});
            }
        }
        return present;
    }

    HidOpenResult Open(const std::string& path, HidOpenMode mode) override {
        const std::lock_guard lock(m_core->mutex);
        if (!m_core->available) {
            return {nullptr, "No HID access"};
        }
        std::shared_ptr<Interface> iface = m_core->PluggedIn(path);
        if (!iface) {
            return {nullptr, "No such device"};
        }
        if ((iface->refusedModes & ModeBit(mode)) != 0) {
            return {nullptr, "Permission denied"};
        }
        return {std::make_unique<SimulatedHidHandle>(m_core, std::move(iface), mode), {}};
    }

    void StartMonitoring(std::function<void()> notice) override {
        const std::lock_guard lock(m_core->mutex);
        if (m_monitor) {
            m_monitor->notice = std::move(notice);
            return;
        }
        // The context object lives on this thread, so posted notices run on its event loop.
        m_monitor =
            std::make_unique<MonitorTarget>(MonitorTarget{std::make_unique<QObject>(), std::move(notice)});
        m_core->monitors.push_back(m_monitor.get());
    }

private:
    const std::shared_ptr<BusCore> m_core;
    std::unique_ptr<MonitorTarget> m_monitor;
};

}  // namespace

SimulatedInterfaceDescription SimulatedGadget(std::string path, std::uint32_t deviceIdentifier) {
    return {
        .path = std::move(path),
        .attributes = {.vendorId = kGadgetVendorId, .productId = 0x0001, .versionNumber = 0x0100},
        .capabilities = {.inputReportByteLength = 65, .outputReportByteLength = 65},
        .productString = u"Tavrel USB Gadget",
        .manufacturerString = u"Tavrel",
        .gadgetIdentifier = deviceIdentifier,
    };
}

SimulatedInterfaceDescription SimulatedMouse(std::string path) {
    return {
        .path = std::move(path),
        .attributes = {.vendorId = 0x1209, .productId = 0x0002, .versionNumber = 0x0110},
        .capabilities = {.inputReportByteLength = 5, .outputReportByteLength = 0},
        .productString = u"USB Optical Mouse",
        .manufacturerString = u"Generic",
        .gadgetIdentifier = std::nullopt,
    };
}

SimulatedInterfaceDescription SimulatedVendorInterface(std::string path) {
    return {
        .path = std::move(path),
        .attributes = {.vendorId = kGadgetVendorId, .productId = 0x0001, .versionNumber = 0x0100},
        .capabilities = {.inputReportByteLength = 63, .outputReportByteLength = 63},
        .productString = u"Tavrel USB Vendor Interface",
        .manufacturerString = u"Tavrel",
        .gadgetIdentifier = std::nullopt,
    };
}

SimulatedHidBus::SimulatedHidBus() : m_core(std::make_shared<BusCore>()) {}

SimulatedHidBus::~SimulatedHidBus() = default;

std::unique_ptr<HidPlatform> SimulatedHidBus::CreatePlatform() {
    return std::make_unique<SimulatedHidPlatform>(m_core);
}

std::string SimulatedHidBus::Plug(SimulatedInterfaceDescription description) {
    if (description.path.empty()) {
        throw std::invalid_argument("a simulated HID interface needs a path");
    }
    auto iface = std::make_shared<Interface>();
    if (description.gadgetIdentifier) {
        iface->firmware.emplace(*description.gadgetIdentifier);
    }
    iface->description = std::move(description);
    const std::string& path = iface->description.path;

    const std::lock_guard lock(m_core->mutex);
    if (m_core->PluggedIn(path)) {
        throw std::invalid_argument("simulated HID interface " + path + " is plugged in already");
    }
    if (const std::shared_ptr<Interface> earlier = m_core->Find(path)) {
        std::erase(m_core->interfaces, earlier);
    }
    m_core->PlugIn(iface);
    return path;
}

bool SimulatedHidBus::Unplug(const std::string& path) {
    const std::lock_guard lock(m_core->mutex);
    Interface& iface = *m_core->Known(path);
    if (!iface.pluggedIn) {
        return false;
    }
    m_core->TakeOff(iface);
    return true;
}

bool SimulatedHidBus::Replug(const std::string& path) {
    const std::lock_guard lock(m_core->mutex);
    const std::shared_ptr<Interface> iface = m_core->Known(path);
    if (iface->pluggedIn) {
        return false;
    }
    if (iface->firmware) {
        iface->firmware->PowerOn();
    }
    m_core->PlugIn(iface);
    return true;
}

bool SimulatedHidBus::IsPluggedIn(const std::string& path) const {
    const std::lock_guard lock(m_core->mutex);
    return m_core->PluggedIn(path) != nullptr;
}

void SimulatedHidBus::SetAvailable(bool available) {
    const std::lock_guard lock(m_core->mutex);
    m_core->available = available;
}

void SimulatedHidBus::SetOpenRefused(const std::string& path, HidOpenMode mode, bool refused) {
    if (mode == HidOpenMode::QueryOnly) {
        throw std::invalid_argument("query-only opening works while an interface is plugged in");
    }
    const std::lock_guard lock(m_core->mutex);
    Interface& iface = *m_core->Known(path);
    iface.refusedModes = refused ? iface.refusedModes | ModeBit(mode) : iface.refusedModes & ~ModeBit(mode);
}

std::size_t SimulatedHidBus::OpenHandleCount(const std::string& path) const {
    const std::lock_guard lock(m_core->mutex);
    return m_core->Known(path)->openHandles;
}

std::size_t SimulatedHidBus::WaitingReaderCount(const std::string& path) const {
    const std::lock_guard lock(m_core->mutex);
    return m_core->Known(path)->waitingReaders;
}

bool SimulatedHidBus::InjectInputReport(const std::string& path, std::vector<std::uint8_t> report) {
    std::vector<std::vector<std::uint8_t>> reports;
    reports.push_back(std::move(report));
    return InjectInputReports(path, std::move(reports));
}

bool SimulatedHidBus::InjectInputReports(const std::string& path,
                                         std::vector<std::vector<std::uint8_t>> reports) {
    if (std::any_of(reports.begin(), reports.end(), [](const auto& r) { return r.empty(); })) {
        throw std::invalid_argument("an input report holds at least its report id");
    }
    const std::lock_guard lock(m_core->mutex);
    Interface& iface = *m_core->Known(path);
    if (!iface.pluggedIn) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    for (std::vector<std::uint8_t>& report : reports)
        iface.input.push_back({std::move(report), now});
    iface.changed.notify_all();
    return true;
}

std::size_t SimulatedHidBus::QueuedInputReportCount(const std::string& path) const {
    const std::lock_guard lock(m_core->mutex);
    return m_core->Known(path)->input.size();
}

std::vector<std::vector<std::uint8_t>> SimulatedHidBus::ReceivedReports(const std::string& path) const {
    const std::lock_guard lock(m_core->mutex);
    m_core->Known(path);
    std::vector<std::vector<std::uint8_t>> reports;
    for (const ReceivedReport& received : m_core->received) {
        if (received.path == path) {
            reports.push_back(received.bytes);
        }
    }
    return reports;
}

std::vector<ReceivedReport> SimulatedHidBus::AllReceivedReports() const {
    const std::lock_guard lock(m_core->mutex);
    return m_core->received;
}

void SimulatedHidBus::SetFlashObserver(
    std::function<void(const std::string& path, const std::vector<std::uint8_t>& flash)> observer) {
    const std::lock_guard lock(m_core->mutex);
    m_core->flashObserver = std::move(observer);
}

void SimulatedHidBus::SetReceivedReportObserver(
    std::function<void(const std::string& path, std::span<const std::uint8_t>)> observer) {
    const std::lock_guard lock(m_core->mutex);
    m_core->receivedObserver = std::move(observer);
}

std::optional<GadgetFirmware> SimulatedHidBus::GadgetState(const std::string& path) const {
    const std::lock_guard lock(m_core->mutex);
    return m_core->Known(path)->firmware;
}

void SimulatedHidBus::SetGadgetFault(const std::string& path, GadgetFault fault) {
    const std::lock_guard lock(m_core->mutex);
    m_core->KnownGadget(path).SetFault(fault);
}

void SimulatedHidBus::SetAnswerDelay(const std::string& path, std::chrono::microseconds delay) {
    const std::lock_guard lock(m_core->mutex);
    m_core->KnownGadget(path);
    m_core->Known(path)->answerDelay = delay;
}

void SimulatedHidBus::SetWriteFault(const std::string& path, std::optional<int> error) {
    const std::lock_guard lock(m_core->mutex);
    m_core->Known(path)->writeFault = error;
}

void SimulatedHidBus::UpdateGadget(const std::string& path,
                                   const std::function<void(GadgetFirmware&)>& change) {
    const std::lock_guard lock(m_core->mutex);
    change(m_core->KnownGadget(path));
}

}  // namespace tavrel
