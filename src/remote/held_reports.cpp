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
    return data.size() > 2 &&
           std::any_of(data.begin() + 2, data.end(), [](std::uint8_t b) { return b != 0; });
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

std::vector<HeldReports::Release> HeldReports::ReleasesFor(std::optional<Origin> origin) const {
    std::vector<Release> releases;
    const auto wanted = [&](const Last& last) {
        return last.holds && (origin ? last.origin == *origin : last.origin != 0);
    };
    if (wanted(m_keyboard))
        releases.push_back({m_keyboard.origin, std::string("键盘HID:00 00 00 00 00 00 00 00"_gbk)});
    if (wanted(m_mouse)) releases.push_back({m_mouse.origin, std::string("鼠标HID:00 00 00 00"_gbk)});
    return releases;
}

}  // namespace tavrel
