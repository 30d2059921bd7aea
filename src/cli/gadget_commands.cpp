#include "cli/gadget_commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include "cli/cli_input.h"
#include "cli/cli_status.h"
#include "cli/gadget_session.h"
#include "commands/command_codes.h"
#include "commands/flash_block.h"
#include "commands/script_download.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "common/text_escape.h"
#include "hid/hid_device.h"
#include "hid/linux_hidraw.h"
#include "remote/udp_line_queue.h"
#include "script/script_compile.h"
#include "sim/simulated_hid_bus.h"
#include "sim/simulated_setup.h"

namespace tavrel {

namespace {

using Outcome = GadgetExchange::Outcome;

constexpr std::string_view kSelectUsage =
    "      SELECT: --device PATH (repeatable; PATH as 'devices' prints it) or --all; without\n"
    "      either, the one gadget present. --simulate[=N] works on N simulated gadgets,\n"
    "      --sim-trace FILE appends the reports they take to FILE; --timeout MS bounds the\n"
    "      wait for each answer (default 10000).\n";

struct CommandUsage {
    std::string_view name;
    std::string_view synopsis;
};

constexpr CommandUsage kCommands[] = {
    {"id", "id [SELECT]"},
    {"download",
     "download [SELECT] [--version TEXT] [--no-autorun] [--encoding utf8|gbk] [--verify] SCRIPT|-"},
    {"flash read", "flash read [SELECT] [--output FILE]"},
    {"flash write", "flash write [SELECT] [--verify] FILE|-"},
    {"flash clear", "flash clear [SELECT] [--verify]"},
    {"start", "start [SELECT]"},
    {"stop", "stop [SELECT]"},
    {"reboot", "reboot [SELECT]"},
    {"send", "send [SELECT] [--encoding utf8|gbk] [LINE...]"},
};

std::string SynopsisOf(std::string_view command) {
    for (const CommandUsage& usage : kCommands) {
        if (usage.name == command) return "tavrel-cli " + std::string(usage.synopsis);
    }
    return {};
}

// A bad argument of a gadget command: reported with the command's usage line.
[[noreturn]] void Refuse(const std::string& command, const std::string& what) {
    std::string message = what;
    if (const std::string synopsis = SynopsisOf(command); !synopsis.empty())
        message += "\nUsage: " + synopsis;
    throw UsageError(message);
}

struct GadgetOptions {
    std::string command;  // "id", "download", "flash read", ...
    std::vector<std::string> devices;
    bool all = false;
    std::optional<int> simulatedGadgets;
    std::string simTrace;
    int timeoutMs = GadgetLink::kDefaultReplyWaitMs;
    std::string versionText = "1";
    bool autoRun = true;
    Encoding encoding = Encoding::Utf8;
    bool verify = false;
    std::optional<std::string> input;  // download's SCRIPT, flash write's FILE
    std::string output;                // flash read --output
    std::vector<std::string> lines;    // send's LINEs
};

GadgetOptions ParseGadgetOptions(std::span<const std::string> args) {
    GadgetOptions options;
    std::size_t first = 1;
    options.command = args.front();
    if (options.command == "flash") {
        if (args.size() < 2 || (args[1] != "read" && args[1] != "write" && args[1] != "clear")) {
            throw UsageError("flash needs read, write or clear\nUsage: " + SynopsisOf("flash read") +
                             "\n       " + SynopsisOf("flash write") + "\n       " +
                             SynopsisOf("flash clear"));
        }
        options.command += " " + args[1];
        first = 2;
    }
    const std::string& command = options.command;
    const bool download = command == "download";
    const bool send = command == "send";
    const bool verifies = download || command == "flash write" || command == "flash clear";
    const bool takesInput = download || command == "flash write";
    for (std::size_t i = first; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.starts_with("--") && arg.find('=') != std::string_view::npos) {
            inlineValue = std::string(arg.substr(arg.find('=') + 1));
            arg = arg.substr(0, arg.find('='));
        }
        const auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) Refuse(command, "option " + std::string(arg) + " needs a value");
            return args[++i];
        };
        const auto flag = [&] {
            if (inlineValue) Refuse(command, "option " + std::string(arg) + " takes no value");
        };
        if (arg == "--device") {
            const std::string path = value();
            if (path.empty()) Refuse(command, "--device needs a path");
            if (std::find(options.devices.begin(), options.devices.end(), path) == options.devices.end()) {
                options.devices.push_back(path);
            }
        } else if (arg == "--all") {
            flag();
            options.all = true;
        } else if (arg == "--simulate") {
            std::int32_t gadgets = 1;
            if (inlineValue && (!ParseWholeInteger(*inlineValue, gadgets) || gadgets < 0 ||
                                gadgets > kMaxSimulatedGadgets)) {
                Refuse(command,
                       "--simulate takes a number of gadgets from 0 to 64, not '" + *inlineValue + "'");
            }
            options.simulatedGadgets = gadgets;
        } else if (arg == "--sim-trace") {
            options.simTrace = value();
            if (options.simTrace.empty()) Refuse(command, "--sim-trace needs a file");
        } else if (arg == "--timeout") {
            const std::string text = value();
            std::int32_t ms = 0;
            if (!ParseWholeInteger(text, ms) || ms < 1) {
                Refuse(command, "--timeout takes a number of milliseconds above 0, not '" + text + "'");
            }
            options.timeoutMs = ms;
        } else if ((download || send) && arg == "--encoding") {
            options.encoding = ParseEncoding(value());
        } else if (download && arg == "--version") {
            options.versionText = value();
        } else if (download && arg == "--no-autorun") {
            flag();
            options.autoRun = false;
        } else if (verifies && arg == "--verify") {
            flag();
            options.verify = true;
        } else if (command == "flash read" && arg == "--output") {
            options.output = value();
            if (options.output.empty()) Refuse(command, "--output needs a file");
        } else if (arg == "-" || !arg.starts_with("-") || (send && !arg.starts_with("--"))) {
            if (send) {
                options.lines.emplace_back(arg);
            } else if (takesInput && !options.input) {
                options.input = std::string(arg);
            } else {
                Refuse(command, "unexpected argument '" + args[i] + "'");
            }
        } else {
            Refuse(command, "unknown option '" + args[i] + "' for " + command);
        }
    }
    if (options.all && !options.devices.empty()) Refuse(command, "--all and --device exclude each other");
    if (!options.simTrace.empty() && !options.simulatedGadgets)
        Refuse(command, "--sim-trace needs --simulate");
    if (takesInput && !options.input) {
        Refuse(command,
               command + " needs " + (download ? "a script file" : "a file") + " (- for standard input)");
    }
    return options;
}

