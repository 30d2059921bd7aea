#include "cli/gadget_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QPointer>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_input.h"
#include "cli/cli_status.h"
#include "cli/core_application.h"
#include "cli/gadget_command_table.h"
#include "cli/gadget_input.h"
#include "cli/gadget_options.h"
#include "cli/gadget_session.h"
#include "cli/live_lines.h"
#include "cli/write_interrupts.h"
#include "commands/command_codes.h"
#include "commands/flash_block.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "common/json_text.h"
#include "common/text_escape.h"
#include "gadget/data_flash.h"
#include "gadget/flash_exchanges.h"
#include "hid/hid_device.h"
#include "hid/linux_hidraw.h"
#include "remote/notice_reporter.h"
#include "sim/simulated_hid_bus.h"
#include "sim/simulated_setup.h"

namespace tavrel {

namespace {

using Outcome = GadgetExchange::Outcome;

// One gadget the command was asked to work on.
struct Selected {
    std::string path;                // as 'devices' prints it
    std::string rawPath;             // as the system names it (for JSON, which escapes by its rules)
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
    Selected selected{EscapeControlCharacters(entry.id.path), entry.id.path, entry.id, {}, false};
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

// The gadgets SELECT names; several present and none named is a UsageError that lists them.
std::vector<Selected> SelectGadgets(const GadgetOptions& options, const GadgetLink& link) {
    const std::vector<GadgetEntry>& entries = link.Entries();
    std::vector<Selected> selected;
    if (!options.devices.empty()) {
        for (const std::string& path : options.devices) {
            const GadgetEntry* entry = FindEntry(entries, path);
            selected.push_back(entry != nullptr
                                   ? SelectionOf(*entry)
                                   : Selected{EscapeControlCharacters(path), path, {}, "not present", false});
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

Preparation Prepare(const GadgetOptions& options, std::istream& in, std::ostream& err) {
    Preparation prepared = options.descriptor->prepare(options, in, err);
    if (!options.output.empty()) {
        // Refused before anything is sent; the file is written anew once the bytes are read.
        const int fd = ::open(options.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd < 0) {
            throw UsageError("cannot write " + EscapeControlCharacters(options.output) + ": " +
                             std::generic_category().message(errno));
        }
        ::close(fd);
    }
    return prepared;
}

std::unique_ptr<PacketSequence> ExchangeFor(const GadgetOptions& options, const Preparation& prepared,
                                            GadgetLink& link, const GadgetId& gadget, Learned& learned) {
    std::unique_ptr<PacketSequence> sequence =
        options.descriptor->exchange(options, prepared, link, gadget, learned);
    // A gadget that did not do the work must not pass for one that did: only its answer counts,
    // and a write the system refused fails it at once, with the cause.
    sequence->SetReplyMatch(GadgetExchange::ReplyMatch::SameCode);
    sequence->SetEndOnWriteFailure(true);
    return sequence;
}

// How one selected gadget came out: done, or why not (without "failed: ").
struct GadgetResult {
    bool done = false;
    std::string failure;
};

GadgetResult ResultOf(const ExchangeEnd& end) {
    switch (end.outcome) {
        case Outcome::Done: return {true, {}};
        case Outcome::TimedOut:
            if (end.packets > 1)
                return {false, FormatText("no answer to packet %zu of %zu", end.sent, end.packets)};
            return {false, "no answer"};
        case Outcome::GadgetGone: return {false, "unplugged"};
        case Outcome::Failed: return {false, EscapeControlCharacters(end.failure)};
        case Outcome::Running: break;
    }
    return {false, "not run"};
}

// Counts the answers of every gadget on a terminal's status line.
class Progress {
public:
    Progress(std::ostream& err, std::size_t total) : m_err(err), m_total(total) {}
    ~Progress() {
        if (m_answered > 0) m_err << "\r\x1b[K" << std::flush;
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Answered() {
        ++m_answered;
        m_err << "\r" << m_answered << "/" << m_total << " answers" << std::flush;
    }

private:
    std::ostream& m_err;
    std::size_t m_total;
    std::size_t m_answered = 0;
};

// The lines of standard input send skips (too long, not valid UTF-8, not in GBK): each reason said
// at most once a second, the first with its line number at once, what follows within the second
// as a count once it is over, so an input of random bytes cannot flood standard error.
class SkippedLines {
public:
    explicit SkippedLines(std::ostream& err)
        : m_err(err), m_notices([this](const NoticeTally::Notice& notice) { Say(notice); }) {}
    ~SkippedLines() { m_notices.Flush(); }
    SkippedLines(const SkippedLines&) = delete;
    SkippedLines& operator=(const SkippedLines&) = delete;

    void Skip(std::size_t number, const std::string& reason) {
        ++m_total;
        m_number = number;
        m_notices.Count(0, reason);
    }
    std::size_t Total() const { return m_total; }

private:
    // The first of a reason with its line's number; later ones as a count.
    void Say(const NoticeTally::Notice& notice) {
        if (m_said.insert(notice.sender).second) {
            m_err << "tavrel-cli: standard input, line " << m_number << ": " << notice.sender
                  << " (skipped)\n";
            return;
        }
        m_err << "tavrel-cli: standard input: " << notice.count
              << (notice.count == 1 ? " more line" : " more lines") << " skipped: " << notice.sender << '\n';
    }

    std::ostream& m_err;
    NoticeReporter m_notices;  // by reason
    std::set<std::string> m_said;
    std::size_t m_number = 0;  // of the line skipped last
    std::size_t m_total = 0;
};

// How send's lines went, for its closing line and exit status.
struct LiveLinesRun {
    std::vector<ExchangeEnd> ends;
    std::size_t run = 0;
    std::size_t skipped = 0;
    bool readFailed = false;
};

// Runs send's exchanges: the lines from the arguments, or from standard input as they come.
LiveLinesRun RunLiveLines(GadgetSession& session, std::vector<std::unique_ptr<GadgetExchange>> exchanges,
                          const GadgetOptions& options, Preparation& prepared, const CliStreams& io) {
    std::vector<QPointer<PacketSequence>> sequences;
    for (const std::unique_ptr<GadgetExchange>& exchange : exchanges)
        sequences.emplace_back(static_cast<PacketSequence*>(exchange.get()));
    StreamLogSink log(io.err, options.encoding);
    LiveLineFeeder feeder(log, sequences);
    LiveLinesRun run;
    SkippedLines skipped(io.err);
    std::optional<LineReader> reader;
    feeder.SetLineRan([&] {
        ++run.run;
        if (reader) reader->Taken();
    });
    if (options.lines.empty()) {
        LineReader::Handlers handlers;
        handlers.line = [&](std::string line, std::size_t number) {
            if (const std::optional<std::string> fault = ConvertLineToGbk(line, options.encoding)) {
                skipped.Skip(number, *fault);
                reader->Taken();
                return;
            }
            feeder.Push(std::move(line));
        };
        handlers.tooLong = [&](std::size_t number) {
            skipped.Skip(number, "longer than " + std::to_string(kLiveLineLimit) + " bytes");
        };
        handlers.failed = [&](const std::string& message) {
            io.err << "tavrel-cli: " << message << '\n';
            run.readFailed = true;
        };
        handlers.ended = [&] { feeder.EndInput(); };
        reader.emplace(io.in, &feeder, std::move(handlers));
    } else {
        for (std::string& line : prepared.liveLines)
            feeder.Push(std::move(line));
        feeder.EndInput();
    }
    run.ends = session.RunAll(std::move(exchanges));
    // Every gadget failed before the input ended: the reader cannot be cut short in a read.
    if (!feeder.InputEnded()) io.err << "tavrel-cli: no gadget is left to send to; end the input to finish\n";
    run.skipped = skipped.Total();
    return run;
}

// Writes `bytes` to `file` anew; the system's words when that fails.
std::optional<std::string> WriteOutputFile(const std::string& file, std::span<const std::uint8_t> bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::generic_category().message(errno);
    std::optional<std::string> failure;
    std::size_t done = 0;
    while (done < bytes.size() && !failure) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            failure = written < 0 ? std::generic_category().message(errno) : "nothing written";
        } else {
            done += static_cast<std::size_t>(written);
        }
    }
    if (::close(fd) != 0 && !failure) failure = std::generic_category().message(errno);
    return failure;
}

// One gadget's result in JSON: path, command, result, changed, reason, what it learned.
std::string JsonResult(const GadgetOptions& options, const std::string& path, const GadgetResult& result,
                       const Learned& learned, const ExchangeEnd* end, const LiveLinesRun* lines) {
    const GadgetCommand& command = *options.descriptor;
    // Whether the gadget holds something new: a write that wrote (a failed one when a packet of it
    // may have gone), an action done.
    bool changed = false;
    if (command.changes) {
        changed = result.done ? learned.changed : (end != nullptr && end->sent > 0 && learned.changed);
    }
    const bool unchanged = result.done && command.changes && !learned.changed;
    JsonObject line;
    line.Text("path", path)
        .Text("command", options.command)
        .Text("result", !result.done ? "failed"
                        : unchanged  ? "unchanged"
                                     : "ok")
        .Bool("changed", changed);
    if (!result.done) line.Text("reason", result.failure);
    if (result.done && command.jsonDone != nullptr) command.jsonDone(line, learned);
    if (lines != nullptr) {
        line.Number("lines_run", static_cast<std::int64_t>(lines->run))
            .Number("lines_skipped", static_cast<std::int64_t>(lines->skipped));
    }
    return line.Str();
}

// Writes the result lines; gives the exit status.
int Report(const GadgetOptions& options, const std::vector<Selected>& selected,
           const std::vector<Learned>& learned, const std::vector<ExchangeEnd>& ends,
           const LiveLinesRun* lines, const CliStreams& io) {
    int failed = 0;
    int usable = 0;
    bool accessRefused = false;
    std::size_t next = 0;
    for (std::size_t i = 0; i < selected.size(); ++i) {
        const Selected& s = selected[i];
        GadgetResult result{false, s.failure};
        const ExchangeEnd* end = nullptr;
        if (s.gadget) {
            ++usable;
            end = &ends[next++];
            result = ResultOf(*end);
        }
        accessRefused = accessRefused || s.accessRefused;
        if (result.done && !options.output.empty()) {
            if (const std::optional<std::string> failure =
                    WriteOutputFile(options.output, learned[i].dataFlash.Bytes())) {
                result = {false, "cannot write " + EscapeControlCharacters(options.output) + ": " + *failure};
            }
        }
        failed += result.done ? 0 : 1;
        if (options.json) {
            io.out << JsonResult(options, s.rawPath, result, learned[i], end, lines) << '\n';
        } else if (!result.done) {
            io.out << s.path << "\tfailed: " << result.failure << '\n';
        } else if (options.descriptor->printDone != nullptr) {
            options.descriptor->printDone(io.out, s.path, learned[i], selected.size() > 1, options);
        } else {
            io.out << s.path << "\tok\n";
        }
    }
    io.out.flush();
    if (usable == 0) {
        std::string message = "none of the selected gadgets can be used";
        if (accessRefused)
            message += "; for access without root install the udev rule 70-tavrel.rules (see the README)";
        return ReportRunError(io, kExitNoGadget, message);
    }
    return failed > 0 ? kExitFailed : kExitOk;
}

int RunOn(HidPlatform& platform, const GadgetOptions& options, const CliStreams& io) {
    Preparation prepared = Prepare(options, io.in, io.err);
    if (!platform.Available()) return ReportRunError(io, kExitNoGadget, "no HID access here");
    GadgetSession session(platform,
                          options.timeoutMs > 0 ? options.timeoutMs : GadgetLink::kDefaultReplyWaitMs);
    session.Open();
    const std::vector<Selected> selected = SelectGadgets(options, session.Link());
    if (selected.empty()) return ReportRunError(io, kExitNoGadget, "no gadget present");
    if (!options.output.empty() && selected.size() != 1) {
        throw UsageError("--output needs exactly one gadget, not " + std::to_string(selected.size()));
    }

    std::vector<Learned> learned(selected.size());
    std::vector<std::unique_ptr<GadgetExchange>> exchanges;
    std::optional<Progress> progress;
    std::size_t packets = 0;
    for (std::size_t i = 0; i < selected.size(); ++i) {
        if (!selected[i].gadget) continue;
        std::unique_ptr<PacketSequence> sequence =
            ExchangeFor(options, prepared, session.Link(), *selected[i].gadget, learned[i]);
        packets += sequence->PacketCount();
        QObject::connect(sequence.get(), &PacketSequence::answered, [&progress] {
            if (progress) progress->Answered();
        });
        exchanges.push_back(std::move(sequence));
    }
    std::vector<ExchangeEnd> ends;
    std::optional<LiveLinesRun> lines;
    if (options.descriptor->input == GadgetInput::Lines) {
        lines = RunLiveLines(session, std::move(exchanges), options, prepared, io);
        ends = std::move(lines->ends);
    } else if (!exchanges.empty()) {
        if (io.errIsTerminal) progress.emplace(io.err, packets);
        std::optional<WriteInterrupts> interrupts;
        if (options.descriptor->writesFlash) interrupts.emplace();
        ends = session.RunAll(std::move(exchanges));
        progress.reset();
    }
    const int status = Report(options, selected, learned, ends, lines ? &*lines : nullptr, io);
    if (!lines) return status;
    io.err << lines->run << (lines->run == 1 ? " line run, " : " lines run, ") << lines->skipped
           << " skipped\n";
    // Input that could not be read, or lines of it that could not be run, are bad input.
    return status == kExitOk && (lines->skipped > 0 || lines->readFailed) ? kExitUsage : status;
}

// Whether both names lead to one file (the same device and inode).
bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace

int RunGadgetCommandOn(HidPlatform& platform, std::span<const std::string> args, const CliStreams& io) {
    try {
        const GadgetOptions options = ParseGadgetOptions(args);
        if (options.platformGiven) {
            throw UsageError("--simulate and --sim-trace cannot be used here");
        }
        std::optional<QCoreApplication> application;
        EnsureApplication(application);
        return RunOn(platform, options, io);
    } catch (const UsageError& error) {
        return ReportUsageError(io, error);
    }
}

int RunGadgetCommand(std::span<const std::string> args, const CliStreams& io) {
    const GadgetOptions options = ParseGadgetOptions(args);
    std::optional<QCoreApplication> application;
    EnsureApplication(application);
    PlatformSetup setup(options.platform,
                        [&io](const std::string& line) { io.err << "tavrel-cli: " << line << '\n'; });
    if (const auto& error = setup.StateError())
        return ReportSimStateError(io, error->exitStatus, error->message);
    if (const std::string error = setup.TraceOpenMessage(); !error.empty()) throw UsageError(error);
    if (!options.platform.simTrace.empty() && !options.output.empty() &&
        SameFile(options.output, options.platform.simTrace)) {
        throw UsageError("--output and --sim-trace name the same file");
    }
    const int status = RunOn(setup.Platform(), options, io);
    // The trace is the record of what was sent, the state what the gadgets hold: a lost one fails
    // the run, whatever the gadgets did.
    if ((setup.TraceFailed() || setup.StateFailed()) && status == kExitOk) return kExitFailed;
    return status;
}

}  // namespace tavrel
