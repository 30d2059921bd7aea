// What tavrel-cli does with input meant to hurt it: endless or huge streams, folders, random
// bytes, control characters in every field. Each is refused (or run) with an exact exit status
// and a message that cannot pass for the tool's own lines.

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "cli/cli_input.h"
#include "cli/live_lines.h"
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

}  // namespace
}  // namespace tavrel