// ---- what the commands send ---------------------------------------------------------------

std::string AddressText(std::size_t address) {
    return FormatText("0x%04zX", address);
}

// Flash write blocks for `bytes` from `address` on, 32 bytes each.
std::vector<FlashBlock> WriteBlocks(std::uint16_t address, std::span<const std::uint8_t> bytes) {
    std::vector<FlashBlock> blocks;
    for (std::size_t offset = 0; offset < bytes.size(); offset += kFlashChunkSize) {
        blocks.push_back(BuildFlashBlock(FlashOperation::Write, static_cast<std::uint16_t>(address + offset),
                                         bytes.subspan(offset).first<kFlashChunkSize>()));
    }
    return blocks;
}

std::uint16_t BlockAddress(const FlashBlock& block) {
    return static_cast<std::uint16_t>(block[2] << 8 | block[3]);
}

// The flash bytes of a read answer that must be for `address`, or why it is none.
std::variant<std::span<const std::uint8_t>, std::string> ReadAnswerBytes(const ReplyEffects& reply,
                                                                         std::size_t address) {
    if (!reply.flashData) return "flash read at " + AddressText(address) + " refused";
    const FlashReplyData& data = *reply.flashData;
    if (data.address != address || data.bytes.size() != kFlashChunkSize) {
        return FormatText("flash answer of %zu bytes at ", data.bytes.size()) + AddressText(data.address) +
               " to the read at " + AddressText(address);
    }
    return std::span<const std::uint8_t>(data.bytes);
}

// What one gadget's exchange is to do, and what it learned.
struct GadgetWork {
    std::vector<FlashBlock> writes;                        // sent first
    bool verify = false;                                   // then each written block read back and compared
    bool readDataFlash = false;                            // reads flash 0 to 127
    std::optional<std::uint8_t> command;                   // a single packet without data
    std::array<std::uint8_t, kDataFlashSize> dataFlash{};  // what readDataFlash read
    std::optional<std::string> deviceIdText;               // what CMD_READ_ID answered
    std::uint32_t deviceId = 0;
};

