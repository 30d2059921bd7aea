#include "remote/udp_script_server.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "remote/line_client.h"
#include "support/log_collector.h"

// The server over real UDP sockets on loopback, its packets into a collector.
namespace tavrel {
namespace {

using test::LogCollector;
using test::PacketCollector;
using test::Utf8ToGbk;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

class UdpScriptServerTest : public ::testing::Test {
protected:
    // Enables the server on a port the system picks, so parallel test runs never collide.
    void Enable(const std::string& portText = "0") {
        server.Enable(portText);
        port = server.Udp1()->BoundPort();
    }
    void Send(const QByteArray& datagram) {
        ASSERT_EQ(sender.writeDatagram(datagram, QHostAddress::LocalHost, port), datagram.size());
    }
    void SendLine(const char* utf8) {
        const std::string gbk = Utf8ToGbk(utf8);
        Send(QByteArray(gbk.data(), static_cast<qsizetype>(gbk.size())));
    }
    std::size_t Count(const std::string& utf8) const {
        const auto lines = log.Utf8Lines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), utf8));
    }
    bool AwaitLog(const std::string& utf8, std::size_t count = 1) {
        return QTest::qWaitFor([&] { return Count(utf8) >= count; }, 10000);
    }

    LogCollector log;
    PacketCollector packets;
    UdpScriptServer server{packets, log, QHostAddress::LocalHost};
    QUdpSocket sender;
    quint16 port = 0;
};

TEST_F(UdpScriptServerTest, ALineIsReceivedThenRunAtTheNextTick) {
    Enable();
    ASSERT_NE(port, 0);
    SendLine("按键：A");
    ASSERT_TRUE(AwaitLog("执行脚本：按键：A"));
    EXPECT_THAT(log.Utf8Lines(), ElementsAre("收到UDP数据", "执行脚本：按键：A"));
    ASSERT_EQ(packets.packets().size(), 1u);
    EXPECT_EQ(packets.packets()[0].code, CMD_KEYBOARD);
    EXPECT_THAT(packets.packets()[0].data, ElementsAre(0x20, 0x04, 0x00, 0, 0, 0, 0, 0));
    EXPECT_FALSE(sender.hasPendingDatagrams()) << "nothing is sent back";
}

TEST_F(UdpScriptServerTest, DatagramsRunOnConsecutiveTicksOneLineEach) {
    Enable();
    SendLine("按键：B");
    SendLine("按键：C\r\n按键：D");  // one datagram, one line
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Count("收到UDP数据") == 2 && server.Queue().Size() == 0; }, 10000));
    ASSERT_TRUE(AwaitLog("执行脚本：按键：C\\r\\n按键：D"));
    const auto lines = log.Utf8Lines();
    const auto b = std::find(lines.begin(), lines.end(), "执行脚本：按键：B");
    const auto c = std::find(lines.begin(), lines.end(), "执行脚本：按键：C\\r\\n按键：D");
    EXPECT_LT(b, c);
}

// Every line logged about a received line, the echo and the compiler's messages included, shows
// its control bytes escaped: a line break cannot start a line that looks like the tool's own.
TEST(UdpScriptServerEscaping, ControlBytesOfALineAreEscapedInEveryLineLoggedAboutIt) {
    LogCollector log(true);
    PacketCollector packets;
    UdpScriptServer server{packets, log, QHostAddress::LocalHost};
    server.Enable("0");
    QUdpSocket sender;
    const std::string line = Utf8ToGbk("foo：C\r\nDEVID: 305419896\t\x1B[2J");
    ASSERT_EQ(sender.writeDatagram(line.data(), static_cast<qint64>(line.size()), QHostAddress::LocalHost,
                                   server.Udp1()->BoundPort()),
              static_cast<qint64>(line.size()));
    const std::string escaped = "foo：C\\r\\nDEVID: 305419896\\t\\x1B[2J";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::ranges::count(log.Utf8Lines(), "执行脚本：" + escaped) == 1; }, 10000));
    const auto lines = log.Utf8Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "收到UDP数据");
    EXPECT_EQ(lines[1], escaped) << "the echo";
    EXPECT_EQ(lines[2], "执行脚本：" + escaped);
    EXPECT_THAT(lines, Contains(AllOf(StartsWith("未知指令："), HasSubstr("\\r\\n"))))
        << "the compiler's message shows the line, escaped";
    for (const std::string& logged : log.lines()) {
        EXPECT_FALSE(std::ranges::any_of(logged, [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        })) << test::GbkToUtf8(logged);
    }
}

