#include <atomic>
#include <chrono>
#include <stdexcept>

#include <QEventLoop>
#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "hid/controller_fixture.h"

namespace tavrel {
namespace {

using test::ControllerFixture;
using test::InputReport;
using ::testing::ElementsAre;

TEST(HidDevice, CreationWithoutAControllerIsRefused) {
    SimulatedHidBus bus;
    const auto platform = bus.CreatePlatform();
    try {
        THidDevice device(nullptr, platform.get(), std::make_unique<THidPnPInfo>());
        FAIL() << "created";
    } catch (const EControllerError& error) {
        EXPECT_STREQ(error.what(), "Direct creation of a THidDevice object is not allowed");
    }
    try {
        THidDeviceReadThread reader(nullptr);
        FAIL() << "created";
    } catch (const EControllerError& error) {
        EXPECT_STREQ(error.what(), "Direct creation of a THidDeviceReadThread object is not allowed");
    }
}

TEST(HidDevice, CreationErrorsNameWhatFailed) {
    ControllerFixture f;
    f.Start();
    const auto create = [&](const std::string& path) {
        try {
            THidDevice device(f.controller.get(), f.platform.get(),
                              std::make_unique<THidPnPInfo>(THidPnPInfo{1, path}));
            return std::string("created");
        } catch (const EControllerError& error) {
            return std::string(error.what());
        }
    };
    EXPECT_EQ(create("sim:nothing-here"), "device cannot be opened");
    f.bus.Plug(SimulatedGadget());
    EXPECT_EQ(create("sim:gadget-1"), "created");
}

TEST(HidDevice, QueriesNeedAccessAndAreCached) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    THidDevice& idle = *f.controller->DeviceList().front();
    EXPECT_FALSE(idle.IsAccessible());
    EXPECT_EQ(idle.GetCaps().outputReportByteLength, 0) << "neither lent nor in a callback";
    EXPECT_TRUE(idle.GetProductName().empty());
    EXPECT_FALSE(idle.WriteFile(std::vector<std::uint8_t>(65)));

    THidDevice* device = f.CheckOut("sim:gadget-1");
    EXPECT_EQ(device->GetCaps().inputReportByteLength, 65);
    EXPECT_EQ(device->GetCaps().outputReportByteLength, 65);
    EXPECT_EQ(device->GetProductName(), u"Tavrel USB Gadget");
    EXPECT_EQ(device->Attributes().vendorId, 0x4132);
    EXPECT_EQ(f.bus.OpenHandleCount("sim:gadget-1"), 0u) << "a query closes the handle after it";

    // A write leaves FileHandle open; the next first-time query closes it again.
    EXPECT_TRUE(device->WriteFile(std::vector<std::uint8_t>(65)));
    EXPECT_EQ(f.bus.OpenHandleCount("sim:gadget-1"), 1u);
    EXPECT_FALSE(device->GetVendorName().empty());
    EXPECT_EQ(f.bus.OpenHandleCount("sim:gadget-1"), 0u);
    EXPECT_TRUE(device->WriteFile(std::vector<std::uint8_t>(65)));
    EXPECT_EQ(f.bus.ReceivedReports("sim:gadget-1").size(), 2u);

    // Cached: answered without the device.
    f.bus.Unplug("sim:gadget-1");
    EXPECT_EQ(device->GetProductName(), u"Tavrel USB Gadget");
    delete device;
}

TEST(HidDevice, AnEmptyProductNameIsAskedForAgain) {
    ControllerFixture f;
    SimulatedInterfaceDescription nameless = SimulatedGadget();
    nameless.productString.clear();
    f.bus.Plug(nameless);
    f.Start();
    THidDevice* device = f.CheckOut("sim:gadget-1");
    EXPECT_TRUE(device->GetProductName().empty());
    const std::size_t opens = f.bus.OpenHandleCount("sim:gadget-1");
    EXPECT_TRUE(device->GetProductName().empty());
    EXPECT_EQ(f.bus.OpenHandleCount("sim:gadget-1"), opens);
    delete device;
}

TEST(HidDevice, DoUnplugClosesEverythingAndCallsOnUnplugOnce) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    THidDevice* device = f.CheckOut("sim:gadget-1");
    ASSERT_TRUE(device->WriteFile(std::vector<std::uint8_t>(65)));
    f.TakeEvents();
    device->DoUnplug();
    device->DoUnplug();
    EXPECT_THAT(f.TakeEvents(), ElementsAre("unplug sim:gadget-1"));
    EXPECT_FALSE(device->PluggedIn());
    EXPECT_EQ(f.bus.OpenHandleCount("sim:gadget-1"), 0u);
    EXPECT_FALSE(device->WriteFile(std::vector<std::uint8_t>(65)));
    delete device;
}

