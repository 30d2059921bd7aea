#include "cli/serve_command.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>
#include <systemd/sd-daemon.h>

#include "cli/cli_status.h"
#include "cli/command_registry.h"
#include "cli/core_application.h"
#include "cli/gadget_session.h"
#include "cli/log_writer.h"
#include "cli/metrics_file.h"
#include "cli/stop_signals.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"
#include "gadget/broadcast_packet_sink.h"
#include "gadget/gadget_link.h"
#include "hid/hid_device.h"
#include "hid/hid_device_controller.h"
#include "hid/hid_platform.h"
#include "remote/key_file.h"
#include "remote/line_server.h"
#include "remote/sender_allow_list.h"
#include "remote/udp_endpoint.h"
#include "remote/udp_script_server.h"
#include "sim/platform_options.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

namespace {

struct ServeOptions {
    std::vector<std::string> devices;  // empty: every gadget
    int port = UdpScriptServer::kDefaultPort;
    std::string bindAddress;  // empty: 127.0.0.1 without keys, every address with them
    SenderAllowList allowed;
    std::string keyFile;  // empty: plain datagrams
    KeySet keys;
    bool plain = false;
    std::string metricsFile;  // empty: none
    bool verbose = false;

    std::string Address() const {
        if (!bindAddress.empty()) return bindAddress;
        return keyFile.empty() ? "127.0.0.1" : "0.0.0.0";
    }
};

using namespace cli_options;

const CliCommand& ServeCommand() {
    return *FindCliCommand("serve");
}

[[noreturn]] void Refuse(const std::string& what) {
    RefuseArgument(ServeCommand(), what);
}

// serve's arguments; the platform's options go to `platform`, or are refused when it is none (the
// platform is given).
ServeOptions ParseServeOptions(std::span<const std::string> args, PlatformSetup::Options* platform) {
    ServeOptions options;
    ReadArguments(
        ServeCommand(), args,
        [&](const OptionDef& def, const std::optional<std::string>& value) {
            if (IsPlatformOption(def)) {
                if (platform == nullptr) Refuse("--simulate and --sim-trace cannot be used here");
                if (auto error = ApplyPlatformOption(def, value, *platform)) Refuse(*error);
            } else if (&def == &kAll) {
                // the default: SELECT only narrows with --device
            } else if (&def == &kDevice) {
                options.devices.push_back(*value);
            } else if (&def == &kPort) {
                const std::optional<std::uint32_t> port = ParseDigits(*value, 0xFFFF);
                if (!port) Refuse("bad port '" + QuoteText(*value) + "' (0 to 65535)");
                options.port = static_cast<int>(*port);
            } else if (&def == &kUdpBind) {
                if (!ParseBindAddress(*value))
                    Refuse("bad address '" + QuoteText(*value) + "' (a unicast IPv4 address)");
                options.bindAddress = *value;
            } else if (&def == &kAllow) {
                if (!options.allowed.Add(*value))
                    Refuse("bad --allow '" + QuoteText(*value) + "' (an IPv4 ADDRESS or ADDRESS/BITS)");
            } else if (&def == &kServeKeys) {
                options.keyFile = *value;
                if (options.keyFile.empty()) Refuse("--keys needs a file");
            } else if (&def == &kMetricsFile) {
                options.metricsFile = *value;
                if (!IsMetricsFileName(options.metricsFile)) {
                    Refuse("--metrics-file " + QuoteText(options.metricsFile) +
                           " must end in .prom: node_exporter's textfile collector reads only those");
                }
            } else if (&def == &kPlain) {
                options.plain = true;
            } else if (&def == &kVerbose) {
                options.verbose = true;
            }
        },
        [](const std::string&) {});
    if (platform != nullptr) {
        if (auto error = CheckPlatformOptions(*platform)) Refuse(*error);
    }
    if (!options.keyFile.empty() && options.plain) Refuse("--keys and --plain cannot be used together");
    // Plain datagrams are lines from anyone who can send one: only this computer may, unless the
    // administrator says otherwise.
    if (options.keyFile.empty() && !options.plain && (*ParseIpv4(options.Address()) >> 24) != 127) {
        throw UsageError("plain UDP on " + options.Address() +
                         " takes lines from anyone who can reach it, and --allow trusts addresses a sender "
                         "can forge: give --keys FILE, or --plain to accept that");
    }
    if (!options.keyFile.empty()) {
        if (const std::optional<std::string> error = LoadKeyFile(options.keyFile, options.keys))
            throw UsageError(*error);
    }
    return options;
}

// Lines made in GBK (the queue's and the line compiler's) written to the log in UTF-8; with
// `shown` false they are dropped. Traces never show: asking the platform on every line would cost
// a file read per tick.
class GbkLineLog : public LogSink {
public:
    GbkLineLog(LogWriter& out, bool shown) : m_out(out), m_shown(shown) {}
    void LogLine(std::string_view text) override {
        if (m_shown) m_out.Line(m_prefix + FromGbk(text).toStdString());
    }
    // Put before every line from now on (the sender of the line running).
    void SetPrefix(std::string prefix) { m_prefix = std::move(prefix); }

protected:
    bool DebuggerAttached() const override { return false; }

private:
    LogWriter& m_out;
    bool m_shown;
    std::string m_prefix;
};

std::string Plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

// A sender as the log names it.
std::string SessionName(const LineOrigin& who) {
    return "'" + EscapeToPrintableAscii(who.identity) + "' from " + who.address + ':' +
           std::to_string(who.port);
}

// The server: the gadgets over the platform (applying SELECT again at every device change), and
// the line server whose lines go to every served gadget at once.
class GadgetServer : private LineServerEvents {
public:
    GadgetServer(HidPlatform& platform, const ServeOptions& options, LogWriter& log)
        : m_options(options),
          m_log(log),
          m_queueLog(log, true),
          m_lineLog(log, options.verbose),
          m_session(platform, GadgetLink::kDefaultReplyWaitMs),
          m_gadgets(m_session.Link(),
                    [this](const GadgetId& id, const std::string& reason) {
                        Say(EscapeControlCharacters(id.path) +
                            ": write failed: " + EscapeControlCharacters(reason));
                    }),
          m_server(m_gadgets, m_lineLog, *this, QHostAddress(QString::fromStdString(options.Address()))) {
        m_session.SetRebuilt([this] { DevicesChanged(); });
        m_server.SetAllowList(options.allowed);
        if (!options.keyFile.empty()) m_server.UseDtls(options.keys);
        m_server.SetAccepting(true);
        if (!options.metricsFile.empty()) {
            m_metrics.emplace(options.metricsFile, [this](const std::string& line) { Say(line); });
            m_metricsTimer.setInterval(kMetricsInterval);
            QObject::connect(&m_metricsTimer, &QTimer::timeout, [this] { WriteMetrics(); });
        }
    }

