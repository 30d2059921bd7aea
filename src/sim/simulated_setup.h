#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
// SimTraceLine each, written at once so that the file can be followed while the tool runs.
class SimTraceFile {
public:
    // Check IsOpen: the file may not open (OpenError says why). `failed` is told once, with the
    // system's words, when a line cannot be written; the trace is lost from there on. It runs on
    // the writing thread with the bus held, and must not call back into the bus.
    SimTraceFile(SimulatedHidBus& bus, const std::string& path,
                 std::function<void(const std::string& reason)> failed = {});
    ~SimTraceFile();
    SimTraceFile(const SimTraceFile&) = delete;
    SimTraceFile& operator=(const SimTraceFile&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    const std::string& OpenError() const { return m_openError; }
    // Whether a line could not be written.
    bool Failed() const { return m_failed; }

private:
    SimulatedHidBus& m_bus;
    int m_fd = -1;
    std::string m_openError;
    std::atomic<bool> m_failed{false};
    std::function<void(const std::string&)> m_onFailure;
};

}  // namespace tavrel
