#include "cli/gadget_commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "commands/command_codes.h"
#include "commands/command_packet.h"
#include "commands/script_download.h"
#include "common/log_sink.h"
#include "script/script_compile.h"
#include "sim/simulated_hid_bus.h"
#include "sim/simulated_setup.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::Utf8ToGbk;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr const char* kGadget1 = "sim:gadget-1";
constexpr const char* kGadget2 = "sim:gadget-2";
constexpr const char* kGadget3 = "sim:gadget-3";

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

std::vector<std::uint8_t> ReportFor(const CommandPacket& packet) {
    return BuildOutputReport(packet.bytes());
}

// What the window's download sends for a script: its compiled chunks, as write blocks.
std::vector<FlashBlock> DownloadBlocks(const std::string& utf8Script) {
    std::vector<std::string> lines;
    std::istringstream in(Utf8ToGbk(utf8Script));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    SilentLogSink silent;
    const ScriptCompilation compilation = CompileScript(lines, "1", true, silent);
    return PlanScriptDownload(compilation.byteTextLines, compilation.recordBuffer).blocks;
}

std::string Lines(int count, const std::string& line = "按键：A") {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += line + "\n";
    return text;
}

// Gadget commands over a simulated bus the test holds, so it can fault the gadgets.
class GadgetCommandTest : public ::testing::Test {
protected:
    void Plug(int gadgets) { PlugSimulatedGadgets(bus, gadgets); }

    CliRun Run(const std::vector<std::string>& args, const std::string& input = "", bool terminal = false) {
        // Each run is a tool started anew: its own platform, as each monitors once.
        const std::unique_ptr<HidPlatform> platform = bus.CreatePlatform();
        std::istringstream in(input);
        std::ostringstream out;
        std::ostringstream err;
        const int status = RunGadgetCommandOn(*platform, args, CliStreams{in, out, err, terminal});
        return {status, out.str(), err.str()};
    }

    std::vector<std::uint8_t> Flash(const std::string& path, std::size_t from, std::size_t count) const {
        const std::vector<std::uint8_t> flash = bus.GadgetState(path)->flash();
        return {flash.begin() + static_cast<std::ptrdiff_t>(from),
                flash.begin() + static_cast<std::ptrdiff_t>(from + count)};
    }

    SimulatedHidBus bus;
};

TEST_F(GadgetCommandTest, IdAsksEveryGadgetOnceAndPrintsTheIdentifierBothWays) {
    Plug(2);
    const CliRun run = Run({"id", "--all"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "sim:gadget-1\t78 56 34 12\t305419896\nsim:gadget-2\t79 56 34 12\t305419897\n");
    for (const char* gadget : {kGadget1, kGadget2}) {
        EXPECT_THAT(bus.ReceivedReports(gadget), ElementsAre(ReportFor(BuildCommandPacket(CMD_READ_ID))));
    }
}

TEST_F(GadgetCommandTest, DownloadWritesTheChunksTheWindowWouldAndVerifiesThem) {
    Plug(1);
    // 42 records and the version record: five chunks, the last at 160, past the data flash page.
    const std::string script = "注释：满\n" + Lines(42);
    const std::vector<FlashBlock> blocks = DownloadBlocks(script);
    ASSERT_EQ(blocks.size(), 5u);

    const CliRun run = Run({"download", "--verify", "-"}, script);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "sim:gadget-1\tok\n");
    EXPECT_EQ(run.err, "翻译完毕，共42行脚本\n共129字节\n");

    std::vector<std::vector<std::uint8_t>> expected;
    for (const FlashBlock& block : blocks)
        expected.push_back(ReportFor(BuildCommandPacket(CMD_FLASH, block)));
    for (const FlashBlock& block : blocks) {
        expected.push_back(ReportFor(BuildCommandPacket(
            CMD_FLASH, BuildFlashReadBlock(static_cast<std::uint16_t>(block[2] << 8 | block[3])))));
    }
    EXPECT_EQ(bus.ReceivedReports(kGadget1), expected);
    EXPECT_THAT(std::vector(expected[0].begin(), expected[0].begin() + 12),
                ElementsAre(0x00, 0xA3, 0x24, expected[0][3], 0x00, 0x01, 0x20, 0x00, 0x20, 0xE1, 42, 0x01));
    EXPECT_EQ(Flash(kGadget1, 32, 3), (std::vector<std::uint8_t>{0xE1, 42, 0x01}));
    EXPECT_EQ(Flash(kGadget1, 32 + 3 * 42, 3), (std::vector<std::uint8_t>{0x20, 0x04, 0x00}));
}