// `answered` is told of every answer.
std::unique_ptr<PacketSequence> MakeSequence(GadgetLink& link, const GadgetId& gadget, GadgetWork& work,
                                             std::function<void()> answered) {
    std::vector<CommandPacket> packets;
    std::vector<FlashBlock> reads;
    if (work.command) packets.push_back(BuildCommandPacket(*work.command));
    for (const FlashBlock& block : work.writes)
        packets.push_back(BuildCommandPacket(CMD_FLASH, block));
    if (work.verify) {
        for (const FlashBlock& block : work.writes)
            reads.push_back(BuildFlashReadBlock(BlockAddress(block)));
    }
    if (work.readDataFlash) {
        for (std::size_t address = 0; address < kDataFlashSize; address += kFlashChunkSize)
            reads.push_back(BuildFlashReadBlock(static_cast<std::uint16_t>(address)));
    }
    const std::size_t firstRead = packets.size();
    for (const FlashBlock& block : reads)
        packets.push_back(BuildCommandPacket(CMD_FLASH, block));

    auto sequence = std::make_unique<PacketSequence>(link, gadget, std::move(packets));
    sequence->SetReplyMatch(GadgetExchange::ReplyMatch::SameCode);
    sequence->SetAnswerCheck([&work, firstRead, reads, answered = std::move(answered)](
                                 std::size_t index, const ReplyEffects& reply) -> std::optional<std::string> {
        if (answered) answered();
        if (work.command == CMD_READ_ID) {
            if (!reply.deviceIdText) return "answer without an identifier";
            work.deviceIdText = reply.deviceIdText;
            const std::vector<std::uint8_t> id = HexTextToBytes(*reply.deviceIdText);  // low byte first
            work.deviceId = static_cast<std::uint32_t>(id[0]) | static_cast<std::uint32_t>(id[1]) << 8 |
                            static_cast<std::uint32_t>(id[2]) << 16 | static_cast<std::uint32_t>(id[3]) << 24;
        }
        if (index < firstRead || index - firstRead >= reads.size()) return std::nullopt;  // no read
        const std::size_t address = BlockAddress(reads[index - firstRead]);
        auto answer = ReadAnswerBytes(reply, address);
        if (auto* failure = std::get_if<std::string>(&answer)) return std::move(*failure);
        const auto bytes = std::get<std::span<const std::uint8_t>>(answer);
        if (work.readDataFlash) {
            std::copy(bytes.begin(), bytes.end(),
                      work.dataFlash.begin() + static_cast<std::ptrdiff_t>(address));
            return std::nullopt;
        }
        const FlashBlock& written = work.writes[index - firstRead];
        for (std::size_t i = 0; i < kFlashChunkSize; ++i) {
            if (bytes[i] != written[4 + i]) {
                return "verification mismatch at " + AddressText(address + i) +
                       FormatText(" (wrote %02X, read %02X)", written[4 + i], bytes[i]);
            }
        }
        return std::nullopt;
    });
    return sequence;
}

// ---- input ------------------------------------------------------------------------------------

// The download's blocks for a script, compiled as `compile` does; a script with a line that gives
// no record, one that does not fit, or a version that is no number is refused before anything is
// sent (its compile messages already say why).
std::vector<FlashBlock> PrepareDownload(const GadgetOptions& options, const CliStreams& io) {
    const std::vector<std::string> lines = ReadGbkLines(*options.input, options.encoding, io.in);
    StreamLogSink log(io.err, options.encoding);
    const ScriptCompilation compilation = CompileScript(lines, options.versionText, options.autoRun, log);
    std::vector<std::size_t> failing;
    bool pastLimit = false;
    for (std::size_t i = 0; i < compilation.lineResults.size(); ++i) {
        const ScriptLineResult& result = compilation.lineResults[i];
        if (!result.LeftOut()) continue;
        if (result.pastLimit) {
            pastLimit = true;
        } else {
            failing.push_back(i + 1);
        }
    }
    const std::string refused = "script refused, nothing sent: ";
    if (!failing.empty()) {
        std::string which;
        for (std::size_t k = 0; k < failing.size() && k < 10; ++k) {
            which += (k == 0 ? "" : ", ") + std::to_string(failing[k]);
        }
        if (failing.size() > 10) which += ", ...";
        throw UsageError(refused + (failing.size() == 1 ? "line " : "lines ") + which + " gave no record");
    }
    if (pastLimit) {
        throw UsageError(refused + FormatText("it holds more than %d records", kMaxScriptRecords));
    }
    std::int32_t version = 0;
    if (!ParseWholeInteger(options.versionText, version)) {
        throw UsageError(refused + "the version '" + options.versionText + "' is not a number");
    }
    const ScriptDownload plan = PlanScriptDownload(compilation.byteTextLines, compilation.recordBuffer);
    for (const std::string& line : plan.logLines)
        log.LogLine(line);
    if (plan.blocks.empty()) throw UsageError(refused + "there is nothing to download");
    return plan.blocks;
}