TEST_F(UdpScriptServerTest, AZeroByteCutsTheLine) {
    Enable();
    const std::string line = Utf8ToGbk("按键：E");
    QByteArray datagram(line.data(), static_cast<qsizetype>(line.size()));
    datagram.append('\0').append("junk");
    Send(datagram);
    ASSERT_TRUE(AwaitLog("执行脚本：按键：E"));
}

TEST_F(UdpScriptServerTest, WhileDisabledDatagramsAreLostAndUntickingDropsWaitingLines) {
    server.Udp1()->SetLocalPort(0);
    port = server.Udp1()->BoundPort();
    SendLine("按键：A");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.Udp1()->ReadDatagram().empty(); }, 10000)) << "read";
    EXPECT_THAT(log.lines(), IsEmpty()) << "and lost";

    Enable();
    SendLine("延时：5秒");
    SendLine("按键：B");
    ASSERT_TRUE(AwaitLog("收到UDP数据", 2));
    server.Disable();
    EXPECT_EQ(server.Queue().Size(), 0u);
    Enable();
    SendLine("按键：C");
    ASSERT_TRUE(AwaitLog("执行脚本：按键：C"));
    EXPECT_EQ(Count("执行脚本：按键：B"), 0u);
}

TEST_F(UdpScriptServerTest, PortTextsAndTakenPortsAreReported) {
    server.Enable(" 10201 ");
    EXPECT_EQ(server.Udp1()->BoundPort(), 10201);
    EXPECT_THAT(log.lines(), IsEmpty());

    // Each bad text: said as it was typed, nothing bound anew, and the server deaf on the port it
    // had.
    for (const char* text : {"abc", "65536", "-1", "99999", " 70000 ", "1e3"}) {
        SCOPED_TRACE(text);
        Enable("0");
        const quint16 before = port;
        log.Clear();
        server.Enable(text);
        EXPECT_THAT(log.Utf8Lines(), ElementsAre(std::string("UDP端口设置错误：") + text));
        EXPECT_EQ(server.Udp1()->BoundPort(), before);
        const QByteArray probe = QByteArray("probe ") + text;
        Send(probe);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return QByteArray(server.Udp1()->ReadDatagram().data(),
                                  server.Udp1()->ReadDatagram().size()) == probe;
            },
            10000));
        EXPECT_EQ(Count("收到UDP数据"), 0u) << "deaf";
    }
    log.Clear();

    Enable(" 0 ");
    EXPECT_NE(port, 0) << "0: the system chooses";
    EXPECT_THAT(log.lines(), IsEmpty());

    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::LocalHost, 0));
    server.Enable(std::to_string(holder.localPort()));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(log.Utf8Lines()[0],
                ::testing::StartsWith("UDP端口绑定失败：" + std::to_string(holder.localPort()) + "，"));
    EXPECT_EQ(server.Udp1()->BoundPort(), 0) << "deaf";
}

// Too long, it is dropped; said at once, then as a count at most once a second per sender,
// however many lines are taken between them.
TEST_F(UdpScriptServerTest, OversizedDatagramsAreDroppedAndCountedAtMostOnceASecond) {
    Enable();
    const std::string prefix = "UDP数据过长，已丢弃";
    const std::string suffix = "个（来自127.0.0.1）";
    // The counts said so far, and in how many lines.
    const auto said = [&] {
        std::pair<int, int> sum{0, 0};
        for (const std::string& line : log.Utf8Lines()) {
            if (!line.starts_with(prefix) || !line.ends_with(suffix)) continue;
            sum.first += std::stoi(line.substr(prefix.size()));
            ++sum.second;
        }
        return sum;
    };
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        Send(QByteArray(3000, 'x'));
        SendLine("按键：F");
    }
    ASSERT_TRUE(AwaitLog(prefix + "1" + suffix)) << "the first at once";
    ASSERT_TRUE(AwaitLog("收到UDP数据", 20));
    if (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(900)) {
        EXPECT_EQ(said().first, 1) << "the rest held back, though lines were taken between them";
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return said().first == 20; }, 10000));
    EXPECT_LE(said().second, 3) << "at most one line a second";
    Send(QByteArray(2048, 'x'));
    ASSERT_TRUE(AwaitLog("收到UDP数据", 21)) << "2048 bytes are still a line";
}

