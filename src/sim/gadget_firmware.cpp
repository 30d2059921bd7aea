#include "sim/gadget_firmware.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "commands/command_codes.h"
#include "commands/command_packet.h"
#include "commands/flash_block.h"

namespace tavrel {

namespace {

constexpr std::uint8_t kReportId = 0;

std::vector<std::uint8_t> InputReportOf(const CommandPacket& packet) {
    std::vector<std::uint8_t> report(GadgetFirmware::kReportSize, 0);
    report[0] = kReportId;
    std::copy(packet.bytes().begin(), packet.bytes().end(), report.begin() + 1);
    return report;
}

// The packet after the report id, when its framing holds together: report id 0, a length that
// fits both a packet and the report, and the checksum of the data.
std::optional<GadgetPacket> ParsePacket(std::span<const std::uint8_t> report) {
    constexpr std::size_t kHeader = CommandPacket::kHeaderSize;
    if (report.size() < 1 + kHeader || report[0] != kReportId) {
        return std::nullopt;
    }
    const auto packet = report.subspan(1);
    const std::uint8_t length = packet[1];
    if (length > CommandPacket::kMaxDataSize || kHeader + length > packet.size()) {
        return std::nullopt;
    }
    const auto data = packet.subspan(kHeader, length);
    const std::uint8_t checksum = packet[2];
    // The tool frames a command without data with checksum 0 and present empty data with 0x5E;
    // the firmware takes both.
    const bool consistent =
        length == 0 ? checksum == PacketChecksum(nullptr, 0) || checksum == PacketChecksum(packet.data(), 0)
                    : checksum == PacketChecksum(data.data(), length);
    if (!consistent) {
        return std::nullopt;
    }
    return GadgetPacket{packet[0], {data.begin(), data.end()}};
}

}  // namespace

std::vector<std::uint8_t> GadgetInputReport(std::uint8_t code, std::span<const std::uint8_t> data) {
    return InputReportOf(BuildCommandPacket(code, data));
}

std::vector<std::uint8_t> GadgetInputReport(std::uint8_t code) {
    return InputReportOf(BuildCommandPacket(code));
}

GadgetFirmware::GadgetFirmware(std::uint32_t deviceIdentifier, std::size_t flashSize)
    : m_deviceIdentifier(deviceIdentifier), m_flash(flashSize, 0xFF) {}

GadgetResponse GadgetFirmware::HandleOutputReport(std::span<const std::uint8_t> report) {
    GadgetResponse response;
    const std::optional<GadgetPacket> packet = ParsePacket(report);
    if (!packet) {
        return response;
    }
    KeepRecent(m_packets, *packet);
    std::vector<std::uint8_t> answer = AnswerFor(*packet);
    if (m_fault == GadgetFault::UnplugDuringExchange) {
        m_fault = GadgetFault::None;
        response.unplugs = true;
        return response;
    }
    if (answer.empty() || m_fault == GadgetFault::NoAnswer) {
        return response;
    }
    if (m_answersLeft) {
        if (*m_answersLeft == 0) return response;
        --*m_answersLeft;
    }
    if (m_fault == GadgetFault::ShortReply) {
        answer.resize(1 + kShortReplySize);
    }
    response.inputReports.push_back(std::move(answer));
    return response;
}

void GadgetFirmware::PowerOn() {
    m_playback = PlaybackState::Stopped;
}

void GadgetFirmware::WriteFlash(std::size_t address, std::span<const std::uint8_t> bytes) {
    if (address > m_flash.size() || bytes.size() > m_flash.size() - address) {
        throw std::out_of_range("simulated gadget flash write past the end of its flash");
    }
    std::copy(bytes.begin(), bytes.end(), m_flash.begin() + static_cast<std::ptrdiff_t>(address));
}

// Gives the answer report, or an empty vector when the gadget does not answer the code.
std::vector<std::uint8_t> GadgetFirmware::AnswerFor(const GadgetPacket& packet) {
    switch (packet.code) {
        case CMD_READ_ID: {
            const std::uint32_t id = m_deviceIdentifier;
            const std::uint8_t bytes[] = {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8),
                                          static_cast<std::uint8_t>(id >> 16),
                                          static_cast<std::uint8_t>(id >> 24)};
            return GadgetInputReport(packet.code, bytes);
        }
        case CMD_FLASH: return GadgetInputReport(packet.code, AnswerFlash(packet.data));
        case CMD_START: m_playback = PlaybackState::Started; return GadgetInputReport(packet.code);
        case CMD_STOP: m_playback = PlaybackState::Stopped; return GadgetInputReport(packet.code);
        // The acknowledgement leaves before the restart.
        case CMD_REBOOT: PowerOn(); return GadgetInputReport(packet.code);
        case CMD_ISP: return GadgetInputReport(packet.code);
        case CMD_KEYBOARD:
        case CMD_KEYBOARD_HID:
        case CMD_MOUSE:
        case CMD_MOUSE_HID: KeepRecent(m_inputRequests, packet); return GadgetInputReport(packet.code);
        case CMD_SERIAL: return GadgetInputReport(packet.code, packet.data);
        default: return {};
    }
}

// The data of a flash answer: status, length, address high byte first, then (for a read) the
// bytes. A request the flash cannot carry out answers kFlashFailed with its length and address.
std::vector<std::uint8_t> GadgetFirmware::AnswerFlash(std::span<const std::uint8_t> request) {
    constexpr std::size_t kHead = 4;
    if (request.size() < kHead) {
        return {kFlashFailed, 0, 0, 0};
    }
    const std::uint8_t operation = request[0];
    const std::uint8_t length = request[1];
    const std::size_t address = static_cast<std::size_t>(request[2]) << 8 | request[3];
    std::vector<std::uint8_t> answer = {kFlashFailed, length, request[2], request[3]};
    const bool inFlash = length <= kFlashChunkSize && address + length <= m_flash.size();
    if (m_fault == GadgetFault::ErrorStatus || !inFlash) {
        return answer;
    }
    const auto place = m_flash.begin() + static_cast<std::ptrdiff_t>(address);
    if (operation == static_cast<std::uint8_t>(FlashOperation::Read)) {
        answer[0] = kFlashRead;
        answer.insert(answer.end(), place, place + length);
    } else if (operation == static_cast<std::uint8_t>(FlashOperation::Write) &&
               request.size() >= kHead + length) {
        answer[0] = kFlashWritten;
        std::copy_n(request.begin() + kHead, length, place);
        if (m_fault == GadgetFault::StoresWrongByte && length > 0) *place ^= 0x01;
    }
    return answer;
}

}  // namespace tavrel
