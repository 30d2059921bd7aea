#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// The flash of simulated gadgets kept in a file between runs (--sim-state FILE), so that one
// command's download is the next one's flash. Text, small:
//
//   # tavrel simulated gadgets: their flash, one line each
//   tavrel-sim-state 1
//   sim:gadget-1 FFFF...   (the gadget's 512 flash bytes as 1024 hex digits)
//   sim:gadget-2 ...
//
// Lines starting with '#' and blank lines say nothing. The gadgets are in order, from 1. The file
// is written whole (FILE.tmp, then renamed over it), so a cut between the two leaves the old file
// standing; it is locked (FILE.lock) for the whole run of the process that uses it.
class SimStateFile {
public:
    static constexpr std::size_t kFlashSize = 512;
    static constexpr std::chrono::seconds kLockWait{10};
    // Exit statuses: the file is damaged or cannot be read; another process holds it.
    static constexpr int kExitDamaged = 2;
    static constexpr int kExitInUse = 4;

    struct Error {
        int exitStatus = kExitDamaged;
        std::string message;
    };

    // Locks FILE (waiting up to `wait` for another process to let go of it) and reads it: a missing
    // file holds no gadget. The state then holds `gadgets` gadgets, the first ones as the file had
    // them, any more erased (all FF), and is written so at once.
    static std::unique_ptr<SimStateFile> Open(const std::string& path, int gadgets, Error& error,
                                              std::chrono::milliseconds wait = kLockWait);
    ~SimStateFile();
    SimStateFile(const SimStateFile&) = delete;
    SimStateFile& operator=(const SimStateFile&) = delete;

    // Gadget `index`'s flash (0 is sim:gadget-1).
    const std::vector<std::uint8_t>& Flash(std::size_t index) const { return m_flash.at(index); }
    std::size_t Gadgets() const { return m_flash.size(); }
    // Gadget `index`'s flash changed: the file is written anew. The system's words when it cannot
    // be (the old file then stands).
    std::optional<std::string> Update(std::size_t index, const std::vector<std::uint8_t>& flash);

    // The text of a state, and the flash of a text (the reason when it is damaged), for tests.
    static std::string Format(const std::vector<std::vector<std::uint8_t>>& flash);
    static std::optional<std::string> Parse(std::string_view text,
                                            std::vector<std::vector<std::uint8_t>>& flash);
    // Called between writing FILE.tmp and renaming it, for tests of a cut there: false stops the
    // write as a power cut would.
    void SetBeforeRename(std::function<bool()> hook) { m_beforeRename = std::move(hook); }

private:
    SimStateFile(std::string path, int lockFd) : m_path(std::move(path)), m_lockFd(lockFd) {}
    std::optional<std::string> Save();

    std::string m_path;
    int m_lockFd = -1;
    std::vector<std::vector<std::uint8_t>> m_flash;
    std::function<bool()> m_beforeRename;
};

}  // namespace tavrel
