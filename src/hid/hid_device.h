#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "hid/hid_platform.h"

namespace tavrel {

class THidDevice;
class THidDeviceController;
class THidDeviceReadThread;

// The one error the device layer raises: a device object that cannot be made.
class EControllerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where a device object's interface is: its path and the identifier of its device.
struct THidPnPInfo {
    std::uint32_t DeviceID = 0;
    std::string DevicePath;
};

enum class THidOpenExMode { omhRead, omhWrite };

// Handlers of the device layer's events. They are shared so that a controller can tell whether a
// device still carries the controller's own handler (same object) when the handler changes.
using THidDataEvent = std::shared_ptr<const std::function<void(
    THidDevice& HidDev, std::uint8_t ReportID, const std::uint8_t* Data, std::uint16_t Size)>>;
using THidDataErrorEvent =
    std::shared_ptr<const std::function<void(THidDevice& HidDev, std::uint32_t Error)>>;
using THidPlugEvent = std::shared_ptr<const std::function<void(THidDevice& HidDev)>>;

template <typename Event, typename Function>
Event MakeHidEvent(Function&& function) {
    return std::make_shared<const typename Event::element_type>(std::forward<Function>(function));
}

// One HID interface found by a controller's scan. It opens its handles when an operation needs
// them, caches its capabilities and strings, writes output reports and offers the read primitive
// its reader thread is built on. Made only by a controller; destroying one that still belongs to
// a controller gives it back (a fresh object takes its place while its interface is present).
class THidDevice {
public:
    // Opens and identifies the interface; throws EControllerError when it cannot.
    THidDevice(THidDeviceController* controller, HidPlatform* platform, std::unique_ptr<THidPnPInfo> pnpInfo);
    ~THidDevice();
    THidDevice(const THidDevice&) = delete;
    THidDevice& operator=(const THidDevice&) = delete;

    THidDeviceController* Controller() const { return m_controller; }
    bool PluggedIn() const { return m_pluggedIn; }
    bool CheckedOut() const { return m_checkedOut; }
    bool InCallback() const { return m_inCallback; }
    bool ReadWriteAccess() const { return m_readWriteAccess; }
    // Why the last read-write opening of FileHandle failed, as the system words it; empty when it
    // worked.
    const std::string& ReadWriteError() const { return m_readWriteError; }
    const HidAttributes& Attributes() const { return m_attributes; }
    const THidPnPInfo& PnPInfo() const { return *m_pnpInfo; }
    int ThreadSleepTime() const { return m_threadSleepTime; }
    THidDeviceReadThread* ReadThread() const { return m_readThread.get(); }
    const THidDataEvent& OnData() const { return m_onData; }
    const THidDataErrorEvent& OnDataError() const { return m_onDataError; }
    const THidPlugEvent& OnUnplug() const { return m_onUnplug; }
    void SetOnDataError(THidDataErrorEvent handler) { m_onDataError = std::move(handler); }
    void SetOnUnplug(THidPlugEvent handler) { m_onUnplug = std::move(handler); }

    // Plugged in and lent, or inside a controller callback.
    bool IsAccessible() const;

    bool OpenFile();
    void CloseFile();
    bool OpenFileEx(THidOpenExMode mode);
    void CloseFileEx(THidOpenExMode mode);

    // The report capabilities (cached once had); none when they cannot be had.
    std::optional<HidCapabilities> GetPreparsedData();
    // The report capabilities; zero lengths when they cannot be had.
    HidCapabilities GetCaps();
    // Product and manufacturer strings; cached once non-empty.
    std::u16string GetProductName();
    std::u16string GetVendorName();

    // Writes one output report (report id first) synchronously; FileHandle stays open.
    bool WriteFile(std::span<const std::uint8_t> report);
    // Why the last WriteFile failed: the platform error and the system's words for it.
    std::uint32_t WriteError() const { return m_writeError; }
    const std::string& WriteErrorText() const { return m_writeErrorText; }

    // Read primitive of the reader thread: starts one read of up to `count` bytes.
    bool ReadFileEx(std::size_t count);
    // Waits up to `slice` for the started read.
    HidHandle::WaitResult WaitForRead(std::chrono::milliseconds slice);
    // Bytes of the completed read, copied into `into` (report id first); 0 when it failed.
    std::uint32_t GetOverlappedReadResult(std::span<std::uint8_t> into);
    // Abandons the outstanding read of that mode's handle.
    bool CancelIO(THidOpenExMode mode);
    // The platform error of the last failed read request.
    std::uint32_t ReadError() const { return m_readError; }

    // Closes every handle, marks the device unplugged and calls OnUnplug, at most once.
    void DoUnplug();
    // Takes 10 to 10000 ms; ignores other values.
    void SetThreadSleepTime(int ms);

    // Reader control: a reader runs while OnData is set and the device is plugged in, lent and
    // opened with read-write access.
    void SetDataEvent(THidDataEvent handler);
    void StartThread();
    void StopThread();

private:
    friend class THidDeviceController;

    // Opens FileHandle for reading and writing, else for queries only; false when neither works.
    bool OpenFileHandle();
    void CloseAllHandles();
    // A string query answered from `cache` once it is non-empty.
    std::u16string CachedString(std::u16string& cache, std::optional<std::u16string> (HidHandle::*query)());
    // Runs a query on FileHandle, opening it for the query and closing it after.
    template <typename Query>
    auto WithFileHandle(Query query) -> decltype(query(std::declval<HidHandle&>()));

    THidDeviceController* m_controller;
    HidPlatform* m_platform;
    std::unique_ptr<THidPnPInfo> m_pnpInfo;
    std::atomic<bool> m_pluggedIn{true};
    std::atomic<bool> m_checkedOut{false};
    std::atomic<bool> m_inCallback{false};
    bool m_readWriteAccess = false;
    std::string m_readWriteError;
    std::uint32_t m_writeError = kHidErrorNone;
    std::string m_writeErrorText;
    std::unique_ptr<HidHandle> m_fileHandle;
    // The reader thread opens, uses and cancels the read handle while the event thread may close
    // it; the slot is guarded, the handle itself is safe to close under a waiting reader. The
    // reader decides under the same lock whether it may open one, so once DoUnplug has cleared
    // PluggedIn and closed the slot, no fresh read handle appears.
    mutable std::mutex m_readHandleMutex;
    std::shared_ptr<HidHandle> m_readHandle;
    bool m_readerStopping = false;  // the reader is being stopped: no read handle opens; guarded as above
    std::shared_ptr<HidHandle> m_pendingRead;  // the handle of the outstanding read (reader thread only)
    std::unique_ptr<HidHandle> m_writeHandle;
    HidAttributes m_attributes;
    std::optional<HidCapabilities> m_preparsedData;
    std::u16string m_vendorName;
    std::u16string m_productName;
    std::atomic<int> m_threadSleepTime{100};
    std::atomic<std::uint32_t> m_readError{kHidErrorNone};
    THidDataEvent m_onData;
    THidDataErrorEvent m_onDataError;
    THidPlugEvent m_onUnplug;
    std::unique_ptr<THidDeviceReadThread> m_readThread;
};

}  // namespace tavrel
