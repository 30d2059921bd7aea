#include <string>
#include <vector>

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QUdpSocket>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/form_fixture.h"
#include "support/log_collector.h"

// The window over a simulated bus: the device list, the commands and the gadget's answers in
// the log, as an operator sees them.
namespace tavrel {
namespace {

using test::FormFixture;
using test::ReportOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kGadgetLine = "VID=4132 PID=0001, OutputReportByteLength:65,";

class DeviceListTest : public ::testing::Test {
protected:
    void Open(const std::vector<SimulatedInterfaceDescription>& interfaces) {
        fixture = std::make_unique<FormFixture>(FormFixture::Marker::File, interfaces);
        fixture->MarkLog();
        ASSERT_TRUE(AwaitLog("DeviceChange"));
    }

    // Runs the event loop until the log has `text` as a new line `count` times.
    bool AwaitLog(const std::string& text, int count = 1) {
        return QTest::qWaitFor(
            [&] {
                const auto lines = fixture->NewLogTexts();
                return std::count(lines.begin(), lines.end(), text) >= count;
            },
            10000);
    }

    std::vector<std::string> Entries() const {
        std::vector<std::string> entries;
        auto* list = fixture->Find<QListWidget>("DevListBox");
        for (int i = 0; i < list->count(); ++i)
            entries.push_back(list->item(i)->text().toStdString());
        return entries;
    }

    int Selected() const { return fixture->Find<QListWidget>("DevListBox")->currentRow(); }
    SimulatedHidBus& Bus() const { return fixture->bus; }

    std::unique_ptr<FormFixture> fixture;
};

TEST_F(DeviceListTest, StartsWithNoDevice) {
    Open({});
    QCoreApplication::processEvents();
    EXPECT_THAT(fixture->NewLogTexts(), ElementsAre("DeviceChange"));
    EXPECT_THAT(Entries(), IsEmpty());
}

TEST_F(DeviceListTest, AGadgetIsListedSelectedAndAskedForItsIdentifier) {
    Open({SimulatedGadget(), SimulatedMouse()});
    ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
    EXPECT_THAT(fixture->NewLogTexts(),
                ElementsAre("DeviceChange", "检测到设备已连接", kGadgetLine, "已回复64", "DEVID: 305419896"));
    EXPECT_THAT(Entries(), ElementsAre("VID=4132 PID=0001"));
    EXPECT_EQ(Selected(), 0);
    EXPECT_EQ(fixture->Find<QLineEdit>("edtDevid")->text(), "78 56 34 12");
    EXPECT_THAT(Bus().ReceivedReports("sim:gadget-1"), ElementsAre(ReportOf("22 00 00 00")));
}

// Any change rebuilds the whole list, selects the first gadget again and asks it; a gadget
// pulled out leaves the list, and with none left nothing is asked.
TEST_F(DeviceListTest, EveryChangeRebuildsTheListAndSelectsTheFirstGadget) {
    Open({SimulatedGadget("sim:gadget-1"), SimulatedGadget("sim:gadget-2", kSimulatedGadgetIdentifier + 1)});
    ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
    EXPECT_THAT(Entries(), ElementsAre("VID=4132 PID=0001", "VID=4132 PID=0001"));
    fixture->Find<QListWidget>("DevListBox")->setCurrentRow(1);
    fixture->Click("btnStart");
    ASSERT_TRUE(AwaitLog("已发送开启命令"));
    EXPECT_THAT(Bus().ReceivedReports("sim:gadget-2"), ElementsAre(ReportOf("13 00 00 00")));

    fixture->MarkLog();
    Bus().Plug(SimulatedMouse());  // not a gadget, still a change
    ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
    EXPECT_EQ(Selected(), 0);
    EXPECT_THAT(fixture->NewLogTexts(), ElementsAre("DeviceChange", "检测到设备已连接", "检测到设备已连接",
                                                    kGadgetLine, "已回复64", "DEVID: 305419896"));
    EXPECT_EQ(Bus().ReceivedReports("sim:gadget-1").size(), 2u) << "asked again";

    Bus().Unplug("sim:gadget-1");
    ASSERT_TRUE(AwaitLog("DEVID: 305419897"));
    EXPECT_THAT(Entries(), ElementsAre("VID=4132 PID=0001"));
    EXPECT_THAT(Bus().ReceivedReports("sim:gadget-2"),
                ElementsAre(ReportOf("13 00 00 00"), ReportOf("22 00 00 00")));

    fixture->MarkLog();
    Bus().Unplug("sim:gadget-2");
    ASSERT_TRUE(AwaitLog("DeviceChange"));
    QCoreApplication::processEvents();
    EXPECT_THAT(fixture->NewLogTexts(), ElementsAre("DeviceChange"));
    EXPECT_THAT(Entries(), IsEmpty());
    EXPECT_EQ(Selected(), -1);
}

TEST_F(DeviceListTest, ButtonsSendTheirCommandsAndTheAnswersAreLogged) {
    Open({SimulatedGadget()});
    ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
    fixture->MarkLog();
    fixture->Click("btnreboot");
    fixture->Click("btnStart");
    fixture->Click("btnstop");
    fixture->form->btnISPClick();  // its button is never shown
    fixture->Click("btnReadId");
    const std::vector<std::vector<std::uint8_t>> sent = Bus().ReceivedReports("sim:gadget-1");
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_THAT(std::vector(sent.begin() + 1, sent.end()),
                ElementsAre(ReportOf("AF 00 00 00"), ReportOf("13 00 00 00"), ReportOf("14 00 00 00"),
                            ReportOf("AE 00 00 00"), ReportOf("22 00 00 00")));
    ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
    const auto lines = fixture->NewLogTexts();
    for (const char* answer : {"已发送重启命令", "已发送开启命令", "已发送停止命令", "进入ISP模式"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), answer), lines.end()) << answer;
    }
}

