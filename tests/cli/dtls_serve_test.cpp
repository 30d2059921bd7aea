#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cli/cli.h"
#include "cli/real_program.h"

// serve with pre-shared keys and send --to, against real DTLS peers: openssl s_client and s_server.
namespace tavrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kKey = "00112233445566778899aabbccddeeff";
const std::string kOtherKey = "ffeeddccbbaa99887766554433221100";

std::string KeyFile(const std::string& name, const std::string& text, mode_t mode = 0600) {
    const std::string path = ::testing::TempDir() + name;
    std::filesystem::remove(path);
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunCli(args, in, out, err);
    return {status, out.str(), err.str()};
}

// Plain datagrams take lines from anyone who can send one: off the loopback only when asked for,
// and a key file is read whole and kept from others before anything is served.
TEST(ServeKeys, PlainUdpOffTheLoopbackAndBadKeyFilesAreRefusedBeforeServing) {
    const std::string plainRefusal =
        "plain UDP on 0.0.0.0 takes lines from anyone who can reach it, and --allow trusts addresses a "
        "sender can forge: give --keys FILE, or --plain to accept that";
    ToolRun run = RunTool({"serve", "--simulate", "--udp-bind", "0.0.0.0", "--allow", "10.0.0.1"});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr(plainRefusal));

    const std::string readable = KeyFile("serve_keys_readable", "rig-7 " + kKey + "\n", 0604);
    const std::string badLine = KeyFile("serve_keys_bad", "# rigs\nrig-7 " + kKey.substr(0, 30) + "\n");
    const std::string good = KeyFile("serve_keys_good", "rig-7 " + kKey + "\n", 0640);
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const Case cases[] = {
        {{"serve", "--simulate", "--keys", readable},
         readable + " may be read by others: chmod o-rwx,g-w " + readable},
        {{"serve", "--simulate", "--keys", badLine},
         badLine + ", line 2: the key has 30 hex digits, not 32 to 128"},
        {{"serve", "--simulate", "--keys", good, "--plain"}, "--keys and --plain cannot be used together"},
        {{"send", "--to", "127.0.0.1", "--all", "A"}, "--all cannot be used with it"},
        {{"send", "--to", "127.0.0.1", "--keys", good, "A"}, "--keys and --identity go together"},
        {{"send", "--to", "127.0.0.1", "--keys", good, "--identity", "rig-9", "A"},
         good + " holds no key for the identity 'rig-9'"},
    };
    for (const Case& c : cases) {
        run = RunTool(c.args);
        EXPECT_EQ(run.status, 2) << c.said;
        EXPECT_THAT(run.err, HasSubstr(c.said));
        EXPECT_THAT(run.err, Not(HasSubstr(kKey.substr(0, 12)))) << "a key is never shown";
    }
    // With --plain the guard steps aside: what follows is the bind's own success or failure.
    run = RunTool({"serve", "--simulate", "--udp-bind", "192.0.2.1", "--plain"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("cannot listen on 192.0.2.1:10200"));
}

class DtlsServe : public RealProgram {};

