#include "sim/simulated_hid_bus.h"

#include <array>
#include <chrono>
#include <future>
#include <thread>

#include <QCoreApplication>
#include <QThread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "commands/flash_block.h"
#include "commands/reply_decoder.h"
#include "sim/command_reports.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using test::CommandReport;
using test::GbkToUtf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Field;

// Long enough never to run out while things work; it only bounds how long a broken wake-up
// keeps a test waiting.
constexpr auto kLongWait = 30s;

const std::string kGadget = "sim:gadget-1";
const std::string kMouse = "sim:mouse-1";
const std::string kVendor = "sim:vendor-1";

struct ReadOutcome {
    HidHandle::WaitResult wait = HidHandle::WaitResult::TimedOut;
    std::vector<std::uint8_t> report;
    std::uint32_t error = kHidErrorNone;
};

// One read as the reader thread does it: queue, wait, take.
ReadOutcome ReadOne(HidHandle& handle, std::size_t length = 65, std::chrono::milliseconds slice = kLongWait) {
    ReadOutcome outcome;
    if (!handle.QueueRead(length)) {
        ADD_FAILURE() << "QueueRead failed with " << handle.LastError();
        return outcome;
    }
    outcome.wait = handle.WaitRead(slice);
    std::array<std::uint8_t, 128> buffer{};
    const std::size_t count = handle.TakeReadResult(buffer);
    outcome.report.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
    outcome.error = handle.LastError();
    return outcome;
}

// A read blocked in another thread, with a slice longer than any run, so that only a wake-up
// (unplugging, Close) can end it. A read not woken within kLongWait fails the test and is then
// released, so that the thread can be joined.
class BlockedRead {
public:
    BlockedRead(SimulatedHidBus& bus, std::string path, HidHandle& handle)
        : m_bus(bus),
          m_path(std::move(path)),
          m_handle(handle),
          m_thread([this] { m_promise.set_value(ReadOne(m_handle, 65, std::chrono::hours(24))); }) {
        while (m_bus.WaitingReaderCount(m_path) == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }

    ~BlockedRead() {
        if (m_thread.joinable()) {
            Release();
        }
    }

    ReadOutcome Outcome() {
        if (m_outcome.wait_for(kLongWait) != std::future_status::ready) {
            ADD_FAILURE() << "the blocked read was not woken";
            Release();
            return {};
        }
        m_thread.join();
        return m_outcome.get();
    }

private:
    void Release() {
        m_handle.Close();
        if (m_bus.IsPluggedIn(m_path)) {
            m_bus.InjectInputReport(m_path, {0x00});
        }
        m_thread.join();
    }

    SimulatedHidBus& m_bus;
    const std::string m_path;
    HidHandle& m_handle;
    std::promise<ReadOutcome> m_promise;
    std::future<ReadOutcome> m_outcome = m_promise.get_future();
    std::thread m_thread;
};

std::vector<std::string> DecodedLines(const std::vector<std::uint8_t>& report) {
    std::vector<std::string> lines;
    for (const std::string& line : DecodeReplyEffects(std::span(report).subspan(1)).logLines) {
        lines.push_back(GbkToUtf8(line));
    }
    return lines;
}

class SimulatedHidBusTest : public ::testing::Test {
protected:
    void PlugAll() {
        bus.Plug(SimulatedGadget());
        bus.Plug(SimulatedMouse());
        bus.Plug(SimulatedVendorInterface());
    }

    std::unique_ptr<HidHandle> Open(const std::string& path, HidOpenMode mode) {
        std::unique_ptr<HidHandle> handle = platform->Open(path, mode).handle;
        EXPECT_TRUE(handle) << path;
        return handle;
    }