    GadgetServer(const GadgetServer&) = delete;
    GadgetServer& operator=(const GadgetServer&) = delete;

    // Binds the port; the system's reason when it cannot be.
    std::optional<std::string> Listen() {
        try {
            return m_server.Listen(m_options.port);
        } catch (const UDPSockError& error) {
            return std::string(error.what());
        }
    }

    std::uint16_t BoundPort() { return m_server.Endpoint() ? m_server.Endpoint()->BoundPort() : 0; }

    // Once listening: the metrics file from now on, every 10 s.
    void StartMetrics() {
        if (!m_metrics) return;
        WriteMetrics();
        m_metricsTimer.start();
    }

    // SIGHUP with keys: reads the key file again; a file that cannot be read keeps the keys.
    void ReloadKeys() {
        KeySet keys;
        if (const std::optional<std::string> error = LoadKeyFile(m_options.keyFile, keys)) {
            Say("keeping the keys read before: " + *error);
            return;
        }
        Say("read " + Plural(keys.Size(), "key", "keys") + " from " +
            EscapeControlCharacters(m_options.keyFile));
        m_server.ReplaceKeys(std::move(keys));
    }

    // When the server stops: the counts held back, what sessions still hold, and the lines that
    // were never run.
    void SayStop() {
        const std::size_t waiting = m_server.Queue().Lines();
        m_server.Finish();
        if (waiting > 0) Say("stopped with " + Plural(waiting, "queued line", "queued lines") + " not run");
        m_metricsTimer.stop();
        WriteMetrics();
    }

private:
    static constexpr std::chrono::seconds kMetricsInterval{10};