// --if-changed reads first and writes only the blocks that differ: a gadget that holds the script
// gets no write and says "unchanged"; one byte changed since gets its one block written again.
TEST_F(GadgetCommandTest, IfChangedWritesOnlyTheBlocksThatDiffer) {
    Plug(2);
    const std::string script = "注释：满\n" + Lines(42);
    const std::vector<FlashBlock> blocks = DownloadBlocks(script);
    ASSERT_EQ(blocks.size(), 5u);
    const auto writes = [&](const char* gadget) {
        std::vector<std::uint16_t> addresses;
        for (const std::vector<std::uint8_t>& report : bus.ReceivedReports(gadget)) {
            if (report[1] == CMD_FLASH && report[5] == 0x01) addresses.push_back(report[7] << 8 | report[8]);
        }
        return addresses;
    };
    const auto block = [&](std::size_t i) {
        return static_cast<std::uint16_t>(blocks[i][2] << 8 | blocks[i][3]);
    };

    CliRun run = Run({"download", "--all", "--verify", "--if-changed", "-"}, script);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "sim:gadget-1\tok\nsim:gadget-2\tok\n");
    EXPECT_EQ(writes(kGadget1).size(), 5u);

    // Unchanged: five reads each, no write.
    const std::size_t before = bus.ReceivedReports(kGadget1).size();
    bus.UpdateGadget(kGadget2, [&](GadgetFirmware& firmware) {
        const std::uint8_t other[] = {0x7F};
        firmware.WriteFlash(block(3) + 5, other);
    });
    run = Run({"download", "--all", "--verify", "--if-changed", "-"}, script);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "sim:gadget-1\tunchanged\nsim:gadget-2\tok\n");
    EXPECT_EQ(bus.ReceivedReports(kGadget1).size(), before + 5) << "reads only";
    EXPECT_EQ(writes(kGadget1).size(), 5u) << "no write the second time";
    EXPECT_EQ(writes(kGadget2),
              (std::vector<std::uint16_t>{block(0), block(1), block(2), block(3), block(4), block(3)}))
        << "only the block that differed";
    EXPECT_EQ(Flash(kGadget2, block(3) + 5, 1), Flash(kGadget1, block(3) + 5, 1));

    // Without --if-changed every run writes and says ok, as scripts that test for "ok" expect.
    run = Run({"download", "--all", "-"}, script);
    EXPECT_EQ(run.out, "sim:gadget-1\tok\nsim:gadget-2\tok\n");
    EXPECT_EQ(writes(kGadget1).size(), 10u);

    // flash write takes it too; a verify that fails still fails.
    const std::string bytes(128, '\x11');
    run = Run({"flash", "write", "--all", "--if-changed", "--raw", "-"}, bytes);
    EXPECT_EQ(run.out, "sim:gadget-1\tok\nsim:gadget-2\tok\n");
    run = Run({"flash", "write", "--all", "--if-changed", "--raw", "-"}, bytes);
    EXPECT_EQ(run.out, "sim:gadget-1\tunchanged\nsim:gadget-2\tunchanged\n");
    bus.SetGadgetFault(kGadget2, GadgetFault::StoresWrongByte);
    run =
        Run({"flash", "write", "--all", "--if-changed", "--verify", "--raw", "-"}, std::string(128, '\x22'));
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("sim:gadget-2\tfailed: verification mismatch at 0x0000"));
}

TEST_F(GadgetCommandTest, VerificationNamesTheFirstWrongByteOfTheGadgetThatStoredIt) {
    Plug(2);
    bus.SetGadgetFault(kGadget2, GadgetFault::StoresWrongByte);
    const CliRun run = Run({"download", "--all", "--verify", "-"}, Lines(3));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "sim:gadget-1\tok\n"
              "sim:gadget-2\tfailed: verification mismatch at 0x0020 (wrote E1, read E0)\n");
    // Without --verify the same gadget passes: only the read-back can tell.
    EXPECT_EQ(Run({"download", "--device", kGadget2, "-"}, Lines(3)).status, 0);
}

