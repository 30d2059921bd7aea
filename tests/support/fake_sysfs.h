#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::test {

// The bytes of a report descriptor in tests/data/descriptors (hex text, '#' comments).
std::vector<std::uint8_t> DescriptorFromTestData(std::string_view fileName);

// A HID device as the fake kernel tree shows it.
struct FakeHidDevice {
    enum class Node {
        None,       // no device node (not created yet, or removed)
        Pty,        // a real character device: a pseudo-terminal's slave, fed and read by the tree
        LockedPty,  // a character device that refuses to be opened (a locked pseudo-terminal slave)
        Folder,     // a folder where the node should be
        Fifo,       // a named pipe where the node should be
        Loop,       // a symbolic link to itself, which cannot be resolved
    };
    enum class Placement {
        UsbInterface,               // …/usb1/1-P/1-P:1.0/<HID device>: an interface of a USB device
        BluetoothBehindUsbAdapter,  // …/usb1/1-P/1-P:1.0/bluetooth/hci0/hci0:256/<HID device>
        Virtual,                    // …/virtual/misc/uhid/<HID device>: made by a uhid client
    };

    unsigned hidrawNumber = 0;
    Placement placement = Placement::UsbInterface;
    std::uint16_t bus = 0x0003;  // HID_ID's bus: 0x0003 USB, 0x0005 Bluetooth
    std::uint16_t vendorId = 0x4132;
    std::uint16_t productId = 0x0001;
    std::vector<std::uint8_t> reportDescriptor;
    // The USB device's attributes (for a Bluetooth device behind an adapter: the adapter's); the
    // tree adds the newline the kernel ends the strings with.
    std::optional<std::uint16_t> bcdDevice = 0x0100;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    // HID_NAME of the uevent; unset, it is what the kernel makes of a USB device's strings.
    std::optional<std::string> hidName;
    Node node = Node::Pty;
};

// A sysfs, a dev folder and a udev run folder in a temporary folder, laid out as the kernel does:
// class/hidraw/hidrawN links into devices/…/usbX/X-P/X-P:1.0/0003:VVVV:PPPP.SSSS/hidraw/hidrawN,
// whose `device` link leads back to the HID device folder with its uevent and report_descriptor,
// and whose `dev` holds the device number of the node in the dev folder. Nodes are symbolic links
// to pseudo-terminal slaves in raw mode: real character devices, whose other end the tree holds to
// feed reports in and read what was written. No udev control socket, so nothing looks like a
// running udev daemon.
class FakeKernelTree {
public:
    FakeKernelTree();
    ~FakeKernelTree();

    FakeKernelTree(const FakeKernelTree&) = delete;
    FakeKernelTree& operator=(const FakeKernelTree&) = delete;

    std::string sysfsRoot() const { return (m_root / "sys").native(); }
    std::string devRoot() const { return (m_root / "dev").native(); }
    std::string udevRunDir() const { return (m_root / "run" / "udev").native(); }

    // Adds the device as a plug-in does: a HID device folder with a new sequence number, its hidraw
    // class entry and device node. Gives the node's path.
    std::string Plug(const FakeHidDevice& device);
    // Removes all that Plug added for the device; a reader of its node sees a hang-up.
    void Unplug(unsigned hidrawNumber);

    std::string NodePath(unsigned hidrawNumber) const;
    // The HID device folder of a plugged device (…/0003:4132:0001.0001).
    std::filesystem::path HidDeviceDir(unsigned hidrawNumber) const;

    // Device nodes alone, as devtmpfs creates and removes them; a new node's number goes into the
    // class entry's `dev`.
    void AddNode(unsigned hidrawNumber, FakeHidDevice::Node kind);
    void RemoveNode(unsigned hidrawNumber);
    // Makes the node a link to another character device (/dev/full), with that device's number.
    void LinkNode(unsigned hidrawNumber, const std::string& target);
    // Ends the node's other side, as a device that vanished: its readers see a hang-up; the node
    // and the sysfs entry stay.
    void HangUp(unsigned hidrawNumber);

    // Gives the node's readers these bytes, as one report.
    bool Feed(unsigned hidrawNumber, const std::vector<std::uint8_t>& bytes);
    // What was written to the node: waits until `count` bytes have come or `wait` has passed.
    std::vector<std::uint8_t> Written(unsigned hidrawNumber, std::size_t count,
                                      std::chrono::milliseconds wait = std::chrono::seconds(30));

private:
    struct Plugged {
        std::filesystem::path removedOnUnplug;  // the USB device folder, or the HID device folder
        std::filesystem::path hidDir;
    };
    struct Pty {
        int master = -1;
        int slave = -1;  // kept open so the terminal keeps its settings
    };

    void ClosePty(unsigned hidrawNumber);
    void SetDeviceNumber(unsigned hidrawNumber, std::uint64_t number);

    std::filesystem::path m_root;
    unsigned m_nextSequence = 1;
    unsigned m_nextUsbPort = 1;
    std::map<unsigned, Plugged> m_plugged;
    std::map<unsigned, Pty> m_ptys;
};

}  // namespace tavrel::test