bool IsHexDigit(char c) {
    return HexDigitValue(c) < 16;
}

// flash write's 128 bytes: a file of exactly 128 bytes as they are; anything else as hex text
// (pairs separated by blanks; a "0x.." row offset at the start of a line, as 'flash read' prints
// them, is skipped) that must give exactly 128 bytes.
std::vector<std::uint8_t> PrepareDataFlash(const GadgetOptions& options, const CliStreams& io) {
    const std::string& file = *options.input;
    const std::string name = file == "-" ? "standard input" : file;
    const std::string content = ReadInput(file, io.in);
    if (content.size() == kDataFlashSize) return {content.begin(), content.end()};
    std::vector<std::uint8_t> bytes;
    const std::vector<std::string> lines = SplitLines(content);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::string_view rest = lines[n];
        bool lineStart = true;
        while (true) {
            const std::size_t begin = rest.find_first_not_of(" \t\r");
            if (begin == std::string_view::npos) break;
            rest.remove_prefix(begin);
            const std::size_t end = std::min(rest.find_first_of(" \t\r"), rest.size());
            std::string_view word = rest.substr(0, end);
            rest.remove_prefix(end);
            if (lineStart && (word.starts_with("0x") || word.starts_with("0X"))) {
                lineStart = false;
                continue;  // a row offset
            }
            lineStart = false;
            if (word.size() % 2 != 0 || !std::all_of(word.begin(), word.end(), IsHexDigit)) {
                throw UsageError(name + ", line " + std::to_string(n + 1) + ": '" + std::string(word) +
                                 "' is not hex bytes");
            }
            const std::vector<std::uint8_t> parsed = HexTextToBytes(word);
            bytes.insert(bytes.end(), parsed.begin(), parsed.end());
        }
    }
    if (bytes.size() != kDataFlashSize) {
        throw UsageError(name + " gives " + std::to_string(bytes.size()) +
                         " bytes; the data flash takes exactly 128 (raw, or as hex text)");
    }
    return bytes;
}

// The data flash as the grid shows it: 16 rows of 8 bytes behind their "0x" offsets.
void PrintDataFlash(std::ostream& out, std::span<const std::uint8_t> bytes) {
    for (std::size_t row = 0; row < bytes.size(); row += 8) {
        out << FormatText("0x%02zX", row);
        for (std::size_t i = row; i < row + 8 && i < bytes.size(); ++i)
            out << FormatText(" %02X", bytes[i]);
        out << '\n';
    }
}

// ---- the gadgets selected ----------------------------------------------------------------------

struct Selected {
    std::string path;
    std::optional<GadgetId> gadget;  // none: it cannot be used
    std::string failure;             // why not
    bool accessRefused = false;
};

const GadgetEntry* FindEntry(const std::vector<GadgetEntry>& entries, const std::string& path) {
    for (const GadgetEntry& entry : entries) {
        if (entry.id.path == path || EscapeControlCharacters(entry.id.path) == path) return &entry;
    }
    return nullptr;
}

Selected SelectionOf(const GadgetEntry& entry) {
    Selected selected{EscapeControlCharacters(entry.id.path), entry.id, {}, false};
    if (entry.device == nullptr || !entry.device->ReadWriteAccess()) {
        const std::string cause = entry.device != nullptr ? entry.device->ReadWriteError() : std::string();
        selected.gadget.reset();
        selected.failure =
            "no access: " + (cause.empty() ? std::string("cannot open it for reading and writing")
                                           : EscapeControlCharacters(cause));
        selected.accessRefused = true;
    }
    return selected;
}