TEST_F(GadgetCommandTest, DownloadRefusesAScriptBeforeSendingAnything) {
    Plug(1);
    const struct {
        const char* what;
        std::string script;
        std::vector<std::string> options;
        const char* message;
    } cases[] = {
        {"an unknown key", "按键：A\n按键：中\n\n注释：好\n", {}, "line 2 gave no record"},
        {"two failing lines", "延时：x\n按键：A\n跳转\n", {}, "lines 1, 3 gave no record"},
        {"an unknown line", "你好\n", {}, "line 1 gave no record"},
        {"more than 42 records", Lines(43), {}, "it holds more than 42 records"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"download"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("-");
        const CliRun run = Run(args, c.script);
        EXPECT_EQ(run.status, 2);
        EXPECT_THAT(run.err, HasSubstr(std::string("script refused, nothing sent: ") + c.message));
        EXPECT_THAT(run.out, IsEmpty());
    }
    for (const char* version : {"abc", "256"}) {
        const CliRun run = Run({"download", "--version", version, "-"}, Lines(1));
        EXPECT_EQ(run.status, 2);
        EXPECT_THAT(run.err,
                    HasSubstr("--version takes a whole number from 0 to 255, not '" + std::string(version)));
    }
    EXPECT_THAT(Run({"download", "-"}, "按键：中\n").err,
                HasSubstr("无法识别键盘值：中"));  // the compile's why
    EXPECT_THAT(Run({"download", "-"}, Lines(43)).err, HasSubstr("超过存储空间！"));
    EXPECT_THAT(bus.ReceivedReports(kGadget1), IsEmpty());
    // A comment or blank line past the 42 records loses nothing: it goes.
    EXPECT_EQ(Run({"download", "-"}, Lines(42) + "注释：尾\n").status, 0);
}

TEST_F(GadgetCommandTest, FlashReadPrintsTheGridsRowsOrWritesTheRawBytes) {
    Plug(2);
    std::vector<std::uint8_t> bytes(128);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 3);
    bus.UpdateGadget(kGadget1, [&](GadgetFirmware& firmware) { firmware.WriteFlash(0, bytes); });

    const CliRun one = Run({"flash", "read", "--device", kGadget1});
    EXPECT_EQ(one.status, 0) << one.err;
    std::istringstream rows(one.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(rows, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[0], "0x00 00 03 06 09 0C 0F 12 15");
    EXPECT_EQ(lines[15], "0x78 68 6B 6E 71 74 77 7A 7D");

    const CliRun both = Run({"flash", "read", "--all"});
    EXPECT_EQ(both.status, 0);
    EXPECT_THAT(both.out, StartsWith("sim:gadget-1\tok\n" + one.out + "sim:gadget-2\tok\n0x00 FF FF"));

    const std::string file = ::testing::TempDir() + "flash_read.bin";
    const CliRun raw = Run({"flash", "read", "--device", kGadget1, "--output", file});
    EXPECT_EQ(raw.out, "sim:gadget-1\tok\n");
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}), bytes);
    const CliRun several = Run({"flash", "read", "--all", "--output", file});
    EXPECT_EQ(several.status, 2);
    EXPECT_THAT(several.err, HasSubstr("--output needs exactly one gadget"));
    const std::size_t sent = bus.ReceivedReports(kGadget1).size();
    const CliRun nowhere = Run({"flash", "read", "--device", kGadget1, "--output", "/no/such/folder/x.bin"});
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_THAT(nowhere.err, HasSubstr("cannot write /no/such/folder/x.bin"));
    EXPECT_EQ(bus.ReceivedReports(kGadget1).size(), sent) << "refused before reading";

    // A gadget refusing the read gives no bytes to print, and says so.
    bus.SetGadgetFault(kGadget2, GadgetFault::ErrorStatus);
    const CliRun refused = Run({"flash", "read", "--all"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.out, HasSubstr("sim:gadget-2\tfailed: flash read at 0x0000 refused\n"));
}

