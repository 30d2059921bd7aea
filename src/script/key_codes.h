#pragma once

#include <cstdint>
#include <string_view>

#include "common/log_sink.h"

namespace tavrel {

// The usage both lookups give when the text names no key.
inline constexpr std::uint8_t kNoKeyUsage = 0xFF;

// HID keyboard usage of a named key ("回车", "ctrl+shift+del", "F5", "hid04") in a GBK key
// text, or kNoKeyUsage. The first name of the fixed test order that the lowered text contains
// decides. Writes only debugger traces.
std::uint8_t KeyNameToUsage(std::string_view keyText, LogSink& log);

// HID keyboard usage of one character of a GBK key text: the one after the last "+", else the
// first; kNoKeyUsage when it has none. Writes only debugger traces.
std::uint8_t CharToUsage(std::string_view keyText, LogSink& log);

}  // namespace tavrel
