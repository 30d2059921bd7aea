#include "hid/hid_device.h"

#include <algorithm>

#include "hid/hid_device_controller.h"
#include "hid/hid_device_read_thread.h"

namespace tavrel {

THidDevice::THidDevice(THidDeviceController* controller, HidPlatform* platform,
                       std::unique_ptr<THidPnPInfo> pnpInfo)
    : m_controller(controller), m_platform(platform), m_pnpInfo(std::move(pnpInfo)) {
    if (m_controller == nullptr || m_platform == nullptr || m_pnpInfo == nullptr) {
        throw EControllerError("Direct creation of a THidDevice object is not allowed");
    }
    SetDataEvent(m_controller->OnDeviceData());
    m_onUnplug = m_controller->OnDeviceUnplug();

    if (!OpenFileHandle()) {
        throw EControllerError("device cannot be opened");
    }
    const std::optional<HidAttributes> attributes = m_fileHandle->GetAttributes();
    if (!attributes) {
        m_fileHandle.reset();
        throw EControllerError("device cannot be identified");
    }
    m_attributes = *attributes;
    CloseFile();
}

THidDevice::~THidDevice() {
    const THidDataEvent onData = m_onData;
    const THidPlugEvent onUnplug = m_onUnplug;
    SetDataEvent(nullptr);
    m_onUnplug = nullptr;
    CloseAllHandles();
    m_preparsedData.reset();
    if (m_controller != nullptr) {
        m_controller->GiveBack(*this, onData, onUnplug);
    }
}

bool THidDevice::IsAccessible() const {
    return m_pluggedIn && (m_checkedOut || m_inCallback);
}

bool THidDevice::OpenFileHandle() {
    HidOpenResult opened = m_platform->Open(m_pnpInfo->DevicePath, HidOpenMode::ReadWrite);
    m_readWriteAccess = opened.handle != nullptr;
    m_readWriteError = std::move(opened.error);
    if (!m_readWriteAccess) {
        opened = m_platform->Open(m_pnpInfo->DevicePath, HidOpenMode::QueryOnly);
    }
    m_fileHandle = std::move(opened.handle);
    return m_fileHandle != nullptr;
}

bool THidDevice::OpenFile() {
    if (IsAccessible() && m_fileHandle == nullptr) {
        OpenFileHandle();
    }
    return m_fileHandle != nullptr;
}

void THidDevice::CloseFile() {
    if (m_fileHandle != nullptr) {
        m_fileHandle->Close();
        m_fileHandle.reset();
    }
}

bool THidDevice::OpenFileEx(THidOpenExMode mode) {
    if (mode == THidOpenExMode::omhRead) {
        std::lock_guard lock(m_readHandleMutex);
        // A reader being stopped opens nothing again: the stop reaches it by closing its handle.
        if (m_readerStopping || !IsAccessible()) {
            return false;
        }
        if (m_readHandle == nullptr) {
            m_readHandle = m_platform->Open(m_pnpInfo->DevicePath, HidOpenMode::OverlappedRead).handle;
        }
        return m_readHandle != nullptr;
    }
    if (!IsAccessible()) {
        return false;
    }
    if (m_writeHandle == nullptr) {
        m_writeHandle = m_platform->Open(m_pnpInfo->DevicePath, HidOpenMode::OverlappedWrite).handle;
    }
    return m_writeHandle != nullptr;
}

void THidDevice::CloseFileEx(THidOpenExMode mode) {
    if (mode == THidOpenExMode::omhRead) {
        std::shared_ptr<HidHandle> handle;
        {
            std::lock_guard lock(m_readHandleMutex);
            handle = std::move(m_readHandle);
        }
        // Ends a read the reader may be waiting on; the reader keeps its own reference.
        if (handle != nullptr) handle->Close();
        // A reader pausing after a failed read tries again now, and finds the device's new state.
        if (m_readThread != nullptr) m_readThread->EndPause();
        return;
    }
    if (m_writeHandle != nullptr) {
        m_writeHandle->Close();
        m_writeHandle.reset();
    }
}

void THidDevice::CloseAllHandles() {
    CloseFile();
    CloseFileEx(THidOpenExMode::omhRead);
    CloseFileEx(THidOpenExMode::omhWrite);
}

template <typename Query>
auto THidDevice::WithFileHandle(Query query) -> decltype(query(std::declval<HidHandle&>())) {
    decltype(query(std::declval<HidHandle&>())) answer{};
    if (OpenFile()) {
        answer = query(*m_fileHandle);
    }
    // Closed also when a write had left it open.
    CloseFile();
    return answer;
}

std::optional<HidCapabilities> THidDevice::GetPreparsedData() {
    if (!m_preparsedData) {
        m_preparsedData = WithFileHandle([](HidHandle& handle) { return handle.GetCaps(); });
    }
    return m_preparsedData;
}

HidCapabilities THidDevice::GetCaps() {
    return GetPreparsedData().value_or(HidCapabilities{});
}

std::u16string THidDevice::CachedString(std::u16string& cache,
                                        std::optional<std::u16string> (HidHandle::*query)()) {
    if (cache.empty()) {
        cache = WithFileHandle([query](HidHandle& handle) {
                    return (handle.*query)();
                }).value_or(std::u16string());
    }
    return cache;
}

std::u16string THidDevice::GetProductName() {
    return CachedString(m_productName, &HidHandle::GetProductString);
}

std::u16string THidDevice::GetVendorName() {
    return CachedString(m_vendorName, &HidHandle::GetManufacturerString);
}

bool THidDevice::WriteFile(std::span<const std::uint8_t> report) {
    if (!OpenFile()) {
        m_writeError = m_pluggedIn ? kHidErrorIo : kHidErrorDeviceGone;
        m_writeErrorText =
            m_pluggedIn && !m_readWriteError.empty() ? m_readWriteError : HidErrorText(m_writeError);
        return false;
    }
    if (m_fileHandle->Write(report)) {
        m_writeError = kHidErrorNone;
        m_writeErrorText.clear();
        return true;
    }
    m_writeError = m_fileHandle->LastError();
    m_writeErrorText = m_fileHandle->LastErrorText();
    return false;
}

bool THidDevice::ReadFileEx(std::size_t count) {
    if (!OpenFileEx(THidOpenExMode::omhRead)) {
        m_readError = kHidErrorClosed;
        return false;
    }
    std::shared_ptr<HidHandle> handle;
    {
        std::lock_guard lock(m_readHandleMutex);
        handle = m_readHandle;
    }
    if (handle == nullptr || !handle->QueueRead(count)) {
        m_readError = handle != nullptr ? handle->LastError() : kHidErrorClosed;
        return false;
    }
    m_pendingRead = std::move(handle);
    return true;
}

HidHandle::WaitResult THidDevice::WaitForRead(std::chrono::milliseconds slice) {
    if (m_pendingRead == nullptr) {
        return HidHandle::WaitResult::Completed;
    }
    return m_pendingRead->WaitRead(slice);
}

std::uint32_t THidDevice::GetOverlappedReadResult(std::span<std::uint8_t> into) {
    const std::shared_ptr<HidHandle> handle = std::move(m_pendingRead);
    if (handle == nullptr) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::min(handle->TakeReadResult(into), into.size()));
}

