#include "hid/linux_hidraw.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include <QFileSystemWatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "hid/hid_report_descriptor.h"

namespace tavrel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kNodePrefix = "hidraw";

// Report descriptors are at most 4 KiB and text attributes one page; anything far larger is not
// a sysfs attribute of a HID device.
constexpr std::size_t kMaxAttributeBytes = 64 * 1024;

// udev's multicast socket is small by default; a hub full of devices coming up at once could
// overflow it. The kernel may cap the size for unprivileged processes, which is fine: an overflow
// still becomes a notice.
constexpr int kUdevReceiveBufferBytes = 1024 * 1024;

// Bounds the work of one wake-up of the udev socket; what is left wakes the loop again.
constexpr int kMaxUdevMessagesPerWakeUp = 256;

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// N of "hidrawN"; nothing for any other name.
std::optional<unsigned> NodeNumber(std::string_view name) {
    if (!name.starts_with(kNodePrefix)) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(kNodePrefix.size());
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    unsigned number = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return number;
}

// HID_ID's bus number of USB devices (BUS_USB); Bluetooth is 0x05, uhid devices name any bus.
constexpr std::uint16_t kBusUsb = 0x03;

std::string SystemErrorText(int error) {
    return std::generic_category().message(error);
}

// The whole content of a sysfs attribute, or nothing when it cannot be read. Opened without
// blocking: in a tree that is not the kernel's, an "attribute" could be a FIFO nobody writes.
std::optional<std::string> ReadAttribute(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || content.size() + static_cast<std::size_t>(count) > kMaxAttributeBytes) {
            ::close(fd);
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        content.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return content;
}

std::optional<std::uint32_t> ParseHex(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::string_view TrimNewlines(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// What a HID device's uevent says of it.
struct HidUevent {
    std::uint16_t bus = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::optional<std::string> name;  // HID_NAME, the name the kernel (or the uhid client) gives
};

// HID_ID=0003:00004132:00000001 (bus, vendor and product in hex) and HID_NAME=... of a HID
// device's uevent; nothing without a well-formed HID_ID.
std::optional<HidUevent> ParseHidUevent(std::string_view uevent) {
    constexpr std::string_view kIdKey = "HID_ID=";
    constexpr std::string_view kNameKey = "HID_NAME=";
    std::optional<HidUevent> parsed;
    std::optional<std::string> name;
    while (!uevent.empty()) {
        const std::size_t lineEnd = std::min(uevent.find('\n'), uevent.size());
        std::string_view line = uevent.substr(0, lineEnd);
        uevent.remove_prefix(std::min(lineEnd + 1, uevent.size()));
        if (line.starts_with(kNameKey)) {
            name = std::string(line.substr(kNameKey.size()));
            continue;
        }
        if (!line.starts_with(kIdKey)) {
            continue;
        }
        line.remove_prefix(kIdKey.size());
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            return std::nullopt;
        }
        const auto bus = ParseHex(line.substr(0, first));
        const auto vendor = ParseHex(line.substr(first + 1, second - first - 1));
        const auto product = ParseHex(line.substr(second + 1));
        if (!bus || !vendor || !product) {
            return std::nullopt;
        }
        parsed = HidUevent{static_cast<std::uint16_t>(*bus & 0xFFFFu),
                           static_cast<std::uint16_t>(*vendor & 0xFFFFu),
                           static_cast<std::uint16_t>(*product & 0xFFFFu), std::nullopt};
    }
    if (parsed) parsed->name = std::move(name);
    return parsed;
}

// "247:3" of a class entry's dev attribute.
std::optional<dev_t> ParseDeviceNumber(std::string_view text) {
    text = TrimNewlines(text);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    unsigned major = 0;
    unsigned minor = 0;
    const auto [majorEnd, majorError] = std::from_chars(text.data(), text.data() + colon, major);
    const auto [minorEnd, minorError] =
        std::from_chars(text.data() + colon + 1, text.data() + text.size(), minor);
    if (majorError != std::errc() || majorEnd != text.data() + colon || minorError != std::errc() ||
        minorEnd != text.data() + text.size() || colon == 0 || colon + 1 == text.size()) {
        return std::nullopt;
    }
    return makedev(major, minor);
}

std::string DeviceNumberText(dev_t number) {
    return std::to_string(major(number)) + ":" + std::to_string(minor(number));
}

// Why a node is not the one the kernel made for the interface; empty when it is.
std::string NodeMismatch(const struct stat& node, dev_t expected) {
    if (!S_ISCHR(node.st_mode)) return "not a character device";
    if (node.st_rdev != expected) {
        return "device number " + DeviceNumberText(node.st_rdev) + " is not the interface's " +
               DeviceNumberText(expected);
    }
    return {};
}

// 32-bit FNV-1a.
std::uint32_t Fnv1a(std::string_view text) {
    std::uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 16777619u;
    }
    return hash;
}

