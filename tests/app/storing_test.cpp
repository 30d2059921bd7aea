#include <string>
#include <vector>

#include <QAbstractItemModel>
#include <QKeyEvent>
#include <QListWidget>
#include <QTest>
#include <QTextEdit>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/form_fixture.h"
#include "app/hex_grid.h"
#include "commands/command_codes.h"
#include "gadget/data_flash.h"
#include "support/log_collector.h"

// Storing scripts and data through the window, compared byte by byte with the simulated gadget's
// flash: the script download, the data flash page and the serial page.
namespace tavrel {
namespace {

using test::FormFixture;
using test::ReportOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

constexpr const char* kGadget = "sim:gadget-1";

class StoringTest : public ::testing::Test {
protected:
    StoringTest() {
        fixture.MarkLog();
        EXPECT_TRUE(AwaitLog("DEVID: 305419896"));
        fixture.MarkLog();
        QObject::connect(Grid()->model(), &QAbstractItemModel::dataChanged, [this] { ++repaints; });
    }

    bool AwaitLog(const std::string& text, int count = 1, int timeoutMs = 10000) {
        return QTest::qWaitFor(
            [&] {
                const auto lines = fixture.NewLogTexts();
                return std::count(lines.begin(), lines.end(), text) >= count;
            },
            timeoutMs);
    }
    // Waits until the link has no exchange running.
    bool AwaitIdle() {
        return QTest::qWaitFor([&] { return !fixture.form->Link().Busy(); }, 20000);
    }

    THexGrid* Grid() const { return fixture.Find<THexGrid>("HexGrid1"); }
    std::vector<std::uint8_t> Flash(std::size_t from, std::size_t count) const {
        const std::vector<std::uint8_t> flash = fixture.bus.GadgetState(kGadget)->flash();
        return {flash.begin() + static_cast<std::ptrdiff_t>(from),
                flash.begin() + static_cast<std::ptrdiff_t>(from + count)};
    }
    std::vector<std::uint8_t> GridBytes(std::size_t from, std::size_t count) const {
        const auto bytes = Grid()->Storage().Bytes().subspan(from, count);
        return {bytes.begin(), bytes.end()};
    }
    // Flash addresses of the CMD_FLASH packets the gadget took, in order.
    std::vector<int> FlashAddresses(std::uint8_t operation) const {
        std::vector<int> addresses;
        const std::optional<GadgetFirmware> state = fixture.bus.GadgetState(kGadget);
        for (const GadgetPacket& packet : state->packets()) {
            if (packet.code == CMD_FLASH && packet.data[0] == operation) {
                addresses.push_back(packet.data[2] * 256 + packet.data[3]);
            }
        }
        return addresses;
    }
    void Download(const QString& byteText) {
        fixture.Memo("mmoscbytes")->setPlainText(byteText);
        fixture.Click("btnWritesc");
        ASSERT_TRUE(AwaitIdle());
    }
    static QString Lines(int count, const QString& line = QStringLiteral("20 04 00 ")) {
        QStringList lines{QStringLiteral("E1 09 01 ")};
        for (int i = 1; i < count; ++i)
            lines << line;
        return lines.join('\n');
    }