// A real client's line reaches both gadgets; a stranger is said and runs nothing; SIGHUP with the
// identity gone ends its session at once, and what it held down is let go on both gadgets.
TEST_F(DtlsServe, AnOpensslClientsLineReachesBothGadgetsAndSighupRevokesItsKey) {
    const std::string keys = KeyFile("serve_keys_live", "rig-7 " + kKey + "\nrig-8 " + kOtherKey + "\n");
    const std::string trace = m_folder + "serve_dtls_trace.txt";
    std::filesystem::remove(trace);
    Pipe err;
    const pid_t serve = Start({"serve", "--verbose", "--simulate=2", "--sim-trace", trace, "--keys", keys,
                               "--udp-bind", "127.0.0.1", "--port", "0"},
                              -1, -1, err.fds[1]);
    err.CloseWrite();
    std::string said;
    const int port = ListeningPort(err, said);
    ASSERT_NE(port, 0) << said;
    EXPECT_THAT(said, HasSubstr("(DTLS, 2 keys from " + keys + ")"));

    Pipe input;
    Pipe answers;
    const pid_t client =
        StartProgram("openssl",
                     {"s_client", "-dtls1_2", "-nocommands", "-quiet", "-psk_identity", "rig-7", "-psk", kKey,
                      "-connect", "127.0.0.1:" + std::to_string(port)},
                     input.fds[0], answers.fds[1], -1);
    answers.CloseWrite();
    const std::string line = "键盘HID:02 00 04 00 00 00 00 00\n";
    ASSERT_EQ(write(input.fds[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    std::string answered;
    EXPECT_TRUE(
        WaitUntil([&] { return (answered += answers.Drain()).find("queued 1") != std::string::npos; }));
    const std::string held = "\t00 1B 08 58 00 02 00 04 00 00 00 00 00";
    ASSERT_TRUE(WaitUntil([&] {
        const std::string text = ReadFile(trace);
        return text.find("sim:gadget-1" + held) != std::string::npos &&
               text.find("sim:gadget-2" + held) != std::string::npos;
    })) << ReadFile(trace);

    // A stranger runs nothing and is said, its identity escaped.
    const pid_t stranger =
        StartProgram("openssl",
                     {"s_client", "-dtls1_2", "-nocommands", "-quiet", "-psk_identity", "nobody\x1b[2J",
                      "-psk", kKey, "-connect", "127.0.0.1:" + std::to_string(port)},
                     -1, -1, -1);
    EXPECT_TRUE(WaitUntil([&] {
        return (said += err.Drain())
                   .find("refused 1 handshake from 127.0.0.1: unknown identity 'nobody\\x1B[2J'") !=
               std::string::npos;
    })) << said;
    kill(stranger, SIGKILL);
    Await(stranger);

    // rig-7's key is removed: its session ends at the reload and the held key is released.
    KeyFile("serve_keys_live", "rig-8 " + kOtherKey + "\n");
    kill(serve, SIGHUP);
    EXPECT_TRUE(WaitUntil([&] {
        said += err.Drain();
        return said.find("ended: its key was removed or changed") != std::string::npos &&
               said.find("held down: 键盘HID:00 00 00 00 00 00 00 00") != std::string::npos;
    })) << said;
    EXPECT_THAT(said, HasSubstr("read 1 key from " + keys));
    const std::string released = "\t00 1B 08 5E 00 00 00 00 00 00 00 00 00";
    EXPECT_TRUE(WaitUntil([&] {
        const std::string text = ReadFile(trace);
        return text.find("sim:gadget-1" + released) != std::string::npos &&
               text.find("sim:gadget-2" + released) != std::string::npos;
    }));

    // A key file turned bad keeps the keys read before.
    KeyFile("serve_keys_live", "rig-8\n");
    kill(serve, SIGHUP);
    EXPECT_TRUE(WaitUntil([&] {
        return (said += err.Drain()).find("keeping the keys read before: " + keys + ", line 1:") !=
               std::string::npos;
    })) << said;

    kill(client, SIGKILL);
    Await(client);
    kill(serve, SIGTERM);
    const int status = Await(serve);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// send --to against openssl s_server: the lines arrive as written. s_server answers nothing, so
// they count as unanswered and the run fails.
TEST_F(DtlsServe, SendToAnOpensslServerDeliversTheLinesAsWritten) {
    const std::string keys = KeyFile("send_keys", "rig-7 " + kKey + "\n");
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    close(probe);

    Pipe received;
    Pipe quiet;  // s_server stops at the end of its input
    const pid_t server = StartProgram("openssl",
                                      {"s_server", "-dtls1_2", "-nocert", "-quiet", "-naccept", "1", "-psk",
                                       kKey, "-psk_identity", "rig-7", "-accept", port},
                                      quiet.fds[0], received.fds[1], -1);
    received.CloseWrite();
    // s_server is ready once it holds the port (this process can no longer bind it).
    ASSERT_TRUE(WaitUntil([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
        close(fd);
        return taken;
    }));
    Pipe out;
    Pipe err;
    const pid_t send = Start({"send", "--to", "127.0.0.1:" + port, "--keys", keys, "--identity", "rig-7",
                              "--timeout", "500", "按键：A", "延时：10毫秒"},
                             -1, out.fds[1], err.fds[1]);
    out.CloseWrite();
    err.CloseWrite();
    const int status = Await(send);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << err.ReadToEnd();
    EXPECT_EQ(out.ReadToEnd(), "sent 2 lines to 127.0.0.1:" + port + ": 0 queued, 0 refused, 2 unanswered\n");
    std::string text;
    EXPECT_TRUE(WaitUntil([&] { return (text += received.Drain()) == "按键：A延时：10毫秒"; })) << text;
    kill(server, SIGKILL);
    Await(server);
}

}  // namespace
}  // namespace tavrel