TEST_F(GadgetCommandTest, FlashWriteTakesRawBytesOrHexTextAndClearStoresFF) {
    Plug(1);
    std::string raw(128, '\0');
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<char>(255 - i);
    CliRun run = Run({"flash", "write", "--verify", "-"}, raw);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Flash(kGadget1, 0, 128), std::vector<std::uint8_t>(raw.begin(), raw.end()));
    EXPECT_EQ(bus.ReceivedReports(kGadget1).size(), 8u);  // four writes, four reads

    // What 'flash read' prints goes back in as it is; so does plain hex.
    const std::string printed = Run({"flash", "read"}).out;
    run = Run({"flash", "clear", "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Flash(kGadget1, 0, 128), std::vector<std::uint8_t>(128, 0xFF));
    EXPECT_EQ(Run({"flash", "write", "-"}, printed).status, 0);
    EXPECT_EQ(Flash(kGadget1, 0, 128), std::vector<std::uint8_t>(raw.begin(), raw.end()));
    std::string hex;
    for (int i = 0; i < 128; ++i)
        hex += i % 16 == 15 ? "5a\n" : "5A ";
    EXPECT_EQ(Run({"flash", "write", "-"}, hex).status, 0);
    EXPECT_EQ(Flash(kGadget1, 0, 128), std::vector<std::uint8_t>(128, 0x5A));

    const std::pair<std::string, const char*> refused[] = {
        {std::string(64, 'A'), "gives 32 bytes"},  // not 128 raw bytes: read as hex text
        {hex + "00", "gives 129 bytes"},
        {"0x00 zz\n", "line 1: 'zz' is not hex bytes"},
    };
    const std::size_t before = bus.ReceivedReports(kGadget1).size();
    for (const auto& [input, message] : refused) {
        run = Run({"flash", "write", "-"}, input);
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_THAT(run.err, HasSubstr(message));
    }
    EXPECT_EQ(bus.ReceivedReports(kGadget1).size(), before);
}

TEST_F(GadgetCommandTest, PlayCommandsSendTheirPacketAndWaitForItsAnswer) {
    Plug(1);
    const std::pair<const char*, std::uint8_t> commands[] = {
        {"start", CMD_START}, {"stop", CMD_STOP}, {"reboot", CMD_REBOOT}};
    for (const auto& [command, code] : commands) {
        const CliRun run = Run({command});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(run.out, "sim:gadget-1\tok\n");
        EXPECT_EQ(bus.ReceivedReports(kGadget1).back(), ReportFor(BuildCommandPacket(code)));
    }
    EXPECT_EQ(Run({"start"}).status, 0);
    EXPECT_EQ(bus.GadgetState(kGadget1)->playback(), PlaybackState::Started);

    // A report of another kind is no answer: a serial event the gadget reports right after the
    // packet is passed over.
    bus.SetGadgetFault(kGadget1, GadgetFault::NoAnswer);
    const std::size_t sent = bus.ReceivedReports(kGadget1).size();
    std::thread event([&] {
        // Polled with a deadline: the packet is written on the command's own thread.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (bus.ReceivedReports(kGadget1).size() == sent && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        bus.InjectInputReport(kGadget1, GadgetInputReport(CMD_SERIAL));
    });
    const CliRun silent = Run({"stop", "--timeout", "300"});
    event.join();
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.out, "sim:gadget-1\tfailed: no answer\n");
}

TEST_F(GadgetCommandTest, AGadgetThatFallsSilentOrIsPulledOutFailsAloneAndIsNamed) {
    Plug(3);
    bus.UpdateGadget(kGadget2, [](GadgetFirmware& firmware) { firmware.SetAnswersLeft(2); });
    bus.SetGadgetFault(kGadget3, GadgetFault::UnplugDuringExchange);
    const CliRun run = Run({"flash", "clear", "--all", "--verify", "--timeout=300"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "sim:gadget-1\tok\n"
              "sim:gadget-2\tfailed: no answer to packet 3 of 8\n"
              "sim:gadget-3\tfailed: unplugged\n");
    EXPECT_EQ(Flash(kGadget1, 0, 128), std::vector<std::uint8_t>(128, 0xFF));
}

// A write the system refuses fails its gadget at once with the cause, not after the answer wait.
TEST_F(GadgetCommandTest, AWriteTheSystemRefusesFailsItsGadgetWithTheCause) {
    Plug(3);
    bus.SetWriteFault(kGadget2, EIO);
    bus.SetWriteFault(kGadget3, ENODEV);
    const auto started = std::chrono::steady_clock::now();
    const CliRun run = Run({"flash", "clear", "--all", "--timeout=600000"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(300))
        << "no answer was waited for";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "sim:gadget-1\tok\n"
              "sim:gadget-2\tfailed: write: Input/output error\n"
              "sim:gadget-3\tfailed: unplugged\n");
    EXPECT_THAT(bus.ReceivedReports(kGadget2), IsEmpty());
    bus.SetWriteFault(kGadget2, std::nullopt);
    EXPECT_EQ(Run({"start", "--device", kGadget2}).out, "sim:gadget-2\tok\n");
}

// An interrupt during a write lets the write finish: the gadget never keeps a version record that
// promises records it did not get. A second one ends the program at once.
TEST_F(GadgetCommandTest, AnInterruptDuringADownloadLetsItFinish) {
    Plug(1);
    bus.SetAnswerDelay(kGadget1, std::chrono::milliseconds(2));
    int written = 0;
    bus.SetReceivedReportObserver([&](const std::string&, std::span<const std::uint8_t>) {
        if (++written == 2) std::raise(SIGINT);
    });
    const std::string script = "注释：满\n" + Lines(42);
    const CliRun run = Run({"download", "-"}, script);
    bus.SetReceivedReportObserver({});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "sim:gadget-1\tok\n");
    const std::vector<FlashBlock> blocks = DownloadBlocks(script);
    EXPECT_EQ(written, static_cast<int>(blocks.size()));
    std::vector<std::uint8_t> image;
    for (const FlashBlock& block : blocks)
        image.insert(image.end(), block.begin() + 4, block.end());
    EXPECT_EQ(Flash(kGadget1, 32, image.size()), image) << "every block is in the flash";
    struct sigaction now {};
    ::sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the disposition before it is back";
}

