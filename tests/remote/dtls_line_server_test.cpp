#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <QDtls>
#include <QProcess>
#include <QTest>
#include <QUdpSocket>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands/command_codes.h"
#include "remote/dtls_sessions.h"
#include "remote/line_client.h"
#include "remote/line_server.h"
#include "support/log_collector.h"

// The DTLS line server over real sockets on loopback, with real peers: openssl s_client, and the
// tool's own client.
namespace tavrel {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::LogCollector;
using test::PacketCollector;
using test::SentPacket;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string kKeyHex = "00112233445566778899aabbccddeeff";
const std::string kOtherKeyHex = "ffeeddccbbaa99887766554433221100";

std::string KeyOf(const std::string& hex) {
    const QByteArray bytes = QByteArray::fromHex(QByteArray::fromStdString(hex));
    return bytes.toStdString();
}

KeySet Keys(std::initializer_list<std::pair<std::string, std::string>> entries) {
    KeySet keys;
    for (const auto& [identity, hex] : entries)
        keys.Add(identity, KeyOf(hex));
    return keys;
}

// What the server told, in order.
struct Events : LineServerEvents {
    struct Refusal {
        LineRefusal reason;
        std::string sender;
        std::size_t count;
        std::string detail;
    };
    void LineArrived(const LineOrigin&, const std::string& line) override { arrived.push_back(line); }
    void Refused(LineRefusal reason, const std::string& sender, std::size_t count,
                 const std::string& detail) override {
        refusals.push_back({reason, sender, count, detail});
    }
    void QueueReport(const std::string&) override {}
    void SessionOpened(const LineOrigin& who) override { opened.push_back(who.identity); }
    void SessionClosed(const LineOrigin& who, SessionEnd why) override {
        closed.emplace_back(who.identity, why);
    }
    void Released(const LineOrigin& who, const std::string& line) override {
        released.emplace_back(who.identity, test::GbkToUtf8(line));
    }
    bool Refused(LineRefusal reason) const {
        return std::any_of(refusals.begin(), refusals.end(),
                           [&](const Refusal& r) { return r.reason == reason; });
    }

    std::vector<std::string> arrived;
    std::vector<Refusal> refusals;
    std::vector<std::string> opened;
    std::vector<std::pair<std::string, SessionEnd>> closed;
    std::vector<std::pair<std::string, std::string>> released;
};

const SentPacket kKeyboardHeld{CMD_KEYBOARD_HID, Bytes("02 00 04 00 00 00 00 00"), 0};
const SentPacket kKeyboardUp{CMD_KEYBOARD_HID, Bytes("00 00 00 00 00 00 00 00"), 0};
const SentPacket kMouseHeld{CMD_MOUSE_HID, Bytes("01 00 00 00"), 0};
const SentPacket kMouseUp{CMD_MOUSE_HID, Bytes("00 00 00 00"), 0};

class DtlsLineServerTest : public ::testing::Test {
protected:
    void Start(KeySet keys, DtlsLimits limits = {}) {
        server.UseDtls(std::move(keys), limits);
        server.SetAccepting(true);
        ASSERT_EQ(server.Listen(0), std::nullopt);
        port = server.Endpoint()->BoundPort();
    }

    // A client of the tool's own, left open until `EndInput`.
    std::unique_ptr<LineClient> Client(const std::string& identity, const std::string& keyHex,
                                       std::chrono::milliseconds timeout = 5000ms, quint16 to = 0,
                                       quint16 from = 0) {
        LineClient::Options options;
        options.address = QHostAddress::LocalHost;
        options.port = to != 0 ? to : port;
        options.psk = LineClient::Psk{identity, KeyOf(keyHex)};
        options.timeout = timeout;
        options.localPort = from;
        auto client = std::make_unique<LineClient>(options);
        client->SetFinished(
            [this, raw = client.get()](const LineClient::Outcome& outcome) { outcomes[raw] = outcome; });
        client->Start();
        return client;
    }

