#include "cli/serve_command.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <systemd/sd-daemon.h>

#include "cli/cli_status.h"
#include "cli/gadget_session.h"
#include "cli/log_writer.h"
#include "cli/stop_signals.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"
#include "gadget/broadcast_packet_sink.h"
#include "gadget/gadget_link.h"
#include "hid/hid_device.h"
#include "hid/hid_device_controller.h"
#include "hid/hid_platform.h"
#include "remote/line_queue_driver.h"
#include "remote/notice_reporter.h"
#include "remote/sender_allow_list.h"
#include "remote/tick_timer.h"
#include "remote/udp_endpoint.h"
#include "remote/udp_line_queue.h"
#include "remote/udp_script_server.h"
#include "sim/simulated_setup.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

namespace {

constexpr std::string_view kSynopsis =
    "tavrel-cli serve [SELECT] [--port N] [--udp-bind ADDRESS] [--allow ADDRESS[/BITS]]... [--verbose] "
    "[--simulate[=N]] [--sim-trace FILE]";

struct ServeOptions {
    std::vector<std::string> devices;  // empty: every gadget
    int port = UdpScriptServer::kDefaultPort;
    std::string bindAddress;  // empty: every address
    SenderAllowList allowed;
    bool verbose = false;
};

[[noreturn]] void Refuse(const std::string& what) {
    throw UsageError(what + "\nUsage: " + std::string(kSynopsis));
}

ServeOptions ParseServeOptions(std::span<const std::string> args) {
    ServeOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string word = args[i];
        std::optional<std::string> inlineValue;
        if (const std::size_t equals = word.find('=');
            word.starts_with("--") && equals != std::string::npos) {
            inlineValue = word.substr(equals + 1);
            word.resize(equals);
        }
        const auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) Refuse(word + " needs a value");
            return args[++i];
        };
        if (word == "--all" && !inlineValue) {
            continue;  // the default: SELECT only narrows with --device
        } else if (word == "--device") {
            options.devices.push_back(value());
        } else if (word == "--port") {
            const std::string text = value();
            const std::optional<std::uint32_t> port = ParseDigits(text, 0xFFFF);
            if (!port) Refuse("bad port '" + QuoteText(text) + "' (0 to 65535)");
            options.port = static_cast<int>(*port);
        } else if (word == "--udp-bind") {
            const std::string text = value();
            if (!ParseBindAddress(text))
                Refuse("bad address '" + QuoteText(text) + "' (a unicast IPv4 address)");
            options.bindAddress = text;
        } else if (word == "--allow") {
            const std::string text = value();
            if (!options.allowed.Add(text))
                Refuse("bad --allow '" + QuoteText(text) + "' (an IPv4 ADDRESS or ADDRESS/BITS)");
        } else if (word == "--verbose" && !inlineValue) {
            options.verbose = true;
        } else if (word == "--simulate" || word == "--sim-trace") {
            Refuse("--simulate and --sim-trace cannot be used here");
        } else {
            Refuse("unknown argument '" + QuoteText(args[i]) + "'");
        }
    }
    return options;
}

void EnsureApplication(std::optional<QCoreApplication>& application) {
    static int argc = 1;
    static char name[] = "tavrel-cli";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) application.emplace(argc, argv);
}

// Lines made in GBK (the queue's and the line compiler's) written to the log in UTF-8; with
// `shown` false they are dropped. Traces never show: asking the platform on every line would cost
// a file read per tick.
class GbkLineLog : public LogSink {
public:
    GbkLineLog(LogWriter& out, bool shown) : m_out(out), m_shown(shown) {}
    void LogLine(std::string_view text) override {
        if (m_shown) m_out.Line(FromGbk(text).toStdString());
    }

protected:
    bool DebuggerAttached() const override { return false; }

private:
    LogWriter& m_out;
    bool m_shown;
};

// What serve counts and says at most once a second per sender (NoticeTally's kinds).
enum NoticeKind : std::size_t { kRefused, kTooLong, kUnreadable };