TEST_F(GadgetCommandTest, ASecondInterruptEndsAWriteAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Plug(1);
            int written = 0;
            bus.SetReceivedReportObserver([&](const std::string&, std::span<const std::uint8_t>) {
                if (++written == 2) {
                    std::raise(SIGTERM);
                    std::raise(SIGINT);
                }
            });
            Run({"flash", "clear"});
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "finishing the write; interrupt again to stop at once");
}

TEST_F(GadgetCommandTest, SelectionAndTheExitStatusWithoutAUsableGadget) {
    CliRun run = Run({"id"});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "tavrel-cli: no gadget present\n");

    Plug(3);
    run = Run({"start"});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr("3 gadgets are present; choose with --device PATH, or --all:\n"
                                   "  sim:gadget-1\n  sim:gadget-2\n  sim:gadget-3\n"));
    EXPECT_THAT(run.out, IsEmpty());

    run = Run({"id", "--device", kGadget3, "--device", "sim:gadget-9"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "sim:gadget-3\t7A 56 34 12\t305419898\nsim:gadget-9\tfailed: not present\n");
    EXPECT_EQ(Run({"id", "--device", "sim:gadget-9"}).status, 3);

    for (const char* gadget : {kGadget1, kGadget2, kGadget3})
        bus.SetOpenRefused(gadget, HidOpenMode::ReadWrite, true);
    run = Run({"start", "--all"});
    EXPECT_EQ(run.status, 3);
    EXPECT_THAT(run.out, HasSubstr("sim:gadget-2\tfailed: no access: Permission denied\n"));
    EXPECT_THAT(run.err, HasSubstr("install the udev rule 70-tavrel.rules"));
    bus.SetOpenRefused(kGadget2, HidOpenMode::ReadWrite, false);
    EXPECT_EQ(Run({"start", "--all"}).status, 1);
}

