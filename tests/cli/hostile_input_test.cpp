// What tavrel-cli does with input meant to hurt it: endless or huge streams, folders, random
// bytes, control characters in every field. Each is refused (or run) with an exact exit status
// and a message that cannot pass for the tool's own lines.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/cli_input.h"
#include "cli/live_lines.h"
#include "cli/real_program.h"
#include "common/text_escape.h"

namespace tavrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// An input that never ends (until told to): a line, over and over. Counts the bytes it has given
// its reader, so a test can show how far a reader went.
class EndlessInput : public std::streambuf {
public:
    explicit EndlessInput(std::string line) : m_line(std::move(line)) {
        while (m_block.size() < 4096)
            m_block += m_line;
    }
    std::size_t Given() const { return m_given; }
    void End() { m_ended = true; }

protected:
    int_type underflow() override {
        if (m_ended) return traits_type::eof();
        m_given += m_block.size();
        setg(m_block.data(), m_block.data(), m_block.data() + m_block.size());
        return traits_type::to_int_type(m_block[0]);
    }

private:
    std::string m_line;
    std::string m_block;
    std::atomic<std::size_t> m_given{0};
    std::atomic<bool> m_ended{false};
};

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun RunTool(const std::vector<std::string>& args, std::istream& in) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunCli(args, in, out, err);
    return {status, out.str(), err.str()};
}

CliRun RunTool(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    return RunTool(args, in);
}

std::string TempFile(const std::string& name, const std::string& content) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

constexpr std::size_t kOneBuffer = 64 << 10;  // how far past its bound a reader may run

TEST(HostileInput, EndlessInputsAreCutAtTheirBound) {
    const struct {
        std::vector<std::string> args;
        std::string line;
        std::size_t bound;
        const char* message;
    } cases[] = {
        {{"compile"}, "按键：A\n", kTextInputLimit, "standard input is larger than 1 MiB"},
        {{"list"}, "E1 08 01\n", kTextInputLimit, "standard input is larger than 1 MiB"},
        {{"download", "--simulate", "-"},
         "按键：A\n",
         kTextInputLimit,
         "standard input is larger than 1 MiB"},
        {{"flash", "write", "--simulate", "-"},
         "00",
         kDataFlashInputLimit,
         "standard input is larger than 64 KiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        EndlessInput endless(c.line);
        std::istream in(&endless);
        const CliRun run = RunTool(c.args, in);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "tavrel-cli: " + std::string(c.message) + "\nTry 'tavrel-cli --help'.\n");
        EXPECT_LE(endless.Given(), c.bound + kOneBuffer + 4096);
        EXPECT_EQ(run.out, "");
    }
    // A file as large is cut the same way, and named.
    const std::string big = TempFile("hostile_big.txt", std::string(kTextInputLimit + 1, '\n'));
    EXPECT_EQ(RunTool({"compile", big}).err,
              "tavrel-cli: " + big + " is larger than 1 MiB\nTry 'tavrel-cli --help'.\n");
    // Exactly at the bound is still taken.
    EXPECT_EQ(RunTool({"compile"}, std::string(kTextInputLimit, ' ')).status, 0);
}

