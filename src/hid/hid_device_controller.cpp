#include "hid/hid_device_controller.h"

#include <algorithm>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPointer>

namespace tavrel {

THidDeviceController::THidDeviceController(HidPlatform& platform, QObject* parent)
    : QObject(parent), m_platform(platform) {
    if (!m_platform.Available()) {
        return;  // no HID access: no notices, and the list stays empty
    }
    const QPointer<THidDeviceController> self(this);
    m_platform.StartMonitoring([self] {
        if (self) self->EventPipe(kDeviceNodesChanged, 0);
    });
    QMetaObject::invokeMethod(
        this, [this] { EventPipe(kDeviceNodesChanged, kStartupNotice); }, Qt::QueuedConnection);
}

THidDeviceController::~THidDeviceController() {
    m_onDeviceChange = nullptr;
    m_onDeviceUnplug = nullptr;
    m_onEnumerate = nullptr;
    for (THidDevice* device : std::exchange(m_deviceList, {})) {
        device->m_controller = nullptr;
        if (device->CheckedOut()) {
            device->DoUnplug();  // its holder keeps the object
        } else {
            delete device;
        }
    }
}

void THidDeviceController::EventPipe(int kind, int param) {
    if (kind != kDeviceNodesChanged || m_inDeviceChange) {
        return;  // dropped, not kept for later
    }
    m_notifyParam = param;
    m_inDeviceChange = true;
    struct Done {
        THidDeviceController& controller;
        ~Done() {
            controller.m_inDeviceChange = false;
            controller.m_loading = false;
        }
    } done{*this};
    DeviceChange();
}

std::vector<std::unique_ptr<THidDevice>> THidDeviceController::ScanDevices() {
    std::vector<std::unique_ptr<THidDevice>> found;
    if (!m_platform.Available()) {
        return found;
    }
    for (const HidInterface& interface : m_platform.EnumerateInterfaces()) {
        auto pnpInfo = std::make_unique<THidPnPInfo>(THidPnPInfo{interface.deviceId, interface.path});
        try {
            found.push_back(std::make_unique<THidDevice>(this, &m_platform, std::move(pnpInfo)));
        } catch (const EControllerError&) {
            // Skipped silently; tried again at the next scan.
        }
    }
    return found;
}

void THidDeviceController::DeviceChange() {
    bool changed = m_notifyParam == kStartupNotice;
    std::vector<std::unique_ptr<THidDevice>> found = ScanDevices();
    const auto isFound = [&](const THidDevice& device) {
        return std::any_of(found.begin(), found.end(), [&](const auto& candidate) {
            return candidate->PnPInfo().DeviceID == device.PnPInfo().DeviceID;
        });
    };

    for (std::size_t i = m_deviceList.size(); i-- > 0;) {
        THidDevice* device = m_deviceList[i];
        if (device->PluggedIn() && isFound(*device)) {
            continue;
        }
        device->DoUnplug();
        DoRemoval(*device);
        changed = true;
        if (!device->CheckedOut()) {
            m_deviceList.erase(m_deviceList.begin() + static_cast<std::ptrdiff_t>(i));
            device->m_controller = nullptr;
            delete device;
        }
    }

    for (std::unique_ptr<THidDevice>& candidate : found) {
        const bool listed =
            std::any_of(m_deviceList.begin(), m_deviceList.end(), [&](const THidDevice* device) {
                return device->PluggedIn() && device->PnPInfo().DeviceID == candidate->PnPInfo().DeviceID;
            });
        if (listed) {
            candidate->m_controller = nullptr;
            candidate.reset();
        }
    }
    for (std::unique_ptr<THidDevice>& candidate : found) {
        if (candidate == nullptr) continue;
        THidDevice* device = candidate.release();
        m_deviceList.push_back(device);
        changed = true;
        DoArrival(*device);
    }

    Recount();
    if (changed && m_onDeviceChange) {
        m_onDeviceChange(*this);
    }
}

void THidDeviceController::Recount() {
    const auto count = [&](auto predicate) {
        return static_cast<int>(std::count_if(m_deviceList.begin(), m_deviceList.end(), predicate));
    };
    m_numCheckedIn = count([](const THidDevice* d) { return !d->CheckedOut(); });
    m_numUnplugged = count([](const THidDevice* d) { return !d->PluggedIn(); });
    m_numCheckedOut = count([](const THidDevice* d) { return d->CheckedOut(); }) - m_numUnplugged;
}

void THidDeviceController::DoArrival(THidDevice& device) {
    if (m_onArrival) {
        device.m_inCallback = true;
        (*m_onArrival)(device);
        device.m_inCallback = false;
    }
}

void THidDeviceController::DoRemoval(THidDevice& device) {
    if (m_onRemoval) {
        device.m_inCallback = true;
        (*m_onRemoval)(device);
        device.m_inCallback = false;
    }
}

int THidDeviceController::Enumerate() {
    int count = 0;
    // The handler may check devices out, which replaces nothing in the list, so positions hold.
    for (std::size_t i = 0; i < m_deviceList.size(); ++i) {
        THidDevice& device = *m_deviceList[i];
        if (!device.PluggedIn()) continue;
        ++count;
        if (!DoEnumerate(device, static_cast<int>(i))) break;
    }
    return count;
}

bool THidDeviceController::DoEnumerate(THidDevice& device, int Idx) {
    if (!m_onEnumerate) {
        return false;
    }
    device.m_inCallback = true;
    const bool goOn = m_onEnumerate(device, Idx);
    device.m_inCallback = false;
    if (!device.CheckedOut()) {
        device.CloseAllHandles();
    }
    return goOn;
}

bool THidDeviceController::CheckOutByIndex(THidDevice*& device, int Idx) {
    device = nullptr;
    if (Idx >= 0 && static_cast<std::size_t>(Idx) < m_deviceList.size()) {
        return CheckThisOut(device, Idx, true);
    }
    return false;
}

bool THidDeviceController::CheckThisOut(THidDevice*& device, int Idx, bool check) {
    THidDevice* entry = m_deviceList.at(static_cast<std::size_t>(Idx));
    if (!check || entry->CheckedOut()) {
        return false;
    }
    device = entry;
    entry->m_checkedOut = true;
    ++m_numCheckedOut;
    --m_numCheckedIn;
    entry->StartThread();
    return true;
}

void THidDeviceController::CheckIn(THidDevice*& device) {
    if (device == nullptr) {
        return;
    }
    THidDevice* given = std::exchange(device, nullptr);
    given->StopThread();
    given->CloseAllHandles();
    if (given->PluggedIn()) {
        given->m_checkedOut = false;
        --m_numCheckedOut;
        ++m_numCheckedIn;
    } else {
        delete given;  // removes its entry
    }
}

void THidDeviceController::GiveBack(THidDevice& device, const THidDataEvent& onData,
                                    const THidPlugEvent& onUnplug) {
    const auto entry = std::find(m_deviceList.begin(), m_deviceList.end(), &device);
    if (entry == m_deviceList.end()) {
        return;
    }
    if (!device.PluggedIn()) {
        m_deviceList.erase(entry);
        --m_numUnplugged;
        return;
    }
    const bool wasLent = device.CheckedOut();
    try {
        auto replacement = std::make_unique<THidDevice>(this, &m_platform, std::move(device.m_pnpInfo));
        replacement->SetDataEvent(onData);
        replacement->m_onUnplug = onUnplug;
        replacement->SetThreadSleepTime(device.ThreadSleepTime());
        *entry = replacement.release();
        if (wasLent) {
            --m_numCheckedOut;
            ++m_numCheckedIn;
        }
    } catch (const EControllerError&) {
        // The interface cannot be opened again just now: its entry leaves the list, and the next
        // notice's scan brings it back as an arrival if it is still there.
        m_deviceList.erase(entry);
        Recount();
    }
}

void THidDeviceController::SetDeviceChangeEvent(TNotifyEvent handler) {
    m_onDeviceChange = std::move(handler);
    if (!m_loading) {
        DeviceChange();
    }
}

void THidDeviceController::SetDevThreadSleepTime(int ms) {
    if (ms == m_devThreadSleepTime) return;
    for (THidDevice* device : m_deviceList) {
        if (device->ThreadSleepTime() == m_devThreadSleepTime) device->SetThreadSleepTime(ms);
    }
    m_devThreadSleepTime = ms;
}

void THidDeviceController::SetDevData(THidDataEvent handler) {
    if (handler == m_onDeviceData) return;
    for (THidDevice* device : m_deviceList) {
        if (device->OnData() == m_onDeviceData) device->SetDataEvent(handler);
    }
    m_onDeviceData = std::move(handler);
}

void THidDeviceController::SetDevDataError(THidDataErrorEvent handler) {
    if (handler == m_onDeviceDataError) return;
    for (THidDevice* device : m_deviceList) {
        if (device->OnDataError() == m_onDeviceDataError) device->SetOnDataError(handler);
    }
    m_onDeviceDataError = std::move(handler);
}

void THidDeviceController::SetDevUnplug(THidPlugEvent handler) {
    if (handler == m_onDeviceUnplug) return;
    for (THidDevice* device : m_deviceList) {
        if (device->OnUnplug() == m_onDeviceUnplug) device->SetOnUnplug(handler);
    }
    m_onDeviceUnplug = std::move(handler);
}

bool WaitForFirstScan(THidDeviceController& controller, int boundMs) {
    QDeadlineTimer deadline(boundMs);
    // The start-up notice is an event of the loop: waiting for events wakes for it, no polling.
    while (!controller.Loaded() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents,
                                        static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    return controller.Loaded();
}

}  // namespace tavrel