// The server: the gadgets over the platform (applying SELECT again at every device change), the
// UDP endpoint and its queue, and the tick that sends each line's packets to every served gadget.
class GadgetServer {
public:
    GadgetServer(HidPlatform& platform, const ServeOptions& options, LogWriter& log)
        : m_options(options),
          m_log(log),
          m_queueLog(log, true),
          m_lineLog(log, options.verbose),
          m_session(platform, GadgetLink::kDefaultReplyWaitMs),
          m_gadgets(m_session.Link(), [this](const GadgetId& id, const std::string& reason) {
              Say(EscapeControlCharacters(id.path) + ": write failed: " + EscapeControlCharacters(reason));
          }) {
        m_session.SetRebuilt([this] { DevicesChanged(); });
        QObject::connect(&m_tick, &TickTimer::timeout, [this] { Tick(); });
    }

    ~GadgetServer() { m_endpoint.reset(); }

    GadgetServer(const GadgetServer&) = delete;
    GadgetServer& operator=(const GadgetServer&) = delete;

    // Binds the port; the system's reason when it cannot be.
    std::optional<std::string> Listen() {
        const QHostAddress address = m_options.bindAddress.empty()
                                         ? QHostAddress(QHostAddress::AnyIPv4)
                                         : QHostAddress(QString::fromStdString(m_options.bindAddress));
        m_endpoint = std::make_unique<TUdpEndpoint>(address);
        m_endpoint->SetOnRefused(
            [this](TUdpEndpoint::Refusal refusal, const std::string& from) { Refused(refusal, from); });
        try {
            if (auto failure = m_endpoint->SetLocalPort(m_options.port)) return failure;
        } catch (const UDPSockError& error) {
            return std::string(error.what());
        }
        m_endpoint->SetOnDataReceived([this](TUdpEndpoint& sender, int bytes, const std::string& from, int) {
            Received(sender, bytes, from);
        });
        return std::nullopt;
    }

    std::uint16_t BoundPort() const { return m_endpoint ? m_endpoint->BoundPort() : 0; }

    // When the server stops: the counts held back, and the lines that were never run.
    void SayStop() {
        m_notices.Flush();
        ReportQueue();
        if (const std::size_t waiting = m_queue.Size(); waiting > 0)
            Say("stopped with " + std::to_string(waiting) +
                (waiting == 1 ? " queued line" : " queued lines") + " not run");
    }

private:
    void Say(const std::string& utf8) { m_log.Line(utf8); }

    void Say(const NoticeTally::Notice& notice) {
        std::string line = notice.kind == kRefused ? "refused " : "dropped ";
        line += std::to_string(notice.count);
        line += notice.count == 1 ? " datagram" : " datagrams";
        if (notice.kind == kTooLong)
            line += " longer than " + std::to_string(TUdpEndpoint::kMaxDatagramSize) + " bytes";
        if (notice.kind == kUnreadable) line += " that could not be read";
        if (!notice.sender.empty()) line += " from " + EscapeControlCharacters(notice.sender);
        Say(line);
    }

    bool Selected(const std::string& path) const {
        if (m_options.devices.empty()) return true;
        return std::any_of(m_options.devices.begin(), m_options.devices.end(),
                           [&](const std::string& wanted) {
                               return wanted == path || wanted == EscapeControlCharacters(path);
                           });
    }

    static bool Holds(const std::vector<GadgetId>& ids, const GadgetId& id) {
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }

