#include "gadget/mouse_test.h"

#include <array>
#include <cstdint>

#include "commands/command_codes.h"
#include "common/gbk_literal.h"

namespace tavrel {

namespace {

constexpr std::array<std::uint8_t, 4> kMoveReport = {0x18, 0x1E, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kStillReport = {0x00, 0x00, 0x00, 0x00};

}  // namespace

MouseTestExchange::MouseTestExchange(GadgetLink& link, std::optional<GadgetId> target, Pacing pacing)
    : GadgetExchange(link, std::move(target)), m_pacing(pacing) {}

void MouseTestExchange::Begin() {
    Move();
}

void MouseTestExchange::Move() {
    if (!Send(BuildCommandPacket(CMD_MOUSE_HID, kMoveReport))) return;
    After(m_pacing.moveMs, &MouseTestExchange::Rest);
}

void MouseTestExchange::Rest() {
    if (!Send(BuildCommandPacket(CMD_MOUSE_HID, kStillReport))) return;
    if (++m_cycle < kCycles) {
        After(m_pacing.restMs, &MouseTestExchange::Move);
        return;
    }
    // The last rest is waited out too, as ten whole cycles.
    After(m_pacing.restMs, &MouseTestExchange::Complete);
}

void MouseTestExchange::Complete() {
    Link().Log().LogLine("鼠标测试完成"_gbk);
    Finish(Outcome::Done);
}

}  // namespace tavrel
