#pragma once

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
        None,         // no device node (not created yet, or removed)
        Fifo,         // reads get what the test writes into it
        RegularFile,  // keeps what the code under test writes
    };

    unsigned hidrawNumber = 0;
    std::uint16_t vendorId = 0x4132;
    std::uint16_t productId = 0x0001;
    std::vector<std::uint8_t> reportDescriptor;
    // false: a HID device without a USB device above it (as Bluetooth devices through uhid are),
    // so no bcdDevice, manufacturer or product.
    bool onUsb = true;
    std::optional<std::uint16_t> bcdDevice = 0x0100;
    // The USB strings as UTF-8 text; the tree adds the newline the kernel ends them with.
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    Node node = Node::Fifo;
};

// A sysfs, a dev folder and a udev run folder in a temporary folder, laid out as the kernel does:
// class/hidraw/hidrawN links into devices/…/usbX/X-P/X-P:1.0/0003:VVVV:PPPP.SSSS/hidraw/hidrawN,
// whose `device` link leads back to the HID device folder with its uevent and report_descriptor.
// No udev control socket, so nothing looks like a running udev daemon.
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
    // Removes all that Plug added for the device.
    void Unplug(unsigned hidrawNumber);

    std::string NodePath(unsigned hidrawNumber) const;
    // The HID device folder of a plugged device (…/0003:4132:0001.0001).
    std::filesystem::path HidDeviceDir(unsigned hidrawNumber) const;

    // Device nodes alone, as devtmpfs creates and removes them.
    void AddNode(unsigned hidrawNumber, FakeHidDevice::Node kind);
    void RemoveNode(unsigned hidrawNumber);
    // What was written into a regular-file node.
    std::vector<std::uint8_t> NodeContent(unsigned hidrawNumber) const;

private:
    struct Plugged {
        std::filesystem::path removedOnUnplug;  // the USB device folder, or the HID device folder
        std::filesystem::path hidDir;
    };

    std::filesystem::path m_root;
    unsigned m_nextSequence = 1;
    unsigned m_nextUsbPort = 1;
    std::map<unsigned, Plugged> m_plugged;
};

}  // namespace tavrel::test
