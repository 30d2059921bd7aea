#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <QThread>

namespace tavrel {

class THidDevice;

// The reader of one lent device: waits for its input reports and hands each one synchronously to
// the event thread, where the device's OnData runs. It waits for a report or for its read handle to
// close (a stop closes it) and for nothing else. A read that fails (the device gone, its handle
// closed) is followed by a pause of the device's ThreadSleepTime before the next try, so a device
// that keeps failing costs one try per pause, not a core.
// Made, started, stopped and destroyed by its device on the event thread.
class THidDeviceReadThread : public QThread {
    Q_OBJECT

public:
    // Throws EControllerError without a device.
    explicit THidDeviceReadThread(THidDevice* device);
    ~THidDeviceReadThread() override;

    // Asks the reader to stop and waits until it has ended, running its pending hand-overs
    // meanwhile so that a reader blocked on one can finish. Event thread only.
    void StopAndWait();
    // Ends a pause after a failed read at once (the device's read handle has just been closed).
    void EndPause();

    THidDevice* Device() const { return m_device; }
    // Whether a data handler raised an error, which ended the reader.
    bool EndedByHandlerError() const { return m_handlerFailed; }

protected:
    void run() override { Execute(); }

private:
    void Execute();
    // Runs DoData or DoDataError on the event thread and waits for it; false when the handler
    // raised an error.
    bool HandOver(void (THidDeviceReadThread::*step)());
    void DoData();
    void DoDataError();
    // Waits one slice, or less when a stop is asked or EndPause is called.
    void PauseAfterFailure();

    THidDevice* m_device;
    std::vector<std::uint8_t> Report;
    std::uint32_t NumBytesRead = 0;
    std::uint32_t ErrorCode = 0;
    std::atomic<bool> m_handlerFailed{false};
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseEnded;
    bool m_pauseCut = false;  // EndPause came during the current try; guarded by m_pauseMutex
};

}  // namespace tavrel
