#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tavrel {

// Appends to a history that keeps at least its last `kept` entries: the older half goes once it
// holds twice as many, so appending stays cheap.
template <typename T>
void KeepRecent(std::vector<T>& history, T entry, std::size_t kept = 4096) {
    if (history.size() >= 2 * kept)
        history.erase(history.begin(), history.end() - static_cast<std::ptrdiff_t>(kept));
    history.push_back(std::move(entry));
}

// What a simulated gadget does wrong on purpose, so the tool's error paths can be exercised.
// A fault changes only the answers: the packet itself still takes effect, except that a flash
// request under ErrorStatus fails and stores nothing, and a write under StoresWrongByte stores
// one byte wrong.
enum class GadgetFault {
    None,
    NoAnswer,              // takes every packet and answers none
    ShortReply,            // every answer is cut to 3 bytes after the report id
    ErrorStatus,           // every flash request fails with status 0xEE
    UnplugDuringExchange,  // takes the next packet, then leaves the bus instead of answering (once)
    StoresWrongByte,       // every flash write stores its first byte with bit 0 flipped, and says written
};

enum class PlaybackState { Stopped, Started };

// One packet the firmware accepted: its command code and data.
struct GadgetPacket {
    std::uint8_t code = 0;
    std::vector<std::uint8_t> data;
    bool operator==(const GadgetPacket&) const = default;
};

// The firmware's reaction to one output report.
struct GadgetResponse {
    std::vector<std::vector<std::uint8_t>> inputReports;  // report id first, in sending order
    bool unplugs = false;                                 // the gadget leaves the bus instead of answering
};

// An input report as the gadget sends it: report id 0, code, data length, checksum of the data,
// 0, the data, zero-filled to 65 bytes. Data longer than 60 bytes throws std::length_error.
std::vector<std::uint8_t> GadgetInputReport(std::uint8_t code, std::span<const std::uint8_t> data);
// The same with no data (length 0, checksum 0), as the gadget acknowledges a command.
std::vector<std::uint8_t> GadgetInputReport(std::uint8_t code);

// A model of the gadget's firmware: takes the tool's output reports one at a time and gives the
// input reports the gadget answers with. Not thread-safe; the simulated bus serialises access.
class GadgetFirmware {
public:
    static constexpr std::size_t kDefaultFlashSize = 512;
    static constexpr std::size_t kReportSize = 65;
    // Status byte of a flash answer.
    static constexpr std::uint8_t kFlashRead = 0;       // the requested bytes follow
    static constexpr std::uint8_t kFlashWritten = 1;    // stored, no data follows
    static constexpr std::uint8_t kFlashFailed = 0xEE;  // refused, nothing read or stored
    static constexpr std::size_t kShortReplySize = 3;

    // A gadget with the given device identifier and `flashSize` bytes of erased flash.
    explicit GadgetFirmware(std::uint32_t deviceIdentifier, std::size_t flashSize = kDefaultFlashSize);

    // Takes one output report (report id first); malformed packets and unknown codes get no answer.
    GadgetResponse HandleOutputReport(std::span<const std::uint8_t> report);

    // Power comes back (plugged in again): playback is stopped; the flash keeps its contents.
    void PowerOn();

    void SetFault(GadgetFault fault) { m_fault = fault; }
    GadgetFault fault() const { return m_fault; }
    // Answers only the next `count` packets that get an answer, then falls silent (it still takes
    // every packet); none: no limit.
    void SetAnswersLeft(std::optional<std::size_t> count) { m_answersLeft = count; }

    std::uint32_t deviceIdentifier() const { return m_deviceIdentifier; }
    const std::vector<std::uint8_t>& flash() const { return m_flash; }
    // Places bytes in flash directly, as if written earlier; throws std::out_of_range past its end.
    void WriteFlash(std::size_t address, std::span<const std::uint8_t> bytes);
    PlaybackState playback() const { return m_playback; }
    // The histories below keep at least their last 4096 entries (KeepRecent): a simulation left
    // running for days stays bounded.
    // Every well-framed packet taken, in order, whether the firmware knew its code or not.
    const std::vector<GadgetPacket>& packets() const { return m_packets; }
    // The keyboard and mouse commands taken (what the gadget was asked to type or move), in order.
    const std::vector<GadgetPacket>& inputRequests() const { return m_inputRequests; }

private:
    std::vector<std::uint8_t> AnswerFlash(std::span<const std::uint8_t> request);
    std::vector<std::uint8_t> AnswerFor(const GadgetPacket& packet);

    std::uint32_t m_deviceIdentifier;
    std::vector<std::uint8_t> m_flash;
    GadgetFault m_fault = GadgetFault::None;
    std::optional<std::size_t> m_answersLeft;
    PlaybackState m_playback = PlaybackState::Stopped;
    std::vector<GadgetPacket> m_packets;
    std::vector<GadgetPacket> m_inputRequests;
};

}  // namespace tavrel
