#include "sim/simulated_setup.h"

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

SimTraceFile::SimTraceFile(SimulatedHidBus& bus, const std::string& path)
    : m_bus(bus), m_file(path, std::ios::app) {
    if (!m_file) return;
    m_bus.SetReceivedReportObserver([this](const std::string& device, std::span<const std::uint8_t> report) {
        m_file << SimTraceLine(device, report) << std::endl;
    });
}

SimTraceFile::~SimTraceFile() {
    if (m_file.is_open()) m_bus.SetReceivedReportObserver({});
}

}  // namespace tavrel
