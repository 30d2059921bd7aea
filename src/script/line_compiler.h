#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "commands/command_packet.h"
#include "common/log_sink.h"
#include "script/script_record.h"

namespace tavrel {

// Compile mode: turns one GBK script line into at most one record at `record`. Gives 1 when the
// line made a record (the caller counts it), 0 for comments, empty lines and logged errors.
// Only the bytes the record kind sets are written; a raw report line writes nothing and gives 1.
int CompileScriptLine(std::string_view line, std::span<std::uint8_t, kScriptRecordSize> record, LogSink& log);

// What the compiler takes a line for, from its keywords alone (its argument may still fail).
enum class ScriptLineKind {
    Blank,
    Comment,
    Keyboard,
    RawKeyboard,  // keyhid: a raw keyboard report
    Mouse,
    RawMouse,  // mousehid: a raw mouse report
    Delay,
    Jump,
    PlayControl,  // restart, stop, suspend
    Unknown,      // no keyword the compiler knows: "未知指令"
};

// Classifies one GBK script line as both modes of CompileScriptLine do before compiling it.
ScriptLineKind ClassifyScriptLine(std::string_view line);

// Live mode: runs the line at once. Keyboard and mouse lines (and raw keyhid/mousehid reports)
// go to `packets` as CMD_KEYBOARD, CMD_MOUSE, CMD_KEYBOARD_HID or CMD_MOUSE_HID; every other
// line only logs what compile mode logs. Gives what compile mode gives.
int CompileScriptLine(std::string_view line, PacketSink& packets, LogSink& log);

}  // namespace tavrel
