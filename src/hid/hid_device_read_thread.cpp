#include "hid/hid_device_read_thread.h"

#include <algorithm>

#include <QCoreApplication>

#include "hid/hid_device.h"

namespace tavrel {

namespace {

// How long one wait for a report lasts: a day, then it waits again (the wait is unbounded in
// effect; a bound keeps every platform's deadline arithmetic in range).
constexpr auto kLongWait = std::chrono::hours(24);

}  // namespace

THidDeviceReadThread::THidDeviceReadThread(THidDevice* device) : m_device(device) {
    if (m_device == nullptr) {
        throw EControllerError("Direct creation of a THidDeviceReadThread object is not allowed");
    }
    // Fetched here, on the event thread, so the capabilities are cached before the reader runs.
    Report.resize(m_device->GetCaps().inputReportByteLength);
}

THidDeviceReadThread::~THidDeviceReadThread() {
    StopAndWait();
}

void THidDeviceReadThread::StopAndWait() {
    requestInterruption();
    EndPause();
    while (!wait(QDeadlineTimer(1))) {
        // Only this reader's hand-overs run here, not the whole event queue.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
}

void THidDeviceReadThread::EndPause() {
    {
        const std::lock_guard lock(m_pauseMutex);
        m_pauseCut = true;
    }
    m_pauseEnded.notify_all();
}

void THidDeviceReadThread::PauseAfterFailure() {
    std::unique_lock lock(m_pauseMutex);
    m_pauseEnded.wait_for(lock, std::chrono::milliseconds(m_device->ThreadSleepTime()),
                          [this] { return m_pauseCut || isInterruptionRequested(); });
}

void THidDeviceReadThread::Execute() {
    while (!isInterruptionRequested()) {
        // Only a handle closed during this try may cut its pause short, not one closed long ago.
        {
            const std::lock_guard lock(m_pauseMutex);
            m_pauseCut = false;
        }
        std::fill(Report.begin(), Report.end(), 0);
        if (!m_device->ReadFileEx(Report.size())) {
            if (isInterruptionRequested()) break;  // the stop closed the read side first
            ErrorCode = m_device->ReadError();
            if (!HandOver(&THidDeviceReadThread::DoDataError)) return;
            PauseAfterFailure();
            continue;
        }
        // A report, a failure, or the read handle's closing, which is how a stop reaches a waiting
        // reader: nothing else wakes it, so a quiet device costs nothing while it waits.
        while (m_device->WaitForRead(kLongWait) != HidHandle::WaitResult::Completed) {
        }
        if (isInterruptionRequested()) {
            break;  // a report completing now is dropped
        }
        NumBytesRead = m_device->GetOverlappedReadResult(Report);
        if (NumBytesRead == 0) {
            PauseAfterFailure();  // delivers nothing; the next try waits
        } else if (!HandOver(&THidDeviceReadThread::DoData)) {
            return;
        }
    }
    m_device->CancelIO(THidOpenExMode::omhRead);
}

bool THidDeviceReadThread::HandOver(void (THidDeviceReadThread::*step)()) {
    QMetaObject::invokeMethod(
        this,
        [this, step] {
            try {
                (this->*step)();
            } catch (...) {
                // The error ends the reader; it is shown nowhere.
                m_handlerFailed = true;
            }
        },
        Qt::BlockingQueuedConnection);
    return !m_handlerFailed;
}

void THidDeviceReadThread::DoData() {
    if (const THidDataEvent& onData = m_device->OnData()) {
        (*onData)(*m_device, Report[0], Report.data() + 1, static_cast<std::uint16_t>(NumBytesRead - 1));
    }
}

void THidDeviceReadThread::DoDataError() {
    if (const THidDataErrorEvent& onDataError = m_device->OnDataError()) {
        (*onDataError)(*m_device, ErrorCode);
    }
}

}  // namespace tavrel
