#include "support/fake_sysfs.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <sys/stat.h>
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
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

std::string FakeKernelTree::Plug(const FakeHidDevice& device) {
    const fs::path sys = m_root / "sys";
    const unsigned bus = device.onUsb ? 0x0003 : 0x0005;
    const std::string hidName = Hex(bus, 4, true) + ":" + Hex(device.vendorId, 4, true) + ":" +
                                Hex(device.productId, 4, true) + "." + Hex(m_nextSequence++, 4, true);

    fs::path removedOnUnplug;
    fs::path hidDir;
    if (device.onUsb) {
        const std::string port = "1-" + std::to_string(m_nextUsbPort++);
        const fs::path usbDir = sys / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port;
        hidDir = usbDir / (port + ":1.0") / hidName;
        fs::create_directories(hidDir);
        WriteFile(usbDir / "idVendor", Hex(device.vendorId, 4, false) + "\n");
        WriteFile(usbDir / "idProduct", Hex(device.productId, 4, false) + "\n");
        if (device.bcdDevice) WriteFile(usbDir / "bcdDevice", Hex(*device.bcdDevice, 4, false) + "\n");
        if (device.manufacturer) WriteFile(usbDir / "manufacturer", *device.manufacturer + "\n");
        if (device.product) WriteFile(usbDir / "product", *device.product + "\n");
        WriteFile(usbDir / (port + ":1.0") / "bInterfaceNumber", "00\n");
        removedOnUnplug = usbDir;
    } else {
        hidDir = sys / "devices" / "virtual" / "misc" / "uhid" / hidName;
        fs::create_directories(hidDir);
        removedOnUnplug = hidDir;
    }

    WriteFile(hidDir / "uevent", "DRIVER=hid-generic\nHID_ID=" + Hex(bus, 4, true) + ":" +
                                     Hex(device.vendorId, 8, true) + ":" + Hex(device.productId, 8, true) +
                                     "\nHID_NAME=" + device.product.value_or("") + "\nHID_UNIQ=\n");
    WriteFile(hidDir / "report_descriptor", device.reportDescriptor);

    const std::string node = "hidraw" + std::to_string(device.hidrawNumber);
    const fs::path classDevice = hidDir / "hidraw" / node;
    fs::create_directories(classDevice);
    WriteFile(classDevice / "dev", "247:" + std::to_string(device.hidrawNumber) + "\n");
    fs::create_directory_symlink(fs::path("../../..") / hidName, classDevice / "device");
    fs::create_directory_symlink(fs::path("../..") / fs::relative(classDevice, sys),
                                 sys / "class" / "hidraw" / node);

    m_plugged[device.hidrawNumber] = {removedOnUnplug, hidDir};
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

void FakeKernelTree::AddNode(unsigned hidrawNumber, FakeHidDevice::Node kind) {
    const std::string path = NodePath(hidrawNumber);
    switch (kind) {
        case FakeHidDevice::Node::None: break;
        case FakeHidDevice::Node::Fifo:
            if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed: " + path);
            break;
        case FakeHidDevice::Node::RegularFile: WriteFile(path, std::string_view()); break;
    }
}

void FakeKernelTree::RemoveNode(unsigned hidrawNumber) {
    std::error_code ignored;
    fs::remove(NodePath(hidrawNumber), ignored);
}

std::vector<std::uint8_t> FakeKernelTree::NodeContent(unsigned hidrawNumber) const {
    std::ifstream file(NodePath(hidrawNumber), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace tavrel::test