    void DevicesChanged() {
        // Every rebuild lends every gadget anew; only those whose presence changed are told of.
        std::vector<GadgetId> served;
        std::vector<GadgetId> noAccess;
        for (const GadgetEntry& entry : m_session.Link().Entries()) {
            if (!Selected(entry.id.path)) continue;
            if (entry.device != nullptr && entry.device->ReadWriteAccess()) {
                served.push_back(entry.id);
                continue;
            }
            noAccess.push_back(entry.id);
            if (!Holds(m_noAccess, entry.id)) {
                const std::string cause =
                    entry.device != nullptr ? entry.device->ReadWriteError() : std::string();
                Say(EscapeControlCharacters(entry.id.path) + ": no access: " +
                    (cause.empty() ? std::string("cannot open it for reading and writing")
                                   : EscapeControlCharacters(cause)));
            }
        }
        for (const GadgetId& id : m_gadgets.Served()) {
            if (!Holds(served, id)) Say(EscapeControlCharacters(id.path) + " is gone");
        }
        for (const GadgetId& id : served) {
            if (!Holds(m_gadgets.Served(), id)) Say("serving " + EscapeControlCharacters(id.path));
        }
        m_gadgets.SetServed(std::move(served));
        m_noAccess = std::move(noAccess);
    }

    void Received(TUdpEndpoint& sender, int bytes, const std::string& from) {
        if (!m_options.allowed.Allows(from)) {
            m_notices.Count(kRefused, from);
            return;
        }
        const std::vector<char>& datagram = sender.ReadDatagram();
        std::string line = UdpLineQueue::LineOf(
            {datagram.data(), std::min(datagram.size(), static_cast<std::size_t>(bytes))});
        if (!m_queue.Push(std::move(line), UdpLineQueue::Clock::now())) ReportQueue();
        m_driver.Schedule();
    }

    // The sender comes first: a refused sender's datagrams are refused, whatever their size.
    void Refused(TUdpEndpoint::Refusal refusal, const std::string& from) {
        if (refusal == TUdpEndpoint::Refusal::ReadFailed) {
            m_notices.Count(kUnreadable, from);
        } else if (!m_options.allowed.Allows(from)) {
            m_notices.Count(kRefused, from);
        } else {
            m_notices.Count(kTooLong, from);
        }
    }

    void Tick() {
        m_driver.Tick(m_gadgets, m_lineLog);
        ReportQueue();
    }

    void ReportQueue() {
        if (const auto report = m_queue.TakeOverflowReport(UdpLineQueue::Clock::now()))
            m_queueLog.LogLine(*report);
        if (const auto report = m_queue.TakeStallReport()) m_queueLog.LogLine(*report);
    }

    const ServeOptions& m_options;
    LogWriter& m_log;
    GbkLineLog m_queueLog;
    GbkLineLog m_lineLog;
    GadgetSession m_session;        // the answers' lines go nowhere: the server reports failures itself
    BroadcastPacketSink m_gadgets;  // the gadgets served, each line's packets to all of them
    std::unique_ptr<TUdpEndpoint> m_endpoint;
    UdpLineQueue m_queue;
    TickTimer m_tick;
    LineQueueDriver m_driver{m_queue, m_tick};
    NoticeReporter m_notices{[this](const NoticeTally::Notice& notice) { Say(notice); }};
    std::vector<GadgetId> m_noAccess;
};

int Serve(HidPlatform& platform, const ServeOptions& options, LogWriter& log) {
    if (!platform.Available()) {
        log.Line("tavrel-cli: no HID access here");
        return kExitFailed;
    }
    QEventLoop loop;
    // Before the port is bound: whoever waits for it to be may stop the server at once after. A
    // hang-up (a closed terminal, a reload asked by a service manager) does not end the serving.
    StopSignals stop([&loop] { loop.quit(); },
                     [&log] { log.Line("ignoring SIGHUP: serve has nothing to reload (SIGTERM stops it)"); });
    GadgetServer server(platform, options, log);
    const std::string address = options.bindAddress.empty() ? std::string("0.0.0.0") : options.bindAddress;
    if (const std::optional<std::string> failure = server.Listen()) {
        log.Line("tavrel-cli: cannot listen on " + address + ':' + std::to_string(options.port) + ": " +
                 EscapeControlCharacters(*failure));
        return kExitFailed;
    }
    log.Line("listening on " + address + ':' + std::to_string(server.BoundPort()));
    // Whoever waits for readiness finds the line already written, unless standard error is not
    // being read: then readiness is not held up for long.
    log.Flush(LogWriter::kDefaultGrace);
    sd_notify(0, "READY=1");
    loop.exec();
    sd_notify(0, "STOPPING=1");
    server.SayStop();
    return kExitOk;
}

