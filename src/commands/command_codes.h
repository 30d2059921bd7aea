#pragma once

#include <cstdint>

namespace tavrel {

// Codes of the commands the tool sends and of the replies and events the gadget reports.
enum CommandCode : std::uint8_t {
    CMD_SUSPEND = 0x12,
    CMD_START = 0x13,
    CMD_STOP = 0x14,
    CMD_ADD_SCRIPT = 0x15,
    CMD_CLEAR_SCRIPT = 0x16,
    CMD_DEMO = 0x17,
    CMD_KEYBOARD = 0x1A,
    CMD_KEYBOARD_HID = 0x1B,
    CMD_MOUSE = 0x1C,
    CMD_MOUSE_HID = 0x1D,
    CMD_READ_ID = 0x22,
    CMD_DEVICE_INFO = 0xA0,
    CMD_SET_VIDPID = 0xA1,
    CMD_FLASH = 0xA3,
    CMD_SERIAL = 0xA8,
    CMD_ISP = 0xAE,
    CMD_REBOOT = 0xAF,
};

// The gadget's USB vendor id.
inline constexpr std::uint16_t kGadgetVendorId = 0x4132;

}  // namespace tavrel
