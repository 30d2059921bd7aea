#include "cli/serve_command.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <thread>

#include <QTimer>
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "remote/notice_tally.h"
#include "remote/sender_allow_list.h"
#include "script/line_compiler.h"
#include "sim/simulated_hid_bus.h"
#include "support/log_collector.h"
#include "support/shared_text_buffer.h"

namespace tavrel {
namespace {

using test::Utf8ToGbk;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

using Report = std::vector<std::uint8_t>;
constexpr const char* kGadget1 = "sim:gadget-1";
constexpr const char* kGadget2 = "sim:gadget-2";
constexpr auto kDeadline = std::chrono::seconds(10);

// The reports a gadget gets for one script line, as the line compiler makes them.
class ReportCollector : public PacketSink {
public:
    void SendPacket(const CommandPacket& packet) override {
        Report report(65, 0);
        std::copy(packet.bytes().begin(), packet.bytes().end(), report.begin() + 1);
        reports.push_back(std::move(report));
    }
    std::vector<Report> reports;
};

std::vector<Report> ReportsOf(const std::string& utf8Line) {
    ReportCollector collector;
    SilentLogSink silent;
    CompileScriptLine(Utf8ToGbk(utf8Line), collector, silent);
    return collector.reports;
}

using test::SharedTextBuffer;

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

bool WaitUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// One datagram from `from` (a loopback address) to 127.0.0.1:port.
void SendDatagram(int port, const std::string& bytes, const char* from = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from, &source.sin_addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source), 0) << strerror(errno);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    EXPECT_EQ(
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target),
        static_cast<ssize_t>(bytes.size()))
        << strerror(errno);
    close(fd);
}

// serve over a simulated bus the test plugs and unplugs, on real loopback sockets. serve runs on
// the test's thread; the test's steps run on a helper thread meanwhile, and serve is stopped by a
// signal once they are done.
class ServeTest : public ::testing::Test {
protected:
    struct Run {
        int status;
        std::string err;
    };

    // What the helper thread sees of the running server.
    class Driver {
    public:
        Driver(ServeTest& test) : m_test(test) {}
        std::string Log() const { return m_test.m_errBuffer.Text(); }
        bool WaitForLog(const std::string& what, std::size_t times = 1) {
            const bool seen = WaitUntil([&] { return Occurrences(Log(), what) >= times; });
            EXPECT_TRUE(seen) << "never logged " << times << " times: " << what << "\nlog:\n" << Log();
            return seen;
        }
        // The port from the "listening on" line.
        int Port() {
            if (m_port == 0 && WaitForLog("listening on 127.0.0.1:")) {
                const std::string log = Log();
                m_port = std::stoi(log.substr(log.find("listening on 127.0.0.1:") + 23));
            }
            return m_port;
        }
        void Send(const std::string& utf8, const char* from = "127.0.0.1") {
            SendDatagram(Port(), Utf8ToGbk(utf8), from);
        }
        void SendBytes(const std::string& bytes) { SendDatagram(Port(), bytes); }
        // Waits until the gadget's reports since `since` are `expected`.
        bool WaitForReports(const std::string& path, std::size_t since, const std::vector<Report>& expected) {
            std::vector<Report> got;
            const bool seen = WaitUntil([&] {
                const std::vector<Report> all = m_test.bus.ReceivedReports(path);
                got.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(since, all.size())), all.end());
                return got.size() >= expected.size();
            });
            EXPECT_TRUE(seen) << path << " got " << got.size() << " of " << expected.size() << " reports";
            EXPECT_EQ(got, expected) << path;
            return seen && got == expected;
        }
        std::size_t ReportCount(const std::string& path) { return m_test.bus.ReceivedReports(path).size(); }

    private:
        ServeTest& m_test;
        int m_port = 0;
    };

    void Plug(const char* path) { bus.Plug(SimulatedGadget(path)); }

    // Runs serve with `args` while `steps` drive it from a helper thread; serve is then stopped
    // with `stopSignal`.
    Run Serve(std::vector<std::string> args, const std::function<void(Driver&)>& steps,
              int stopSignal = SIGTERM) {
        const std::unique_ptr<HidPlatform> platform = bus.CreatePlatform();
        std::atomic<bool> done = false;
        Driver driver(*this);
        std::thread helper([&] {
            steps(driver);
            done = true;
        });
        // Raised from serve's own event loop, so never once it has returned and the signal would
        // end the test run.
        QTimer stopper;
        QObject::connect(&stopper, &QTimer::timeout, [&] {
            if (done.exchange(false)) raise(stopSignal);
        });
        stopper.start(2);
        std::istringstream in;
        std::ostringstream out;
        const int status = RunServeCommand(*platform, args, CliStreams{in, out, m_err, false});
        stopper.stop();
        helper.join();
        return {status, m_errBuffer.Text()};
    }

    SimulatedHidBus bus;
    SharedTextBuffer m_errBuffer;
    std::ostream m_err{&m_errBuffer};
};

