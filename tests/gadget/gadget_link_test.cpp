#include "gadget/gadget_link.h"

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <QPointer>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "gadget/broadcast_packet_sink.h"
#include "gadget/gadget_exchange.h"
#include "gadget/mouse_test.h"
#include "gadget/play_commands.h"
#include "hid/hid_device_controller.h"
#include "sim/simulated_hid_bus.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::LogCollector;
using test::ReportOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

SimulatedInterfaceDescription GadgetWithOutput(std::string path, std::uint16_t outputLength) {
    SimulatedInterfaceDescription description = SimulatedGadget(std::move(path));
    description.capabilities.outputReportByteLength = outputLength;
    description.gadgetIdentifier.reset();  // a passive device: it takes reports of any length
    return description;
}

// A link driven as a holder without a window drives it: every rebuild lists the gadgets and
// selects the first; replies are decoded and their lines logged.
class GadgetLinkTest : public ::testing::Test {
protected:
    void Start(const std::vector<SimulatedInterfaceDescription>& interfaces) {
        for (const SimulatedInterfaceDescription& interface : interfaces)
            bus.Plug(interface);
        platform = bus.CreatePlatform();
        controller = std::make_unique<THidDeviceController>(*platform);
        link = std::make_unique<GadgetLink>(*controller, log);
        controller->SetEnumerate([this](THidDevice& device, int index) {
            for (const std::string& line : link->Take(device, index).logLines)
                log.LogLine(line);
            return true;
        });
        controller->SetDevData(MakeHidEvent<THidDataEvent>(
            [this](THidDevice& device, std::uint8_t, const std::uint8_t* data, std::uint16_t size) {
                for (const std::string& line : link->HandleReport(device, {data, size}).logLines)
                    log.LogLine(line);
            }));
        controller->SetDeviceChangeEvent([this](THidDeviceController&) {
            ++changes;
            link->Rebuild();
            link->Select(0);
        });
        QObject::connect(link.get(), &GadgetLink::exchangeFinished, [this](GadgetExchange* exchange) {
            Ended ended{exchange->GetOutcome(), 0, 0};
            if (const auto* sequence = dynamic_cast<const PacketSequence*>(exchange)) {
                ended.sent = sequence->Sent();
                ended.answered = sequence->Answered();
            }
            endings.push_back(ended);
        });
        ASSERT_TRUE(AwaitChange());
        startLog = log.Utf8Lines();
        log.Clear();
    }

    void TearDown() override {
        if (!controller) return;
        controller->SetDevData(nullptr);
        controller.reset();
        link.reset();
    }

    bool AwaitChange() {
        const int before = changes;
        return QTest::qWaitFor([&] { return changes > before; }, 10000);
    }

    // Starts a sequence of read-identifier requests to the selected gadget; none when refused.
    QPointer<PacketSequence> StartSequence(std::size_t packets) {
        return static_cast<PacketSequence*>(link->Start(std::make_unique<PacketSequence>(
            *link, link->SelectedGadget(),
            std::vector<CommandPacket>(packets, BuildCommandPacket(CMD_READ_ID)))));
    }

    // How the exchanges ended, in order (they are deleted after).
    struct Ended {
        GadgetExchange::Outcome outcome;
        std::size_t sent;
        std::size_t answered;
    };
    bool AwaitEnd(std::size_t count = 1, int timeoutMs = 20000) {
        return QTest::qWaitFor([&] { return endings.size() >= count; }, timeoutMs);
    }

    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const GadgetEntry& entry : link->Entries())
            paths.push_back(entry.id.path);
        return paths;
    }

    SimulatedHidBus bus;
    std::unique_ptr<HidPlatform> platform;
    LogCollector log;
    std::unique_ptr<THidDeviceController> controller;
    std::unique_ptr<GadgetLink> link;
    int changes = 0;
    std::vector<std::string> startLog;  // what the first scan logged
    std::vector<Ended> endings;
};

