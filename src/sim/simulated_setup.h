#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <string_view>

#include "sim/simulated_hid_bus.h"

namespace tavrel {

// The most gadgets --simulate=N plugs in.
inline constexpr int kMaxSimulatedGadgets = 64;

// What --simulate=N shows, in the window and on the command line alike: "sim:gadget-1" to
// "sim:gadget-N", with the identifiers 0x12345678, 0x12345679, ...
void PlugSimulatedGadgets(SimulatedHidBus& bus, int count);

// One report a simulated device took, as --sim-trace writes it: the device's path (escaped as
// tavrel-cli devices prints it), a tab, the bytes as upper-case hex pairs separated by blanks.
std::string SimTraceLine(std::string_view path, std::span<const std::uint8_t> report);

// --sim-trace FILE: appends every output report the bus's devices take to the file, one
// SimTraceLine each, flushed at once so that the file can be followed while the tool runs.
class SimTraceFile {
public:
    // Check IsOpen: the file may not open.
    SimTraceFile(SimulatedHidBus& bus, const std::string& path);
    ~SimTraceFile();
    SimTraceFile(const SimTraceFile&) = delete;
    SimTraceFile& operator=(const SimTraceFile&) = delete;

    bool IsOpen() const { return m_file.is_open(); }

private:
    SimulatedHidBus& m_bus;
    std::ofstream m_file;
};

}  // namespace tavrel
