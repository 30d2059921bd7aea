#include "remote/held_reports.h"

#include <algorithm>

#include "commands/command_codes.h"
#include "common/gbk_literal.h"

namespace tavrel {

namespace {

// A raw keyboard report is modifiers, a reserved byte and six key slots; a raw mouse report is
// buttons, then movement and wheel, which hold nothing.
bool KeyboardHolds(std::span<const std::uint8_t> data) {
    if (data.empty()) return false;
    if (data[0] != 0) return true;
    return data.size() > 2 && std::any_of(data.begin() + 2, data.end(), [](std::uint8_t b) { return b != 0; });
}

bool MouseHolds(std::span<const std::uint8_t> data) {
    return !data.empty() && data[0] != 0;
}

}  // namespace

void HeldReports::Note(const CommandPacket& packet) {
    if (packet.code() == CMD_KEYBOARD_HID) m_keyboard = {m_origin, KeyboardHolds(packet.data())};
    if (packet.code() == CMD_MOUSE_HID) m_mouse = {m_origin, MouseHolds(packet.data())};
}

void HeldReports::SendPacket(const CommandPacket& packet) {
    Note(packet);
    m_target.SendPacket(packet);
}

void HeldReports::SendPacket(const CommandPacket& packet, LogSink& log) {
    Note(packet);
    m_target.SendPacket(packet, log);
}

std::vector<std::string> HeldReports::ReleaseLinesFor(Origin origin) const {
    std::vector<std::string> lines;
    if (m_keyboard.holds && m_keyboard.origin == origin)
        lines.emplace_back("键盘HID:00 00 00 00 00 00 00 00"_gbk);
    if (m_mouse.holds && m_mouse.origin == origin) lines.emplace_back("鼠标HID:00 00 00 00"_gbk);
    return lines;
}

std::vector<std::string> HeldReports::ReleaseLinesForSessions() const {
    std::vector<std::string> lines;
    if (m_keyboard.holds && m_keyboard.origin != 0) lines.emplace_back("键盘HID:00 00 00 00 00 00 00 00"_gbk);
    if (m_mouse.holds && m_mouse.origin != 0) lines.emplace_back("鼠标HID:00 00 00 00"_gbk);
    return lines;
}

}  // namespace tavrel