    FormFixture fixture{FormFixture::Marker::File, {SimulatedGadget()}};
    int repaints = 0;
};

TEST_F(StoringTest, ACompiledScriptIsStoredFromAddress32) {
    fixture.Click("Button1");
    const std::vector<std::string> byteText = fixture.Lines("mmoscbytes");
    fixture.MarkLog();
    fixture.Click("btnWritesc");
    ASSERT_TRUE(AwaitIdle());
    std::vector<std::uint8_t> image;
    for (const std::string& line : byteText) {
        const std::vector<std::uint8_t> record = test::Bytes(line);
        image.insert(image.end(), record.begin(), record.end());
    }
    ASSERT_EQ(image.size(), 27u);
    EXPECT_EQ(Flash(32, 27), image);
    EXPECT_EQ(Flash(59, 5), std::vector<std::uint8_t>(5, 0)) << "the rest of the chunk: the buffer's zeros";
    EXPECT_EQ(Flash(0, 32), std::vector<std::uint8_t>(32, 0xFF)) << "addresses before the script untouched";
    EXPECT_THAT(fixture.NewLogTexts(), ElementsAre("共27字节", "已回复64"));
}

TEST_F(StoringTest, ChunksFollowTheByteTotal) {
    const struct {
        const char* what;
        QString text;
        const char* total;
        std::vector<int> addresses;
    } cases[] = {
        {"10 lines", Lines(10), "共30字节", {32}},
        {"11 lines", Lines(11), "共33字节", {32, 64}},
        {"11 lines with a blank one between",
         Lines(6) + "\n\n" + Lines(5).section('\n', 1),
         "共30字节",
         {32}},
        {"43 lines, the compile's longest", Lines(43), "共129字节", {32, 64, 96, 128, 160}},
    };
    std::size_t before = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture.MarkLog();
        Download(c.text);
        EXPECT_EQ(fixture.NewLogTexts().front(), c.total);
        std::vector<int> addresses = FlashAddresses(1);
        addresses.erase(addresses.begin(), addresses.begin() + static_cast<std::ptrdiff_t>(before));
        before += addresses.size();
        EXPECT_EQ(addresses, c.addresses);
    }
    // The blank line kept its slot: the record after it landed at 3 x its line number.
    Download(Lines(3) + "\n\n" + "AA BB CC ");
    EXPECT_EQ(Flash(32 + 3 * 4, 3), test::Bytes("AA BB CC"));
    Download(Lines(43, QStringLiteral("20 05 00 ")));
    EXPECT_EQ(Flash(32 + 3 * 42, 3), test::Bytes("20 05 00")) << "the 43rd line arrives whole";
}

TEST_F(StoringTest, AGadgetThatStopsAnsweringEndsTheDownloadWithWhatWasWrittenKept) {
    fixture.form->Link().SetReplyWaitMs(200);
    fixture.bus.UpdateGadget(kGadget, [](GadgetFirmware& firmware) { firmware.SetAnswersLeft(1); });
    fixture.MarkLog();
    Download(Lines(43, QStringLiteral("20 06 00 ")));
    EXPECT_EQ(FlashAddresses(1), (std::vector<int>{32, 64}));
    EXPECT_EQ(Flash(32 + 3, 3), test::Bytes("20 06 00"));
    EXPECT_EQ(Flash(96, 32), std::vector<std::uint8_t>(32, 0xFF)) << "nothing written after the silence";
    EXPECT_THAT(fixture.NewLogTexts(), ElementsAre("共129字节", "已回复64"));
    EXPECT_TRUE(fixture.Memo("mmoscbytes")->isEnabled());
}

TEST_F(StoringTest, AByteTextOfMoreThan129BytesIsRefusedAndNothingSent) {
    Download(Lines(44));
    EXPECT_THAT(fixture.NewLogTexts(), ElementsAre("脚本过长，超出闪存地址范围：共132字节"));
    EXPECT_TRUE(FlashAddresses(1).empty());
}

// Closing while the gadget's flash is being written: the first close waits for the write to end,
// a second closes at once. A read is no reason to wait.
TEST_F(StoringTest, ClosingDuringAFlashWriteWaitsForItUnlessAskedTwice) {
    const struct {
        const char* button;
        bool waits;
        bool closeTwice;
    } cases[] = {
        {"btnWritesc", true, false},
        {"btnWriteEeprom", true, false},
        {"btnWritesc", true, true},
        {"btnReadEeprom", false, false},
    };
    fixture.bus.SetAnswerDelay(kGadget, std::chrono::milliseconds(60));
    fixture.Memo("mmoscbytes")->setPlainText(Lines(43, QStringLiteral("20 07 00 ")));
    Grid()->Storage().Fill(0x5C);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.button) + (c.closeTwice ? ", closed twice" : ""));
        fixture.form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(fixture.form.get()));
        fixture.bus.UpdateGadget(kGadget, [](GadgetFirmware& firmware) {
            firmware.WriteFlash(0, std::vector<std::uint8_t>(192, 0xFF));
        });
        fixture.MarkLog();
        fixture.Click(c.button);
        ASSERT_TRUE(fixture.form->Link().Busy());
        const bool closed = fixture.form->close();
        if (!c.waits) {
            EXPECT_TRUE(closed);
            EXPECT_FALSE(fixture.form->isVisible());
            EXPECT_THAT(fixture.NewLogTexts(), Not(Contains("正在写入设备，完成后关闭")));
            ASSERT_TRUE(AwaitIdle());
            continue;
        }
        EXPECT_FALSE(closed);
        EXPECT_TRUE(fixture.form->isVisible());
        EXPECT_THAT(fixture.NewLogTexts(), Contains("正在写入设备，完成后关闭"));
        if (c.closeTwice) {
            EXPECT_TRUE(fixture.form->close());
            EXPECT_FALSE(fixture.form->isVisible()) << "at once";
            EXPECT_TRUE(fixture.form->Link().Busy()) << "the write still runs";
            ASSERT_TRUE(AwaitIdle());
            continue;
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !fixture.form->isVisible(); }, 20000));
        EXPECT_FALSE(fixture.form->Link().Busy()) << "closed once the write ended";
        if (std::string(c.button) == "btnWritesc") {
            std::vector<std::uint8_t> script = test::Bytes("E1 09 01");
            for (int i = 0; i < 42; ++i)
                script.insert(script.end(), {0x20, 0x07, 0x00});
            EXPECT_EQ(Flash(32, script.size()), script) << "the whole script";
        } else {
            EXPECT_EQ(Flash(0, 128), std::vector<std::uint8_t>(128, 0x5C)) << "the whole data flash";
        }
    }
}

