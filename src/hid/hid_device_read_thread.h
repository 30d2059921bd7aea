#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <QThread>

namespace tavrel {

class THidDevice;

// The reader of one lent device: waits for its input reports in slices of the device's
// ThreadSleepTime and hands each one synchronously to the event thread, where the device's
// OnData runs. Made, started, stopped and destroyed by its device on the event thread.
class THidDeviceReadThread : public QThread {
    Q_OBJECT

public:
    // Throws EControllerError without a device.
    explicit THidDeviceReadThread(THidDevice* device);
    ~THidDeviceReadThread() override;

    // Asks the reader to stop and waits until it has ended, running its pending hand-overs
    // meanwhile so that a reader blocked on one can finish. Event thread only.
    void StopAndWait();

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

    THidDevice* m_device;
    std::vector<std::uint8_t> Report;
    std::uint32_t NumBytesRead = 0;
    std::uint32_t ErrorCode = 0;
    std::atomic<bool> m_handlerFailed{false};
};

}  // namespace tavrel
