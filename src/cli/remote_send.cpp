#include "cli/remote_send.h"

#include <algorithm>
#include <optional>
#include <ostream>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostInfo>

#include "cli/cli_input.h"
#include "cli/cli_status.h"
#include "cli/command_registry.h"
#include "cli/core_application.h"
#include "cli/live_lines.h"
#include "common/gbk_text.h"
#include "common/json_text.h"
#include "common/text_escape.h"
#include "remote/key_file.h"
#include "remote/line_client.h"
#include "remote/udp_script_server.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

namespace {

// Lines not sent are named one by one up to this many, then only counted.
constexpr std::size_t kNamedSkips = 10;

struct RemoteOptions {
    std::string host;
    quint16 port = UdpScriptServer::kDefaultPort;
    std::string keyFile;
    std::string identity;
    Encoding encoding = Encoding::Utf8;
    int timeoutMs = 2000;
    std::vector<std::string> lines;
    bool json = false;
};

using namespace cli_options;

const CliCommand& RemoteCommand() {
    return *FindCliCommand("send --to");
}

[[noreturn]] void Refuse(const std::string& what) {
    RefuseArgument(RemoteCommand(), what);
}

RemoteOptions ParseRemoteOptions(std::span<const std::string> args) {
    RemoteOptions options;
    const auto take = [&](const OptionDef& def, const std::optional<std::string>& value) {
        if (&def == &kTo) {
            const std::string& to = *value;
            const std::size_t colon = to.rfind(':');
            options.host = to.substr(0, colon);
            if (colon != std::string::npos) {
                const std::optional<std::uint32_t> port = ParseDigits(to.substr(colon + 1), 0xFFFF);
                if (!port || *port == 0) Refuse("bad port in --to '" + QuoteText(to) + "' (1 to 65535)");
                options.port = static_cast<quint16>(*port);
            }
            if (options.host.empty()) Refuse("--to needs a HOST");
        } else if (&def == &kSendKeys) {
            options.keyFile = *value;
        } else if (&def == &kIdentity) {
            options.identity = *value;
        } else if (&def == &kEncoding) {
            options.encoding = ParseEncoding(*value);
        } else if (&def == &kAnswerTimeout) {
            const std::optional<std::uint32_t> ms = ParseDigits(*value, 3600000);
            if (!ms || *ms == 0)
                Refuse("--timeout takes a number of milliseconds above 0, not '" + QuoteText(*value) + "'");
            options.timeoutMs = static_cast<int>(*ms);
        } else if (&def == &kJson) {
            options.json = true;
        }
    };
    try {
        WalkArguments(args, RemoteCommand().options, OperandRule::Lines, take,
                      [&](const std::string& line) { options.lines.push_back(line); });
    } catch (const ArgumentFault& fault) {
        // The options of send to gadgets of this computer are known, and do not go with --to.
        const std::string name = fault.argument.substr(0, fault.argument.find('='));
        const CliCommand& local = *FindCliCommand("send");
        if (fault.kind == ArgumentFault::Kind::Unknown && local.Option(name) != nullptr)
            Refuse("--to sends to a remote server: " + name + " cannot be used with it");
        RefuseFault(RemoteCommand(), fault);
    }
    if (options.keyFile.empty() != options.identity.empty()) Refuse("--keys and --identity go together");
    return options;
}

// The IPv4 address of HOST (a dotted address or a name); the reason when there is none.
std::optional<QHostAddress> Resolve(const std::string& host, std::string& failure) {
    QHostAddress address;
    if (address.setAddress(QString::fromStdString(host))) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) return address;
        failure = "the servers listen on IPv4: " + QuoteText(host) + " is no IPv4 address";
        return std::nullopt;
    }
    const QHostInfo info = QHostInfo::fromName(QString::fromStdString(host));
    if (info.error() != QHostInfo::NoError) {
        failure = "cannot find " + QuoteText(host) + ": " +
                  EscapeControlCharacters(info.errorString().toStdString());
        return std::nullopt;
    }
    for (const QHostAddress& found : info.addresses()) {
        if (found.protocol() == QAbstractSocket::IPv4Protocol) return found;
    }
    failure = QuoteText(host) + " has only IPv6 addresses, and the servers listen on IPv4";
    return std::nullopt;
}

// One line as the channel wants it: GBK for plain datagrams, UTF-8 over DTLS. The reason when it
// cannot be.
std::optional<std::string> Prepare(std::string& line, Encoding encoding, bool dtls) {
    std::string gbk = line;
    if (std::optional<std::string> fault = ConvertLineToGbk(gbk, encoding)) return fault;
    if (gbk.size() > kLiveLineLimit) return "longer than " + std::to_string(kLiveLineLimit) + " bytes";
    line =
        dtls ? (encoding == Encoding::Utf8 ? std::move(line) : FromGbk(gbk).toStdString()) : std::move(gbk);
    return std::nullopt;
}

}  // namespace

bool SendsToRemote(std::span<const std::string> args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& arg) { return arg == "--to" || arg.starts_with("--to="); });
}