// Serves with the log written through `log`, then finishes it: a log that could not be written
// fails a run that would have been ok.
int ServeAndFinish(HidPlatform& platform, const ServeOptions& options, LogWriter& log) {
    const int status = Serve(platform, options, log);
    log.Finish();
    return log.Failure() && status == kExitOk ? kExitFailed : status;
}

}  // namespace

std::string_view ServeUsage() {
    static const std::string usage =
        "  " + std::string(kSynopsis) +
        "\n"
        "      Serves script lines over UDP without a window, until SIGTERM or SIGINT: each\n"
        "      datagram on port N (default 10200; 0 lets the system choose) of ADDRESS (IPv4,\n"
        "      default every address) is one line, cut at its first zero byte; longer than 2048\n"
        "      bytes it is dropped. Lines run in live mode in arrival order, at most one per 10 ms\n"
        "      (10000 may wait); each line's packets go to every served gadget at once. SELECT\n"
        "      (--all, the default, or --device PATH, repeatable) is applied again whenever\n"
        "      gadgets come and go. With --allow only the given senders are heard; what a sender\n"
        "      repeats (refused, too long) is counted, said at most once a second. Logs to\n"
        "      standard error through a 256 KiB buffer that never holds serving up; --verbose\n"
        "      adds each line run. SIGHUP is ignored. Exits 1 when the port cannot be bound.\n";
    return usage;
}

int RunServeCommand(HidPlatform& platform, std::span<const std::string> args, const CliStreams& io) {
    try {
        const ServeOptions options = ParseServeOptions(args);
        std::optional<QCoreApplication> application;
        EnsureApplication(application);
        LogWriter log(io.errFd, &io.err);
        return ServeAndFinish(platform, options, log);
    } catch (const UsageError& error) {
        return ReportUsageError(io.err, error);
    }
}

int RunServeCommandLine(std::span<const std::string> args, const CliStreams& io) {
    try {
        // --simulate and --sim-trace choose the platform, as for every command; the rest is serve's.
        PlatformSetup::Options platformOptions;
        std::vector<std::string> own;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& arg = args[i];
            if (arg == "--simulate" || arg.starts_with("--simulate=")) {
                std::string error;
                platformOptions.simulatedGadgets = ParseSimulatedGadgetCount(
                    arg == "--simulate" ? std::nullopt : std::optional(std::string_view(arg).substr(11)),
                    error);
                if (!platformOptions.simulatedGadgets) Refuse(error);
            } else if (arg == "--sim-trace" || arg.starts_with("--sim-trace=")) {
                if (arg == "--sim-trace" && i + 1 >= args.size()) Refuse("--sim-trace needs a file");
                platformOptions.simTrace = arg == "--sim-trace" ? args[++i] : arg.substr(12);
                if (platformOptions.simTrace.empty()) Refuse("--sim-trace needs a file");
            } else {
                own.push_back(arg);
            }
        }
        if (!platformOptions.simTrace.empty() && !platformOptions.simulatedGadgets)
            Refuse("--sim-trace needs --simulate");
        const ServeOptions options = ParseServeOptions(own);
        std::optional<QCoreApplication> application;
        EnsureApplication(application);
        const std::string traceName = EscapeControlCharacters(platformOptions.simTrace);
        LogWriter log(io.errFd, &io.err);
        PlatformSetup setup(platformOptions, [&log, traceName](const std::string& reason) {
            log.Line("tavrel-cli: cannot write the trace " + traceName + ": " + reason +
                     "; it is lost from here on");
        });
        if (const std::string error = setup.TraceOpenMessage(); !error.empty()) {
            log.Finish();
            throw UsageError(error);
        }
        const int status = ServeAndFinish(setup.Platform(), options, log);
        return setup.TraceFailed() && status == kExitOk ? kExitFailed : status;
    } catch (const UsageError& error) {
        return ReportUsageError(io.err, error);
    }
}

}  // namespace tavrel