// DoUnplug marks the device gone before it closes the read handle: the reader whose read the
// closing ends must not open a fresh handle in between, which nothing would ever close.
TEST(HidDevice, DoUnplugRacingTheReaderLeavesNoReadHandleOpen) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    f.controller->SetDevData(
        MakeHidEvent<THidDataEvent>([](THidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {}));
    int errors = 0;
    const THidDataErrorEvent countErrors =
        MakeHidEvent<THidDataErrorEvent>([&](THidDevice&, std::uint32_t) { ++errors; });
    for (int attempt = 0; attempt < 200; ++attempt) {
        SCOPED_TRACE(attempt);
        THidDevice* device = f.CheckOut("sim:gadget-1");
        ASSERT_NE(device, nullptr);
        device->SetOnDataError(countErrors);
        ASSERT_TRUE(QTest::qWaitFor([&] { return f.bus.WaitingReaderCount("sim:gadget-1") == 1; }, 5000));
        const int before = errors;
        device->DoUnplug();
        // The reader's next request fails: it has looked at the device after the unplug.
        ASSERT_TRUE(QTest::qWaitFor([&] { return errors > before; }, 5000));
        EXPECT_EQ(f.bus.OpenHandleCount("sim:gadget-1"), 0u);
        delete device;  // gone, so its entry leaves the list; the next scan brings the interface back
        f.controller->EventPipe(THidDeviceController::kDeviceNodesChanged, 0);
    }
}

// A device whose reads keep failing costs one try per wait slice, not a busy core.
TEST(HidDevice, ALentReaderOfAGoneDeviceTriesOncePerSlice) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    f.controller->SetDevData(
        MakeHidEvent<THidDataEvent>([](THidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {}));
    THidDevice* device = f.CheckOut("sim:gadget-1");
    ASSERT_NE(device, nullptr);
    constexpr auto kSlice = std::chrono::milliseconds(40);
    device->SetThreadSleepTime(static_cast<int>(kSlice.count()));
    std::vector<std::chrono::steady_clock::time_point> errors;
    device->SetOnDataError(MakeHidEvent<THidDataErrorEvent>([&](THidDevice&, std::uint32_t error) {
        EXPECT_EQ(error, kHidErrorClosed);
        errors.push_back(std::chrono::steady_clock::now());
    }));
    f.bus.Unplug("sim:gadget-1");
    ASSERT_TRUE(f.AwaitChange());
    ASSERT_FALSE(device->PluggedIn());
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.size() >= 6; }, 30000));
    for (std::size_t i = 1; i < errors.size(); ++i) {
        EXPECT_GE(errors[i] - errors[i - 1], kSlice - std::chrono::milliseconds(5)) << i;
    }
    delete device;
}

TEST(HidDevice, ThreadSleepTimeTakesTenToTenThousand) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    THidDevice& device = *f.controller->DeviceList().front();
    EXPECT_EQ(device.ThreadSleepTime(), 100);
    for (const auto& [value, expected] : std::vector<std::pair<int, int>>{
             {9, 100}, {10, 10}, {10001, 10}, {10000, 10000}, {-1, 10000}, {500, 500}}) {
        device.SetThreadSleepTime(value);
        EXPECT_EQ(device.ThreadSleepTime(), expected) << value;
    }
}

