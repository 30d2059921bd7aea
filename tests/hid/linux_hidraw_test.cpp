#include "hid/linux_hidraw.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <QCoreApplication>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/fake_sysfs.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;
using test::DescriptorFromTestData;
using test::FakeHidDevice;
using test::FakeKernelTree;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Optional;

// Long enough never to run out on a slow, busy machine; the waits it bounds end by themselves.
constexpr auto kGenerousWait = 30s;

FakeHidDevice Gadget(unsigned hidrawNumber) {
    FakeHidDevice device;
    device.hidrawNumber = hidrawNumber;
    device.reportDescriptor = DescriptorFromTestData("vendor_64_byte.hex");
    device.manufacturer = "Tavrel Labs";
    device.product = "键鼠脚本盒";
    return device;
}

FakeHidDevice ComboKeyboard(unsigned hidrawNumber) {
    FakeHidDevice device;
    device.hidrawNumber = hidrawNumber;
    device.vendorId = 0x1A2C;
    device.productId = 0x0E24;
    device.reportDescriptor = DescriptorFromTestData("keyboard_consumer_ids.hex");
    device.bcdDevice.reset();
    device.product = "USB Keyboard";
    return device;
}

// A 64-byte report body: `head`, then zeros.
std::vector<std::uint8_t> Body(std::string_view head) {
    std::vector<std::uint8_t> bytes = Bytes(head);
    bytes.resize(64, 0);
    return bytes;
}

std::vector<std::uint8_t> Join(std::vector<std::uint8_t> first, const std::vector<std::uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The device's end of a FIFO node: what is written here is what the next read() gets.
class FifoWriter {
public:
    explicit FifoWriter(const std::string& path)
        : m_fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) {
        EXPECT_GE(m_fd, 0) << "open the reading end first";
    }
    ~FifoWriter() { Close(); }
    void Write(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Runs the event loop until `done` holds or a long time has passed; gives `done()`.
bool ProcessEventsUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerousWait;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

void ProcessEventsFor(std::chrono::milliseconds period) {
    const auto end = std::chrono::steady_clock::now() + period;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(5ms);
    }
}

class LinuxHidrawTest : public ::testing::Test {
protected:
    FakeKernelTree tree;
    LinuxHidrawPlatform platform{tree.sysfsRoot(), tree.devRoot(), tree.udevRunDir()};
};

std::vector<std::string> Paths(const std::vector<HidInterface>& interfaces) {
    std::vector<std::string> paths;
    for (const auto& interface : interfaces)
        paths.push_back(interface.path);
    return paths;
}

TEST_F(LinuxHidrawTest, EnumeratesInNodeOrderWithAnIdPerConnection) {
    tree.Plug(Gadget(10));
    tree.Plug(ComboKeyboard(2));
    tree.Plug(Gadget(0));

    const std::vector<HidInterface> first = platform.EnumerateInterfaces();
    EXPECT_THAT(Paths(first), ElementsAre(tree.NodePath(0), tree.NodePath(2), tree.NodePath(10)));
    ASSERT_EQ(first.size(), 3u);
    EXPECT_NE(first[0].deviceId, first[1].deviceId);
    EXPECT_NE(first[0].deviceId, first[2].deviceId);
    EXPECT_NE(first[1].deviceId, first[2].deviceId);

    // The same connection keeps its id; a reconnection under the same node gets a new one.
    tree.Unplug(2);
    tree.Plug(ComboKeyboard(2));
    const std::vector<HidInterface> second = platform.EnumerateInterfaces();
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0].deviceId, first[0].deviceId);
    EXPECT_NE(second[1].deviceId, first[1].deviceId);
    EXPECT_EQ(second[2].deviceId, first[2].deviceId);

    // An entry whose HID device folder is already gone is on its way out, and not listed.
    fs::remove_all(tree.HidDeviceDir(10));
    EXPECT_THAT(Paths(platform.EnumerateInterfaces()), ElementsAre(tree.NodePath(0), tree.NodePath(2)));
}