// The HID device folder a hidraw class entry belongs to (…/0003:4132:0001.0007), resolved.
std::optional<fs::path> HidDeviceDir(const fs::path& sysfsRoot, std::string_view nodeName) {
    std::error_code error;
    fs::path dir = fs::canonical(sysfsRoot / "class" / "hidraw" / nodeName / "device", error);
    if (error || !fs::is_directory(dir, error)) {
        return std::nullopt;
    }
    return dir;
}

// The USB device whose interface the HID device is (…/1-2 above …/1-2:1.0/0003:…): only a HID
// device on the USB bus sitting right under a USB interface has one. A Bluetooth keyboard behind a
// USB adapter has a USB device further up, but that is the adapter; a uhid device has none.
std::optional<fs::path> UsbDeviceDir(const fs::path& hidDir, std::uint16_t bus) {
    if (bus != kBusUsb) return std::nullopt;
    std::error_code error;
    const fs::path usbInterface = hidDir.parent_path();
    const fs::path usbDevice = usbInterface.parent_path();
    if (!fs::is_regular_file(usbInterface / "bInterfaceNumber", error) ||
        !fs::is_regular_file(usbDevice / "idVendor", error)) {
        return std::nullopt;
    }
    return usbDevice;
}

class LinuxHidrawHandle final : public HidHandle {
public:
    LinuxHidrawHandle(HidOpenMode mode, int fd, int wakeFd, fs::path hidDir, bool usesReportIds)
        : m_mode(mode),
          m_fd(fd),
          m_wakeFd(wakeFd),
          m_hidDir(std::move(hidDir)),
          m_usesReportIds(usesReportIds) {}

    // The descriptors are closed here and not in Close: a reader thread may still be inside poll()
    // on them when another thread closes the handle.
    ~LinuxHidrawHandle() override {
        if (m_fd >= 0) ::close(m_fd);
        if (m_wakeFd >= 0) ::close(m_wakeFd);
    }

    LinuxHidrawHandle(const LinuxHidrawHandle&) = delete;
    LinuxHidrawHandle& operator=(const LinuxHidrawHandle&) = delete;

    std::optional<HidAttributes> GetAttributes() override {
        if (m_closed) return Fail<HidAttributes>(kHidErrorClosed);
        const auto uevent = Uevent();
        if (!uevent) return Fail<HidAttributes>(MissingAttributeError());
        HidAttributes attributes;
        attributes.vendorId = uevent->vendorId;
        attributes.productId = uevent->productId;
        // Only USB devices carry a version the kernel shows; elsewhere it stays 0.
        if (const auto usbDir = UsbDeviceDir(m_hidDir, uevent->bus)) {
            const auto bcdDevice = ReadAttribute(*usbDir / "bcdDevice");
            const auto version = bcdDevice ? ParseHex(TrimNewlines(*bcdDevice)) : std::nullopt;
            attributes.versionNumber = static_cast<std::uint16_t>(version.value_or(0) & 0xFFFFu);
        }
        return attributes;
    }