    SimulatedHidBus bus;
    std::unique_ptr<HidPlatform> platform = bus.CreatePlatform();
};

TEST_F(SimulatedHidBusTest, ListsWhatIsPluggedInWithItsIdentity) {
    PlugAll();
    EXPECT_TRUE(platform->Available());
    const std::vector<HidInterface> present = platform->EnumerateInterfaces();
    ASSERT_THAT(present, ElementsAre(Field(&HidInterface::path, kGadget), Field(&HidInterface::path, kMouse),
                                     Field(&HidInterface::path, kVendor)));
    EXPECT_NE(present[0].deviceId, present[1].deviceId);
    EXPECT_NE(present[1].deviceId, present[2].deviceId);

    struct Case {
        std::string path;
        std::uint16_t vendorId, inputLength, outputLength;
        std::u16string product;
    };
    const Case cases[] = {
        {kGadget, kGadgetVendorId, 65, 65, u"Tavrel USB Gadget"},
        {kMouse, 0x1209, 5, 0, u"USB Optical Mouse"},
        {kVendor, kGadgetVendorId, 63, 63, u"Tavrel USB Vendor Interface"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto handle = Open(c.path, HidOpenMode::QueryOnly);
        ASSERT_TRUE(handle);
        EXPECT_EQ(handle->GetAttributes()->vendorId, c.vendorId);
        EXPECT_EQ(handle->GetCaps()->inputReportByteLength, c.inputLength);
        EXPECT_EQ(handle->GetCaps()->outputReportByteLength, c.outputLength);
        EXPECT_EQ(handle->GetProductString(), c.product);
        EXPECT_TRUE(handle->GetManufacturerString());
        EXPECT_EQ(handle->LastError(), kHidErrorNone);
    }

    // Unplugged interfaces leave the list; plugged in again, one comes last under a new device id.
    EXPECT_TRUE(bus.Unplug(kMouse));
    EXPECT_FALSE(bus.Unplug(kMouse));
    EXPECT_THAT(platform->EnumerateInterfaces(),
                ElementsAre(Field(&HidInterface::path, kGadget), Field(&HidInterface::path, kVendor)));
    EXPECT_EQ(platform->Open(kMouse, HidOpenMode::QueryOnly).handle, nullptr);
    EXPECT_TRUE(bus.Replug(kMouse));
    EXPECT_FALSE(bus.Replug(kMouse));
    const std::vector<HidInterface> after = platform->EnumerateInterfaces();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2].path, kMouse);
    EXPECT_NE(after[2].deviceId, present[1].deviceId);
    EXPECT_EQ(after[0].deviceId, present[0].deviceId);

    EXPECT_THROW(bus.Plug(SimulatedGadget()), std::invalid_argument);
    EXPECT_THROW(bus.Unplug("sim:nothing"), std::out_of_range);
    EXPECT_EQ(platform->Open("sim:nothing", HidOpenMode::QueryOnly).handle, nullptr);
}

TEST_F(SimulatedHidBusTest, WithoutHidAccessNothingIsListedOrOpened) {
    PlugAll();
    bus.SetAvailable(false);
    EXPECT_FALSE(platform->Available());
    EXPECT_TRUE(platform->EnumerateInterfaces().empty());
    EXPECT_EQ(platform->Open(kGadget, HidOpenMode::QueryOnly).handle, nullptr);
}

TEST_F(SimulatedHidBusTest, EveryPlugAndUnplugPostsOneNoticeToTheMonitoringLoop) {
    bus.Plug(SimulatedGadget());  // before monitoring: no notice
    std::vector<bool> onEventThread;
    platform->StartMonitoring(
        [&] { onEventThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread()); });
    QCoreApplication::processEvents();
    EXPECT_TRUE(onEventThread.empty());

    bus.Plug(SimulatedMouse());
    bus.Unplug(kGadget);
    bus.Replug(kGadget);
    EXPECT_TRUE(onEventThread.empty()) << "notices are queued, not called";
    QCoreApplication::processEvents();
    EXPECT_EQ(onEventThread.size(), 3u);

    std::thread([&] {
        bus.Unplug(kMouse);
        bus.Plug(SimulatedVendorInterface());
    }).join();
    QCoreApplication::processEvents();
    EXPECT_THAT(onEventThread, ElementsAre(true, true, true, true, true));

    // Notices still queued when the platform goes are dropped with it.
    bus.Unplug(kVendor);
    platform.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(onEventThread.size(), 5u);
}