std::vector<Selected> SelectGadgets(const GadgetOptions& options, const GadgetLink& link) {
    const std::vector<GadgetEntry>& entries = link.Entries();
    std::vector<Selected> selected;
    if (!options.devices.empty()) {
        for (const std::string& path : options.devices) {
            const GadgetEntry* entry = FindEntry(entries, path);
            selected.push_back(entry != nullptr ? SelectionOf(*entry)
                                                : Selected{path, {}, "not present", false});
        }
        return selected;
    }
    if (!options.all && entries.size() > 1) {
        std::string message =
            std::to_string(entries.size()) + " gadgets are present; choose with --device PATH, or --all:";
        for (const GadgetEntry& entry : entries)
            message += "\n  " + EscapeControlCharacters(entry.id.path);
        throw UsageError(message);
    }
    for (const GadgetEntry& entry : entries)
        selected.push_back(SelectionOf(entry));
    return selected;
}

// ---- send: live lines paced like the UDP server's --------------------------------------------

// Reads lines from a stream on a thread of its own (standard input may be a terminal that blocks),
// handing each to the event loop; joined once the stream has ended.
class LineReader {
public:
    // `line` gets each line without its line end, and its number from 1.
    LineReader(std::istream& in, QObject* context, std::function<void(std::string, std::size_t)> line,
               std::function<void()> ended)
        : m_thread((in.tie(nullptr), [&in, context, line = std::move(line), ended = std::move(ended)] {
              std::string text;
              for (std::size_t number = 1; std::getline(in, text); ++number) {
                  if (text.ends_with('\r')) text.pop_back();
                  QMetaObject::invokeMethod(
                      context, [line, text, number] { line(text, number); }, Qt::QueuedConnection);
              }
              QMetaObject::invokeMethod(context, ended, Qt::QueuedConnection);
          })) {}
    ~LineReader() { m_thread.join(); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

private:
    std::thread m_thread;
};

// Runs the lines through the UDP server's queue (one per 10 ms tick, a delay line holding those
// behind it) and hands each line's packets to every gadget's open sequence; closes them once the
// input has ended and the queue is empty.
class LiveLineFeeder : public QObject, private PacketSink {
public:
    LiveLineFeeder(LogSink& log, std::vector<QPointer<PacketSequence>> sequences)
        : m_log(log), m_sequences(std::move(sequences)) {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &LiveLineFeeder::Tick);
    }

    void Push(std::string line) {
        m_waiting.push_back(std::move(line));
        Refill();
        Schedule();
    }
    void EndInput() {
        m_inputEnded = true;
        CloseWhenDrained();
    }

private:
    void SendPacket(const CommandPacket& packet) override {
        for (const QPointer<PacketSequence>& sequence : m_sequences) {
            if (sequence) sequence->Append(packet);
        }
    }

    void Tick() {
        m_queue.Tick(UdpLineQueue::Clock::now(), *this, m_log);
        Refill();
        Schedule();
        CloseWhenDrained();
    }

    void Schedule() {
        const auto now = UdpLineQueue::Clock::now();
        const std::optional<UdpLineQueue::TimePoint> next = m_queue.NextTick(now);
        if (!next) return;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
        m_timer.start(std::max<int>(0, static_cast<int>(wait.count())));
    }

    // Unlike the network's, these lines are never dropped: they wait for room in the queue.
    void Refill() {
        while (!m_waiting.empty() && m_queue.Size() < UdpLineQueue::kCapacity) {
            m_queue.Push(std::move(m_waiting.front()));
            m_waiting.pop_front();
        }
    }

    void CloseWhenDrained() {
        if (!m_inputEnded || m_queue.Size() > 0 || !m_waiting.empty()) return;
        for (const QPointer<PacketSequence>& sequence : m_sequences) {
            if (sequence) sequence->Close();
        }
    }

    LogSink& m_log;
    std::vector<QPointer<PacketSequence>> m_sequences;
    UdpLineQueue m_queue;
    std::deque<std::string> m_waiting;
    QTimer m_timer;
    bool m_inputEnded = false;
};

// ---- running ------------------------------------------------------------------------------------

std::string ResultText(const ExchangeEnd& end) {
    switch (end.outcome) {
        case Outcome::Done: return "ok";
        case Outcome::TimedOut:
            if (end.packets > 1)
                return FormatText("failed: no answer to packet %zu of %zu", end.sent, end.packets);
            return "failed: no answer";
        case Outcome::GadgetGone: return "failed: unplugged";
        case Outcome::Failed: return "failed: " + end.failure;
        case Outcome::Running: break;
    }
    return "failed: not run";
}