    std::optional<HidCapabilities> GetCaps() override {
        if (m_closed) return Fail<HidCapabilities>(kHidErrorClosed);
        const auto descriptor = ReadAttribute(m_hidDir / "report_descriptor");
        if (!descriptor) return Fail<HidCapabilities>(MissingAttributeError());
        const HidReportDescriptorInfo info = ParseHidReportDescriptor(
            {reinterpret_cast<const std::uint8_t*>(descriptor->data()), descriptor->size()});
        const auto clamp = [](std::size_t length) {
            return static_cast<std::uint16_t>(std::min<std::size_t>(length, 0xFFFF));
        };
        return HidCapabilities{clamp(info.inputReportByteLength), clamp(info.outputReportByteLength)};
    }

    std::optional<std::u16string> GetProductString() override { return DeviceString("product", true); }
    std::optional<std::u16string> GetManufacturerString() override {
        return DeviceString("manufacturer", false);
    }

    bool Write(std::span<const std::uint8_t> report) override {
        if (m_closed) return Failed(kHidErrorClosed);
        if (m_mode != HidOpenMode::ReadWrite && m_mode != HidOpenMode::OverlappedWrite) {
            return Failed(kHidErrorNotPermitted);
        }
        if (report.empty()) return Failed(kHidErrorIo);
        // hidraw takes byte 0 as the report id and, for devices without numbered reports, expects
        // 0 there and leaves it out on the wire: the report as given is what the kernel wants.
        ssize_t written = 0;
        do {
            written = ::write(m_fd, report.data(), report.size());
        } while (written < 0 && errno == EINTR);
        if (written < 0) {
            const int cause = errno;
            // An unplugged device's node answers with one of these, depending on how far the
            // kernel has got in taking it away.
            const bool gone = cause == ENODEV || cause == ENXIO || cause == ESHUTDOWN || cause == EPIPE;
            return Failed(gone ? kHidErrorDeviceGone : kHidErrorIo, std::generic_category().message(cause));
        }
        if (static_cast<std::size_t>(written) != report.size()) {
            return Failed(kHidErrorIo, "the device took " + std::to_string(written) + " of " +
                                           std::to_string(report.size()) + " bytes");
        }
        m_lastError = kHidErrorNone;
        m_lastErrorText.clear();
        return true;
    }

    bool QueueRead(std::size_t length) override {
        if (m_closed) return Failed(kHidErrorClosed);
        if (m_mode != HidOpenMode::OverlappedRead) return Failed(kHidErrorNotPermitted);
        // A node that has hung up never gives a report again: the request fails, as it would for
        // an unplugged device elsewhere, instead of completing empty at once, again and again.
        if (m_gone) return Failed(kHidErrorDeviceGone);
        if (m_readState == ReadState::Pending || length == 0) return Failed(kHidErrorIo);
        m_readBuffer.assign(length, 0);
        m_readLength = 0;
        m_readState = ReadState::Pending;
        return true;
    }