TEST_F(SimulatedHidBusTest, GadgetAnswersWhatIsWrittenToIt) {
    PlugAll();
    const auto writer = Open(kGadget, HidOpenMode::ReadWrite);
    const auto reader = Open(kGadget, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(writer && reader);

    ASSERT_TRUE(writer->Write(CommandReport(CMD_READ_ID)));
    const ReadOutcome id = ReadOne(*reader);
    EXPECT_EQ(id.wait, HidHandle::WaitResult::Completed);
    EXPECT_EQ(id.report.size(), 65u);
    EXPECT_THAT(DecodedLines(id.report), ElementsAre("已回复64", "DEVID: 305419896"));

    std::array<std::uint8_t, kFlashChunkSize> bytes{};
    bytes.fill(0x5A);
    ASSERT_TRUE(writer->Write(CommandReport(CMD_FLASH, BuildFlashBlock(FlashOperation::Write, 0x40, bytes))));
    ASSERT_TRUE(writer->Write(CommandReport(CMD_START)));
    EXPECT_EQ(bus.QueuedInputReportCount(kGadget), 2u);
    EXPECT_THAT(DecodedLines(ReadOne(*reader).report), ElementsAre("已回复64"));
    EXPECT_THAT(DecodedLines(ReadOne(*reader).report), ElementsAre("已回复64", "已发送开启命令"));

    const std::optional<GadgetFirmware> gadget = bus.GadgetState(kGadget);
    ASSERT_TRUE(gadget);
    EXPECT_EQ(gadget->flash()[0x40], 0x5A);
    EXPECT_EQ(gadget->playback(), PlaybackState::Started);
    EXPECT_FALSE(bus.GadgetState(kMouse));

    // What each interface received, and the order across interfaces.
    const auto vendorWriter = Open(kVendor, HidOpenMode::ReadWrite);
    const std::vector<std::uint8_t> vendorReport(63, 0x01);
    ASSERT_TRUE(vendorWriter->Write(vendorReport));
    ASSERT_TRUE(writer->Write(CommandReport(CMD_STOP)));
    EXPECT_EQ(bus.QueuedInputReportCount(kVendor), 0u) << "a passive device answers nothing";
    EXPECT_THAT(bus.ReceivedReports(kVendor), ElementsAre(vendorReport));
    EXPECT_EQ(bus.ReceivedReports(kGadget).size(), 4u);
    std::vector<std::string> order;
    for (const ReceivedReport& received : bus.AllReceivedReports()) {
        order.push_back(received.path);
    }
    EXPECT_THAT(order, ElementsAre(kGadget, kGadget, kGadget, kVendor, kGadget));
}

// With an answer delay each answer leaves that long after its packet, or after the answer before
// it; a slice that ends first times out, and the answer is still there for the next read.
TEST_F(SimulatedHidBusTest, AGadgetWithAnAnswerDelayAnswersOneAfterAnother) {
    PlugAll();
    const auto writer = Open(kGadget, HidOpenMode::ReadWrite);
    const auto reader = Open(kGadget, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(writer && reader);
    EXPECT_THROW(bus.SetAnswerDelay(kMouse, 1ms), std::invalid_argument);
    bus.SetAnswerDelay(kGadget, 40ms);

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(writer->Write(CommandReport(CMD_READ_ID)));
    ASSERT_TRUE(writer->Write(CommandReport(CMD_START)));
    ASSERT_TRUE(reader->QueueRead(65));
    const HidHandle::WaitResult early = reader->WaitRead(5ms);
    if (std::chrono::steady_clock::now() - sent < 35ms) {
        EXPECT_EQ(early, HidHandle::WaitResult::TimedOut);
    }
    if (early == HidHandle::WaitResult::TimedOut) {
        ASSERT_EQ(reader->WaitRead(kLongWait), HidHandle::WaitResult::Completed);
    }
    const auto first = std::chrono::steady_clock::now();
    std::array<std::uint8_t, 65> buffer{};
    ASSERT_EQ(reader->TakeReadResult(buffer), 65u);
    EXPECT_EQ(buffer[1], CMD_READ_ID);
    EXPECT_EQ(ReadOne(*reader).report[1], CMD_START);
    const auto second = std::chrono::steady_clock::now();
    EXPECT_GE(first - sent, 40ms);
    EXPECT_GE(second - sent, 80ms);

    // Reports the device sends of its own accord are not held back.
    bus.InjectInputReport(kGadget, GadgetInputReport(CMD_SERIAL));
    EXPECT_EQ(ReadOne(*reader, 65, 1ms).wait, HidHandle::WaitResult::Completed);
}

TEST_F(SimulatedHidBusTest, HandlesOfAnUnpluggedInterfaceFail) {
    PlugAll();
    auto writer = Open(kGadget, HidOpenMode::ReadWrite);
    auto query = Open(kGadget, HidOpenMode::QueryOnly);
    auto reader = Open(kGadget, HidOpenMode::OverlappedRead);
    BlockedRead read(bus, kGadget, *reader);

    bus.Unplug(kGadget);
    const ReadOutcome blocked = read.Outcome();
    EXPECT_EQ(blocked.wait, HidHandle::WaitResult::Completed);
    EXPECT_TRUE(blocked.report.empty());
    EXPECT_EQ(blocked.error, kHidErrorDeviceGone);

    // Plugging the gadget back in does not revive handles opened before.
    bus.Replug(kGadget);
    EXPECT_FALSE(writer->Write(CommandReport(CMD_START)));
    EXPECT_EQ(writer->LastError(), kHidErrorDeviceGone);
    EXPECT_FALSE(reader->QueueRead(65));
    EXPECT_EQ(reader->LastError(), kHidErrorDeviceGone);
    EXPECT_FALSE(query->GetAttributes());
    EXPECT_FALSE(query->GetProductString());
    EXPECT_EQ(query->LastError(), kHidErrorDeviceGone);
    EXPECT_EQ(bus.GadgetState(kGadget)->packets().size(), 0u);

    EXPECT_EQ(bus.OpenHandleCount(kGadget), 3u);
    writer.reset();
    query->Close();
    EXPECT_EQ(bus.OpenHandleCount(kGadget), 1u);

    const auto fresh = Open(kGadget, HidOpenMode::ReadWrite);
    EXPECT_TRUE(fresh->Write(CommandReport(CMD_START)));
}

TEST_F(SimulatedHidBusTest, CloseEndsAWaitReadBlockedInAnotherThread) {
    bus.Plug(SimulatedGadget());
    const auto reader = Open(kGadget, HidOpenMode::OverlappedRead);
    BlockedRead read(bus, kGadget, *reader);

    reader->Close();
    const ReadOutcome blocked = read.Outcome();
    EXPECT_EQ(blocked.wait, HidHandle::WaitResult::Completed);
    EXPECT_TRUE(blocked.report.empty());
    EXPECT_EQ(blocked.error, kHidErrorClosed);
    EXPECT_EQ(bus.OpenHandleCount(kGadget), 0u);

    // Every later call fails.
    EXPECT_FALSE(reader->QueueRead(65));
    EXPECT_FALSE(reader->GetCaps());
    EXPECT_FALSE(reader->CancelRead());
    EXPECT_EQ(reader->WaitRead(kLongWait), HidHandle::WaitResult::Completed);
    EXPECT_EQ(reader->LastError(), kHidErrorClosed);
    reader->Close();
}

TEST_F(SimulatedHidBusTest, OpenModesDecideWhatAHandleMayDo) {
    PlugAll();
    bus.SetOpenRefused(kGadget, HidOpenMode::ReadWrite, true);
    const HidOpenResult refused = platform->Open(kGadget, HidOpenMode::ReadWrite);
    EXPECT_EQ(refused.handle, nullptr);
    EXPECT_EQ(refused.error, "Permission denied");
    const auto query = Open(kGadget, HidOpenMode::QueryOnly);
    EXPECT_THROW(bus.SetOpenRefused(kGadget, HidOpenMode::QueryOnly, true), std::invalid_argument);
    bus.SetOpenRefused(kGadget, HidOpenMode::ReadWrite, false);
    const auto writer = Open(kGadget, HidOpenMode::ReadWrite);
    const auto mouse = Open(kMouse, HidOpenMode::ReadWrite);
    const auto vendor = Open(kVendor, HidOpenMode::ReadWrite);

    const std::vector<std::uint8_t> command = CommandReport(CMD_START);
    struct Case {
        const char* what;
        HidHandle* handle;
        std::vector<std::uint8_t> report;
        std::uint32_t error;  // kHidErrorNone: the write is taken
    };
    const Case writes[] = {
        {"query-only handle", query.get(), command, kHidErrorNotPermitted},
        {"read-write handle", writer.get(), command, kHidErrorNone},
        {"longer than the output report", writer.get(), std::vector<std::uint8_t>(66), kHidErrorIo},
        {"no bytes", writer.get(), {}, kHidErrorIo},
        {"device without output reports", mouse.get(), {0x00, 0x01}, kHidErrorIo},
        {"62 data bytes", vendor.get(), std::vector<std::uint8_t>(63), kHidErrorNone},
        {"63 data bytes", vendor.get(), std::vector<std::uint8_t>(64), kHidErrorIo},
    };
    for (const Case& c : writes) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.handle->Write(c.report), c.error == kHidErrorNone);
        EXPECT_EQ(c.handle->LastError(), c.error);
    }
    EXPECT_FALSE(writer->QueueRead(65));
    EXPECT_EQ(writer->LastError(), kHidErrorNotPermitted);
    EXPECT_EQ(bus.ReceivedReports(kGadget).size(), 1u);
}