// Every argument, path and input word quoted in a message is escaped, at most 80 characters.
TEST(HostileInput, ControlCharactersInEveryFieldAreEscaped) {
    const std::string folder = ::testing::TempDir();
    const std::string longWord(200, 'z');
    const std::string cut = std::string(80, 'z') + "…";
    const std::string random = [] {
        std::string bytes;
        std::uint32_t state = 12345;
        for (int i = 0; i < 300; ++i) {
            state = state * 1103515245 + 12345;
            bytes += static_cast<char>(state >> 16);
        }
        return bytes;
    }();
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
        std::string err;  // a part of standard error
    } cases[] = {
        // A forged result line: the path comes back escaped, so it is one field of one line.
        {{"stop", "--simulate", "--device", "sim:gadget-1\tok\nsim:gadget-9"},
         "",
         3,
         "sim:gadget-1\\tok\\nsim:gadget-9\tfailed: not present\n",
         ""},
        {{"compile", "--frob\x1b[2J"}, "", 2, "", "unknown option '--frob\\x1B[2J' for compile"},
        {{"compile", "--version", "1\nDEVID: 1"}, "", 2, "", "not '1\\nDEVID: 1'"},
        {{"compile", "--encoding", "gbk\r"}, "", 2, "", "unknown encoding 'gbk\\x0D'"},
        {{"start", "--simulate", "--timeout", "5x\t"}, "", 2, "", "not '5x\\t'"},
        {{"id", "--simulate", "--frob=" + longWord},
         "",
         2,
         "",
         "unknown option '--frob=" + std::string(73, 'z') + "…'"},
        {{"start", "--simulate", longWord}, "", 2, "", "unexpected argument '" + cut + "'"},
        {{"compile", "no\nsuch"}, "", 2, "", "cannot read no\\nsuch: No such file or directory"},
        {{"compile", folder}, "", 2, "", "cannot read " + folder + ": it is a folder"},
        {{"flash", "write", "--simulate", folder}, "", 2, "", "it is a folder"},
        {{"flash", "write", "--simulate", "-"},
         "0x00 " + longWord + "\n",
         2,
         "",
         "line 1: '" + cut + "' is not hex bytes"},
        {{"flash", "write", "--simulate", "-"}, "00 1\x07\n", 2, "", "line 1: '1\\x07' is not hex bytes"},
        {{"flash", "write", "--simulate", "-"}, random, 2, "", "is not hex bytes"},
        {{"flash", "write", "--simulate", "--raw", "-"},
         random,
         2,
         "",
         "standard input holds 300 bytes; --raw takes exactly 128"},
        {{"flash", "write", "--simulate", "--raw", "--hex", "-"},
         "",
         2,
         "",
         "--raw and --hex exclude each other"},
        {{"send", "--simulate", std::string(2049, 'x')}, "", 2, "", "line 1: longer than 2048 bytes"},
        // The script's text quoted in the compiler's messages, in every command that compiles.
        {{"compile"}, "zz\r\x1b[K\n", 0, "E1 00 01 \n", "未知指令：zz\\r\\x1B[k"},
        {{"compile", "--encoding", "gbk"}, "zz\x81\n", 0, "E1 00 01 \n", "zz\\x81"},
        {{"download", "--simulate", "-"}, "zz\r\x1b[K\n", 2, "", "未知指令：zz\\r\\x1B[k"},
        {{"list"}, "E1 zz\x1b\n", 0, "脚本不正确：e1 zz\\x1B\n", ""},
        // A number on the command line is digits only.
        {{"compile", "--version", " 1"}, "", 2, "", "not ' 1'"},
        {{"compile", "--version", "+1"}, "", 2, "", "not '+1'"},
        {{"id", "--simulate=+2"}, "", 2, "", "not '+2'"},
        {{"id", "--simulate= 2"}, "", 2, "", "not ' 2'"},
        {{"id", "--simulate", "--timeout", "+5"}, "", 2, "", "not '+5'"},
        {{"serve", "--simulate=-0"}, "", 2, "", "not '-0'"},
        {{"serve", "--port", "-0"}, "", 2, "", "bad port '-0'"},
        {{"serve", "--allow", "10.0.0.1/-0"}, "", 2, "", "bad --allow '10.0.0.1/-0'"},
        {{"serve", "--udp-bind", "255.255.255.255"}, "", 2, "", "bad address '255.255.255.255'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(EscapeControlCharacters(::testing::PrintToString(c.args)));
        const CliRun run = RunTool(c.args, c.input);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_THAT(run.err, HasSubstr(c.err));
        // Nothing from outside starts a line of its own on either stream, or moves the cursor.
        for (const std::string forged : {"\nDEVID", "\nsim:gadget-9", "\x1b", "\r"})
            EXPECT_THAT(run.out + run.err, Not(HasSubstr(forged))) << EscapeControlCharacters(forged);
    }
}

