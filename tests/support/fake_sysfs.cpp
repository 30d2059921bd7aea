#include "support/fake_sysfs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace tavrel::test {

namespace fs = std::filesystem;

namespace {

std::string Hex(unsigned value, int digits, bool upper) {
    char text[16];
    std::snprintf(text, sizeof text, upper ? "%0*X" : "%0*x", digits, value);
    return text;
}

void WriteFile(const fs::path& path, std::string_view content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file) throw std::runtime_error("cannot write " + path.native());
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& content) {
    WriteFile(path, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
}

[[noreturn]] void Fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::uint64_t DeviceNumberOf(const std::string& path) {
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) Fail("stat " + path);
    return node.st_rdev;
}

}  // namespace

std::vector<std::uint8_t> DescriptorFromTestData(std::string_view fileName) {
    const fs::path path = fs::path(TAVREL_TEST_DATA_DIR) / "descriptors" / fileName;
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read " + path.native());
    std::vector<std::uint8_t> bytes;
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
        }
    }
    return bytes;
}

FakeKernelTree::FakeKernelTree() {
    std::string pattern = (fs::temp_directory_path() / "tavrel-kernel-XXXXXX").native();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_root = pattern;
    fs::create_directories(m_root / "sys" / "class" / "hidraw");
    fs::create_directories(m_root / "sys" / "devices");
    fs::create_directories(m_root / "dev");
    fs::create_directories(m_root / "run" / "udev");
}

