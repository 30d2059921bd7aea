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

// The seam between the device logic and the operating system's HID access. One backend per
// platform implements it (Linux hidraw, the simulated gadget bus); THidDevice and
// THidDeviceController rest only on what is stated here.
namespace tavrel {

// One HID interface present now.
struct HidInterface {
    std::string path;        // every handle of the interface is opened by this path
    std::uint32_t deviceId;  // the same for as long as the interface's device stays connected
};

// The identity of an interface (vendor id, product id, version number).
struct HidAttributes {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
};

// Report lengths in bytes, the leading report id byte included (also for devices that use no
// report ids); 0 when the interface has no report of that kind.
struct HidCapabilities {
    std::uint16_t inputReportByteLength = 0;
    std::uint16_t outputReportByteLength = 0;
};

enum class HidOpenMode {
    ReadWrite,        // queries and output report writes
    QueryOnly,        // queries only, for an interface that cannot be opened for reading and writing
    OverlappedRead,   // input reports, read by one reader thread in wait slices
    OverlappedWrite,  // output reports (never used by the tool; opened and closed with the others)
};

// Platform error codes a handle reports through LastError.
inline constexpr std::uint32_t kHidErrorNone = 0;
inline constexpr std::uint32_t kHidErrorDeviceGone = 1;    // the interface has been unplugged
inline constexpr std::uint32_t kHidErrorClosed = 2;        // the handle has been closed
inline constexpr std::uint32_t kHidErrorNotPermitted = 3;  // the handle's mode does not allow it
inline constexpr std::uint32_t kHidErrorIo = 4;            // any other failure

// The words for a platform error code, as the system words the like ("No such device").
std::string HidErrorText(std::uint32_t error);

// One open handle to an interface. Queries and Write are used by the event thread. The read side
// (QueueRead, WaitRead, TakeReadResult, CancelRead) is used by one reader thread at a time.
// Close may be called from any thread at any time: it ends a pending WaitRead at once, and every
// later call on the handle fails.
class HidHandle {
public:
    virtual ~HidHandle() = default;

    virtual std::optional<HidAttributes> GetAttributes() = 0;
    virtual std::optional<HidCapabilities> GetCaps() = 0;
    virtual std::optional<std::u16string> GetProductString() = 0;
    virtual std::optional<std::u16string> GetManufacturerString() = 0;

    // Sends one output report (report id first, as many bytes as given); returns once the
    // platform has taken it, or false when it failed.
    virtual bool Write(std::span<const std::uint8_t> report) = 0;

    // Starts one read of an input report of up to `length` bytes. False when it cannot be
    // started (LastError tells why).
    virtual bool QueueRead(std::size_t length) = 0;

    enum class WaitResult { Completed, TimedOut };
    // Waits up to `slice` for the read started by QueueRead. Completed when it ended, whether
    // with a report or with a failure (an unplugged interface, a closed handle).
    virtual WaitResult WaitRead(std::chrono::milliseconds slice) = 0;

    // The completed read's report, report id first (byte 0 is the report id also for devices
    // that use no report ids): copies it into `into` and gives its length; 0 when the read failed.
    virtual std::size_t TakeReadResult(std::span<std::uint8_t> into) = 0;

    // Abandons a read that was started and has not completed; false when none is outstanding.
    virtual bool CancelRead() = 0;

    virtual std::uint32_t LastError() const = 0;
    // The system's words for the last failure ("No such device"); by default the words of
    // LastError's code. Empty when nothing failed.
    virtual std::string LastErrorText() const { return HidErrorText(LastError()); }

    virtual void Close() = 0;
};

// What opening an interface gave: a handle, or why there is none.
struct HidOpenResult {
    std::unique_ptr<HidHandle> handle;
    std::string error;  // without a handle: the cause, as the system words it ("Permission denied")
};

// A platform's HID access: the interfaces present, handles to them, and notices of change.
class HidPlatform {
public:
    virtual ~HidPlatform() = default;

    // Whether HID access works at all here; when it does not, no interface is ever listed.
    virtual bool Available() const = 0;

    // The interfaces present now, in the platform's order.
    virtual std::vector<HidInterface> EnumerateInterfaces() = 0;

    // Opens a handle, or gives none and the cause when the interface cannot be opened in that mode.
    // Even a query-only handle needs the interface's own device node to be there.
    virtual HidOpenResult Open(const std::string& path, HidOpenMode mode) = 0;

    // From now on calls `notice` on the calling thread's event loop (a running Qt event loop)
    // whenever interfaces may have come or gone. Called once; monitoring starts before the
    // first scan, so nothing plugged in between is missed.
    virtual void StartMonitoring(std::function<void()> notice) = 0;
};

}  // namespace tavrel