// 128 bytes that are all hex digits and blanks could be the raw bytes or 64 bytes in hex: taken
// as raw, the gadget would store the digits' ASCII codes and say ok.
TEST(HostileInput, AnAmbiguousDataFlashInputIsRefusedUnlessTheFormIsGiven) {
    const std::string hex128 = [] {
        std::string text;
        for (int i = 0; i < 64; ++i)
            text += "A5";
        return text;
    }();
    EXPECT_EQ(RunTool({"flash", "write", "--simulate", "-"}, hex128).err,
              "tavrel-cli: standard input could be raw bytes or hex text: give --raw or --hex\nTry "
              "'tavrel-cli --help'.\n");
    const std::string file = TempFile("hostile_ambiguous.txt", std::string(120, '0') + "  \r\n\t00\n");
    EXPECT_THAT(RunTool({"flash", "write", "--simulate", file}).err,
                HasSubstr(file + " could be raw bytes or hex text"));
    EXPECT_EQ(RunTool({"flash", "write", "--simulate", "--raw", "-"}, hex128).out, "sim:gadget-1\tok\n");
    EXPECT_THAT(RunTool({"flash", "write", "--simulate", "--hex", "-"}, hex128).err,
                HasSubstr("standard input gives 64 bytes"));
    // One byte that is no hex digit, blank or line end makes it raw bytes beyond doubt.
    EXPECT_EQ(RunTool({"flash", "write", "--simulate", "-"}, hex128.substr(1) + "\x01").status, 0);
}