TEST_F(GadgetLinkTest, ListsGadgetsOnlyAndWritesAtEachOnesOutputLength) {
    Start({SimulatedGadget("sim:gadget-1"), SimulatedMouse(), SimulatedVendorInterface(),
           GadgetWithOutput("sim:out-64", 64), GadgetWithOutput("sim:out-80", 80)});
    EXPECT_THAT(Paths(), ElementsAre("sim:gadget-1", "sim:out-64", "sim:out-80"));
    for (int index = 0; index < 3; ++index) {
        link->Select(index);
        SendStart(*link);
    }
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-1"), ElementsAre(ReportOf("13 00 00 00")));
    EXPECT_THAT(bus.ReceivedReports("sim:out-64"), ElementsAre(ReportOf("13 00 00 00", 64)));
    EXPECT_THAT(bus.ReceivedReports("sim:out-80"), ElementsAre(ReportOf("13 00 00 00", 80)));
}

TEST_F(GadgetLinkTest, PlayCommandsAreSinglePacketsOfTheirCodes) {
    Start({SimulatedGadget()});
    SendReboot(*link);
    SendStart(*link);
    SendStop(*link);
    SendIsp(*link);
    SendReadId(*link);
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-1"),
                ElementsAre(ReportOf("AF 00 00 00"), ReportOf("13 00 00 00"), ReportOf("14 00 00 00"),
                            ReportOf("AE 00 00 00"), ReportOf("22 00 00 00")));
    EXPECT_THAT(log.lines(), IsEmpty()) << "single packets do not wait and log nothing themselves";
}

// The identifier request after a rebuild waits the gadget's pause on a timer: meanwhile every
// other packet for that gadget waits behind it, and it goes to the gadget selected when it was
// asked for, whatever is selected meanwhile, or to none when that gadget has left.
TEST_F(GadgetLinkTest, AFirstPacketGoesFirstAndToTheGadgetSelectedWhenItWasAskedFor) {
    Start({SimulatedGadget("sim:gadget-1"), SimulatedGadget("sim:gadget-2")});
    link->SendFirstAfter(BuildCommandPacket(CMD_READ_ID), 10);
    SendStart(*link);
    SendStop(*link);
    link->Select(1);  // the operator picks another gadget before the request has gone
    SendReboot(*link);
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-1"), IsEmpty());
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-2"), ElementsAre(ReportOf("AF 00 00 00")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bus.ReceivedReports("sim:gadget-1").size() == 3; }, 5000));
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-1"),
                ElementsAre(ReportOf("22 00 00 00"), ReportOf("13 00 00 00"), ReportOf("14 00 00 00")));
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-2"), ElementsAre(ReportOf("AF 00 00 00")));

    // Asked for again before it went: one request, still first.
    link->Select(0);
    link->SendFirstAfter(BuildCommandPacket(CMD_READ_ID), 10);
    SendStart(*link);
    link->SendFirstAfter(BuildCommandPacket(CMD_READ_ID), 10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bus.ReceivedReports("sim:gadget-1").size() == 5; }, 5000));
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-1"),
                ElementsAre(ReportOf("22 00 00 00"), ReportOf("13 00 00 00"), ReportOf("14 00 00 00"),
                            ReportOf("22 00 00 00"), ReportOf("13 00 00 00")));
}

TEST_F(GadgetLinkTest, AFirstPacketForAGadgetThatLeftGoesToNone) {
    Start({SimulatedGadget("sim:gadget-1"), SimulatedGadget("sim:gadget-2")});
    link->SendFirstAfter(BuildCommandPacket(CMD_READ_ID), 50);
    ASSERT_TRUE(bus.Unplug("sim:gadget-1"));
    ASSERT_TRUE(AwaitChange());  // the rebuild selects gadget-2 and asks for nothing
    ASSERT_TRUE(QTest::qWaitFor([&] { return !link->FirstPacketPending(); }, 5000));
    EXPECT_TRUE(bus.AllReceivedReports().empty());
}