    WaitResult WaitRead(std::chrono::milliseconds slice) override {
        using Clock = std::chrono::steady_clock;
        if (m_readState != ReadState::Pending) return WaitResult::Completed;
        // A slice of weeks is as good as forever, and keeps the deadline from overflowing.
        const auto bounded =
            std::clamp(slice, std::chrono::milliseconds(0), std::chrono::milliseconds(INT_MAX));
        const Clock::time_point deadline = Clock::now() + bounded;
        for (;;) {
            if (m_closed) return CompleteWithFailure(kHidErrorClosed);
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const int timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR) return CompleteWithFailure(kHidErrorIo);
            if (ready > 0) {
                if (fds[1].revents != 0 || m_closed) return CompleteWithFailure(kHidErrorClosed);
                // Reports the kernel queued before an unplug are still delivered; only then does
                // the hang-up count.
                if (fds[0].revents & POLLIN) {
                    if (ReadReport()) return WaitResult::Completed;
                } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                    return CompleteWithFailure(kHidErrorDeviceGone);
                }
            }
            if (Clock::now() >= deadline) return WaitResult::TimedOut;
        }
    }

    std::size_t TakeReadResult(std::span<std::uint8_t> into) override {
        if (m_readState != ReadState::Completed) return 0;
        m_readState = ReadState::Idle;
        if (m_closed) {
            m_lastError = kHidErrorClosed;
            return 0;
        }
        const std::size_t length = std::min(into.size(), m_readLength);
        std::copy_n(m_readBuffer.begin(), length, into.begin());
        return length;
    }

    bool CancelRead() override {
        if (m_closed) return Failed(kHidErrorClosed);
        if (m_readState != ReadState::Pending) return false;
        // No read() is in flight between waits, so nothing the kernel holds is lost.
        m_readState = ReadState::Idle;
        return true;
    }

    std::uint32_t LastError() const override { return m_lastError; }
    std::string LastErrorText() const override {
        const std::uint32_t error = m_lastError;
        return error == kHidErrorNone || m_lastErrorText.empty() ? HidErrorText(error) : m_lastErrorText;
    }

    void Close() override {
        if (m_closed.exchange(true)) return;
        if (m_wakeFd >= 0) ::eventfd_write(m_wakeFd, 1);
    }

private:
    enum class ReadState { Idle, Pending, Completed };

    // `text`: the system's own words, when it gave any.
    bool Failed(std::uint32_t error, std::string text = {}) {
        m_lastError = error;
        m_lastErrorText = std::move(text);
        return false;
    }

    template <typename T>
    std::optional<T> Fail(std::uint32_t error) {
        m_lastError = error;
        m_lastErrorText.clear();
        return std::nullopt;
    }

    WaitResult CompleteWithFailure(std::uint32_t error) {
        if (error == kHidErrorDeviceGone) m_gone = true;
        m_lastError = error;
        m_readLength = 0;
        m_readState = ReadState::Completed;
        return WaitResult::Completed;
    }

    // A missing attribute of a folder that is still there is a failure of its own; a missing
    // folder means the device has gone.
    std::uint32_t MissingAttributeError() const {
        std::error_code error;
        return fs::is_directory(m_hidDir, error) ? kHidErrorIo : kHidErrorDeviceGone;
    }

    std::optional<HidUevent> Uevent() const {
        const auto uevent = ReadAttribute(m_hidDir / "uevent");
        return uevent ? ParseHidUevent(*uevent) : std::nullopt;
    }

    // A USB device's string attribute when the HID device is that USB device's interface; for
    // every other HID device the kernel's HID_NAME stands for its product and it has no
    // manufacturer string of its own.
    std::optional<std::u16string> DeviceString(const char* usbAttribute, bool hidNameStandsIn) {
        if (m_closed) return Fail<std::u16string>(kHidErrorClosed);
        const auto uevent = Uevent();
        if (!uevent) return Fail<std::u16string>(MissingAttributeError());
        std::optional<std::string> text;
        if (const auto usbDir = UsbDeviceDir(m_hidDir, uevent->bus)) {
            text = ReadAttribute(*usbDir / usbAttribute);
        } else if (hidNameStandsIn) {
            text = uevent->name;
        }
        if (!text) return Fail<std::u16string>(MissingAttributeError());
        const std::string_view utf8 = TrimNewlines(*text);
        return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())).toStdU16String();
    }

    // Reads the report poll() announced. True when the read completed, with a report or a failure;
    // false when there was nothing to read after all.
    bool ReadReport() {
        // Byte 0 is the report id everywhere else; hidraw leaves it out for devices that use none.
        const std::size_t offset = m_usesReportIds ? 0 : 1;
        const std::size_t room = m_readBuffer.size() - offset;
        // hidraw drops what does not fit, so a read of at least one byte takes the report off the
        // queue even when only its id was asked for.
        std::uint8_t spare = 0;
        std::uint8_t* into = room > 0 ? m_readBuffer.data() + offset : &spare;
        ssize_t count = 0;
        do {
            count = ::read(m_fd, into, std::max<std::size_t>(room, 1));
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
            CompleteWithFailure(errno == ENODEV || errno == EIO ? kHidErrorDeviceGone : kHidErrorIo);
            return true;
        }
        if (count == 0) {
            // End of file: nothing will ever come from this node again.
            CompleteWithFailure(kHidErrorDeviceGone);
            return true;
        }
        if (offset > 0) m_readBuffer[0] = 0;
        m_readLength = offset + std::min(static_cast<std::size_t>(count), room);
        m_readState = ReadState::Completed;
        return true;
    }

    const HidOpenMode m_mode;
    const int m_fd;      // -1 for query-only handles
    const int m_wakeFd;  // eventfd that Close signals, for reading handles; -1 otherwise
    const fs::path m_hidDir;
    const bool m_usesReportIds;
    std::atomic<bool> m_closed{false};
    std::atomic<std::uint32_t> m_lastError{kHidErrorNone};
    std::string m_lastErrorText;  // the system's words for the last failed write

    // The read side, used by one reader thread at a time.
    ReadState m_readState = ReadState::Idle;
    bool m_gone = false;  // the node hung up
    std::vector<std::uint8_t> m_readBuffer;
    std::size_t m_readLength = 0;
};

}  // namespace