TEST_F(SimulatedHidBusTest, ReadSideRules) {
    bus.Plug(SimulatedMouse());
    const auto reader = Open(kMouse, HidOpenMode::OverlappedRead);
    std::array<std::uint8_t, 8> buffer{};

    // No read started: nothing to wait for or take.
    EXPECT_EQ(reader->WaitRead(kLongWait), HidHandle::WaitResult::Completed);
    EXPECT_EQ(reader->LastError(), kHidErrorIo);
    EXPECT_EQ(reader->TakeReadResult(buffer), 0u);
    EXPECT_FALSE(reader->CancelRead());
    EXPECT_FALSE(reader->QueueRead(0));

    // A pending read times out, cannot be queued twice, and cancelling it loses no report.
    ASSERT_TRUE(reader->QueueRead(5));
    EXPECT_EQ(reader->WaitRead(1ms), HidHandle::WaitResult::TimedOut);
    EXPECT_FALSE(reader->QueueRead(5));
    EXPECT_EQ(reader->LastError(), kHidErrorIo);
    bus.InjectInputReport(kMouse, {0x00, 0x01, 0x02, 0x03, 0x04});
    EXPECT_TRUE(reader->CancelRead());
    EXPECT_EQ(bus.QueuedInputReportCount(kMouse), 1u);

    // A read shorter than the report gets its beginning; a smaller buffer gets what fits.
    EXPECT_THAT(ReadOne(*reader, 3).report, ElementsAre(0x00, 0x01, 0x02));
    bus.InjectInputReport(kMouse, {0x00, 0x0A, 0x0B, 0x0C, 0x0D});
    ASSERT_TRUE(reader->QueueRead(5));
    ASSERT_EQ(reader->WaitRead(kLongWait), HidHandle::WaitResult::Completed);
    std::array<std::uint8_t, 2> small{};
    EXPECT_EQ(reader->TakeReadResult(small), 2u);
    EXPECT_THAT(small, ElementsAre(0x00, 0x0A));

    EXPECT_THROW(bus.InjectInputReport(kMouse, {}), std::invalid_argument);
    bus.Unplug(kMouse);
    EXPECT_FALSE(bus.InjectInputReport(kMouse, {0x00}));
}