TEST_F(GadgetLinkTest, WithNothingSelectedEachPacketLogsPleaseSelectAndNothingIsSent) {
    Start({});
    SendStart(*link);
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("请选择设备"));
    EXPECT_TRUE(bus.AllReceivedReports().empty());
}

// A served set gets every packet at once; a failing gadget is told of once per failing run, and
// the others go on getting theirs.
TEST_F(GadgetLinkTest, ABroadcastReachesEveryServedGadgetAndTellsOfAFailureOnce) {
    Start({SimulatedGadget("sim:gadget-1"), SimulatedGadget("sim:gadget-2")});
    std::vector<std::string> failed;
    BroadcastPacketSink sink(*link, [&](const GadgetId& id, const std::string& reason) {
        failed.push_back(id.path + ": " + reason);
    });
    sink.SetServed({link->Entries()[0].id, link->Entries()[1].id});
    const CommandPacket start = BuildCommandPacket(CMD_START);
    bus.SetWriteFault("sim:gadget-2", EIO);
    sink.SendPacket(start);
    sink.SendPacket(start);
    EXPECT_THAT(failed, ElementsAre("sim:gadget-2: Input/output error"));
    EXPECT_EQ(bus.ReceivedReports("sim:gadget-1").size(), 2u);
    bus.SetWriteFault("sim:gadget-2", std::nullopt);
    sink.SendPacket(start);
    bus.SetWriteFault("sim:gadget-2", EIO);
    sink.SendPacket(start);
    EXPECT_EQ(failed.size(), 2u) << "told again after a write worked";
    sink.SetServed({link->Entries()[0].id});
    sink.SetServed({link->Entries()[0].id, link->Entries()[1].id});
    sink.SendPacket(start);
    EXPECT_EQ(failed.size(), 3u) << "told again after it left the set and came back";
    EXPECT_EQ(bus.ReceivedReports("sim:gadget-1").size(), 5u);
    EXPECT_EQ(bus.ReceivedReports("sim:gadget-2").size(), 1u);
}

TEST_F(GadgetLinkTest, ASequenceSendsEachPacketOnceTheGadgetHasAnswered) {
    Start({SimulatedGadget()});
    ASSERT_NE(StartSequence(3), nullptr);
    ASSERT_TRUE(AwaitEnd());
    EXPECT_EQ(endings[0].outcome, GadgetExchange::Outcome::Done);
    EXPECT_EQ(endings[0].answered, 3u);
    EXPECT_EQ(bus.ReceivedReports("sim:gadget-1").size(), 3u);
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("已回复64", "DEVID: 305419896", "已回复64", "DEVID: 305419896",
                                             "已回复64", "DEVID: 305419896"));
}

TEST_F(GadgetLinkTest, AGadgetThatDoesNotAnswerEndsTheSequenceSilently) {
    Start({SimulatedGadget()});
    bus.SetGadgetFault("sim:gadget-1", GadgetFault::NoAnswer);
    link->SetReplyWaitMs(100);
    ASSERT_NE(StartSequence(3), nullptr);
    ASSERT_TRUE(AwaitEnd());
    EXPECT_EQ(endings[0].outcome, GadgetExchange::Outcome::TimedOut);
    EXPECT_EQ(endings[0].sent, 1u);
    EXPECT_THAT(log.lines(), IsEmpty());
    EXPECT_FALSE(link->Busy());
}

TEST_F(GadgetLinkTest, WhileAnExchangeWaitsAnotherIsRefusedButSinglePacketsGo) {
    Start({SimulatedGadget()});
    bus.SetGadgetFault("sim:gadget-1", GadgetFault::NoAnswer);
    ASSERT_NE(StartSequence(2), nullptr);
    EXPECT_TRUE(link->Busy());
    EXPECT_EQ(StartSequence(2), nullptr);
    EXPECT_EQ(link->Start(std::make_unique<MouseTestExchange>(*link, link->SelectedGadget())), nullptr);
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("设备忙，上一操作尚未完成", "设备忙，上一操作尚未完成"));
    SendStop(*link);
    EXPECT_THAT(bus.ReceivedReports("sim:gadget-1"),
                ElementsAre(ReportOf("22 00 00 00"), ReportOf("14 00 00 00")));
}