// Hot-plug notices: udev's monitor where a udev daemon runs, else a watch on the device folder.
class LinuxHidrawPlatform::Monitor {
public:
    explicit Monitor(std::function<void()> notice) : m_notice(std::move(notice)) {}

    ~Monitor() {
        m_notifier.reset();
        m_watcher.reset();
        ReleaseUdev();
    }

    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    bool StartUdev() {
        m_udev = udev_new();
        if (m_udev) m_udevMonitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (!m_udevMonitor ||
            udev_monitor_filter_add_match_subsystem_devtype(m_udevMonitor, "hidraw", nullptr) < 0) {
            ReleaseUdev();
            return false;
        }
        // Recent libudev already asks for far more (128 MiB) itself; setting 1 MiB there would shrink
        // the buffer, so only grow it.
        int current = 0;
        socklen_t currentSize = sizeof current;
        if (::getsockopt(udev_monitor_get_fd(m_udevMonitor), SOL_SOCKET, SO_RCVBUF, &current, &currentSize) !=
                0 ||
            current < kUdevReceiveBufferBytes) {
            udev_monitor_set_receive_buffer_size(m_udevMonitor, kUdevReceiveBufferBytes);
        }
        const int fd =
            udev_monitor_enable_receiving(m_udevMonitor) < 0 ? -1 : udev_monitor_get_fd(m_udevMonitor);
        if (fd < 0) {
            ReleaseUdev();
            return false;
        }
        m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                         [this] { ReceiveUdevMessages(); });
        return true;
    }

    // Without udev the kernel's devtmpfs still creates and removes the nodes; the hidraw nodes
    // changing is the notice. A node counts as changed also when its name stays but it stands for
    // another device: a gadget swapped for another within one look at the folder gets the same
    // hidrawN, but a new node and a new HID device folder.
    void WatchDeviceFolder(const std::string& devRoot, const std::string& sysfsRoot) {
        m_devRoot = devRoot;
        m_sysfsRoot = sysfsRoot;
        m_nodes = HidrawNodes();
        m_watcher = std::make_unique<QFileSystemWatcher>();
        m_watcher->addPath(QString::fromStdString(devRoot));
        QObject::connect(m_watcher.get(), &QFileSystemWatcher::directoryChanged, m_watcher.get(),
                         [this] { CompareDeviceFolder(); });
    }