    // Sends the lines and waits for the client's end.
    LineClient::Outcome SendAll(LineClient& client, const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            client.Send(line);
        client.EndInput();
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcomes.count(&client) == 1; }, 15000));
        return outcomes[&client];
    }

    // The packets of raw reports, checksums left out.
    std::vector<SentPacket> RawReports() const {
        std::vector<SentPacket> reports;
        for (SentPacket packet : packets.packets()) {
            if (packet.code != CMD_KEYBOARD_HID && packet.code != CMD_MOUSE_HID) continue;
            packet.checksum = 0;
            reports.push_back(packet);
        }
        return reports;
    }

    // openssl s_client as a real peer; its standard output holds the server's answers.
    std::unique_ptr<QProcess> OpensslClient(const std::string& identity, const std::string& keyHex) {
        auto process = std::make_unique<QProcess>();
        process->start("openssl", {"s_client", "-dtls1_2", "-nocommands", "-quiet", "-psk_identity",
                                   QString::fromStdString(identity), "-psk", QString::fromStdString(keyHex),
                                   "-connect", QString("127.0.0.1:%1").arg(port)});
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    }

    LogCollector lineLog;
    PacketCollector packets;
    Events events;
    LineServer server{packets, lineLog, events, QHostAddress::LocalHost};
    quint16 port = 0;
    std::map<LineClient*, LineClient::Outcome> outcomes;
};

TEST_F(DtlsLineServerTest, AnOpensslClientsLinesRunAndEachRecordIsAnswered) {
    Start(Keys({{"rig-7", kKeyHex}}));
    auto openssl = OpensslClient("rig-7", kKeyHex);
    openssl->write("键盘HID:02 00 04 00 00 00 00 00\r\n按键：A\n");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return openssl->readAllStandardOutput().contains("queued 2"); }, 10000));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return events.arrived.size() == 2 && server.Queue().Size() == 0; }, 5000));
    EXPECT_THAT(events.opened, ElementsAre("rig-7"));
    EXPECT_EQ(RawReports(), std::vector<SentPacket>{kKeyboardHeld});
    EXPECT_THAT(lineLog.Utf8Lines(), Contains("执行脚本：按键：A"));
    openssl->kill();
    openssl->waitForFinished();
}