// The command line's rule: one exchange per gadget, any number of gadgets at once; the window's
// Start still refuses while any runs.
TEST_F(GadgetLinkTest, ExchangesAlongsideEachOtherAreRefusedOnlyForTheSameGadget) {
    Start({SimulatedGadget("sim:gadget-1"), SimulatedGadget("sim:gadget-2", kSimulatedGadgetIdentifier + 1)});
    bus.SetGadgetFault("sim:gadget-1", GadgetFault::NoAnswer);
    const auto sequenceFor = [&](int index) {
        return std::make_unique<PacketSequence>(
            *link, link->Entries()[static_cast<std::size_t>(index)].id,
            std::vector<CommandPacket>(2, BuildCommandPacket(CMD_READ_ID)));
    };
    ASSERT_NE(link->StartAlongside(sequenceFor(0)), nullptr);
    EXPECT_EQ(link->StartAlongside(sequenceFor(0)), nullptr);
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("设备忙，上一操作尚未完成"));
    EXPECT_EQ(link->Start(sequenceFor(1)), nullptr) << "the window's rule";
    ASSERT_NE(link->StartAlongside(sequenceFor(1)), nullptr);
    ASSERT_TRUE(AwaitEnd());
    EXPECT_EQ(endings[0].outcome, GadgetExchange::Outcome::Done) << "gadget 2 answered while gadget 1 waits";
    EXPECT_TRUE(link->BusyWith(link->Entries()[0].id));
    EXPECT_FALSE(link->BusyWith(link->Entries()[1].id));
}

// Matched by code, an answer is the first report carrying the packet's command code; an open
// sequence waits for more packets until it is closed.
TEST_F(GadgetLinkTest, AnOpenSequenceMatchingCodesTakesOnlyTheAnswersOfItsPackets) {
    Start({SimulatedGadget()});
    bus.SetGadgetFault("sim:gadget-1", GadgetFault::NoAnswer);
    auto open = std::make_unique<PacketSequence>(*link, link->SelectedGadget(), std::vector<CommandPacket>{});
    open->KeepOpen();
    open->SetReplyMatch(GadgetExchange::ReplyMatch::SameCode);
    const QPointer<PacketSequence> sequence = static_cast<PacketSequence*>(link->Start(std::move(open)));
    ASSERT_NE(sequence, nullptr);
    sequence->Append(BuildCommandPacket(CMD_START));
    sequence->Append(BuildCommandPacket(CMD_STOP));
    ASSERT_TRUE(bus.InjectInputReport("sim:gadget-1", GadgetInputReport(CMD_SERIAL)));
    ASSERT_TRUE(bus.InjectInputReport("sim:gadget-1", GadgetInputReport(CMD_START)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sequence && sequence->Sent() == 2; }, 10000));
    EXPECT_EQ(sequence->Answered(), 1u) << "the serial event was passed over";
    ASSERT_TRUE(bus.InjectInputReport("sim:gadget-1", GadgetInputReport(CMD_STOP)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sequence && sequence->Answered() == 2; }, 10000));
    EXPECT_TRUE(sequence->Running()) << "open until closed";
    sequence->Close();
    ASSERT_TRUE(AwaitEnd());
    EXPECT_EQ(endings[0].outcome, GadgetExchange::Outcome::Done);
}