TEST_F(SimulatedHidBusTest, GadgetUnpluggedDuringAnExchange) {
    bus.Plug(SimulatedGadget());
    int notices = 0;
    platform->StartMonitoring([&] { ++notices; });
    const auto writer = Open(kGadget, HidOpenMode::ReadWrite);
    const auto reader = Open(kGadget, HidOpenMode::OverlappedRead);
    bus.SetGadgetFault(kGadget, GadgetFault::UnplugDuringExchange);
    BlockedRead read(bus, kGadget, *reader);

    EXPECT_TRUE(writer->Write(CommandReport(CMD_START))) << "the packet is taken";
    const ReadOutcome blocked = read.Outcome();
    EXPECT_EQ(blocked.error, kHidErrorDeviceGone);
    EXPECT_FALSE(bus.IsPluggedIn(kGadget));
    EXPECT_EQ(bus.ReceivedReports(kGadget).size(), 1u);
    EXPECT_FALSE(writer->Write(CommandReport(CMD_STOP)));
    QCoreApplication::processEvents();
    EXPECT_EQ(notices, 1);

    // Plugged back in, the gadget has kept its flash but not its playback, and answers again.
    bus.UpdateGadget(kGadget, [](GadgetFirmware& firmware) {
        const std::uint8_t bytes[] = {0x42};
        firmware.WriteFlash(0, bytes);
    });
    bus.Replug(kGadget);
    EXPECT_EQ(bus.GadgetState(kGadget)->playback(), PlaybackState::Stopped);
    const auto newWriter = Open(kGadget, HidOpenMode::ReadWrite);
    const auto newReader = Open(kGadget, HidOpenMode::OverlappedRead);
    ASSERT_TRUE(newWriter->Write(CommandReport(CMD_FLASH, BuildFlashReadBlock(0))));
    const ReadOutcome flash = ReadOne(*newReader);
    ASSERT_EQ(flash.report.size(), 65u);
    EXPECT_EQ(flash.report[9], 0x42);

    // A gadget plugged in anew under the same path starts with erased flash.
    bus.Unplug(kGadget);
    bus.Plug(SimulatedGadget());
    EXPECT_EQ(bus.GadgetState(kGadget)->flash()[0], 0xFF);
    EXPECT_THROW(bus.SetGadgetFault("sim:nothing", GadgetFault::NoAnswer), std::out_of_range);
}

