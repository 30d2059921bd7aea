#include "hid/linux_hidraw.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <QCoreApplication>
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
    std::unique_ptr<HidHandle> Open(const std::string& path, HidOpenMode mode) {
        HidOpenResult opened = platform.Open(path, mode);
        EXPECT_TRUE(opened.handle) << path << ": " << opened.error;
        return std::move(opened.handle);
    }

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

// Strings and version come from the USB device only when the HID device is one of its interfaces;
// every other HID device goes by the name the kernel gives it.
TEST_F(LinuxHidrawTest, IdentityCapabilitiesAndStrings) {
    FakeHidDevice bluetooth = ComboKeyboard(5);
    bluetooth.placement = FakeHidDevice::Placement::BluetoothBehindUsbAdapter;
    bluetooth.bus = 0x0005;
    bluetooth.vendorId = 0x046D;
    bluetooth.productId = 0xB342;
    bluetooth.manufacturer = "Cambridge Silicon Radio";  // the adapter's strings
    bluetooth.product = "Bluetooth Dongle";
    bluetooth.hidName = "Keyboard K380";
    FakeHidDevice uhid = Gadget(6);
    uhid.placement = FakeHidDevice::Placement::Virtual;
    uhid.productId = 0x0002;
    uhid.hidName = "Virtual Script Box";  // a uhid client may well claim the USB bus
    FakeHidDevice unnamed = uhid;
    unnamed.hidrawNumber = 7;
    unnamed.hidName = "";

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
        {"Bluetooth keyboard behind a USB adapter",
         bluetooth,
         {0x046D, 0xB342, 0},
         {9, 2},
         std::nullopt,
         u"Keyboard K380"},
        {"uhid device", uhid, {0x4132, 0x0002, 0}, {65, 65}, std::nullopt, u"Virtual Script Box"},
        {"uhid device with an empty name", unnamed, {0x4132, 0x0002, 0}, {65, 65}, std::nullopt, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = tree.Plug(c.device);
        for (const HidOpenMode mode : {HidOpenMode::QueryOnly, HidOpenMode::ReadWrite}) {
            const std::unique_ptr<HidHandle> handle = Open(path, mode);
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

// Only the character device the kernel made for the interface opens, even for queries: anything
// else would list a gadget whose writes go nowhere, or to another device.
TEST_F(LinuxHidrawTest, OnlyTheInterfacesOwnNodeOpens) {
    using Node = FakeHidDevice::Node;
    const struct {
        const char* what;
        Node node;
        std::string readWriteError;
        std::string queryError;  // empty: a query-only handle opens
    } cases[] = {
        {"missing node", Node::None, "No such file or directory", "No such file or directory"},
        {"folder as node", Node::Folder, "not a character device", "not a character device"},
        {"FIFO as node, which would block an open for writing", Node::Fifo, "not a character device",
         "not a character device"},
        {"looping node link", Node::Loop, "Too many levels of symbolic links",
         "Too many levels of symbolic links"},
        {"node that refuses to be opened", Node::LockedPty, "Input/output error", ""},
    };
    unsigned number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHidDevice device = Gadget(number++);
        device.node = c.node;
        const std::string path = tree.Plug(device);
        for (const HidOpenMode mode :
             {HidOpenMode::ReadWrite, HidOpenMode::OverlappedRead, HidOpenMode::OverlappedWrite}) {
            const HidOpenResult opened = platform.Open(path, mode);
            EXPECT_FALSE(opened.handle);
            EXPECT_EQ(opened.error, c.readWriteError);
        }
        const HidOpenResult query = platform.Open(path, HidOpenMode::QueryOnly);
        EXPECT_EQ(query.handle == nullptr, !c.queryError.empty());
        EXPECT_EQ(query.error, c.queryError);
    }

    // A node left by another device (here the null device) under the interface's name.
    FakeHidDevice replaced = Gadget(9);
    replaced.node = Node::None;  // sysfs keeps the number the tree gives nodeless devices
    tree.Plug(replaced);
    fs::create_symlink("/dev/null", tree.NodePath(9));
    for (const HidOpenMode mode : {HidOpenMode::ReadWrite, HidOpenMode::QueryOnly}) {
        const HidOpenResult opened = platform.Open(tree.NodePath(9), mode);
        EXPECT_FALSE(opened.handle);
        EXPECT_EQ(opened.error, "device number 1:3 is not the interface's 247:9");
    }
}

TEST_F(LinuxHidrawTest, AQueryOnlyHandleAnswersQueriesUntilTheDeviceHasGone) {
    FakeHidDevice device = Gadget(1);
    device.node = FakeHidDevice::Node::LockedPty;
    const std::string path = tree.Plug(device);
    const std::unique_ptr<HidHandle> query = Open(path, HidOpenMode::QueryOnly);
    ASSERT_TRUE(query);
    EXPECT_THAT(query->GetProductString(), Optional(std::u16string(u"键鼠脚本盒")));
    EXPECT_FALSE(query->Write(Bytes("00 A0")));
    EXPECT_EQ(query->LastError(), kHidErrorNotPermitted);

    tree.Unplug(1);
    EXPECT_FALSE(query->GetAttributes());
    EXPECT_EQ(query->LastError(), kHidErrorDeviceGone);
    EXPECT_FALSE(query->GetCaps());
    EXPECT_FALSE(platform.Open(path, HidOpenMode::QueryOnly).handle);
}

TEST_F(LinuxHidrawTest, OpensOnlyHidrawNodesOfItsDevFolder) {
    tree.Plug(Gadget(0));
    for (const std::string& path :
         {tree.devRoot() + "/hidraw", tree.devRoot() + "/hidraw0x", tree.devRoot() + "/tty0",
          std::string("/elsewhere/hidraw0"), tree.devRoot() + "/hidraw9"}) {
        const HidOpenResult opened = platform.Open(path, HidOpenMode::QueryOnly);
        EXPECT_FALSE(opened.handle) << path;
        EXPECT_FALSE(opened.error.empty()) << path;
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
        const std::unique_ptr<HidHandle> reader = Open(path, HidOpenMode::OverlappedRead);
        ASSERT_TRUE(reader);

        ASSERT_TRUE(reader->QueueRead(c.length));
        EXPECT_EQ(reader->WaitRead(20ms), HidHandle::WaitResult::TimedOut);
        ASSERT_TRUE(tree.Feed(c.device.hidrawNumber, c.fromKernel));
        ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
        std::vector<std::uint8_t> report(c.length + 8, 0xEE);
        const std::size_t length = reader->TakeReadResult(report);
        report.resize(length);
        EXPECT_EQ(report, c.expected);
    }
}

// After a hang-up the node never gives a report again: the waiting read fails, and so does every
// later request, at once, rather than completing empty again and again.
TEST_F(LinuxHidrawTest, AHangUpFailsTheReadAndEveryLaterRequest) {
    const std::string path = tree.Plug(Gadget(0));
    const std::unique_ptr<HidHandle> reader = Open(path, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(reader);
    std::vector<std::uint8_t> report(65);
    ASSERT_TRUE(tree.Feed(0, Body("A0 07")));
    ASSERT_TRUE(reader->QueueRead(report.size()));
    ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
    ASSERT_EQ(reader->TakeReadResult(report), 65u);
    EXPECT_THAT(std::span(report).first(3), ElementsAre(0x00, 0xA0, 0x07));

    ASSERT_TRUE(reader->QueueRead(report.size()));
    tree.HangUp(0);
    ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
    EXPECT_EQ(reader->TakeReadResult(report), 0u);
    EXPECT_EQ(reader->LastError(), kHidErrorDeviceGone);
    EXPECT_FALSE(reader->QueueRead(report.size()));
    EXPECT_EQ(reader->LastError(), kHidErrorDeviceGone);
}

TEST_F(LinuxHidrawTest, CloseFromAnotherThreadEndsAWaitingRead) {
    const std::string path = tree.Plug(Gadget(0));
    const std::unique_ptr<HidHandle> reader = Open(path, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(reader);  // the node stays silent: poll() has nothing to report but the close
    ASSERT_TRUE(reader->QueueRead(65));

    // Whether the close comes before the wait begins or while it runs, it ends the wait.
    HidHandle::WaitResult result = HidHandle::WaitResult::TimedOut;
    std::thread readerThread([&] { result = reader->WaitRead(kGenerousWait); });
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
    const std::unique_ptr<HidHandle> reader = Open(path, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(reader);

    EXPECT_FALSE(reader->CancelRead());
    ASSERT_TRUE(reader->QueueRead(65));
    EXPECT_FALSE(reader->QueueRead(65));  // one read at a time
    EXPECT_TRUE(reader->CancelRead());
    EXPECT_FALSE(reader->CancelRead());
    EXPECT_FALSE(reader->Write(Bytes("00 A0")));
    EXPECT_EQ(reader->LastError(), kHidErrorNotPermitted);

    // A report that comes after a cancelled read is there for the next one.
    ASSERT_TRUE(tree.Feed(0, Body("A1")));
    ASSERT_TRUE(reader->QueueRead(65));
    ASSERT_EQ(reader->WaitRead(kGenerousWait), HidHandle::WaitResult::Completed);
    std::vector<std::uint8_t> report(65);
    EXPECT_EQ(reader->TakeReadResult(report), 65u);
    EXPECT_EQ(report[1], 0xA1);

    const std::unique_ptr<HidHandle> writer = Open(path, HidOpenMode::ReadWrite);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->QueueRead(65));
    EXPECT_EQ(writer->LastError(), kHidErrorNotPermitted);
}

TEST_F(LinuxHidrawTest, WriteSendsTheReportAsGiven) {
    const std::string path = tree.Plug(Gadget(0));
    const std::vector<std::uint8_t> first = Join(Bytes("00"), Body("A0 01"));
    const std::vector<std::uint8_t> second = Join(Bytes("00"), Body("13"));
    for (const HidOpenMode mode : {HidOpenMode::ReadWrite, HidOpenMode::OverlappedWrite}) {
        const std::unique_ptr<HidHandle> writer = Open(path, mode);
        ASSERT_TRUE(writer);
        EXPECT_TRUE(writer->Write(first));
        EXPECT_TRUE(writer->Write(second));
        EXPECT_EQ(tree.Written(0, 2 * 65), Join(first, second));

        writer->Close();
        EXPECT_FALSE(writer->Write(first));
        EXPECT_EQ(writer->LastError(), kHidErrorClosed);
    }
    EXPECT_TRUE(tree.Written(0, 1, 50ms).empty()) << "nothing after the close";
}

TEST_F(LinuxHidrawTest, AFailedWriteIsReported) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full to fail writes";
    tree.Plug(Gadget(0));
    tree.LinkNode(0, "/dev/full");  // every write fails with ENOSPC

    const std::unique_ptr<HidHandle> writer = Open(tree.NodePath(0), HidOpenMode::ReadWrite);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->Write(Join(Bytes("00"), Body("A0"))));
    EXPECT_EQ(writer->LastError(), kHidErrorIo);
    EXPECT_EQ(writer->LastErrorText(), "No space left on device") << "the system's own words";
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

// A gadget swapped for another between two looks at the folder leaves the same names behind; the
// watch still tells, or the list would keep the old object and its writes reach the new device.
TEST_F(LinuxHidrawTest, DeviceFolderWatchNoticesADeviceSwappedUnderTheSameNode) {
    tree.Plug(Gadget(3));
    int notices = 0;
    platform.StartMonitoring([&] { ++notices; });
    tree.Unplug(3);
    tree.Plug(ComboKeyboard(3));
    EXPECT_TRUE(ProcessEventsUntil([&] { return notices >= 1; }));
}

}  // namespace
}  // namespace tavrel