int RunRemoteSend(std::span<const std::string> args, const CliStreams& io) {
    try {
        const RemoteOptions options = ParseRemoteOptions(args);
        LineClient::Options client;
        if (!options.keyFile.empty()) {
            KeySet keys;
            if (const std::optional<std::string> error = LoadKeyFile(options.keyFile, keys))
                throw UsageError(*error);
            const std::string* key = keys.Find(options.identity);
            if (key == nullptr) {
                throw UsageError(EscapeControlCharacters(options.keyFile) +
                                 " holds no key for the identity '" + QuoteText(options.identity) + "'");
            }
            client.psk = LineClient::Psk{options.identity, *key};
        }
        std::optional<QCoreApplication> application;
        EnsureApplication(application);
        std::string failure;
        const std::optional<QHostAddress> address = Resolve(options.host, failure);
        if (!address) return ReportRunError(io, kExitFailed, failure);
        client.address = *address;
        client.port = options.port;
        client.timeout = std::chrono::milliseconds(options.timeoutMs);
        const bool dtls = client.psk.has_value();
        const std::string peer = address->toString().toStdString() + ':' + std::to_string(options.port);

        QEventLoop loop;
        LineClient sender(client);
        std::optional<LineClient::Outcome> outcome;
        sender.SetFinished([&](const LineClient::Outcome& result) {
            outcome = result;
            loop.quit();
        });
        std::size_t skipped = 0;
        const auto skip = [&](std::size_t number, const std::string& reason) {
            if (++skipped <= kNamedSkips)
                io.err << "tavrel-cli: line " << number << " not sent: " << reason << '\n';
        };
        bool readFailed = false;
        std::optional<LineReader> reader;
        sender.SetLineSent([&] {
            if (reader) reader->Taken();
        });
        sender.Start();
        if (options.lines.empty()) {
            LineReader::Handlers handlers;
            handlers.line = [&](std::string line, std::size_t number) {
                if (const std::optional<std::string> fault = Prepare(line, options.encoding, dtls)) {
                    skip(number, *fault);
                    reader->Taken();
                    return;
                }
                sender.Send(std::move(line));
            };
            handlers.tooLong = [&](std::size_t number) {
                skip(number, "longer than " + std::to_string(kLiveLineLimit) + " bytes");
            };
            handlers.failed = [&](const std::string& message) {
                io.err << "tavrel-cli: " << message << '\n';
                readFailed = true;
            };
            handlers.ended = [&] { sender.EndInput(); };
            reader.emplace(io.in, &sender, std::move(handlers));
        } else {
            for (std::size_t i = 0; i < options.lines.size(); ++i) {
                std::string line = options.lines[i];
                if (const std::optional<std::string> fault = Prepare(line, options.encoding, dtls)) {
                    skip(i + 1, *fault);
                    continue;
                }
                sender.Send(std::move(line));
            }
            sender.EndInput();
        }
        if (!outcome) loop.exec();
        if (skipped > kNamedSkips) io.err << "tavrel-cli: " << skipped << " lines not sent in all\n";
        const LineClient::Outcome& result = *outcome;
        if (!result.failure.empty()) io.err << "tavrel-cli: " << peer << ": " << result.failure << '\n';
        for (const std::string& refusal : result.refusals)
            io.err << "tavrel-cli: " << refusal << '\n';
        const std::size_t unanswered = dtls ? result.sent - std::min(result.sent, result.answered) : 0;
        const bool allQueued = !dtls || (result.refused == 0 && result.answered >= result.sent);
        const bool ok = result.failure.empty() && allQueued && skipped == 0 && !readFailed;
        if (options.json) {
            JsonObject line;
            line.Text("command", "send")
                .Text("to", peer)
                .Text("result", ok ? "ok" : "failed")
                .Bool("dtls", dtls)
                .Number("sent", static_cast<std::int64_t>(result.sent))
                .Number("not_sent", static_cast<std::int64_t>(skipped));
            if (dtls) {
                line.Number("queued", static_cast<std::int64_t>(result.queued))
                    .Number("refused", static_cast<std::int64_t>(result.refused))
                    .Number("unanswered", static_cast<std::int64_t>(unanswered));
            }
            if (!result.failure.empty()) line.Text("reason", result.failure);
            io.out << line.Str() << '\n';
        } else {
            const std::string lines = std::to_string(result.sent) + (result.sent == 1 ? " line" : " lines");
            if (dtls) {
                io.out << "sent " << lines << " to " << peer << ": " << result.queued << " queued, "
                       << result.refused << " refused";
                if (unanswered > 0) io.out << ", " << unanswered << " unanswered";
                io.out << '\n';
            } else {
                io.out << "sent " << lines << " to " << peer << " (plain UDP: the server does not answer)\n";
            }
        }
        io.out.flush();
        return ok ? kExitOk : kExitFailed;
    } catch (const UsageError& error) {
        return ReportUsageError(io, error);
    }
}

}  // namespace tavrel