TEST_F(SimulatedHidBusTest, ManyInjectedReportsArriveInOrder) {
    constexpr std::uint32_t kReports = 100'000;
    bus.Plug(SimulatedVendorInterface());
    const auto reader = Open(kVendor, HidOpenMode::OverlappedRead);
    auto numbered = [](std::uint32_t n) {
        return std::vector<std::uint8_t>{0x00, static_cast<std::uint8_t>(n),
                                         static_cast<std::uint8_t>(n >> 8),
                                         static_cast<std::uint8_t>(n >> 16)};
    };
    // Half one at a time from another thread while the reader reads, half in one batch.
    std::thread producer([&] {
        for (std::uint32_t n = 0; n < kReports / 2; ++n) {
            bus.InjectInputReport(kVendor, numbered(n));
        }
        std::vector<std::vector<std::uint8_t>> batch;
        for (std::uint32_t n = kReports / 2; n < kReports; ++n) {
            batch.push_back(numbered(n));
        }
        bus.InjectInputReports(kVendor, std::move(batch));
    });
    std::uint32_t outOfOrder = 0;
    std::array<std::uint8_t, 64> buffer{};
    for (std::uint32_t n = 0; n < kReports; ++n) {
        ASSERT_TRUE(reader->QueueRead(buffer.size()));
        ASSERT_EQ(reader->WaitRead(kLongWait), HidHandle::WaitResult::Completed);
        ASSERT_EQ(reader->TakeReadResult(buffer), 4u);
        const std::uint32_t got = buffer[1] | buffer[2] << 8 | buffer[3] << 16;
        outOfOrder += got != n;
    }
    producer.join();
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(bus.QueuedInputReportCount(kVendor), 0u);
}

}  // namespace
}  // namespace tavrel