private:
    void ReleaseUdev() {
        if (m_udevMonitor) udev_monitor_unref(m_udevMonitor);
        if (m_udev) udev_unref(m_udev);
        m_udevMonitor = nullptr;
        m_udev = nullptr;
    }

    void ReceiveUdevMessages() {
        bool changed = false;
        for (int i = 0; i < kMaxUdevMessagesPerWakeUp; ++i) {
            errno = 0;
            if (udev_device* device = udev_monitor_receive_device(m_udevMonitor)) {
                udev_device_unref(device);
                changed = true;
            } else if (errno == ENOBUFS) {
                // Messages were lost; the rescan the notice causes catches up with them.
                changed = true;
            } else {
                break;
            }
        }
        // One notice for a burst: each notice means a full rescan anyway.
        if (changed) m_notice();
    }

    struct NodeIdentity {
        dev_t number = 0;
        ino_t inode = 0;
        std::string hidDir;  // empty when sysfs has no HID device for the name
        bool operator==(const NodeIdentity&) const = default;
    };

    std::map<std::string, NodeIdentity> HidrawNodes() const {
        std::map<std::string, NodeIdentity> nodes;
        std::error_code error;
        for (auto it = fs::directory_iterator(m_devRoot, error); !error && it != fs::directory_iterator();
             it.increment(error)) {
            std::string name = it->path().filename().native();
            if (!NodeNumber(name)) continue;
            NodeIdentity identity;
            struct stat node {};
            if (::stat(it->path().c_str(), &node) == 0) {
                identity.number = node.st_rdev;
                identity.inode = node.st_ino;
            }
            if (const auto hidDir = HidDeviceDir(m_sysfsRoot, name)) identity.hidDir = hidDir->native();
            nodes.emplace(std::move(name), std::move(identity));
        }
        return nodes;
    }

    void CompareDeviceFolder() {
        std::map<std::string, NodeIdentity> nodes = HidrawNodes();
        if (nodes == m_nodes) return;
        m_nodes = std::move(nodes);
        m_notice();
    }

    std::function<void()> m_notice;
    udev* m_udev = nullptr;
    udev_monitor* m_udevMonitor = nullptr;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QFileSystemWatcher> m_watcher;
    std::string m_devRoot;
    std::string m_sysfsRoot;
    std::map<std::string, NodeIdentity> m_nodes;
};

LinuxHidrawPlatform::LinuxHidrawPlatform(std::string sysfsRoot, std::string devRoot, std::string udevRunDir)
    : m_sysfsRoot(WithoutTrailingSlashes(std::move(sysfsRoot))),
      m_devRoot(WithoutTrailingSlashes(std::move(devRoot))),
      m_udevRunDir(WithoutTrailingSlashes(std::move(udevRunDir))) {}

LinuxHidrawPlatform::~LinuxHidrawPlatform() = default;

bool LinuxHidrawPlatform::Available() const {
    std::error_code error;
    return fs::is_directory(fs::path(m_sysfsRoot) / "class", error);
}