// Counts the answers of every gadget on a terminal's status line.
class Progress {
public:
    Progress(std::ostream& err, bool shown, std::size_t total) : m_err(err), m_shown(shown), m_total(total) {}
    ~Progress() {
        if (m_shown && m_answered > 0) m_err << "\r\x1b[K" << std::flush;
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Answered() {
        ++m_answered;
        if (m_shown) m_err << "\r" << m_answered << "/" << m_total << " answers" << std::flush;
    }

private:
    std::ostream& m_err;
    bool m_shown;
    std::size_t m_total;
    std::size_t m_answered = 0;
};

int RunOn(HidPlatform& platform, const GadgetOptions& options, const CliStreams& io) {
    // Everything that may refuse the input does so before a gadget is touched.
    std::vector<FlashBlock> writes;
    std::vector<std::string> liveLines;
    if (options.command == "download") {
        writes = PrepareDownload(options, io);
    } else if (options.command == "flash write") {
        writes = WriteBlocks(0, PrepareDataFlash(options, io));
    } else if (options.command == "flash clear") {
        writes = WriteBlocks(0, std::vector<std::uint8_t>(kDataFlashSize, 0xFF));
    } else if (options.command == "send") {
        for (std::size_t i = 0; i < options.lines.size(); ++i)
            liveLines.push_back(
                LineToGbk(options.lines[i], options.encoding, "line " + std::to_string(i + 1)));
    }

    if (!platform.Available()) {
        io.err << "tavrel-cli: no HID access here\n";
        return kExitNoGadget;
    }
    GadgetSession session(platform, options.timeoutMs);
    session.Open();
    std::vector<Selected> selected = SelectGadgets(options, session.Link());
    if (selected.empty()) {
        io.err << "tavrel-cli: no gadget present\n";
        return kExitNoGadget;
    }
    if (!options.output.empty() && selected.size() != 1) {
        throw UsageError("--output needs exactly one gadget, not " + std::to_string(selected.size()));
    }

    const bool progressShown = io.errIsTerminal && options.command != "send";
    std::optional<Progress> progress;
    std::vector<GadgetWork> work(selected.size());
    std::vector<std::unique_ptr<GadgetExchange>> exchanges;
    std::vector<std::size_t> running;  // the selected index of each exchange
    std::vector<QPointer<PacketSequence>> sequences;
    std::size_t totalPackets = 0;
    for (std::size_t i = 0; i < selected.size(); ++i) {
        if (!selected[i].gadget) continue;
        GadgetWork& w = work[i];
        w.writes = writes;
        w.verify = options.verify;
        if (options.command == "id") w.command = CMD_READ_ID;
        if (options.command == "start") w.command = CMD_START;
        if (options.command == "stop") w.command = CMD_STOP;
        if (options.command == "reboot") w.command = CMD_REBOOT;
        w.readDataFlash = options.command == "flash read";
        std::unique_ptr<PacketSequence> sequence = MakeSequence(session.Link(), *selected[i].gadget, w, [&] {
            if (progress) progress->Answered();
        });
        if (options.command == "send") sequence->KeepOpen();
        totalPackets += sequence->PacketCount();
        sequences.emplace_back(sequence.get());
        exchanges.push_back(std::move(sequence));
        running.push_back(i);
    }

    std::vector<ExchangeEnd> ends;
    if (!exchanges.empty()) {
        progress.emplace(io.err, progressShown, totalPackets);
        StreamLogSink log(io.err, options.encoding);
        std::optional<LiveLineFeeder> feeder;
        std::optional<LineReader> reader;
        if (options.command == "send") {
            feeder.emplace(log, sequences);
            if (options.lines.empty()) {
                reader.emplace(
                    io.in, &*feeder,
                    [&](std::string line, std::size_t number) {
                        try {
                            feeder->Push(LineToGbk(std::move(line), options.encoding,
                                                   "standard input, line " + std::to_string(number)));
                        } catch (const UsageError& error) {
                            io.err << "tavrel-cli: " << error.what() << " (skipped)\n";
                        }
                    },
                    [&] { feeder->EndInput(); });
            } else {
                for (std::string& line : liveLines)
                    feeder->Push(std::move(line));
                feeder->EndInput();
            }
        }
        ends = session.RunAll(std::move(exchanges));
        reader.reset();  // the input has ended: the sequences closed only then
        progress.reset();
    }

    int failed = 0;
    int usable = 0;
    bool accessRefused = false;
    std::size_t next = 0;
    for (std::size_t i = 0; i < selected.size(); ++i) {
        const Selected& s = selected[i];
        std::string result = "failed: " + s.failure;
        if (s.gadget) {
            ++usable;
            result = ResultText(ends[next++]);
        }
        accessRefused = accessRefused || s.accessRefused;
        const bool ok = result == "ok";
        failed += ok ? 0 : 1;
        if (ok && options.command == "id") {
            io.out << s.path << '\t' << *work[i].deviceIdText << '\t' << work[i].deviceId << '\n';
        } else if (ok && options.command == "flash read" && options.output.empty()) {
            if (selected.size() > 1) io.out << s.path << '\t' << result << '\n';
            PrintDataFlash(io.out, work[i].dataFlash);
        } else {
            io.out << s.path << '\t' << result << '\n';
        }
        if (ok && !options.output.empty()) {
            std::ofstream file(options.output, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(work[i].dataFlash.data()),
                       static_cast<std::streamsize>(work[i].dataFlash.size()));
            if (!file.flush()) {
                io.err << "tavrel-cli: cannot write " << options.output << '\n';
                return kExitFailed;
            }
        }
    }
    io.out.flush();
    if (usable == 0) {
        io.err << "tavrel-cli: none of the selected gadgets can be used";
        if (accessRefused) {
            io.err << "; for access without root install the udev rule 70-tavrel.rules (see the README)";
        }
        io.err << '\n';
        return kExitNoGadget;
    }
    return failed > 0 ? kExitFailed : kExitOk;
}

// A command line has no event loop until a command needs one.
void EnsureApplication(std::optional<QCoreApplication>& application) {
    static int argc = 1;
    static char name[] = "tavrel-cli";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) application.emplace(argc, argv);
}

}  // namespace