TEST_F(GadgetCommandTest, SendRunsLiveLinesOnEveryGadgetLikeTheUdpServer) {
    Plug(2);
    const auto started = std::chrono::steady_clock::now();
    CliRun run = Run({"send", "--all", "按键：A", "延时：300毫秒", "鼠标：单击"});
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300))
        << "the delay line held the line behind it";
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "sim:gadget-1\tok\nsim:gadget-2\tok\n");
    EXPECT_EQ(run.err,
              "执行脚本：按键：A\n执行脚本：延时：300毫秒\n执行脚本：鼠标：单击\n3 lines run, 0 skipped\n");
    for (const char* gadget : {kGadget1, kGadget2}) {
        const std::vector<GadgetPacket> typed = bus.GadgetState(gadget)->inputRequests();
        ASSERT_EQ(typed.size(), 2u);
        EXPECT_EQ(typed[0].code, CMD_KEYBOARD);
        EXPECT_EQ(typed[1].code, CMD_MOUSE);
    }

    // Standard input, a line at a time; a line that cannot be GBK is skipped and said, and the
    // skipped lines make the input bad.
    run = Run({"send", "--device", kGadget1}, "鼠标：右击\r\n\xFF\n按键：B\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr("standard input, line 2: not valid UTF-8 (skipped)"));
    EXPECT_THAT(run.err, ::testing::EndsWith("2 lines run, 1 skipped\n"));
    EXPECT_EQ(run.out, "sim:gadget-1\tok\n") << "each gadget's result as before";
    EXPECT_EQ(bus.GadgetState(kGadget1)->inputRequests().size(), 4u);

    // A line longer than a datagram is not kept: said, skipped, and the next line runs.
    run = Run({"send", "--device", kGadget1}, std::string(100000, 'x') + "\n按键：C\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "tavrel-cli: standard input, line 1: longer than 2048 bytes (skipped)\n执行脚本：按键：C\n"
              "1 line run, 1 skipped\n");
    EXPECT_EQ(bus.GadgetState(kGadget1)->inputRequests().size(), 5u);

    // A LINE holding line breaks is its lines.
    run = Run({"send", "--device", kGadget1, "按键：D\r\n按键：E\n"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "执行脚本：按键：D\n执行脚本：按键：E\n2 lines run, 0 skipped\n");
    EXPECT_EQ(bus.GadgetState(kGadget1)->inputRequests().size(), 7u);
}

// Skipped lines are counted, not said one by one: random bytes cannot flood standard error.
TEST_F(GadgetCommandTest, SkippedLinesAreSaidAsACountAtMostOnceASecond) {
    Plug(1);
    std::string input;
    for (int i = 0; i < 3000; ++i)
        input += i % 2 == 0 ? "\xFF\xFE\n" : std::string(3000, 'y') + "\n";
    input += "按键：A\n";
    const CliRun run = Run({"send"}, input);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "sim:gadget-1\tok\n");
    const std::string said = run.err;
    EXPECT_THAT(said, HasSubstr("tavrel-cli: standard input, line 1: not valid UTF-8 (skipped)\n"));
    EXPECT_THAT(said, HasSubstr("tavrel-cli: standard input, line 2: longer than 2048 bytes (skipped)\n"));
    EXPECT_THAT(said, HasSubstr("more lines skipped: not valid UTF-8\n"));
    EXPECT_THAT(said, HasSubstr("more lines skipped: longer than 2048 bytes\n"));
    EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 10) << said;
    EXPECT_THAT(said, ::testing::EndsWith("1 line run, 3000 skipped\n"));
}

TEST_F(GadgetCommandTest, ProgressShowsOnlyOnATerminal) {
    Plug(1);
    EXPECT_THAT(Run({"flash", "clear"}, "", true).err, HasSubstr("\r4/4 answers"));
    EXPECT_THAT(Run({"flash", "clear"}, "", false).err, IsEmpty());
}

TEST_F(GadgetCommandTest, BadArgumentsExitTwoWithTheUsage) {
    Plug(1);
    const std::vector<std::string> bad[] = {
        {"id", "--frob"},
        {"download"},
        {"download", "a.txt", "b.txt"},
        {"flash"},
        {"flash", "erase"},
        {"flash", "write"},
        {"start", "--timeout", "0"},
        {"start", "--timeout"},
        {"stop", "--all", "--device", kGadget1},
        {"reboot", "--verify"},
        {"flash", "read", "--verify"},
        {"id", "--sim-trace", "x"},
    };
    for (const auto& args : bad) {
        const CliRun run = Run(args);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
        EXPECT_THAT(run.err, HasSubstr("Usage: tavrel-cli ")) << ::testing::PrintToString(args);
    }
    EXPECT_THAT(bus.ReceivedReports(kGadget1), IsEmpty());
}

// The whole command line with its own simulated gadgets: the trace holds the exact reports.
TEST(GadgetCommands, SimulateWritesTheTrace) {
    const std::string trace = ::testing::TempDir() + "gadget_commands_trace.txt";
    std::filesystem::remove(trace);
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const std::vector<std::string> args = {"stop", "--simulate=2", "--device=sim:gadget-2", "--sim-trace",
                                           trace};
    EXPECT_EQ(RunCli(args, in, out, err), 0) << err.str();
    EXPECT_EQ(out.str(), "sim:gadget-2\tok\n");
    std::ifstream file(trace);
    std::string line;
    ASSERT_TRUE(std::getline(file, line));
    EXPECT_EQ(line, SimTraceLine("sim:gadget-2", ReportFor(BuildCommandPacket(CMD_STOP))));
    EXPECT_FALSE(std::getline(file, line));
}

}  // namespace
}  // namespace tavrel