std::vector<HidInterface> LinuxHidrawPlatform::EnumerateInterfaces() {
    std::vector<std::pair<unsigned, std::string>> nodes;
    std::error_code error;
    const fs::path classDir = fs::path(m_sysfsRoot) / "class" / "hidraw";
    for (auto it = fs::directory_iterator(classDir, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        std::string name = it->path().filename().native();
        if (const auto number = NodeNumber(name)) nodes.emplace_back(*number, std::move(name));
    }
    std::sort(nodes.begin(), nodes.end());

    std::vector<HidInterface> interfaces;
    for (const auto& [number, name] : nodes) {
        // The kernel numbers the HID device folder anew on every connection, so its path names
        // one connection of one device.
        const auto hidDir = HidDeviceDir(m_sysfsRoot, name);
        if (!hidDir) continue;  // going away while we look
        interfaces.push_back({m_devRoot + "/" + name, Fnv1a(hidDir->native())});
    }
    return interfaces;
}

HidOpenResult LinuxHidrawPlatform::Open(const std::string& path, HidOpenMode mode) {
    const auto refused = [](std::string why) { return HidOpenResult{nullptr, std::move(why)}; };
    const std::string prefix = m_devRoot + "/";
    const std::string_view name =
        path.starts_with(prefix) ? std::string_view(path).substr(prefix.size()) : std::string_view();
    if (!NodeNumber(name)) return refused("not a hidraw node of " + m_devRoot);

    // Every handle answers its queries from sysfs, and reading needs to know whether reports are
    // numbered, so the HID device folder must be there whatever the mode.
    const auto hidDir = HidDeviceDir(m_sysfsRoot, name);
    if (!hidDir) return refused("no HID device for " + std::string(name) + " in " + m_sysfsRoot);
    const auto uevent = ReadAttribute(*hidDir / "uevent");
    const auto descriptor = ReadAttribute(*hidDir / "report_descriptor");
    const auto numberText = ReadAttribute(fs::path(m_sysfsRoot) / "class" / "hidraw" / name / "dev");
    const auto number = numberText ? ParseDeviceNumber(*numberText) : std::nullopt;
    if (!uevent || !ParseHidUevent(*uevent) || !descriptor || !number) {
        return refused("the HID device's sysfs attributes cannot be read");
    }
    const bool usesReportIds =
        ParseHidReportDescriptor(
            {reinterpret_cast<const std::uint8_t*>(descriptor->data()), descriptor->size()})
            .usesReportIds;

    // The node must be the one the kernel made for this interface: a missing node, a leftover of
    // another device or anything that is not a character device would take writes meant for the
    // gadget, or none at all. Looked at before opening too, so that nothing else (a FIFO) can block
    // the open.
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) return refused(SystemErrorText(errno));
    if (std::string mismatch = NodeMismatch(node, *number); !mismatch.empty()) return refused(mismatch);
    if (mode == HidOpenMode::QueryOnly) {
        return {std::make_unique<LinuxHidrawHandle>(mode, -1, -1, *hidDir, usesReportIds), {}};
    }

    // A node is never to become the process's controlling terminal, whatever it is.
    int flags = O_CLOEXEC | O_NOCTTY;
    switch (mode) {
        case HidOpenMode::ReadWrite: flags |= O_RDWR; break;
        case HidOpenMode::OverlappedRead: flags |= O_RDONLY | O_NONBLOCK; break;
        case HidOpenMode::OverlappedWrite: flags |= O_WRONLY; break;
        case HidOpenMode::QueryOnly: break;
    }
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return refused(SystemErrorText(errno));
    const auto closeAndRefuse = [&](std::string why) {
        ::close(fd);
        return refused(std::move(why));
    };
    // What was opened, in case the node changed since it was looked at.
    if (::fstat(fd, &node) != 0) return closeAndRefuse(SystemErrorText(errno));
    if (std::string mismatch = NodeMismatch(node, *number); !mismatch.empty())
        return closeAndRefuse(mismatch);
    int wakeFd = -1;
    if (mode == HidOpenMode::OverlappedRead) {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0) return closeAndRefuse(SystemErrorText(errno));
    }
    return {std::make_unique<LinuxHidrawHandle>(mode, fd, wakeFd, *hidDir, usesReportIds), {}};
}

void LinuxHidrawPlatform::StartMonitoring(std::function<void()> notice) {
    m_monitor.reset();
    auto monitor = std::make_unique<Monitor>(std::move(notice));
    // libudev's monitor is silent where no udev daemon runs (containers): there the events never
    // get past the daemon, so watch the device folder instead.
    std::error_code error;
    const bool udevRuns = fs::exists(fs::path(m_udevRunDir) / "control", error);
    if (!udevRuns || !monitor->StartUdev()) {
        monitor->WatchDeviceFolder(m_devRoot, m_sysfsRoot);
    }
    m_monitor = std::move(monitor);
}

}  // namespace tavrel