TEST(HostileInput, AnOutputThatCannotBeWrittenFailsItsGadget) {
    const CliRun full = RunTool({"flash", "read", "--simulate", "--output", "/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.out, "sim:gadget-1\tfailed: cannot write /dev/full: No space left on device\n");

    const CliRun trace = RunTool({"stop", "--simulate", "--sim-trace", "/dev/full"});
    EXPECT_EQ(trace.status, 1);
    EXPECT_EQ(trace.out, "sim:gadget-1\tok\n");
    EXPECT_EQ(
        trace.err,
        "tavrel-cli: cannot write the trace /dev/full: No space left on device; it is lost from here on\n");

    const std::string same = ::testing::TempDir() + "hostile_same.txt";
    const std::string link = ::testing::TempDir() + "hostile_same_link.txt";
    std::filesystem::remove(link);
    std::ofstream(same).close();
    std::filesystem::create_symlink(same, link);
    const CliRun both = RunTool({"flash", "read", "--simulate", "--output", link, "--sim-trace", same});
    EXPECT_EQ(both.status, 2);
    EXPECT_THAT(both.err, HasSubstr("--output and --sim-trace name the same file"));
}

// send's reader takes an endless input no faster than its lines are taken.
TEST(HostileInput, TheLineReaderWaitsWhileTenThousandLinesWait) {
    EndlessInput endless("按键：A\n");
    std::istream in(&endless);
    QObject context;
    std::size_t handed = 0;
    std::size_t lastNumber = 0;
    bool ended = false;
    LineReader::Handlers handlers;
    handlers.line = [&](std::string line, std::size_t number) {
        EXPECT_EQ(line, "按键：A");
        ++handed;
        lastNumber = number;
    };
    handlers.tooLong = [](std::size_t) { ADD_FAILURE() << "no line is too long"; };
    handlers.ended = [&] { ended = true; };
    std::optional<LineReader> reader(std::in_place, in, &context, std::move(handlers));
    const auto waitFor = [&](std::size_t count) {
        QDeadlineTimer deadline(30000);
        while (handed < count && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return handed;
    };
    ASSERT_EQ(waitFor(LineReader::kMaxWaiting), LineReader::kMaxWaiting);
    const std::size_t lineBytes = std::strlen("按键：A\n");
    const std::size_t bound = (LineReader::kMaxWaiting + 1) * lineBytes + 2 * (4096 + lineBytes);
    EXPECT_LE(endless.Given(), bound);
    for (int i = 0; i < 5; ++i)
        reader->Taken();
    ASSERT_EQ(waitFor(LineReader::kMaxWaiting + 5), LineReader::kMaxWaiting + 5);
    QCoreApplication::processEvents();
    EXPECT_EQ(handed, LineReader::kMaxWaiting + 5) << "five taken, five more handed over";
    EXPECT_EQ(lastNumber, handed);
    EXPECT_LE(endless.Given(), bound + 5 * lineBytes);
    endless.End();
    reader.reset();  // stops handing over; reads on to the end
    EXPECT_FALSE(ended);
}

TEST(HostileInput, ALongLineIsReadToItsEndWithoutBeingKept) {
    const std::string input = "a\r\n" + std::string(2048, 'b') + "\r\n" + std::string(2049, 'c') + "\n" +
                              std::string(100000, 'd') + "\ne";
    std::istringstream in(input);
    std::string line;
    const std::pair<LineRead, std::string> expected[] = {
        {LineRead::Line, "a"},   {LineRead::Line, std::string(2048, 'b')},
        {LineRead::TooLong, ""}, {LineRead::TooLong, ""},
        {LineRead::Line, "e"},   {LineRead::End, ""},
    };
    for (const auto& [read, text] : expected) {
        EXPECT_EQ(ReadBoundedLine(in, line, kLiveLineLimit), read);
        EXPECT_EQ(line, text);
    }
}

// The real program, started as a service manager, a shell pipeline or a careless operator would:
// with closed descriptors, pipes nobody reads, FIFOs and signals.
// Reading standard input fails (a folder, a non-blocking input with nothing in it): said with the
// system's reason, exit 2, never an abort.
TEST_F(RealProgram, UnreadableStandardInputIsSaidWithTheReason) {
    const struct {
        std::vector<std::string> args;
        bool folder;
        std::string said;
    } cases[] = {
        {{"send", "--simulate"}, true, "tavrel-cli: cannot read standard input: Is a directory\n"},
        {{"compile"}, true, "tavrel-cli: cannot read standard input: Is a directory\n"},
        {{"send", "--simulate"},
         false,
         "tavrel-cli: cannot read standard input: Resource temporarily unavailable\n"},
        {{"list"}, false, "tavrel-cli: cannot read standard input: Resource temporarily unavailable\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.folder ? " < folder" : " < empty non-blocking pipe"));
        Pipe empty;
        ASSERT_EQ(fcntl(empty.fds[0], F_SETFL, O_NONBLOCK), 0);
        const int folder = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Pipe err;
        const pid_t pid = Start(c.args, c.folder ? folder : empty.fds[0], err.fds[1], err.fds[1]);
        close(folder);
        err.CloseWrite();
        const std::string said = err.ReadToEnd();
        const int status = Await(pid);
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << said;
        EXPECT_EQ(WEXITSTATUS(status), 2);
        EXPECT_THAT(said, HasSubstr(c.said));
        EXPECT_THAT(said, Not(HasSubstr("terminate called")));
    }
}

// Started with standard output and error closed, the program's own files never take their place:
// the compiler's messages go nowhere, not into the trace.
TEST_F(RealProgram, ClosedStandardDescriptorsAreNotReused) {
    const std::string trace = m_folder + "closed_fds_trace.txt";
    // Its compile messages ("翻译完毕，…") go to standard error.
    const std::string script = TempFile("closed_fds_script.txt", "按键：A\n按键：B\n");
    std::filesystem::remove(trace);
    Pipe in;
    const pid_t pid = Start({"download", "--simulate", "--sim-trace", trace, script}, in.fds[0], -1, -1);
    const int status = Await(pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    const std::string traced = ReadFile(trace);
    ASSERT_FALSE(traced.empty());
    std::istringstream lines(traced);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.starts_with("sim:gadget-1\t")) << "not a trace line: " << line;
}

TEST_F(RealProgram, ATraceFifoNobodyReadsIsRefusedAndOneThatIsReadWorks) {
    const std::string fifo = m_folder + "hostile_trace_fifo";
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"id", "--simulate", "--sim-trace", fifo},
          std::vector<std::string>{"serve", "--simulate", "--sim-trace", fifo, "--udp-bind", "127.0.0.1",
                                   "--port", "0"}}) {
        SCOPED_TRACE(args.front());
        Pipe err;
        const pid_t pid = Start(args, -1, -1, err.fds[1]);
        err.CloseWrite();
        const std::string said = err.ReadToEnd();
        const int status = Await(pid, std::chrono::seconds(10));
        ASSERT_TRUE(WIFEXITED(status)) << "hung in open()";
        EXPECT_EQ(WEXITSTATUS(status), 2);
        EXPECT_THAT(said, HasSubstr("tavrel-cli: " + fifo + " is a FIFO nobody reads\n"));
    }
    // With a reader it is a trace like any other.
    std::string traced;
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        traced.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    });
    int status = -1;
    for (int attempt = 0; attempt < 500 && traced.empty(); ++attempt) {
        Pipe out;
        const pid_t pid = Start({"stop", "--simulate", "--sim-trace", fifo}, -1, out.fds[1], -1);
        out.CloseWrite();
        out.ReadToEnd();
        status = Await(pid);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) break;  // the reader had it open
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reader.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THAT(traced, ::testing::StartsWith("sim:gadget-1\t"));
}