// Reports reach the data handler on the event thread through the reader.
class ReaderTest : public ::testing::Test {
protected:
    struct Delivered {
        std::uint8_t reportId;
        std::uint16_t size;
        std::vector<std::uint8_t> data;
    };

    void SetUp() override {
        f.bus.Plug(SimulatedGadget());
        f.Start();
        f.controller->SetDevData(MakeHidEvent<THidDataEvent>(
            [this](THidDevice& device, std::uint8_t reportId, const std::uint8_t* data, std::uint16_t size) {
                EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
                EXPECT_EQ(&device, lent);
                delivered.push_back({reportId, size, {data, data + size}});
                if (waiting != nullptr && delivered.size() >= awaited) waiting->quit();
                if (throwOnData) throw std::runtime_error("handler failed");
            }));
        lent = f.CheckOut("sim:gadget-1");
        ASSERT_NE(lent, nullptr);
    }
    void TearDown() override { delete lent; }

    // Runs a real event loop (woken by each hand-over, as the window's is) until `count` reports
    // have been delivered or the time is up.
    bool AwaitDelivered(std::size_t count, int timeoutMs = 5000) {
        if (delivered.size() >= count) return true;
        QEventLoop loop;
        waiting = &loop;
        awaited = count;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        waiting = nullptr;
        return delivered.size() >= count;
    }

    ControllerFixture f;
    THidDevice* lent = nullptr;
    std::vector<Delivered> delivered;
    bool throwOnData = false;
    QEventLoop* waiting = nullptr;
    std::size_t awaited = 0;
};

TEST_F(ReaderTest, AReportOf65BytesArrivesWithItsReportIdAndSize64) {
    ASSERT_NE(lent->ReadThread(), nullptr);
    f.bus.InjectInputReport("sim:gadget-1", InputReport(0x00, 0x22, 0x04));
    f.bus.InjectInputReport("sim:gadget-1", InputReport(0x07, 0xA8));
    ASSERT_TRUE(AwaitDelivered(2));
    EXPECT_EQ(delivered[0].reportId, 0x00);
    EXPECT_EQ(delivered[0].size, 64);
    EXPECT_EQ(delivered[0].data[0], 0x22);
    EXPECT_EQ(delivered[0].data[1], 0x04);
    EXPECT_EQ(delivered[1].reportId, 0x07);
    EXPECT_EQ(delivered[1].data[0], 0xA8);
}

TEST_F(ReaderTest, TheGadgetAnswersAWriteThroughTheReader) {
    std::vector<std::uint8_t> readId(65, 0);
    readId[1] = 0x22;  // CMD_READ_ID without data
    ASSERT_TRUE(lent->WriteFile(readId));
    ASSERT_TRUE(AwaitDelivered(1));
    EXPECT_EQ(delivered[0].data[0], 0x22);
    EXPECT_EQ(delivered[0].data[4], kSimulatedGadgetIdentifier & 0xFF);
}

TEST_F(ReaderTest, NoReaderWithoutReadWriteAccess) {
    delete std::exchange(lent, nullptr);
    f.bus.Unplug("sim:gadget-1");
    f.bus.Replug("sim:gadget-1");
    f.bus.SetOpenRefused("sim:gadget-1", HidOpenMode::ReadWrite, true);
    f.controller->EventPipe(THidDeviceController::kDeviceNodesChanged, 0);
    lent = f.CheckOut("sim:gadget-1");
    ASSERT_NE(lent, nullptr);
    EXPECT_FALSE(lent->ReadWriteAccess());
    EXPECT_EQ(lent->ReadThread(), nullptr);
    f.bus.InjectInputReport("sim:gadget-1", InputReport(0, 0x13));
    EXPECT_FALSE(AwaitDelivered(1, 300));
}