TEST_F(StoringTest, AnEmptyByteTextSendsNothing) {
    Download(QStringLiteral("\n"));
    EXPECT_THAT(fixture.NewLogTexts(), ElementsAre("无脚本"));
    EXPECT_TRUE(FlashAddresses(1).empty());
}

TEST_F(StoringTest, ClearThenWriteStores128Erased) {
    fixture.bus.UpdateGadget(kGadget, [](GadgetFirmware& firmware) {
        firmware.WriteFlash(0, std::vector<std::uint8_t>(128, 0x11));
    });
    Grid()->SetDataAt(5, 0x42);
    fixture.Click("btnClearEeprom");
    EXPECT_EQ(repaints, 1);
    EXPECT_EQ(GridBytes(0, 128), std::vector<std::uint8_t>(128, 0xFF));
    EXPECT_EQ(Flash(0, 128), std::vector<std::uint8_t>(128, 0x11)) << "Clear sends nothing";
    fixture.Click("btnWriteEeprom");
    ASSERT_TRUE(AwaitIdle());
    EXPECT_EQ(FlashAddresses(1), (std::vector<int>{0, 32, 64, 96}));
    EXPECT_EQ(Flash(0, 128), std::vector<std::uint8_t>(128, 0xFF));
    EXPECT_EQ(repaints, 2);
}

TEST_F(StoringTest, ReadFillsTheGridFromTheFlashAndRepaintsOnce) {
    std::vector<std::uint8_t> stored(128);
    for (std::size_t i = 0; i < stored.size(); ++i)
        stored[i] = static_cast<std::uint8_t>(i * 7);
    fixture.bus.UpdateGadget(kGadget, [&](GadgetFirmware& firmware) { firmware.WriteFlash(0, stored); });
    fixture.Click("btnReadEeprom");
    ASSERT_TRUE(AwaitIdle());
    EXPECT_EQ(FlashAddresses(0), (std::vector<int>{0, 32, 64, 96}));
    EXPECT_EQ(GridBytes(0, 128), stored);
    EXPECT_EQ(repaints, 1);
}

TEST_F(StoringTest, AReadAnsweredForTwoBlocksLeavesTheRestAndDoesNotRepaint) {
    fixture.form->Link().SetReplyWaitMs(200);
    fixture.bus.UpdateGadget(kGadget, [](GadgetFirmware& firmware) {
        firmware.WriteFlash(0, std::vector<std::uint8_t>(128, 0x33));
        firmware.SetAnswersLeft(2);
    });
    Grid()->Storage().Fill(0x5A);
    fixture.Click("btnReadEeprom");
    ASSERT_TRUE(AwaitIdle());
    EXPECT_EQ(GridBytes(0, 64), std::vector<std::uint8_t>(64, 0x33));
    EXPECT_EQ(GridBytes(64, 64), std::vector<std::uint8_t>(64, 0x5A));
    EXPECT_EQ(repaints, 0);
}

