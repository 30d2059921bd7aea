#include "cli/metrics_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "common/text_escape.h"

namespace tavrel {

namespace {

struct Labelled {
    LineRefusal reason;
    const char* label;
};

constexpr std::array<Labelled, 4> kDatagramRefusals = {{{LineRefusal::NotAllowed, "not_allowed"},
                                                        {LineRefusal::TooLong, "too_long"},
                                                        {LineRefusal::Unreadable, "unreadable"},
                                                        {LineRefusal::NotDtls, "not_dtls"}}};
constexpr std::array<Labelled, 4> kHandshakeRefusals = {{{LineRefusal::UnknownIdentity, "unknown_identity"},
                                                         {LineRefusal::WrongKey, "wrong_key"},
                                                         {LineRefusal::TableFull, "table_full"},
                                                         {LineRefusal::HandshakeFailed, "failed"}}};
constexpr std::array<Labelled, 3> kRecordRefusals = {
    {{LineRefusal::RecordLineTooLong, "refused_line_too_long"},
     {LineRefusal::RecordNotUtf8, "refused_not_utf8"},
     {LineRefusal::RecordNotGbk, "refused_not_gbk"}}};

class Exposition {
public:
    void Family(const char* name, const char* type, const char* help) {
        m_text += "# HELP ";
        m_text += name;
        m_text += ' ';
        m_text += help;
        m_text += "\n# TYPE ";
        m_text += name;
        m_text += ' ';
        m_text += type;
        m_text += '\n';
    }
    void Sample(const char* name, std::uint64_t value, const char* label = nullptr,
                const char* labelValue = nullptr) {
        m_text += name;
        if (label != nullptr) {
            m_text += '{';
            m_text += label;
            m_text += "=\"";
            m_text += labelValue;
            m_text += "\"}";
        }
        m_text += ' ';
        m_text += std::to_string(value);
        m_text += '\n';
    }
    std::string Take() { return std::move(m_text); }

private:
    std::string m_text;
};

std::uint64_t Refused(const LineServerFigures& figures, LineRefusal reason) {
    return figures.refused[static_cast<std::size_t>(reason)];
}

}  // namespace

std::string FormatServeMetrics(const ServeFigures& figures) {
    const LineServerFigures& lines = figures.lines;
    Exposition out;
    out.Family("tavrel_serve_datagrams_received_total", "counter", "Datagrams read from the port.");
    out.Sample("tavrel_serve_datagrams_received_total", lines.datagrams);
    out.Family("tavrel_serve_datagrams_refused_total", "counter", "Datagrams that gave no line, by reason.");
    for (const Labelled& refusal : kDatagramRefusals)
        out.Sample("tavrel_serve_datagrams_refused_total", Refused(lines, refusal.reason), "reason",
                   refusal.label);
    if (figures.sessions) {
        out.Family("tavrel_serve_handshakes_refused_total", "counter", "DTLS handshakes refused, by reason.");
        for (const Labelled& refusal : kHandshakeRefusals) {
            out.Sample("tavrel_serve_handshakes_refused_total", Refused(lines, refusal.reason), "reason",
                       refusal.label);
        }
    }
    out.Family("tavrel_serve_lines_received_total", "counter",
               "Script lines taken from datagrams and DTLS records.");
    out.Sample("tavrel_serve_lines_received_total", lines.linesReceived);
    out.Family("tavrel_serve_lines_total", "counter",
               "Script lines by outcome; with the lines still queued they add up to the lines received.");
    out.Sample("tavrel_serve_lines_total", lines.linesRun, "outcome", "run");
    out.Sample("tavrel_serve_lines_total", lines.linesDroppedFull, "outcome", "dropped_queue_full");
    for (const Labelled& refusal : kRecordRefusals)
        out.Sample("tavrel_serve_lines_total", Refused(lines, refusal.reason), "outcome", refusal.label);
    out.Family("tavrel_serve_write_failures_total", "counter", "Reports a served gadget refused.");
    out.Sample("tavrel_serve_write_failures_total", figures.writeFailures);
    out.Family("tavrel_serve_gadgets_served", "gauge", "Gadgets served now.");
    out.Sample("tavrel_serve_gadgets_served", figures.gadgetsServed);
    out.Family("tavrel_serve_queue_lines", "gauge", "Script lines waiting in the queue.");
    out.Sample("tavrel_serve_queue_lines", figures.queueLines);
    if (figures.sessions) {
        out.Family("tavrel_serve_sessions", "gauge", "DTLS sessions open.");
        out.Sample("tavrel_serve_sessions", *figures.sessions);
    }
    return out.Take();
}

bool IsMetricsFileName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.size() > 5 && name.ends_with(".prom");
}

MetricsFile::MetricsFile(std::string path, std::function<void(const std::string& line)> said)
    : m_path(std::move(path)), m_said(std::move(said)) {}

bool MetricsFile::Write(const std::string& text) {
    const std::string temporary = m_path + ".tmp";
    std::string failure;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        failure = std::generic_category().message(errno);
    } else {
        std::size_t done = 0;
        while (done < text.size() && failure.empty()) {
            const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0)
                failure = written < 0 ? std::generic_category().message(errno) : "nothing written";
            if (written > 0) done += static_cast<std::size_t>(written);
        }
        if (::close(fd) != 0 && failure.empty()) failure = std::generic_category().message(errno);
        if (failure.empty() && std::rename(temporary.c_str(), m_path.c_str()) != 0)
            failure = std::generic_category().message(errno);
        if (!failure.empty()) ::unlink(temporary.c_str());
    }
    const std::string name = EscapeControlCharacters(m_path);
    if (!failure.empty() && !m_failing) {
        m_failing = true;
        if (m_said) m_said("cannot write the metrics file " + name + ": " + failure + "; serving goes on");
    } else if (failure.empty() && m_failing) {
        m_failing = false;
        if (m_said) m_said("the metrics file " + name + " is written again");
    }
    return failure.empty();
}

}  // namespace tavrel