// A stop wakes the reader out of its wait: giving back many lent gadgets (every rebuild of the
// list) would otherwise cost a slice each. A reader started again reads as before.
TEST_F(ReaderTest, StoppingAnIdleReaderDoesNotWaitOutItsSlice) {
    lent->SetThreadSleepTime(10000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.bus.WaitingReaderCount("sim:gadget-1") == 1; }, 5000));
    const auto start = std::chrono::steady_clock::now();
    lent->StopThread();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(lent->ReadThread(), nullptr);
    // Correctness, not speed: well inside the 10 s slice it would otherwise wait out.
    EXPECT_LT(took, std::chrono::milliseconds(5000));

    lent->StartThread();
    f.bus.InjectInputReport("sim:gadget-1", InputReport(0x00, 0x13));
    ASSERT_TRUE(AwaitDelivered(1));
    EXPECT_EQ(delivered[0].data[0], 0x13);
}

TEST_F(ReaderTest, AThrowingDataHandlerEndsTheReaderUntilTheDeviceIsLentAgain) {
    throwOnData = true;
    f.bus.InjectInputReport("sim:gadget-1", InputReport(0, 0x13));
    ASSERT_TRUE(AwaitDelivered(1));
    throwOnData = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return lent->ReadThread()->isFinished(); }, 5000));
    EXPECT_TRUE(lent->ReadThread()->EndedByHandlerError());
    f.bus.InjectInputReport("sim:gadget-1", InputReport(0, 0x14));
    lent->StartThread();  // the ended reader is still the device's: no new one starts
    EXPECT_FALSE(AwaitDelivered(2, 300));

    delete std::exchange(lent, nullptr);  // given back, then lent again
    lent = f.CheckOut("sim:gadget-1");
    ASSERT_TRUE(AwaitDelivered(2));
    EXPECT_EQ(delivered[1].data[0], 0x14);
}

TEST_F(ReaderTest, StoppingWhileAHandOverWaitsDoesNotDeadlock) {
    std::vector<std::vector<std::uint8_t>> reports(200, InputReport(0, 0x1A));
    f.bus.InjectInputReports("sim:gadget-1", reports);
    // Without running the event loop, the reader blocks on the hand-over of the first report.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (f.bus.QueuedInputReportCount("sim:gadget-1") == 200 &&
           std::chrono::steady_clock::now() < deadline) {
        QThread::msleep(1);
    }
    ASSERT_LT(f.bus.QueuedInputReportCount("sim:gadget-1"), 200u);
    lent->StopThread();
    EXPECT_EQ(lent->ReadThread(), nullptr);
    EXPECT_LE(delivered.size(), 200u);
}

TEST_F(ReaderTest, AHundredThousandReportsReachTheEventThreadNoneLost) {
    constexpr std::size_t kReports = 100000;
    lent->SetThreadSleepTime(10);
    std::vector<std::vector<std::uint8_t>> reports;
    reports.reserve(kReports);
    for (std::size_t i = 0; i < kReports; ++i) {
        reports.push_back(
            InputReport(0, static_cast<std::uint8_t>(i & 0xFF), static_cast<std::uint8_t>(i >> 8)));
    }
    ASSERT_TRUE(f.bus.InjectInputReports("sim:gadget-1", std::move(reports)));
    ASSERT_TRUE(AwaitDelivered(kReports, 120000)) << delivered.size() << " delivered";
    for (std::size_t i = 0; i < kReports; ++i) {
        ASSERT_EQ(delivered[i].data[0], i & 0xFF) << i;
        ASSERT_EQ(delivered[i].data[1], (i >> 8) & 0xFF) << i;
    }
}

TEST_F(ReaderTest, AGadgetPulledOutWhileLentDeliversNothingMore) {
    f.bus.Unplug("sim:gadget-1");
    ASSERT_TRUE(f.AwaitChange());
    EXPECT_FALSE(lent->PluggedIn());
    EXPECT_FALSE(f.bus.InjectInputReport("sim:gadget-1", InputReport(0, 0x13)));
    QCoreApplication::processEvents();
    EXPECT_TRUE(delivered.empty());
}

}  // namespace
}  // namespace tavrel
