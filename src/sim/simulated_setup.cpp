#include "sim/simulated_setup.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "common/text_escape.h"
#include "hid/linux_hidraw.h"

namespace tavrel {

std::optional<int> ParseSimulatedGadgetCount(std::optional<std::string_view> value, std::string& error) {
    if (!value) return 1;
    // Digits only: " 2" or "+2" on a command line is a slip, not a number.
    const std::optional<std::uint32_t> gadgets = ParseDigits(*value, kMaxSimulatedGadgets);
    if (!gadgets) {
        error = "--simulate takes a number of gadgets from 0 to " + std::to_string(kMaxSimulatedGadgets) +
                ", not '" + QuoteText(*value) + "'";
        return std::nullopt;
    }
    return static_cast<int>(*gadgets);
}

void PlugSimulatedGadgets(SimulatedHidBus& bus, int count) {
    for (int i = 1; i <= count; ++i) {
        bus.Plug(SimulatedGadget("sim:gadget-" + std::to_string(i),
                                 kSimulatedGadgetIdentifier + static_cast<std::uint32_t>(i) - 1));
    }
}

std::string SimTraceLine(std::string_view path, std::span<const std::uint8_t> report) {
    std::string line = EscapeControlCharacters(path);
    line += '\t';
    for (std::size_t i = 0; i < report.size(); ++i) {
        if (i > 0) line += ' ';
        AppendHexPair(line, report[i]);
    }
    return line;
}

SimTraceFile::SimTraceFile(SimulatedHidBus& bus, const std::string& path,
                           std::function<void(const std::string& reason)> failed)
    : m_bus(bus), m_onFailure(std::move(failed)) {
    // Opened without waiting: a FIFO with nobody reading it would hold the open for ever.
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
    if (m_fd < 0) {
        const int cause = errno;
        struct stat status {};
        m_noReader = cause == ENXIO && ::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
        m_openError = std::generic_category().message(cause);
        return;
    }
    // From here on it is written as any file is, waiting where a write must.
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
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

PlatformSetup::PlatformSetup(const Options& options, std::function<void(const std::string& line)> failed) {
    if (!options.simulatedGadgets) {
        m_platform = std::make_unique<LinuxHidrawPlatform>(options.sysfsRoot, options.devRoot);
        return;
    }
    m_bus.emplace();
    PlugSimulatedGadgets(*m_bus, *options.simulatedGadgets);
    if (options.otherInterfaces) {
        m_bus->Plug(SimulatedMouse());
        m_bus->Plug(SimulatedVendorInterface());
    }
    if (!options.simState.empty()) {
        SimStateFile::Error error;
        m_state = SimStateFile::Open(options.simState, *options.simulatedGadgets, error);
        if (!m_state) {
            m_stateError = error;
        } else {
            for (std::size_t i = 0; i < m_state->Gadgets(); ++i) {
                const std::vector<std::uint8_t>& flash = m_state->Flash(i);
                m_bus->UpdateGadget("sim:gadget-" + std::to_string(i + 1),
                                    [&flash](GadgetFirmware& firmware) { firmware.WriteFlash(0, flash); });
            }
            m_bus->SetFlashObserver([this, failed, name = EscapeControlCharacters(options.simState)](
                                        const std::string& path, const std::vector<std::uint8_t>& flash) {
                constexpr std::string_view kPrefix = "sim:gadget-";
                if (!path.starts_with(kPrefix)) return;
                const std::optional<std::uint32_t> number =
                    ParseDigits(std::string_view(path).substr(kPrefix.size()), 1024);
                if (!number || *number == 0) return;
                if (const std::optional<std::string> failure = m_state->Update(*number - 1, flash)) {
                    if (!m_stateFailed.exchange(true) && failed)
                        failed("cannot write " + name + ": " + *failure + "; it keeps its last state");
                }
            });
        }
    }
    m_tracePath = options.simTrace;
    if (!options.simTrace.empty()) {
        std::function<void(const std::string&)> traceFailed;
        if (failed) {
            traceFailed = [failed,
                           name = EscapeControlCharacters(options.simTrace)](const std::string& reason) {
                failed("cannot write the trace " + name + ": " + reason + "; it is lost from here on");
            };
        }
        m_trace.emplace(*m_bus, options.simTrace, std::move(traceFailed));
    }
    m_platform = m_bus->CreatePlatform();
}

PlatformSetup::~PlatformSetup() {
    // The platform's handles go before the bus's trace, its state and the bus.
    m_platform.reset();
    m_trace.reset();
    if (m_bus) m_bus->SetFlashObserver({});
    m_state.reset();
}

std::string PlatformSetup::TraceOpenMessage() const {
    if (!m_trace || m_trace->IsOpen()) return {};
    const std::string name = EscapeControlCharacters(m_tracePath);
    if (m_trace->NoReader()) return name + " is a FIFO nobody reads";
    return "cannot open " + name + " for the trace: " + m_trace->OpenError();
}

}  // namespace tavrel