const std::vector<std::string> kLoopback = {"--udp-bind", "127.0.0.1", "--port", "0"};

std::vector<std::string> Args(std::vector<std::string> more) {
    std::vector<std::string> args = kLoopback;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST_F(ServeTest, EveryGadgetGetsEachLinesReports) {
    Plug(kGadget1);
    Plug(kGadget2);
    const Run run = Serve(kLoopback, [](Driver& driver) {
        if (!driver.WaitForLog("serving sim:gadget-1") || !driver.WaitForLog("serving sim:gadget-2")) return;
        const std::size_t since1 = driver.ReportCount(kGadget1);
        const std::size_t since2 = driver.ReportCount(kGadget2);
        driver.Send("按键：A");
        driver.WaitForReports(kGadget1, since1, ReportsOf("按键：A"));
        driver.WaitForReports(kGadget2, since2, ReportsOf("按键：A"));
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.err, StartsWith("listening on 127.0.0.1:"));
    // Lines run are said only with --verbose.
    EXPECT_THAT(run.err, ::testing::Not(HasSubstr("按键")));
}

TEST_F(ServeTest, GadgetPulledOutAndBackIsServedAgain) {
    Plug(kGadget1);
    const Run run = Serve(Args({"--verbose"}), [this](Driver& driver) {
        if (!driver.WaitForLog("serving sim:gadget-1")) return;
        bus.Unplug(kGadget1);
        if (!driver.WaitForLog("sim:gadget-1 is gone")) return;
        driver.Send("按键：A");  // nowhere to go
        if (!driver.WaitForLog("执行脚本：按键：A")) return;
        const std::size_t since = driver.ReportCount(kGadget1);
        bus.Replug(kGadget1);
        if (!driver.WaitForLog("serving sim:gadget-1", 2)) return;
        driver.Send("按键：B");
        driver.WaitForReports(kGadget1, since, ReportsOf("按键：B"));
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.err, HasSubstr("serving sim:gadget-1\nsim:gadget-1 is gone\n"));
    EXPECT_EQ(Occurrences(run.err, "is gone"), 1u) << run.err;
}

TEST_F(ServeTest, DeviceAbsentAtStartIsServedOncePlugged) {
    const Run run = Serve(Args({"--device", kGadget2}), [this](Driver& driver) {
        if (driver.Port() == 0) return;
        Plug(kGadget1);
        Plug(kGadget2);
        if (!driver.WaitForLog("serving sim:gadget-2")) return;
        const std::size_t since1 = driver.ReportCount(kGadget1);
        const std::size_t since2 = driver.ReportCount(kGadget2);
        driver.Send("按键：A");
        driver.WaitForReports(kGadget2, since2, ReportsOf("按键：A"));
        EXPECT_EQ(driver.ReportCount(kGadget1), since1);
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.err, ::testing::Not(HasSubstr("serving sim:gadget-1")));
}

TEST_F(ServeTest, SendersOutsideTheAllowedNetworksAreRefusedAndCounted) {
    Plug(kGadget1);
    const Run run = Serve(Args({"--allow", "127.0.0.2/32"}), [](Driver& driver) {
        if (!driver.WaitForLog("serving sim:gadget-1")) return;
        const std::size_t since = driver.ReportCount(kGadget1);
        driver.Send("按键：A", "127.0.0.1");
        if (!driver.WaitForLog("refused 1 datagram from 127.0.0.1\n")) return;
        driver.Send("按键：B", "127.0.0.2");
        driver.WaitForReports(kGadget1, since, ReportsOf("按键：B"));
    });
    EXPECT_EQ(run.status, 0);
}

TEST_F(ServeTest, DatagramsAreCutAtTheirFirstZeroAndTooLongOnesDropped) {
    Plug(kGadget1);
    const Run run = Serve(kLoopback, [](Driver& driver) {
        if (!driver.WaitForLog("serving sim:gadget-1")) return;
        const std::size_t since = driver.ReportCount(kGadget1);
        std::string longest = Utf8ToGbk("按键：A");
        longest.resize(2048, '\0');
        driver.SendBytes(longest);
        driver.SendBytes(std::string(2049, 'x'));
        driver.SendBytes(Utf8ToGbk("按键：B") + std::string(1, '\0') + Utf8ToGbk("按键：C"));
        std::vector<Report> expected = ReportsOf("按键：A");
        for (Report& report : ReportsOf("按键：B"))
            expected.push_back(std::move(report));
        driver.WaitForReports(kGadget1, since, expected);
        driver.WaitForLog("dropped 1 datagram longer than 2048 bytes from 127.0.0.1\n");
    });
    EXPECT_EQ(run.status, 0);
}

// The sum of the counts of the log's lines that begin with `prefix` and end with `suffix`
// ("dropped 3 datagrams longer than ... from X": prefix "dropped ", suffix the rest after the count).
std::size_t CountSum(const std::string& log, const std::string& prefix, const std::string& suffix,
                     std::size_t* lines = nullptr) {
    std::size_t sum = 0;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(prefix) || !line.ends_with(suffix)) continue;
        sum += std::stoul(line.substr(prefix.size()));
        if (lines != nullptr) ++*lines;
    }
    return sum;
}

// Repeated notices are counts, said at most once a second per kind and sender, however many
// ordinary lines come between them; the sender is judged before the size.
TEST_F(ServeTest, RepeatedNoticesAreCountsAtMostOnceASecondWhateverElseArrives) {
    Plug(kGadget1);
    const std::string tooLong = " longer than 2048 bytes from 127.0.0.1";
    const Run run = Serve(Args({"--allow", "127.0.0.1/32"}), [&](Driver& driver) {
        if (!driver.WaitForLog("serving sim:gadget-1")) return;
        for (int i = 0; i < 50; ++i) {
            driver.SendBytes(std::string(3000, 'x'));
            driver.Send("按键：A");  // taken between them: no reason to say the next at once
            driver.Send("按键：B", "127.0.0.2");
            SendDatagram(driver.Port(), std::string(3000, 'y'), "127.0.0.2");
        }
        EXPECT_TRUE(WaitUntil([&] {
            const std::string log = driver.Log();
            return CountSum(log, "dropped ", tooLong) == 50 &&
                   CountSum(log, "refused ", " from 127.0.0.2") == 100;
        })) << driver.Log();
    });
    EXPECT_EQ(run.status, 0);
    std::size_t tooLongLines = 0;
    std::size_t refusedLines = 0;
    EXPECT_EQ(CountSum(run.err, "dropped ", tooLong, &tooLongLines), 50u);
    EXPECT_EQ(CountSum(run.err, "refused ", " from 127.0.0.2", &refusedLines), 100u) << "long ones too";
    // The first at once, the rest a second later: more only on a machine so slow that sending took
    // seconds.
    EXPECT_LE(tooLongLines, 3u) << run.err;
    EXPECT_LE(refusedLines, 3u) << run.err;
    EXPECT_THAT(run.err, HasSubstr("dropped 1 datagram" + tooLong + "\n"));
    EXPECT_THAT(run.err, HasSubstr("refused 1 datagram from 127.0.0.2\n"));
}

TEST_F(ServeTest, WriteFailureIsSaidOnceUntilAWriteWorksAgain) {
    Plug(kGadget1);
    const std::string failed = "sim:gadget-1: write failed: Input/output error\n";
    const Run run = Serve(Args({"--verbose"}), [&](Driver& driver) {
        if (!driver.WaitForLog("serving sim:gadget-1")) return;
        bus.SetWriteFault(kGadget1, EIO);
        driver.Send("按键：A");
        driver.Send("按键：B");
        if (!driver.WaitForLog("执行脚本：按键：B")) return;
        bus.SetWriteFault(kGadget1, std::nullopt);
        const std::size_t since = driver.ReportCount(kGadget1);
        driver.Send("按键：C");
        if (!driver.WaitForReports(kGadget1, since, ReportsOf("按键：C"))) return;
        bus.SetWriteFault(kGadget1, EIO);
        driver.Send("按键：D");
        driver.WaitForLog(failed, 2);
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Occurrences(run.err, failed), 2u) << run.err;
    EXPECT_THAT(run.err, HasSubstr(failed + "执行脚本：按键：A\n执行脚本：按键：B\n"));
}

TEST_F(ServeTest, SignalEndsItAndTheEarlierDispositionIsBack) {
    for (const int signal : {SIGTERM, SIGINT}) {
        struct sigaction before {};
        sigaction(signal, nullptr, &before);
        const Run run = Serve(
            kLoopback, [](Driver& driver) { driver.Port(); }, signal);
        EXPECT_EQ(run.status, 0) << signal;
        struct sigaction after {};
        sigaction(signal, nullptr, &after);
        EXPECT_EQ(after.sa_handler, before.sa_handler) << signal;
    }
}

// A hang-up is said and ignored; a stop says how many queued lines it leaves unrun.
TEST_F(ServeTest, HangUpIsIgnoredAndAStopSaysWhatIsLeftInTheQueue) {
    Plug(kGadget1);
    struct sigaction before {};
    sigaction(SIGHUP, nullptr, &before);
    const Run run = Serve(Args({"--verbose"}), [](Driver& driver) {
        if (!driver.WaitForLog("serving sim:gadget-1")) return;
        raise(SIGHUP);
        if (!driver.WaitForLog("ignoring SIGHUP")) return;
        driver.Send("延时：5秒");
        if (!driver.WaitForLog("执行脚本：延时：5秒")) return;
        for (const char* line : {"按键：A", "按键：B", "按键：C", "按键：D"})
            driver.Send(line);
        // One socket reads in order: once this one is said, the lines before it are queued.
        driver.SendBytes(std::string(3000, 'x'));
        driver.WaitForLog("dropped 1 datagram longer than 2048 bytes");
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.err, HasSubstr("ignoring SIGHUP: serve has nothing to reload (SIGTERM stops it)\n"));
    EXPECT_THAT(run.err, ::testing::EndsWith("stopped with 4 queued lines not run\n"));
    struct sigaction after {};
    sigaction(SIGHUP, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST_F(ServeTest, TakenPortIsAFailureWithTheReason) {
    const int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ASSERT_EQ(bind(blocker, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const std::unique_ptr<HidPlatform> platform = bus.CreatePlatform();
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunServeCommand(*platform, {{"--udp-bind", "127.0.0.1", "--port", port}},
                                       CliStreams{in, out, err, false});
    close(blocker);
    EXPECT_EQ(status, 1);
    const std::string prefix = "tavrel-cli: cannot listen on 127.0.0.1:" + port + ": ";
    EXPECT_THAT(err.str(), StartsWith(prefix));
    EXPECT_GT(err.str().size(), prefix.size() + 1) << "no reason given";
    EXPECT_THAT(err.str(), ::testing::Not(HasSubstr("listening on")));
}

TEST_F(ServeTest, ReadyIsToldOnceThePortIsBound) {
    const std::filesystem::path socketPath =
        std::filesystem::temp_directory_path() / ("tavrel-serve-notify-" + std::to_string(getpid()));
    std::filesystem::remove(socketPath);
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(notify, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    std::string told;
    std::string logWhenTold;
    const Run run = Serve(kLoopback, [&](Driver& driver) {
        pollfd readable{notify, POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())), 1);
        logWhenTold = driver.Log();
        char message[256];
        const ssize_t size = recv(notify, message, sizeof message, 0);
        told.assign(message, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    });
    unsetenv("NOTIFY_SOCKET");
    close(notify);
    std::filesystem::remove(socketPath);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(told, "READY=1");
    EXPECT_THAT(logWhenTold, StartsWith("listening on 127.0.0.1:"));
}

struct BadArguments {
    std::vector<std::string> args;
    std::string said;
};

TEST_F(ServeTest, BadArgumentsAreUsageErrors) {
    const BadArguments cases[] = {
        {{"--port", "65536"}, "bad port '65536' (0 to 65535)"},
        {{"--port", "-1"}, "bad port '-1' (0 to 65535)"},
        {{"--port", "-0"}, "bad port '-0' (0 to 65535)"},
        {{"--port", "+80"}, "bad port '+80' (0 to 65535)"},
        {{"--port", " 80"}, "bad port ' 80' (0 to 65535)"},
        {{"--port"}, "--port needs a value"},
        {{"--udp-bind", "::1"}, "bad address '::1' (a unicast IPv4 address)"},
        {{"--udp-bind", "127.1"}, "bad address '127.1' (a unicast IPv4 address)"},
        {{"--udp-bind", "255.255.255.255"}, "bad address '255.255.255.255' (a unicast IPv4 address)"},
        {{"--udp-bind", "224.0.0.1"}, "bad address '224.0.0.1' (a unicast IPv4 address)"},
        {{"--allow", "10.0.0.0/33"}, "bad --allow '10.0.0.0/33' (an IPv4 ADDRESS or ADDRESS/BITS)"},
        {{"--allow", "10.0.0.0/"}, "bad --allow '10.0.0.0/' (an IPv4 ADDRESS or ADDRESS/BITS)"},
        {{"--allow", "10.0.0"}, "bad --allow '10.0.0' (an IPv4 ADDRESS or ADDRESS/BITS)"},
        {{"--allow", "10.0.0.1/-0"}, "bad --allow '10.0.0.1/-0' (an IPv4 ADDRESS or ADDRESS/BITS)"},
        {{"--allow", "10.0.0.1/+8"}, "bad --allow '10.0.0.1/+8' (an IPv4 ADDRESS or ADDRESS/BITS)"},
        {{"--simulate"}, "--simulate and --sim-trace cannot be used here"},
        {{"--sim-trace", "x"}, "--simulate and --sim-trace cannot be used here"},
        {{"extra"}, "unknown argument 'extra'"},
    };
    for (const BadArguments& bad : cases) {
        const std::unique_ptr<HidPlatform> platform = bus.CreatePlatform();
        std::istringstream in;
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunServeCommand(*platform, bad.args, CliStreams{in, out, err, false}), 2) << bad.said;
        EXPECT_THAT(err.str(), StartsWith("tavrel-cli: " + bad.said + "\nUsage: tavrel-cli serve "))
            << bad.said;
    }
}

TEST(SenderAllowList, MatchesTheGivenNetworks) {
    SenderAllowList list;
    EXPECT_TRUE(list.Allows("203.0.113.9")) << "an empty list allows every sender";
    ASSERT_TRUE(list.Add("192.168.1.0/24"));
    ASSERT_TRUE(list.Add("10.0.0.7"));
    ASSERT_TRUE(list.Add("172.16.0.0/0"));
    SenderAllowList narrow;
    ASSERT_TRUE(narrow.Add("192.168.1.0/24"));
    ASSERT_TRUE(narrow.Add("10.0.0.7"));
    EXPECT_TRUE(list.Allows("8.8.8.8")) << "/0 is every address";
    EXPECT_TRUE(narrow.Allows("192.168.1.255"));
    EXPECT_TRUE(narrow.Allows("::ffff:10.0.0.7"));
    EXPECT_FALSE(narrow.Allows("192.168.2.1"));
    EXPECT_FALSE(narrow.Allows("10.0.0.8"));
    EXPECT_FALSE(narrow.Allows("::1"));
}

TEST(NoticeTally, SaysEachKindAndSenderAtMostOnceASecondAndSumsTheRest) {
    using namespace std::chrono_literals;
    using Notice = NoticeTally::Notice;
    NoticeTally tally;
    const NoticeTally::TimePoint start{};
    EXPECT_EQ(tally.Count(0, "10.0.0.1", start), (Notice{0, "10.0.0.1", 1, {}}));
    EXPECT_EQ(tally.Count(1, "10.0.0.1", start), (Notice{1, "10.0.0.1", 1, {}})) << "another kind";
    EXPECT_EQ(tally.Count(0, "10.0.0.1", start + 100ms), std::nullopt);
    EXPECT_EQ(tally.Count(0, "10.0.0.1", start + 200ms), std::nullopt);
    EXPECT_EQ(tally.NextDue(), start + 1s);
    EXPECT_TRUE(tally.TakeDue(start + 999ms).empty());
    EXPECT_THAT(tally.TakeDue(start + 1s), ::testing::ElementsAre(Notice{0, "10.0.0.1", 2, {}}));
    EXPECT_EQ(tally.NextDue(), std::nullopt);

    for (int i = 2; i <= 64; ++i)
        tally.Count(0, "10.0.1." + std::to_string(i), start + 1s);
    // 64 named now; the 65th and later are summed while every named one has counts held back.
    EXPECT_EQ(tally.Count(0, "10.0.1.2", start + 1s), std::nullopt);
    EXPECT_EQ(tally.Count(0, "10.0.2.1", start + 1s), (Notice{0, NoticeTally::kOtherSenders, 1, {}}));
    EXPECT_EQ(tally.Count(0, "10.0.2.2", start + 1500ms), std::nullopt);
    EXPECT_THAT(tally.TakeDue(start + 2s),
                ::testing::IsSupersetOf(
                    {Notice{0, "10.0.1.2", 1, {}}, Notice{0, NoticeTally::kOtherSenders, 1, {}}}));
    tally.Count(0, "10.0.3.1", start + 2100ms);
    EXPECT_EQ(tally.Count(0, "10.0.3.1", start + 2200ms), std::nullopt);
    EXPECT_THAT(tally.TakeAll(), ::testing::ElementsAre(Notice{0, "10.0.3.1", 1, {}}))
        << "at the end, due or not";
}

}  // namespace
}  // namespace tavrel