TEST_F(UdpScriptServerTest, ADelayLineHoldsTheLinesBehindItForItsTime) {
    Enable();
    SendLine("延时：300毫秒");
    SendLine("按键：G");
    ASSERT_TRUE(AwaitLog("执行脚本：延时：300毫秒"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(AwaitLog("执行脚本：按键：G"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
}

// More lines than the bound: the queue stays at its bound, the overflow is said (at most once a
// second) and the loop goes on serving.
TEST_F(UdpScriptServerTest, AFloodStaysWithinTheBound) {
    Enable();
    constexpr int kDatagrams = 12000;
    for (int i = 0; i < kDatagrams; ++i) {
        if (sender.writeDatagram(QByteArray("x"), QHostAddress::LocalHost, port) != 1) break;
        if (i % 1000 == 999) QCoreApplication::processEvents();  // the server reads as the lines come
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count("收到UDP数据") >= UdpLineQueue::kCapacity + 1; }, 30000));
    EXPECT_LE(server.Queue().Size(), UdpLineQueue::kCapacity);
    const auto lines = log.Utf8Lines();
    const auto reports = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.starts_with("UDP队列已满，已丢弃");
    });
    EXPECT_GE(reports, 1);
    EXPECT_LE(reports, 2);
    bool ticked = false;
    QTimer::singleShot(0, [&] { ticked = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticked; }, 1000)) << "the event loop still runs";
    server.Disable();
}

}  // namespace
}  // namespace tavrel

namespace tavrel {
namespace {

// With keys the window's server speaks DTLS and says what happens in the window's words; unticking
// it ends every session and lets go of what a session held down.
TEST(UdpScriptServerDtls, SessionsAreSaidAndUntickingEndsThemReleasingWhatTheyHeld) {
    LogCollector log;
    PacketCollector packets;
    UdpScriptServer server{packets, log, QHostAddress::LocalHost};
    KeySet keys;
    keys.Add("rig-7", std::string(16, '\x07'));
    server.UseDtls(std::move(keys));
    server.Enable("0");
    LineClient::Options options;
    options.address = QHostAddress::LocalHost;
    options.port = server.Udp1()->BoundPort();
    options.psk = LineClient::Psk{"rig-7", std::string(16, '\x07')};
    LineClient client(options);
    client.Start();
    client.Send("鼠标HID:01 00 00 00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return packets.packets().size() == 1; }, 10000));
    server.Disable();
    const auto lines = log.Utf8Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_THAT(lines[0], StartsWith("DTLS会话开始：rig-7（127.0.0.1:"));
    EXPECT_EQ(lines[1], "收到UDP数据");
    EXPECT_EQ(lines[2], "执行脚本：鼠标HID:01 00 00 00");
    EXPECT_THAT(lines[3], AllOf(StartsWith("DTLS会话结束：rig-7（127.0.0.1:"), HasSubstr("），服务器停止")));
    EXPECT_THAT(lines[4],
                AllOf(StartsWith("已为rig-7（127.0.0.1:"), HasSubstr("松开按住的键：鼠标HID:00 00 00 00")));
    ASSERT_EQ(packets.packets().size(), 2u);
    EXPECT_EQ(packets.packets()[1].code, CMD_MOUSE_HID);
    EXPECT_THAT(packets.packets()[1].data, ElementsAre(0, 0, 0, 0));
    EXPECT_EQ(server.Server().Sessions(), 0u);
}

}  // namespace
}  // namespace tavrel