// compile | head -1: the reader went away; the results did not reach it, which is a failure and
// said, not a death by SIGPIPE.
TEST_F(RealProgram, AClosedStandardOutputFailsTheRunInsteadOfEndingIt) {
    Pipe out;
    out.CloseRead();
    Pipe err;
    const std::string script = TempFile("closed_out_script.txt", "按键：A\n");
    const pid_t pid = Start({"compile", script}, -1, out.fds[1], err.fds[1]);
    out.CloseWrite();
    err.CloseWrite();
    const std::string said = err.ReadToEnd();
    const int status = Await(pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_THAT(said, HasSubstr("tavrel-cli: cannot write standard output\n"));
}

// serve --verbose 2>&1 | head -1: the reader goes away, and serve goes on serving; stopped, it
// says it failed (its log was lost) instead of dying of SIGPIPE at the next line.
TEST_F(RealProgram, ServeOutlivesAClosedStandardError) {
    Pipe err;
    const Served served = StartServe("serve_sigpipe_trace.txt", err);
    ASSERT_NE(served.port, 0);
    err.CloseRead();
    ASSERT_TRUE(RunsUpToAKey(served)) << "the first line after the break";
    EXPECT_TRUE(RunsUpToAKey(served)) << "still serving";
    kill(served.pid, SIGTERM);
    const int status = Await(served.pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 1) << "its log was lost";
}

// Standard error into a pipe nobody reads: serving goes on, the log lines that do not fit are
// counted, and SIGTERM ends it at once.
TEST_F(RealProgram, ServeGoesOnAndStopsWithAStandardErrorNobodyReads) {
    Pipe err;
    ASSERT_GT(fcntl(err.fds[1], F_SETPIPE_SZ, 4096), 0);
    const Served served = StartServe("serve_blocked_trace.txt", err);
    ASSERT_NE(served.port, 0);
    // Comment lines of 2000 bytes: a few fill the pipe, as a paused terminal would be filled, and
    // 200 are more than the log's buffer holds besides. The key line after them reaches the
    // gadget once they have all run, and shows that serving goes on.
    const std::vector<std::string> comments(200, "\xD7\xA2\xCA\xCD\xA3\xBA" + std::string(2000, 'c'));
    ASSERT_TRUE(RunsUpToAKey(served, comments)) << "serving stopped with standard error full";
    // Room again: the count of what was dropped comes first.
    std::string said = err.Drain();
    for (int i = 0; i < 100; ++i)
        SendTo(served.port,
               "\xD7\xA2\xCA\xCD\xA3\xBA"
               "short");  // 注释：short, while the log drains
    EXPECT_TRUE(WaitUntil([&] {
        said += err.Drain();
        return said.find("log lines dropped: standard error is not being read\n") != std::string::npos;
    })) << said.substr(0, 300);
    // Full again, and stopped.
    ASSERT_TRUE(RunsUpToAKey(served, comments));
    kill(served.pid, SIGTERM);
    const int status = Await(served.pid, std::chrono::seconds(5));
    ASSERT_NE(status, -1) << "still running 5 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status)) << status;
}

}  // namespace
}  // namespace tavrel
