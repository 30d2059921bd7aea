#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QObject>
#include <QString>

#include "hid/hid_device.h"
#include "hid/hid_platform.h"

namespace tavrel {

// Keeps the list of HID interfaces present, notices devices coming and going, lends devices to
// the application and takes them back. Each lent device with a data handler gets a reader that
// delivers its input reports on the event thread. Everything runs on the event thread.
class THidDeviceController : public QObject {
    Q_OBJECT

public:
    using THidEnumerateEvent = std::function<bool(THidDevice& HidDev, int Idx)>;
    using TNotifyEvent = std::function<void(THidDeviceController& Sender)>;

    // Device-change notice kind that makes the controller rescan, and the parameter of its own
    // start-up notice.
    static constexpr int kDeviceNodesChanged = 7;
    static constexpr int kStartupNotice = -1;

    // Starts monitoring the platform for device changes and posts itself a start-up notice, which
    // is handled (a first scan that reports every device present) once the event loop runs.
    explicit THidDeviceController(HidPlatform& platform, QObject* parent = nullptr);
    ~THidDeviceController() override;

    // Rescans and reports: removals (from the end backwards), then arrivals, then OnDeviceChange
    // once if anything changed.
    void DeviceChange();
    // Calls OnEnumerate for each plugged-in device until it gives false; gives how many were offered.
    int Enumerate();
    bool CheckOutByIndex(THidDevice*& device, int Idx);
    bool CheckThisOut(THidDevice*& device, int Idx, bool check);
    // Gives a lent device back; `device` becomes none. A device that is gone is destroyed.
    void CheckIn(THidDevice*& device);
    // A device-change notice: kind 7 rescans unless a rescan is running (then it is dropped).
    void EventPipe(int kind, int param);

    const std::vector<THidDevice*>& DeviceList() const { return m_deviceList; }
    int NumCheckedIn() const { return m_numCheckedIn; }
    int NumCheckedOut() const { return m_numCheckedOut; }
    int NumUnplugged() const { return m_numUnplugged; }
    bool InDeviceChange() const { return m_inDeviceChange; }
    int NotifyParam() const { return m_notifyParam; }
    int DevThreadSleepTime() const { return m_devThreadSleepTime; }
    static QString Version() { return QStringLiteral("1.0.32"); }

    const THidDataEvent& OnDeviceData() const { return m_onDeviceData; }
    const THidDataErrorEvent& OnDeviceDataError() const { return m_onDeviceDataError; }
    const THidPlugEvent& OnDeviceUnplug() const { return m_onDeviceUnplug; }

    void SetOnArrival(THidPlugEvent handler) { m_onArrival = std::move(handler); }
    void SetOnRemoval(THidPlugEvent handler) { m_onRemoval = std::move(handler); }
    void SetEnumerate(THidEnumerateEvent handler) { m_onEnumerate = std::move(handler); }
    // Stores the handler; once the start-up notice has been handled, a new handler rescans at once.
    void SetDeviceChangeEvent(TNotifyEvent handler);
    // Whether the start-up notice (the first scan) has been handled.
    bool Loaded() const { return !m_loading; }
    void SetDevThreadSleepTime(int ms);
    void SetDevData(THidDataEvent handler);
    void SetDevDataError(THidDataErrorEvent handler);
    void SetDevUnplug(THidPlugEvent handler);

private:
    friend class THidDevice;

    std::vector<std::unique_ptr<THidDevice>> ScanDevices();
    void DoArrival(THidDevice& device);
    void DoRemoval(THidDevice& device);
    bool DoEnumerate(THidDevice& device, int Idx);
    void Recount();
    // A device object being destroyed while it belongs to this controller.
    void GiveBack(THidDevice& device, const THidDataEvent& onData, const THidPlugEvent& onUnplug);

    HidPlatform& m_platform;
    std::vector<THidDevice*> m_deviceList;  // owned while not lent; a lent one belongs to its holder
    THidPlugEvent m_onArrival;
    THidPlugEvent m_onRemoval;
    THidEnumerateEvent m_onEnumerate;
    TNotifyEvent m_onDeviceChange;
    THidDataEvent m_onDeviceData;
    THidDataErrorEvent m_onDeviceDataError;
    THidPlugEvent m_onDeviceUnplug;
    int m_devThreadSleepTime = 100;
    int m_numCheckedIn = 0;
    int m_numCheckedOut = 0;
    int m_numUnplugged = 0;
    bool m_inDeviceChange = false;
    bool m_loading = true;  // until the start-up notice has been handled
    int m_notifyParam = 0;
};

// Runs the event loop until the controller has handled its start-up notice, its first scan (the
// device-change handler, when the scan found any, has run by then), for at most `boundMs`; false
// when it has not. For programs that must know the devices present before they go on.
bool WaitForFirstScan(THidDeviceController& controller, int boundMs = 10000);

}  // namespace tavrel