bool THidDevice::CancelIO(THidOpenExMode mode) {
    if (mode != THidOpenExMode::omhRead) {
        return false;  // no overlapped write is ever started
    }
    const std::shared_ptr<HidHandle> handle = std::move(m_pendingRead);
    return handle != nullptr && handle->CancelRead();
}

void THidDevice::DoUnplug() {
    // Cleared first: a reader whose read the closing ends must not open a fresh handle.
    m_pluggedIn = false;
    CloseAllHandles();
    if (m_onUnplug) {
        const THidPlugEvent onUnplug = std::move(m_onUnplug);
        m_onUnplug = nullptr;
        (*onUnplug)(*this);
    }
}

void THidDevice::SetThreadSleepTime(int ms) {
    if (ms >= 10 && ms <= 10000) {
        m_threadSleepTime = ms;
    }
}

void THidDevice::SetDataEvent(THidDataEvent handler) {
    if (!handler) {
        StopThread();
    }
    m_onData = std::move(handler);
    StartThread();
}

void THidDevice::StartThread() {
    // An interface without input reports has nothing to read: it gets no reader.
    if (m_onData && m_pluggedIn && m_checkedOut && m_readWriteAccess && m_readThread == nullptr &&
        GetCaps().inputReportByteLength > 0) {
        {
            const std::lock_guard lock(m_readHandleMutex);
            m_readerStopping = false;
        }
        m_readThread = std::make_unique<THidDeviceReadThread>(this);
        m_readThread->start();
    }
}

void THidDevice::StopThread() {
    if (m_readThread != nullptr) {
        // Asked first, then woken by closing its read handle: a reader waiting on the handle sees
        // the request at once, and one about to open or wait finds the handle closed (none opens
        // while it stops). A device given back (or a list rebuilt) costs no wait per reader.
        m_readThread->requestInterruption();
        {
            const std::lock_guard lock(m_readHandleMutex);
            m_readerStopping = true;
        }
        CloseFileEx(THidOpenExMode::omhRead);
        m_readThread->StopAndWait();
        m_readThread.reset();
    }
}

}  // namespace tavrel