TEST_F(DtlsLineServerTest, AnUnknownIdentityAndAWrongKeyRunNothingAndAreSaidWithTheIdentity) {
    Start(Keys({{"rig-7", kKeyHex}}), {64, 60000ms, 500ms});
    auto unknown = OpensslClient("rig-\x01nobody", kKeyHex);
    unknown->write("按键：A\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.Refused(LineRefusal::UnknownIdentity); }, 10000));
    auto wrong = OpensslClient("rig-7", kOtherKeyHex);
    wrong->write("按键：B\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.Refused(LineRefusal::WrongKey); }, 10000));
    for (const auto& refusal : events.refusals) {
        EXPECT_EQ(refusal.sender, "127.0.0.1");
        EXPECT_EQ(refusal.detail, refusal.reason == LineRefusal::WrongKey ? "rig-7" : "rig-\x01nobody");
    }
    EXPECT_EQ(server.Sessions(), 0u);
    EXPECT_THAT(events.arrived, IsEmpty());
    EXPECT_THAT(packets.packets(), IsEmpty());
    unknown->kill();
    wrong->kill();
    unknown->waitForFinished();
    wrong->waitForFinished();

    // The tool's own client says what the protocol lets it know.
    auto client = Client("nobody", kKeyHex, 1500ms);
    EXPECT_EQ(SendAll(*client, {"按键：A"}).failure, "unknown identity 'nobody'");
    auto wrongKey = Client("rig-7", kOtherKeyHex, 1500ms);
    EXPECT_THAT(SendAll(*wrongKey, {"按键：A"}).failure, HasSubstr("wrong key or unknown identity"));
    EXPECT_THAT(packets.packets(), IsEmpty());
}

TEST_F(DtlsLineServerTest, AFloodOfRandomBytesAndHandshakeStartsKeepsNoStateAndServingGoesOn) {
    Start(Keys({{"rig-7", kKeyHex}}));
    // A ClientHello as a real client sends it first, without the cookie it has not earned yet.
    QUdpSocket capture;
    ASSERT_TRUE(capture.bind(QHostAddress::LocalHost, 0));
    QDtls starter(QSslSocket::SslClientMode);
    starter.setDtlsConfiguration(DtlsSessions::Configuration());
    starter.setPeer(QHostAddress::LocalHost, capture.localPort());
    ASSERT_TRUE(starter.doHandshake(&capture));
    ASSERT_TRUE(QTest::qWaitFor([&] { return capture.hasPendingDatagrams(); }, 5000));
    QByteArray hello(capture.pendingDatagramSize(), '\0');
    capture.readDatagram(hello.data(), hello.size());

    std::mt19937 random(7);
    std::vector<std::unique_ptr<QUdpSocket>> senders;
    for (int i = 0; i < 200; ++i) {
        auto sender = std::make_unique<QUdpSocket>();
        ASSERT_TRUE(sender->bind(QHostAddress::LocalHost, 0));
        QByteArray noise(1 + random() % 300, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        sender->writeDatagram(noise, QHostAddress::LocalHost, port);
        sender->writeDatagram(hello, QHostAddress::LocalHost, port);
        senders.push_back(std::move(sender));
    }
    QTest::qWait(300);
    EXPECT_EQ(server.Sessions(), 0u) << "no state for a sender that has not answered the cookie";
    EXPECT_TRUE(events.Refused(LineRefusal::NotDtls));

    auto client = Client("rig-7", kKeyHex);
    const LineClient::Outcome outcome = SendAll(*client, {"按键：A"});
    EXPECT_EQ(outcome.failure, "");
    EXPECT_EQ(outcome.queued, 1u);
}

TEST_F(DtlsLineServerTest, ARecordCapturedAndSentAgainRunsNothing) {
    Start(Keys({{"rig-7", kKeyHex}}));
    // A relay between the client and the server keeps the records the client sends.
    QUdpSocket relay;
    ASSERT_TRUE(relay.bind(QHostAddress::LocalHost, 0));
    QHostAddress clientAddress;
    quint16 clientPort = 0;
    std::vector<QByteArray> applicationRecords;
    QObject::connect(&relay, &QUdpSocket::readyRead, [&] {
        while (relay.hasPendingDatagrams()) {
            QByteArray datagram(relay.pendingDatagramSize(), '\0');
            QHostAddress from;
            quint16 fromPort = 0;
            relay.readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
            if (fromPort == port) {
                relay.writeDatagram(datagram, clientAddress, clientPort);
                continue;
            }
            clientAddress = from;
            clientPort = fromPort;
            if (!datagram.isEmpty() && datagram[0] == 23) applicationRecords.push_back(datagram);
            relay.writeDatagram(datagram, QHostAddress::LocalHost, port);
        }
    });
    auto client = Client("rig-7", kKeyHex, 5000ms, relay.localPort());
    client->Send("键盘HID:02 00 04 00 00 00 00 00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return RawReports().size() == 1; }, 10000));
    ASSERT_EQ(applicationRecords.size(), 1u);
    for (int i = 0; i < 3; ++i)
        relay.writeDatagram(applicationRecords.front(), QHostAddress::LocalHost, port);
    QTest::qWait(300);
    EXPECT_EQ(events.arrived.size(), 1u) << "DTLS's replay window drops the copies";
    EXPECT_EQ(RawReports().size(), 1u);
    client->EndInput();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcomes.count(client.get()) == 1; }, 10000));
}

TEST_F(DtlsLineServerTest, TheSessionPastTheLimitIsRefused) {
    Start(Keys({{"rig-7", kKeyHex}}));
    std::vector<std::unique_ptr<LineClient>> clients;
    for (int i = 0; i < 64; ++i)
        clients.push_back(Client("rig-7", kKeyHex));
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.opened.size() == 64; }, 30000)) << events.opened.size();
    auto extra = Client("rig-7", kKeyHex, 1000ms);
    const LineClient::Outcome outcome = SendAll(*extra, {"按键：A"});
    EXPECT_NE(outcome.failure, "");
    EXPECT_TRUE(events.Refused(LineRefusal::TableFull));
    EXPECT_EQ(server.Sessions(), 64u);
    EXPECT_THAT(events.arrived, IsEmpty());
}