    void Say(const std::string& utf8) { m_log.Line(utf8); }

    void WriteMetrics() {
        if (!m_metrics) return;
        ServeFigures figures;
        figures.lines = m_server.Figures();
        figures.writeFailures = m_gadgets.WriteFailures();
        figures.gadgetsServed = m_gadgets.Served().size();
        figures.queueLines = m_server.Queue().Lines();
        if (m_server.Dtls()) figures.sessions = m_server.Sessions();
        m_metrics->Write(FormatServeMetrics(figures));
    }

    void LineArrived(const LineOrigin&, const std::string&) override {}

    void Refused(LineRefusal reason, const std::string& sender, std::size_t count,
                 const std::string& detail) override {
        const std::string from = EscapeControlCharacters(sender);
        const std::string identity = "'" + EscapeToPrintableAscii(detail) + "'";
        switch (reason) {
            case LineRefusal::NotAllowed:
                Say("refused " + Plural(count, "datagram", "datagrams") + " from " + from);
                break;
            case LineRefusal::TooLong:
                Say("dropped " + Plural(count, "datagram", "datagrams") + " longer than " +
                    std::to_string(m_server.Endpoint() ? m_server.Endpoint()->MaxDatagramSize()
                                                       : TUdpEndpoint::kMaxDatagramSize) +
                    " bytes from " + from);
                break;
            case LineRefusal::Unreadable:
                Say("dropped " + Plural(count, "datagram", "datagrams") + " that could not be read");
                break;
            case LineRefusal::NotDtls:
                Say("dropped " + Plural(count, "datagram", "datagrams") + " from " + from +
                    " that are no DTLS handshake");
                break;
            case LineRefusal::UnknownIdentity:
                Say("refused " + Plural(count, "handshake", "handshakes") + " from " + from +
                    ": unknown identity " + identity);
                break;
            case LineRefusal::WrongKey:
                Say("refused " + Plural(count, "handshake", "handshakes") + " from " + from +
                    ": wrong key for identity " + identity);
                break;
            case LineRefusal::TableFull:
                Say("refused " + Plural(count, "handshake", "handshakes") + " from " + from +
                    ": all sessions are taken");
                break;
            case LineRefusal::HandshakeFailed:
                Say("refused " + Plural(count, "handshake", "handshakes") + " from " + from +
                    ": the handshake failed" +
                    (detail.empty() ? std::string() : " (identity " + identity + ")"));
                break;
            case LineRefusal::RecordLineTooLong:
            case LineRefusal::RecordNotUtf8:
            case LineRefusal::RecordNotGbk:
                Say("refused " + Plural(count, "record", "records") + " of " + identity + " from " + from +
                    ": " +
                    (reason == LineRefusal::RecordLineTooLong ? "line too long"
                     : reason == LineRefusal::RecordNotUtf8   ? "not valid UTF-8"
                                                              : "holds a character GBK cannot represent"));
                break;
        }
    }

    void QueueReport(const std::string& report) override { m_queueLog.LogLine(report); }

    void LineStarting(const LineOrigin& from) override {
        m_lineLog.SetPrefix(from.identity.empty() ? std::string()
                                                  : "[" + EscapeToPrintableAscii(from.identity) + "] ");
    }

    void SessionOpened(const LineOrigin& who) override { Say("session of " + SessionName(who) + " opened"); }