// A byte typed before a read is gone for good once the gadget's bytes replace it: undo cannot
// bring it back into what the next Write stores.
TEST_F(StoringTest, UndoAfterAReadCannotBringBackTypedBytes) {
    fixture.bus.UpdateGadget(kGadget, [](GadgetFirmware& firmware) {
        firmware.WriteFlash(0, std::vector<std::uint8_t>(128, 0x77));
    });
    QAbstractItemModel* model = Grid()->model();
    ASSERT_TRUE(model->setData(model->index(0, 3), QStringLiteral("AB"), Qt::EditRole));  // typed
    ASSERT_EQ(Grid()->GetDataAt(3), 0xAB);
    fixture.Click("btnReadEeprom");
    ASSERT_TRUE(AwaitIdle());
    QKeyEvent undo(QEvent::KeyPress, Qt::Key_Z, Qt::ControlModifier);
    QCoreApplication::sendEvent(Grid(), &undo);
    EXPECT_EQ(Grid()->GetDataAt(3), 0x77);
    fixture.Click("btnClearEeprom");
    QCoreApplication::sendEvent(Grid(), &undo);
    EXPECT_EQ(Grid()->GetDataAt(3), 0xFF) << "nor after Clear";
}

TEST_F(StoringTest, AFlashAnswerThatDoesNotFitIsRefused) {
    Grid()->Storage().Fill(0x01);
    std::vector<std::uint8_t> answer = ReportOf("A3 24 00 00 00 20 00 78");  // 32 bytes at 120
    std::fill(answer.begin() + 9, answer.end(), 0xEE);
    ASSERT_TRUE(fixture.bus.InjectInputReport(kGadget, answer));
    ASSERT_TRUE(AwaitLog("闪存数据超出范围，未写入"));
    EXPECT_EQ(GridBytes(0, 128), std::vector<std::uint8_t>(128, 0x01));
}

TEST_F(StoringTest, AGadgetPulledOutDuringAReadOrADownloadLeavesTheToolWorking) {
    for (const char* button : {"btnReadEeprom", "btnWritesc"}) {
        SCOPED_TRACE(button);
        fixture.Memo("mmoscbytes")->setPlainText(Lines(43));
        fixture.bus.UpdateGadget(kGadget, [](GadgetFirmware& firmware) { firmware.SetAnswersLeft(1); });
        fixture.Click(button);
        ASSERT_TRUE(QTest::qWaitFor([&] { return fixture.form->Link().Busy(); }, 5000));
        fixture.MarkLog();
        fixture.bus.Unplug(kGadget);
        ASSERT_TRUE(AwaitLog("DeviceChange"));
        ASSERT_TRUE(AwaitIdle()) << "the exchange ended with its gadget";
        EXPECT_EQ(fixture.Find<QListWidget>("DevListBox")->count(), 0);
        fixture.Click("btnStart");
        EXPECT_THAT(fixture.NewLogTexts(), Contains("请选择设备"));
        fixture.bus.UpdateGadget(kGadget,
                                 [](GadgetFirmware& firmware) { firmware.SetAnswersLeft(std::nullopt); });
        fixture.bus.Replug(kGadget);
        ASSERT_TRUE(AwaitLog("DEVID: 305419896"));
        EXPECT_EQ(fixture.Find<QListWidget>("DevListBox")->count(), 1);
    }
}

TEST_F(StoringTest, TheSerialPagePassesTheTestBlockAndShowsWhatComesBack) {
    fixture.Click("btnHid2Ser");
    ASSERT_TRUE(AwaitLog("接收到串口数据"));
    EXPECT_EQ(fixture.bus.ReceivedReports(kGadget).back(), ReportOf("A8 20 82 00 08 31 32 33 34 0A"));
    ASSERT_TRUE(fixture.bus.InjectInputReport(kGadget, ReportOf("A8 04 00 00 01 02 03 04")));
    ASSERT_TRUE(AwaitLog("接收到串口数据", 2));
    const QStringList lines = fixture.Find<QTextEdit>("MemoRev")->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 2);
    for (const QString& line : lines)
        EXPECT_EQ(line.size(), 192);
    EXPECT_TRUE(lines[0].startsWith("A8 20 82 00 08 31 32 33 34 0A 00"));
    EXPECT_TRUE(lines[1].startsWith("A8 04 00 00 01 02 03 04 00"));
    fixture.Click("btnClear");
    EXPECT_TRUE(fixture.Find<QTextEdit>("MemoRev")->toPlainText().isEmpty());
    EXPECT_THAT(fixture.NewLogTexts(), Not(Contains("请选择设备")));
}

}  // namespace
}  // namespace tavrel