bool IsGadgetCommand(std::string_view command) {
    return command == "flash" ||
           std::any_of(std::begin(kCommands), std::end(kCommands),
                       [&](const CommandUsage& usage) { return usage.name == command; });
}

std::string_view GadgetCommandsUsage() {
    static const std::string usage = [] {
        std::string text;
        for (const CommandUsage& command : kCommands)
            text += "  tavrel-cli " + std::string(command.synopsis) + "\n";
        text += kSelectUsage;
        text +=
            "      Each prints one line per gadget: PATH, a tab, 'ok' or 'failed: REASON' ('id'\n"
            "      prints the identifier instead of 'ok', 'flash read' the 128 bytes). Every\n"
            "      packet waits for its gadget's answer; the gadgets are worked on at once.\n"
            "      download compiles as 'compile' does and refuses a script with a line that gives\n"
            "      no record; --verify reads the written flash back. flash write takes 128 raw\n"
            "      bytes or hex text; flash clear writes 128 bytes of FF. send runs live lines\n"
            "      (standard input without LINE) one per 10 ms, as the UDP server does.\n"
            "      Exit status: 0 done, 1 failed on a gadget, 2 bad arguments or input, 3 no\n"
            "      usable gadget.\n";
        return text;
    }();
    return usage;
}

int RunGadgetCommandOn(HidPlatform& platform, std::span<const std::string> args, const CliStreams& io) {
    try {
        const GadgetOptions options = ParseGadgetOptions(args);
        if (options.simulatedGadgets || !options.simTrace.empty()) {
            throw UsageError("--simulate and --sim-trace cannot be used here");
        }
        std::optional<QCoreApplication> application;
        EnsureApplication(application);
        return RunOn(platform, options, io);
    } catch (const UsageError& error) {
        return ReportUsageError(io.err, error);
    }
}

int RunGadgetCommand(std::span<const std::string> args, const CliStreams& io) {
    const GadgetOptions options = ParseGadgetOptions(args);
    std::optional<QCoreApplication> application;
    EnsureApplication(application);
    if (!options.simulatedGadgets) {
        LinuxHidrawPlatform platform;
        return RunOn(platform, options, io);
    }
    SimulatedHidBus bus;
    PlugSimulatedGadgets(bus, *options.simulatedGadgets);
    std::optional<SimTraceFile> trace;
    if (!options.simTrace.empty()) {
        trace.emplace(bus, options.simTrace);
        if (!trace->IsOpen()) throw UsageError("cannot open " + options.simTrace + " for the trace");
    }
    const std::unique_ptr<HidPlatform> platform = bus.CreatePlatform();
    return RunOn(*platform, options, io);
}

}  // namespace tavrel