    void SessionClosed(const LineOrigin& who, SessionEnd why) override {
        const char* reason = why == SessionEnd::Closed    ? "closed by the sender"
                             : why == SessionEnd::Idle    ? "no record for 60 s"
                             : why == SessionEnd::Revoked ? "its key was removed or changed"
                                                          : "serve stopped";
        Say("session of " + SessionName(who) + " ended: " + reason);
    }

    void Released(const LineOrigin& who, const std::string& line) override {
        Say("released what " + SessionName(who) + " held down: " + FromGbk(line).toStdString());
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

    const ServeOptions& m_options;
    LogWriter& m_log;
    GbkLineLog m_queueLog;
    GbkLineLog m_lineLog;
    GadgetSession m_session;        // the answers' lines go nowhere: the server reports failures itself
    BroadcastPacketSink m_gadgets;  // the gadgets served, each line's packets to all of them
    LineServer m_server;
    std::vector<GadgetId> m_noAccess;
    std::optional<MetricsFile> m_metrics;
    QTimer m_metricsTimer;
};

int Serve(HidPlatform& platform, const ServeOptions& options, LogWriter& log) {
    if (!platform.Available()) {
        log.Line("tavrel-cli: no HID access here");
        return kExitFailed;
    }
    QEventLoop loop;
    // Before the port is bound: whoever waits for it to be may stop the server at once after. A
    // hang-up (a closed terminal, a reload asked by a service manager) does not end the serving.
    GadgetServer* running = nullptr;
    StopSignals stop([&loop] { loop.quit(); },
                     [&log, &options, &running] {
                         if (options.keyFile.empty() || running == nullptr) {
                             log.Line("ignoring SIGHUP: serve has nothing to reload (SIGTERM stops it)");
                             return;
                         }
                         sd_notify(0, "RELOADING=1");
                         running->ReloadKeys();
                         sd_notify(0, "READY=1");
                     });
    GadgetServer server(platform, options, log);
    running = &server;
    const std::string address = options.Address();
    if (const std::optional<std::string> failure = server.Listen()) {
        log.Line("tavrel-cli: cannot listen on " + address + ':' + std::to_string(options.port) + ": " +
                 EscapeControlCharacters(*failure));
        return kExitFailed;
    }
    server.StartMetrics();
    log.Line("listening on " + address + ':' + std::to_string(server.BoundPort()) +
             (options.keyFile.empty() ? std::string()
                                      : " (DTLS, " + Plural(options.keys.Size(), "key", "keys") + " from " +
                                            EscapeControlCharacters(options.keyFile) + ")"));
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

int RunServeCommand(HidPlatform& platform, std::span<const std::string> args, const CliStreams& io) {
    try {
        const ServeOptions options = ParseServeOptions(args, nullptr);
        std::optional<QCoreApplication> application;
        EnsureApplication(application);
        LogWriter log(io.errFd, &io.err);
        return ServeAndFinish(platform, options, log);
    } catch (const UsageError& error) {
        return ReportUsageError(io, error);
    }
}

int RunServeCommandLine(std::span<const std::string> args, const CliStreams& io) {
    try {
        PlatformSetup::Options platformOptions;
        const ServeOptions options = ParseServeOptions(args, &platformOptions);
        std::optional<QCoreApplication> application;
        EnsureApplication(application);
        LogWriter log(io.errFd, &io.err);
        PlatformSetup setup(platformOptions,
                            [&log](const std::string& line) { log.Line("tavrel-cli: " + line); });
        if (const auto& error = setup.StateError()) {
            log.Finish();
            return ReportSimStateError(io, error->exitStatus, error->message);
        }
        if (const std::string error = setup.TraceOpenMessage(); !error.empty()) {
            log.Finish();
            throw UsageError(error);
        }
        const int status = ServeAndFinish(setup.Platform(), options, log);
        return (setup.TraceFailed() || setup.StateFailed()) && status == kExitOk ? kExitFailed : status;
    } catch (const UsageError& error) {
        return ReportUsageError(io, error);
    }
}

}  // namespace tavrel
