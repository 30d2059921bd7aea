#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrel {

// One compiled script instruction: kind in the top 3 bits of byte 0, then two parameters.
inline constexpr std::size_t kScriptRecordSize = 3;
using ScriptRecord = std::array<std::uint8_t, kScriptRecordSize>;

// The window's record buffer: 128 bytes, room for 42 whole records.
inline constexpr std::size_t kRecordBufferSize = 128;
inline constexpr int kMaxScriptRecords = 42;
using ScriptRecordBuffer = std::array<std::uint8_t, kRecordBufferSize>;

enum RecordKind : std::uint8_t {
    kKindKeyboard = 1,
    kKindMouse = 2,
    kKindPause = 3,
    kKindPlay = 4,
    kKindJump = 5,
    kKindVersion = 7,
};

inline constexpr std::uint8_t RecordKindOf(std::uint8_t byte0) {
    return byte0 >> 5;
}

// Byte 0 of each kind with its field zero.
inline constexpr std::uint8_t kKeyboardRecord = 0x20;
inline constexpr std::uint8_t kMouseRecord = 0x40;
inline constexpr std::uint8_t kPauseRecord = 0x60;
inline constexpr std::uint8_t kPlayRecord = 0x80;
inline constexpr std::uint8_t kJumpRecord = 0xA0;
inline constexpr std::uint8_t kVersionRecord = 0xE0;
inline constexpr std::uint8_t kVersionAutoRunFlag = 0x01;

// Keyboard modifier flags, in the bit order of the HID boot keyboard's modifier byte.
inline constexpr std::uint8_t kModifierCtrl = 0x01;
inline constexpr std::uint8_t kModifierShift = 0x02;
inline constexpr std::uint8_t kModifierAlt = 0x04;
inline constexpr std::uint8_t kModifierWin = 0x08;

enum MouseAction : std::uint8_t {
    MOUSE_CLICK = 1,
    MOUSE_DBCLICK = 2,
    MOUSE_MCLICK = 3,
    MOUSE_RCLICK = 4,
    MOUSE_POS = 6,
    MOUSE_WHEEL = 7,
    MOUSE_MOVE = 10,
    MOUSE_MOVE_LEFT = 11,
    MOUSE_MOVE_RIGHT = 12,
    MOUSE_MOVE_UP = 13,
    MOUSE_MOVE_DOWN = 14,
};

enum PlayControl : std::uint8_t {
    PLAY_RESTART = 1,
    PLAY_STOP = 2,
    PLAY_SUSPEND = 3,
};

// The longest pause the compiler writes, in 10 ms units (655 seconds), and in seconds.
inline constexpr std::uint16_t kMaxPauseUnits = 65500;
inline constexpr int kMaxPauseSeconds = 655;

}  // namespace tavrel
