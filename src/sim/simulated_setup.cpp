#include "sim/simulated_setup.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "common/text_escape.h"

namespace tavrel {

void PlugSimulatedGadgets(SimulatedHidBus& bus, int count) {
    for (int i = 1; i <= count; ++i) {
        bus.Plug(SimulatedGadget("sim:gadget-" + std::to_string(i),
                                 kSimulatedGadgetIdentifier + static_cast<std::uint32_t>(i) - 1));
    }
}

std::string SimTraceLine(std::string_view path, std::span<const std::uint8_t> report) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string line = EscapeControlCharacters(path);
    line += '\t';
    for (std::size_t i = 0; i < report.size(); ++i) {
        if (i > 0) line += ' ';
        line += kDigits[report[i] >> 4];
        line += kDigits[report[i] & 0xF];
    }
    return line;
}

SimTraceFile::SimTraceFile(SimulatedHidBus& bus, const std::string& path,
                           std::function<void(const std::string& reason)> failed)
    : m_bus(bus), m_onFailure(std::move(failed)) {
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (m_fd < 0) {
        m_openError = std::generic_category().message(errno);
        return;
    }
    m_bus.SetReceivedReportObserver([this](const std::string& device, std::span<const std::uint8_t> report) {
        if (m_failed) return;
        const std::string line = SimTraceLine(device, report) + '\n';
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t written = ::write(m_fd, line.data() + done, line.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                m_failed = true;
                if (m_onFailure)
                    m_onFailure(written < 0 ? std::generic_category().message(errno) : "nothing written");
                return;
            }
            done += static_cast<std::size_t>(written);
        }
    });
}

SimTraceFile::~SimTraceFile() {
    if (m_fd < 0) return;
    m_bus.SetReceivedReportObserver({});
    ::close(m_fd);
}

}  // namespace tavrel