TEST_F(DeviceListTest, WithAnEmptyListACommandAsksForADevice) {
    Open({SimulatedMouse()});
    fixture->MarkLog();
    fixture->Click("btnStart");
    EXPECT_THAT(fixture->NewLogTexts(), ElementsAre("请选择设备"));
    EXPECT_TRUE(Bus().ReceivedReports("sim:mouse-1").empty());
}

// The mouse test runs on while the window goes on; a second one is refused meanwhile, and the
// stop command still goes.
TEST_F(DeviceListTest, TheMouseTestRunsOnAndASecondOneIsRefused) {
    Open({SimulatedGadget()});
    ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
    fixture->MarkLog();
    fixture->Click("btnTestKB");
    fixture->Click("btnTestKB");
    fixture->Click("btnstop");
    EXPECT_EQ(fixture->NewLogTexts().front(), "设备忙，上一操作尚未完成");
    const std::vector<std::vector<std::uint8_t>> sent = Bus().ReceivedReports("sim:gadget-1");
    EXPECT_THAT(std::vector(sent.begin() + 1, sent.end()),
                ElementsAre(ReportOf("1D 04 68 00 18 1E 00 00"), ReportOf("14 00 00 00")));
}

TEST_F(DeviceListTest, AGadgetWithoutAccessIsListedWithTheCause) {
    fixture = std::make_unique<FormFixture>(FormFixture::Marker::File);
    fixture->MarkLog();
    Bus().Plug(SimulatedGadget());
    Bus().SetOpenRefused("sim:gadget-1", HidOpenMode::ReadWrite, true);
    ASSERT_TRUE(AwaitLog(kGadgetLine));
    EXPECT_THAT(fixture->NewLogTexts(),
                ::testing::Contains(
                    "无法读写设备：sim:gadget-1，Permission denied（安装udev规则70-tavrel.rules可解决）"));
    EXPECT_THAT(Entries(), ElementsAre("VID=4132 PID=0001"));
}

// The window's UDP server: a line from the network reaches the selected gadget; closing the window
// destroys the endpoint.
TEST_F(DeviceListTest, AScriptLineOverUdpReachesTheSelectedGadget) {
    Open({SimulatedGadget()});
    ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
    fixture->Find<QLineEdit>("edtUdpPort")->setText("0");  // a free port, whatever else runs
    fixture->Find<QCheckBox>("chkUdp")->setChecked(true);
    const quint16 port = fixture->form->ScriptServer().Udp1()->BoundPort();
    ASSERT_NE(port, 0);
    QUdpSocket sender;
    const std::string line = test::Utf8ToGbk("按键：A");
    sender.writeDatagram(QByteArray(line.data(), static_cast<qsizetype>(line.size())),
                         QHostAddress::LocalHost, port);
    ASSERT_TRUE(AwaitLog("执行脚本：按键：A"));
    EXPECT_EQ(Bus().ReceivedReports("sim:gadget-1").back(), ReportOf("1A 08 7A 00 20 04 00 00 00 00 00 00"));
    fixture->form->close();
    EXPECT_EQ(fixture->form->ScriptServer().Udp1(), nullptr);
}

}  // namespace
}  // namespace tavrel
