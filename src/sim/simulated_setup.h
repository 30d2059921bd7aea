#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/sim_state.h"
#include "sim/simulated_hid_bus.h"

namespace tavrel {

// The most gadgets --simulate=N plugs in.
inline constexpr int kMaxSimulatedGadgets = 64;

// The number --simulate=N gives (none: --simulate alone, one gadget); none with `error` set for
// anything but a whole number from 0 to kMaxSimulatedGadgets. The window and every command take
// --simulate through this.
std::optional<int> ParseSimulatedGadgetCount(std::optional<std::string_view> value, std::string& error);

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
    // Whether it did not open because it is a FIFO that nobody has open for reading.
    bool NoReader() const { return m_noReader; }
    // Whether a line could not be written.
    bool Failed() const { return m_failed; }

private:
    SimulatedHidBus& m_bus;
    int m_fd = -1;
    std::string m_openError;
    bool m_noReader = false;
    std::atomic<bool> m_failed{false};
    std::function<void(const std::string&)> m_onFailure;
};

// The HID access a program works on, as its options chose it: the system's (hidraw), or a
// simulated bus of N gadgets (with --sim-trace, its trace). One set-up for the window and every
// command of tavrel-cli.
class PlatformSetup {
public:
    struct Options {
        std::optional<int> simulatedGadgets{};  // --simulate[=N]
        std::string simTrace{};               // --sim-trace FILE
        bool otherInterfaces = false;         // a mouse and a vendor interface beside the gadgets
        std::string sysfsRoot = "/sys";       // where the system's devices are listed
        std::string devRoot = "/dev";
        std::string simState{};  // --sim-state FILE: the simulated gadgets' flash, kept between runs
    };

    // `failed` is told once, with a whole line ("cannot write the trace FILE: REASON; it is lost
    // from here on"), when the trace cannot be written (see SimTraceFile), and once when the state
    // file cannot be written after a change ("cannot write FILE: REASON; it keeps its last state":
    // its old contents stand). It may run on a reader's thread. Check TraceOpenMessage: the trace
    // file may not open; and StateError: the state file may be damaged or in use.
    explicit PlatformSetup(const Options& options, std::function<void(const std::string& line)> failed = {});
    ~PlatformSetup();
    PlatformSetup(const PlatformSetup&) = delete;
    PlatformSetup& operator=(const PlatformSetup&) = delete;

    HidPlatform& Platform() { return *m_platform; }
    // The simulated bus; none for the system's devices.
    SimulatedHidBus* Bus() { return m_bus ? &*m_bus : nullptr; }
    // Why the trace file did not open ("cannot open FILE for the trace: REASON", or "FILE is a FIFO
    // nobody reads"), FILE escaped; empty when it did, or when there is none.
    std::string TraceOpenMessage() const;
    // Whether a trace line could not be written.
    bool TraceFailed() const { return m_trace && m_trace->Failed(); }
    // Why the state file could not be taken (with the exit status it asks for); none when it was,
    // or when there is none.
    const std::optional<SimStateFile::Error>& StateError() const { return m_stateError; }
    // Whether a change could not be written to the state file.
    bool StateFailed() const { return m_stateFailed; }

private:
    std::optional<SimulatedHidBus> m_bus;
    std::string m_tracePath;
    std::optional<SimTraceFile> m_trace;
    std::unique_ptr<SimStateFile> m_state;
    std::optional<SimStateFile::Error> m_stateError;
    std::atomic<bool> m_stateFailed{false};
    std::unique_ptr<HidPlatform> m_platform;
};

}  // namespace tavrel