// The second gadget's exchange goes on with it after a rebuild selects the first, and only its
// own gadget's reports count as answers.
TEST_F(GadgetLinkTest, AnExchangeStaysWithItsGadgetAndTakesOnlyItsReports) {
    Start({SimulatedGadget("sim:gadget-1"), SimulatedGadget("sim:gadget-2", kSimulatedGadgetIdentifier + 1)});
    bus.SetGadgetFault("sim:gadget-2", GadgetFault::NoAnswer);
    link->Select(1);
    const QPointer<PacketSequence> sequence = StartSequence(3);
    ASSERT_NE(sequence, nullptr);

    bus.Plug(SimulatedMouse());
    ASSERT_TRUE(AwaitChange());
    EXPECT_EQ(link->SelectedIndex(), 0);
    ASSERT_TRUE(bus.InjectInputReport("sim:gadget-1", ReportOf("22 04 00 00 01 02 03 04")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.lines().size() >= 2; }, 10000));  // 已回复64, DEVID
    QCoreApplication::processEvents();
    ASSERT_TRUE(sequence);
    EXPECT_EQ(sequence->Answered(), 0u) << "another gadget's report is no answer";

    ASSERT_TRUE(bus.InjectInputReport("sim:gadget-2", ReportOf("22 04 00 00 01 02 03 04")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sequence && sequence->Answered() == 1; }, 10000));
    EXPECT_EQ(bus.ReceivedReports("sim:gadget-2").size(), 2u);
    EXPECT_TRUE(bus.ReceivedReports("sim:gadget-1").empty());
    EXPECT_TRUE(sequence->Running());
}

TEST_F(GadgetLinkTest, AnExchangeWhoseGadgetIsGoneEnds) {
    Start({SimulatedGadget()});
    bus.SetGadgetFault("sim:gadget-1", GadgetFault::NoAnswer);
    const QPointer<PacketSequence> watched = StartSequence(3);
    bus.Unplug("sim:gadget-1");
    ASSERT_TRUE(AwaitChange());
    ASSERT_EQ(endings.size(), 1u);
    EXPECT_EQ(endings[0].outcome, GadgetExchange::Outcome::GadgetGone);
    EXPECT_FALSE(link->Busy());
    EXPECT_THAT(log.lines(), IsEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return watched.isNull(); }, 10000)) << "deleted once ended";
}

TEST_F(GadgetLinkTest, TheMouseTestSendsTwentyRawMouseReportsThenSaysSo) {
    Start({SimulatedGadget()});
    ASSERT_NE(link->Start(std::make_unique<MouseTestExchange>(*link, link->SelectedGadget(),
                                                              MouseTestExchange::Pacing{1, 1})),
              nullptr);
    ASSERT_TRUE(AwaitEnd());
    std::vector<std::vector<std::uint8_t>> expected;
    for (int cycle = 0; cycle < 10; ++cycle) {
        expected.push_back(ReportOf("1D 04 68 00 18 1E 00 00"));
        expected.push_back(ReportOf("1D 04 5E 00 00 00 00 00"));
    }
    EXPECT_EQ(bus.ReceivedReports("sim:gadget-1"), expected);
    EXPECT_EQ(log.Utf8Lines().back(), "鼠标测试完成");
}

TEST_F(GadgetLinkTest, TheMouseTestWithoutAGadgetAsksTwentyTimesAndStillSaysSo) {
    Start({});
    ASSERT_NE(link->Start(
                  std::make_unique<MouseTestExchange>(*link, std::nullopt, MouseTestExchange::Pacing{1, 1})),
              nullptr);
    ASSERT_TRUE(AwaitEnd());
    std::vector<std::string> expected(20, "请选择设备");
    expected.push_back("鼠标测试完成");
    EXPECT_EQ(log.Utf8Lines(), expected);
}

TEST_F(GadgetLinkTest, AGadgetWithoutReadWriteAccessIsListedAndSaysWhy) {
    bus.Plug(SimulatedGadget());
    bus.SetOpenRefused("sim:gadget-1", HidOpenMode::ReadWrite, true);
    Start({});
    EXPECT_THAT(Paths(), ElementsAre("sim:gadget-1"));
    EXPECT_THAT(
        startLog,
        ElementsAre("检测到设备已连接",
                    "无法读写设备：sim:gadget-1，Permission denied（安装udev规则70-tavrel.rules可解决）"));
}

}  // namespace
}  // namespace tavrel