FakeKernelTree::~FakeKernelTree() {
    while (!m_ptys.empty())
        ClosePty(m_ptys.begin()->first);
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

std::string FakeKernelTree::Plug(const FakeHidDevice& device) {
    using Placement = FakeHidDevice::Placement;
    const fs::path sys = m_root / "sys";
    const std::string hidName = Hex(device.bus, 4, true) + ":" + Hex(device.vendorId, 4, true) + ":" +
                                Hex(device.productId, 4, true) + "." + Hex(m_nextSequence++, 4, true);

    fs::path removedOnUnplug;
    fs::path hidDir;
    if (device.placement == Placement::Virtual) {
        hidDir = sys / "devices" / "virtual" / "misc" / "uhid" / hidName;
        fs::create_directories(hidDir);
        removedOnUnplug = hidDir;
    } else {
        const bool adapter = device.placement == Placement::BluetoothBehindUsbAdapter;
        const std::string port = "1-" + std::to_string(m_nextUsbPort++);
        const fs::path usbDir = sys / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port;
        const fs::path usbInterface = usbDir / (port + ":1.0");
        hidDir =
            adapter ? usbInterface / "bluetooth" / "hci0" / "hci0:256" / hidName : usbInterface / hidName;
        fs::create_directories(hidDir);
        // A Bluetooth adapter is a USB device of its own maker (here a common dongle's ids).
        WriteFile(usbDir / "idVendor", Hex(adapter ? 0x0A12 : device.vendorId, 4, false) + "\n");
        WriteFile(usbDir / "idProduct", Hex(adapter ? 0x0001 : device.productId, 4, false) + "\n");
        if (device.bcdDevice) WriteFile(usbDir / "bcdDevice", Hex(*device.bcdDevice, 4, false) + "\n");
        if (device.manufacturer) WriteFile(usbDir / "manufacturer", *device.manufacturer + "\n");
        if (device.product) WriteFile(usbDir / "product", *device.product + "\n");
        WriteFile(usbInterface / "bInterfaceNumber", "00\n");
        removedOnUnplug = usbDir;
    }

    // usbhid names a device "<manufacturer> <product>", either alone when the other is missing.
    std::string name = device.hidName.value_or("");
    if (!device.hidName && device.placement == Placement::UsbInterface) {
        name = device.manufacturer.value_or("");
        if (device.product) name += (name.empty() ? "" : " ") + *device.product;
    }
    WriteFile(hidDir / "uevent", "DRIVER=hid-generic\nHID_ID=" + Hex(device.bus, 4, true) + ":" +
                                     Hex(device.vendorId, 8, true) + ":" + Hex(device.productId, 8, true) +
                                     "\nHID_NAME=" + name + "\nHID_PHYS=\nHID_UNIQ=\n");
    WriteFile(hidDir / "report_descriptor", device.reportDescriptor);

    const std::string node = "hidraw" + std::to_string(device.hidrawNumber);
    const fs::path classDevice = hidDir / "hidraw" / node;
    fs::create_directories(classDevice);
    fs::create_directory_symlink(fs::path("../../..") / hidName, classDevice / "device");
    fs::create_directory_symlink(fs::path("../..") / fs::relative(classDevice, sys),
                                 sys / "class" / "hidraw" / node);

    m_plugged[device.hidrawNumber] = {removedOnUnplug, hidDir};
    // A number no node of this tree has, until a node is made.
    SetDeviceNumber(device.hidrawNumber, makedev(247, device.hidrawNumber));
    AddNode(device.hidrawNumber, device.node);
    return NodePath(device.hidrawNumber);
}

void FakeKernelTree::Unplug(unsigned hidrawNumber) {
    const auto plugged = m_plugged.find(hidrawNumber);
    if (plugged == m_plugged.end()) throw std::logic_error("not plugged");
    RemoveNode(hidrawNumber);
    fs::remove(m_root / "sys" / "class" / "hidraw" / ("hidraw" + std::to_string(hidrawNumber)));
    fs::remove_all(plugged->second.removedOnUnplug);
    m_plugged.erase(plugged);
}

std::string FakeKernelTree::NodePath(unsigned hidrawNumber) const {
    return devRoot() + "/hidraw" + std::to_string(hidrawNumber);
}

fs::path FakeKernelTree::HidDeviceDir(unsigned hidrawNumber) const {
    return m_plugged.at(hidrawNumber).hidDir;
}

void FakeKernelTree::SetDeviceNumber(unsigned hidrawNumber, std::uint64_t number) {
    const auto plugged = m_plugged.find(hidrawNumber);
    if (plugged == m_plugged.end()) return;  // a node alone, without its sysfs entry
    const fs::path dev =
        plugged->second.hidDir / "hidraw" / ("hidraw" + std::to_string(hidrawNumber)) / "dev";
    WriteFile(dev, std::to_string(major(number)) + ":" + std::to_string(minor(number)) + "\n");
}

void FakeKernelTree::AddNode(unsigned hidrawNumber, FakeHidDevice::Node kind) {
    using Node = FakeHidDevice::Node;
    const std::string path = NodePath(hidrawNumber);
    switch (kind) {
        case Node::None: break;
        case Node::Folder: fs::create_directory(path); break;
        case Node::Loop: fs::create_symlink(path, path); break;
        case Node::Fifo:
            if (::mkfifo(path.c_str(), 0600) != 0) Fail("mkfifo " + path);
            break;
        case Node::Pty:
        case Node::LockedPty: {
            Pty pty;
            pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (pty.master < 0) Fail("posix_openpt");
            char slavePath[128];
            // A slave that is still locked exists but cannot be opened (EIO).
            if (::grantpt(pty.master) != 0 || ::ptsname_r(pty.master, slavePath, sizeof slavePath) != 0 ||
                (kind == Node::Pty && ::unlockpt(pty.master) != 0)) {
                ::close(pty.master);
                Fail("pseudo-terminal");
            }
            ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
            if (kind == Node::Pty) {
                pty.slave = ::open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
                termios raw{};
                if (pty.slave < 0 || ::tcgetattr(pty.slave, &raw) != 0) Fail(slavePath);
                ::cfmakeraw(&raw);  // bytes pass as they are, one write at a time, no echo
                if (::tcsetattr(pty.slave, TCSANOW, &raw) != 0) Fail(slavePath);
            }
            m_ptys[hidrawNumber] = pty;
            fs::create_symlink(slavePath, path);
            SetDeviceNumber(hidrawNumber, DeviceNumberOf(slavePath));
            break;
        }
    }
}

void FakeKernelTree::RemoveNode(unsigned hidrawNumber) {
    ClosePty(hidrawNumber);
    std::error_code ignored;
    fs::remove(NodePath(hidrawNumber), ignored);
}

void FakeKernelTree::LinkNode(unsigned hidrawNumber, const std::string& target) {
    RemoveNode(hidrawNumber);
    fs::create_symlink(target, NodePath(hidrawNumber));
    SetDeviceNumber(hidrawNumber, DeviceNumberOf(target));
}

void FakeKernelTree::HangUp(unsigned hidrawNumber) {
    ClosePty(hidrawNumber);
}

void FakeKernelTree::ClosePty(unsigned hidrawNumber) {
    const auto pty = m_ptys.find(hidrawNumber);
    if (pty == m_ptys.end()) return;
    if (pty->second.slave >= 0) ::close(pty->second.slave);
    ::close(pty->second.master);
    m_ptys.erase(pty);
}

bool FakeKernelTree::Feed(unsigned hidrawNumber, const std::vector<std::uint8_t>& bytes) {
    const auto pty = m_ptys.find(hidrawNumber);
    if (pty == m_ptys.end()) return false;
    const ssize_t written = ::write(pty->second.master, bytes.data(), bytes.size());
    return written == static_cast<ssize_t>(bytes.size());
}

std::vector<std::uint8_t> FakeKernelTree::Written(unsigned hidrawNumber, std::size_t count,
                                                  std::chrono::milliseconds wait) {
    const auto pty = m_ptys.find(hidrawNumber);
    if (pty == m_ptys.end()) return {};
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd master{pty->second.master, POLLIN, 0};
        if (::poll(&master, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t chunk[4096];
        const ssize_t got = ::read(pty->second.master, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
        else if (got < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return bytes;
}

}  // namespace tavrel::test
