#include <chrono>
#include <memory>
#include <vector>

#include <QTest>
#include <gtest/gtest.h>

#include "hid/hid_device_controller.h"
#include "hid/hid_device_read_thread.h"
#include "hid/linux_hidraw.h"
#include "support/fake_sysfs.h"

// The device layer over the Linux backend and a fake kernel tree: what a lent device does when
// its node misbehaves.
namespace tavrel {
namespace {

using test::DescriptorFromTestData;
using test::FakeHidDevice;
using test::FakeKernelTree;
using Clock = std::chrono::steady_clock;

class LinuxDeviceTest : public ::testing::Test {
protected:
    // Starts the controller on the tree as it is and lends the device at `path`.
    THidDevice* StartAndLend(const std::string& path) {
        controller = std::make_unique<THidDeviceController>(platform);
        controller->SetDevData(MakeHidEvent<THidDataEvent>(
            [this](THidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++reports; }));
        bool scanned = false;
        controller->SetDeviceChangeEvent([&](THidDeviceController&) { scanned = true; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return scanned; }, 30000));
        const auto& list = controller->DeviceList();
        for (std::size_t i = 0; i < list.size(); ++i) {
            THidDevice* device = nullptr;
            if (list[i]->PnPInfo().DevicePath == path &&
                controller->CheckOutByIndex(device, static_cast<int>(i))) {
                return device;
            }
        }
        ADD_FAILURE() << path << " is not listed";
        return nullptr;
    }

    FakeKernelTree tree;
    LinuxHidrawPlatform platform{tree.sysfsRoot(), tree.devRoot(), tree.udevRunDir()};
    std::unique_ptr<THidDeviceController> controller;
    int reports = 0;
};

FakeHidDevice Gadget(unsigned hidrawNumber, const char* descriptor = "vendor_64_byte.hex") {
    FakeHidDevice device;
    device.hidrawNumber = hidrawNumber;
    device.reportDescriptor = DescriptorFromTestData(descriptor);
    device.product = "Tavrel USB Gadget";
    return device;
}

// A hang-up with no notice to follow (the node name reused before anyone looked) and then the
// device marked gone: in both states the reader tries again once a slice, and says so each time.
TEST_F(LinuxDeviceTest, AReaderAfterAHangUpHandsOverOneErrorPerSlice) {
    const std::string path = tree.Plug(Gadget(0));
    THidDevice* device = StartAndLend(path);
    ASSERT_NE(device, nullptr);
    ASSERT_NE(device->ReadThread(), nullptr);
    constexpr auto kSlice = std::chrono::milliseconds(40);
    device->SetThreadSleepTime(static_cast<int>(kSlice.count()));
    std::vector<std::pair<Clock::time_point, std::uint32_t>> errors;
    device->SetOnDataError(MakeHidEvent<THidDataErrorEvent>(
        [&](THidDevice&, std::uint32_t error) { errors.emplace_back(Clock::now(), error); }));

    ASSERT_TRUE(tree.Feed(0, std::vector<std::uint8_t>(64, 0xA0)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reports == 1; }, 30000));
    tree.HangUp(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.size() >= 5; }, 30000));
    device->DoUnplug();
    const std::size_t beforeUnplug = errors.size();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.size() >= beforeUnplug + 5; }, 30000));

    EXPECT_EQ(errors.front().second, kHidErrorDeviceGone);
    EXPECT_EQ(errors.back().second, kHidErrorClosed);
    for (std::size_t i = 1; i < errors.size(); ++i) {
        // DoUnplug's closing cuts one pause short: the one after the error it overlapped.
        if (i == beforeUnplug || i == beforeUnplug + 1) continue;
        EXPECT_GE(errors[i].first - errors[i - 1].first, kSlice - std::chrono::milliseconds(5)) << i;
    }
    EXPECT_EQ(reports, 1);
    delete device;
}

TEST_F(LinuxDeviceTest, AnInterfaceWithoutInputReportsGetsNoReader) {
    const std::string path = tree.Plug(Gadget(2, "vendor_output_only.hex"));
    THidDevice* device = StartAndLend(path);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->ReadWriteAccess());
    EXPECT_EQ(device->GetCaps().inputReportByteLength, 0);
    EXPECT_EQ(device->ReadThread(), nullptr);
    std::vector<std::uint8_t> report(65, 0);
    report[1] = 0xA0;
    EXPECT_TRUE(device->WriteFile(report));
    EXPECT_EQ(tree.Written(2, 65), report);
    delete device;
}

}  // namespace
}  // namespace tavrel
