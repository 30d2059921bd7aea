#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "remote/line_server.h"

namespace tavrel {

// What serve reports to monitoring.
struct ServeFigures {
    LineServerFigures lines;
    std::uint64_t writeFailures = 0;
    std::size_t gadgetsServed = 0;
    std::size_t queueLines = 0;
    std::optional<std::size_t> sessions;  // with keys only
};

// The figures in the Prometheus text format (HELP and TYPE lines, counters ending in _total), as
// node_exporter's textfile collector reads them.
std::string FormatServeMetrics(const ServeFigures& figures);

// Whether a metrics file's name is one the textfile collector reads (it ends in .prom).
bool IsMetricsFileName(const std::string& path);

// A metrics file written whole every time: a temporary file beside it (FILE.tmp, which the
// collector leaves alone), then renamed over it, so a reader sees the old figures or the new ones.
// A write that fails is told once (`said`), and so is the first that works again.
class MetricsFile {
public:
    MetricsFile(std::string path, std::function<void(const std::string& line)> said);
    // Gives whether the file now holds `text`.
    bool Write(const std::string& text);

private:
    std::string m_path;
    std::function<void(const std::string&)> m_said;
    bool m_failing = false;
};

}  // namespace tavrel