TEST_F(DtlsLineServerTest, AnIdleSessionEndsAndWhatItHeldDownIsReleased) {
    Start(Keys({{"rig-7", kKeyHex}}), {64, 300ms, 10000ms});
    auto client = Client("rig-7", kKeyHex);
    client->Send("键盘HID:02 00 04 00 00 00 00 00");
    client->Send("鼠标HID:01 00 00 00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !events.closed.empty(); }, 10000));
    EXPECT_EQ(events.closed.front().second, SessionEnd::Idle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return RawReports().size() == 4; }, 5000));
    EXPECT_THAT(RawReports(), ElementsAre(kKeyboardHeld, kMouseHeld, kKeyboardUp, kMouseUp));
    EXPECT_THAT(events.released,
                ElementsAre(std::pair<std::string, std::string>{"rig-7", "键盘HID:00 00 00 00 00 00 00 00"},
                            std::pair<std::string, std::string>{"rig-7", "鼠标HID:00 00 00 00"}));
}

TEST_F(DtlsLineServerTest, RevokingAKeyEndsItsSessionAndAReportAnotherSentSinceIsLeftAlone) {
    Start(Keys({{"rig-7", kKeyHex}, {"rig-8", kOtherKeyHex}}));
    auto first = Client("rig-7", kKeyHex);
    auto second = Client("rig-8", kOtherKeyHex);
    first->Send("键盘HID:02 00 04 00 00 00 00 00");
    first->Send("鼠标HID:01 00 00 00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return RawReports().size() == 2; }, 10000));
    second->Send("键盘HID:02 00 04 00 00 00 00 00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return RawReports().size() == 3; }, 10000));

    server.ReplaceKeys(Keys({{"rig-8", kOtherKeyHex}}));
    ASSERT_THAT(events.closed, ElementsAre(std::pair<std::string, SessionEnd>{"rig-7", SessionEnd::Revoked}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return RawReports().size() == 4; }, 5000));
    EXPECT_EQ(RawReports().back(), kMouseUp) << "the keyboard's last report is rig-8's";
    EXPECT_EQ(server.Sessions(), 1u);

    // At the end of the run what the live session holds is released at once.
    server.Finish();
    EXPECT_EQ(RawReports().back(), kKeyboardUp);
    EXPECT_EQ(RawReports().size(), 5u);
    EXPECT_EQ(server.Sessions(), 0u);
}

// A client that starts over from the same address and port (restarted, its session never closed)
// gets a new session at once: the old one ends, and what it held down is let go.
TEST_F(DtlsLineServerTest, ASenderThatStartsOverFromTheSamePortGetsANewSession) {
    Start(Keys({{"rig-7", kKeyHex}}));
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress::AnyIPv4, 0));
    const quint16 from = probe.localPort();
    probe.close();
    auto first = Client("rig-7", kKeyHex, 5000ms, 0, from);
    first->Send("键盘HID:02 00 04 00 00 00 00 00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return RawReports().size() == 1; }, 10000));
    first.reset();  // gone without a word
    auto second = Client("rig-7", kKeyHex, 5000ms, 0, from);
    const LineClient::Outcome outcome = SendAll(*second, {"按键：A"});
    EXPECT_EQ(outcome.failure, "");
    EXPECT_EQ(outcome.queued, 1u);
    ASSERT_GE(events.closed.size(), 1u);
    EXPECT_EQ(events.closed.front(), (std::pair<std::string, SessionEnd>{"rig-7", SessionEnd::Closed}));
    EXPECT_EQ(events.opened.size(), 2u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return RawReports().size() == 2; }, 5000));
    EXPECT_EQ(RawReports().back(), kKeyboardUp);
}

TEST_F(DtlsLineServerTest, ARecordIsQueuedWholeOrRefusedWithTheReason) {
    Start(Keys({{"rig-7", kKeyHex}}));
    auto client = Client("rig-7", kKeyHex);
    const LineClient::Outcome outcome = SendAll(*client, {"按键：A", "按键：\xFF", "按键：\xF0\x9F\x98\x80"});
    EXPECT_EQ(outcome.queued, 1u);
    EXPECT_EQ(outcome.refused, 2u);
    EXPECT_THAT(outcome.refusals,
                ElementsAre("line 2: not valid UTF-8", "line 3: holds a character GBK cannot represent"));
    EXPECT_TRUE(events.Refused(LineRefusal::RecordNotUtf8));
    EXPECT_EQ(events.arrived.size(), 1u);
}

}  // namespace
}  // namespace tavrel