TEST_F(LinuxHidrawTest, AvailableWhereverSysfsIs) {
    EXPECT_TRUE(platform.Available());
    EXPECT_TRUE(platform.EnumerateInterfaces().empty());

    // Before the kernel's HID core is loaded there is no hidraw class yet; devices may still come.
    fs::remove_all(fs::path(tree.sysfsRoot()) / "class" / "hidraw");
    EXPECT_TRUE(platform.Available());
    EXPECT_TRUE(platform.EnumerateInterfaces().empty());

    LinuxHidrawPlatform nowhere(tree.sysfsRoot() + "/missing", tree.devRoot(), tree.udevRunDir());
    EXPECT_FALSE(nowhere.Available());
    EXPECT_TRUE(nowhere.EnumerateInterfaces().empty());
}

TEST_F(LinuxHidrawTest, IdentityCapabilitiesAndStrings) {
    FakeHidDevice bluetooth = Gadget(5);
    bluetooth.onUsb = false;
    bluetooth.productId = 0x0002;
    const struct {
        const char* what;
        FakeHidDevice device;
        HidAttributes attributes;
        HidCapabilities caps;
        std::optional<std::u16string> manufacturer;
        std::optional<std::u16string> product;
    } cases[] = {
        {"gadget", Gadget(3), {0x4132, 0x0001, 0x0100}, {65, 65}, u"Tavrel Labs", u"键鼠脚本盒"},
        {"keyboard with report ids, no bcdDevice, no manufacturer",
         ComboKeyboard(4),
         {0x1A2C, 0x0E24, 0},
         {9, 2},
         std::nullopt,
         u"USB Keyboard"},
        {"no USB device above", bluetooth, {0x4132, 0x0002, 0}, {65, 65}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = tree.Plug(c.device);
        for (const HidOpenMode mode : {HidOpenMode::QueryOnly, HidOpenMode::ReadWrite}) {
            const std::unique_ptr<HidHandle> handle = platform.Open(path, mode);
            ASSERT_TRUE(handle);
            const auto attributes = handle->GetAttributes();
            ASSERT_TRUE(attributes);
            EXPECT_EQ(attributes->vendorId, c.attributes.vendorId);
            EXPECT_EQ(attributes->productId, c.attributes.productId);
            EXPECT_EQ(attributes->versionNumber, c.attributes.versionNumber);
            const auto caps = handle->GetCaps();
            ASSERT_TRUE(caps);
            EXPECT_EQ(caps->inputReportByteLength, c.caps.inputReportByteLength);
            EXPECT_EQ(caps->outputReportByteLength, c.caps.outputReportByteLength);
            EXPECT_EQ(handle->GetManufacturerString(), c.manufacturer);
            EXPECT_EQ(handle->GetProductString(), c.product);
        }
    }
}

TEST_F(LinuxHidrawTest, WithoutANodeOnlyQueriesOpen) {
    FakeHidDevice device = Gadget(1);
    device.node = FakeHidDevice::Node::None;
    const std::string path = tree.Plug(device);

    EXPECT_FALSE(platform.Open(path, HidOpenMode::ReadWrite));
    EXPECT_FALSE(platform.Open(path, HidOpenMode::OverlappedRead));
    EXPECT_FALSE(platform.Open(path, HidOpenMode::OverlappedWrite));
    const std::unique_ptr<HidHandle> query = platform.Open(path, HidOpenMode::QueryOnly);
    ASSERT_TRUE(query);
    EXPECT_THAT(query->GetProductString(), Optional(std::u16string(u"键鼠脚本盒")));
    EXPECT_FALSE(query->Write(Bytes("00 A0")));
    EXPECT_EQ(query->LastError(), kHidErrorNotPermitted);

    // Once the device has gone, its handle's queries fail and it cannot be opened at all.
    tree.Unplug(1);
    EXPECT_FALSE(query->GetAttributes());
    EXPECT_EQ(query->LastError(), kHidErrorDeviceGone);
    EXPECT_FALSE(query->GetCaps());
    EXPECT_FALSE(platform.Open(path, HidOpenMode::QueryOnly));
}

TEST_F(LinuxHidrawTest, OpensOnlyHidrawNodesOfItsDevFolder) {
    tree.Plug(Gadget(0));
    for (const std::string& path :
         {tree.devRoot() + "/hidraw", tree.devRoot() + "/hidraw0x", tree.devRoot() + "/tty0",
          std::string("/elsewhere/hidraw0"), tree.devRoot() + "/hidraw9"}) {
        EXPECT_FALSE(platform.Open(path, HidOpenMode::QueryOnly)) << path;
    }
}

TEST_F(LinuxHidrawTest, ReadGivesTheReportIdFirst) {
    const struct {
        const char* what;
        FakeHidDevice device;
        std::vector<std::uint8_t> fromKernel;
        std::size_t length;
        std::vector<std::uint8_t> expected;
    } cases[] = {
        // hidraw leaves out the id byte of unnumbered reports; byte 0 becomes 0.
        {"no report ids", Gadget(0), Body("A0 01 02"), 65, Join(Bytes("00"), Body("A0 01 02"))},
        {"report id 1", ComboKeyboard(1), Bytes("01 02 00 04 00 00 00 00 00"), 9,
         Bytes("01 02 00 04 00 00 00 00 00")},
        {"shorter report id 2", ComboKeyboard(2), Bytes("02 E9 00"), 9, Bytes("02 E9 00")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = tree.Plug(c.device);
        const std::unique_ptr<HidHandle> reader = platform.Open(path, HidOpenMode::OverlappedRead);
        ASSERT_TRUE(reader);
        FifoWriter device(path);

        ASSERT_TRUE(reader->QueueRead(c.length));
        EXPECT_EQ(reader->WaitRead(20ms), HidHandle::WaitResult::TimedOut);
        device.Write(c.fromKernel);
        ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
        std::vector<std::uint8_t> report(c.length + 8, 0xEE);
        const std::size_t length = reader->TakeReadResult(report);
        report.resize(length);
        EXPECT_EQ(report, c.expected);
    }
}

TEST_F(LinuxHidrawTest, ReportsQueuedBeforeAnUnplugArriveThenTheReadFails) {
    const std::string path = tree.Plug(Gadget(0));
    const std::unique_ptr<HidHandle> reader = platform.Open(path, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(reader);
    FifoWriter device(path);
    device.Write(Body("A0 07"));
    device.Close();

    std::vector<std::uint8_t> report(65);
    ASSERT_TRUE(reader->QueueRead(report.size()));
    ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
    ASSERT_EQ(reader->TakeReadResult(report), 65u);
    EXPECT_THAT(std::span(report).first(3), ElementsAre(0x00, 0xA0, 0x07));

    ASSERT_TRUE(reader->QueueRead(report.size()));
    ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
    EXPECT_EQ(reader->TakeReadResult(report), 0u);
    EXPECT_EQ(reader->LastError(), kHidErrorDeviceGone);
}

TEST_F(LinuxHidrawTest, CloseFromAnotherThreadEndsAWaitingRead) {
    const std::string path = tree.Plug(Gadget(0));
    const std::unique_ptr<HidHandle> reader = platform.Open(path, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(reader);
    FifoWriter device(path);  // connected and silent: poll() has nothing to report but the close
    ASSERT_TRUE(reader->QueueRead(65));

    HidHandle::WaitResult result = HidHandle::WaitResult::TimedOut;
    std::thread readerThread([&] { result = reader->WaitRead(kGenerousWait); });
    std::this_thread::sleep_for(100ms);  // let the reader get into its wait
    reader->Close();
    readerThread.join();

    // Only Close can have ended a wait this long with nothing written.
    EXPECT_EQ(result, HidHandle::WaitResult::Completed);
    std::vector<std::uint8_t> report(65);
    EXPECT_EQ(reader->TakeReadResult(report), 0u);
    EXPECT_EQ(reader->LastError(), kHidErrorClosed);
    EXPECT_FALSE(reader->QueueRead(65));
    EXPECT_EQ(reader->LastError(), kHidErrorClosed);
    EXPECT_FALSE(reader->GetAttributes());
}

TEST_F(LinuxHidrawTest, ReadSideRules) {
    const std::string path = tree.Plug(Gadget(0));
    const std::unique_ptr<HidHandle> reader = platform.Open(path, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(reader);
    FifoWriter device(path);

    EXPECT_FALSE(reader->CancelRead());
    ASSERT_TRUE(reader->QueueRead(65));
    EXPECT_FALSE(reader->QueueRead(65));  // one read at a time
    EXPECT_TRUE(reader->CancelRead());
    EXPECT_FALSE(reader->CancelRead());
    EXPECT_FALSE(reader->Write(Bytes("00 A0")));
    EXPECT_EQ(reader->LastError(), kHidErrorNotPermitted);

    // A report that comes after a cancelled read is there for the next one.
    device.Write(Body("A1"));
    ASSERT_TRUE(reader->QueueRead(65));
    ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
    std::vector<std::uint8_t> report(65);
    EXPECT_EQ(reader->TakeReadResult(report), 65u);
    EXPECT_EQ(report[1], 0xA1);

    const std::unique_ptr<HidHandle> writer = platform.Open(path, HidOpenMode::ReadWrite);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->QueueRead(65));
    EXPECT_EQ(writer->LastError(), kHidErrorNotPermitted);
}

TEST_F(LinuxHidrawTest, WriteSendsTheReportAsGiven) {
    FakeHidDevice device = Gadget(0);
    device.node = FakeHidDevice::Node::RegularFile;
    const std::string path = tree.Plug(device);

    const std::vector<std::uint8_t> first = Join(Bytes("00"), Body("A0 01"));
    const std::vector<std::uint8_t> second = Join(Bytes("00"), Body("13"));
    for (const HidOpenMode mode : {HidOpenMode::ReadWrite, HidOpenMode::OverlappedWrite}) {
        fs::resize_file(path, 0);
        const std::unique_ptr<HidHandle> writer = platform.Open(path, mode);
        ASSERT_TRUE(writer);
        EXPECT_TRUE(writer->Write(first));
        EXPECT_TRUE(writer->Write(second));
        EXPECT_EQ(tree.NodeContent(0), Join(first, second));

        writer->Close();
        EXPECT_FALSE(writer->Write(first));
        EXPECT_EQ(writer->LastError(), kHidErrorClosed);
        EXPECT_EQ(tree.NodeContent(0), Join(first, second));
    }
}

TEST_F(LinuxHidrawTest, AFailedWriteIsReported) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full to fail writes";
    tree.Plug(Gadget(0));
    tree.RemoveNode(0);
    fs::create_symlink("/dev/full", tree.NodePath(0));  // every write fails with ENOSPC

    const std::unique_ptr<HidHandle> writer = platform.Open(tree.NodePath(0), HidOpenMode::ReadWrite);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->Write(Join(Bytes("00"), Body("A0"))));
    EXPECT_EQ(writer->LastError(), kHidErrorIo);
}

// No udev daemon in the fake tree: the device folder is watched instead.
TEST_F(LinuxHidrawTest, DeviceFolderWatchNoticesHidrawNodesComingAndGoing) {
    int notices = 0;
    platform.StartMonitoring([&] { ++notices; });

    // Other nodes are none of its business.
    std::ofstream(tree.devRoot() + "/tty5").put('x');
    ProcessEventsFor(300ms);
    EXPECT_EQ(notices, 0);

    tree.Plug(Gadget(3));
    EXPECT_TRUE(ProcessEventsUntil([&] { return notices >= 1; }));
    ProcessEventsFor(100ms);
    EXPECT_EQ(notices, 1);

    tree.Unplug(3);
    EXPECT_TRUE(ProcessEventsUntil([&] { return notices >= 2; }));
    ProcessEventsFor(100ms);
    EXPECT_EQ(notices, 2);
}

}  // namespace
}  // namespace tavrel
