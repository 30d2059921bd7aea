#pragma once

#include <cstdint>

#include "commands/command_codes.h"

namespace tavrel {

// Whether a HID interface is the gadget: its vendor id, and output reports long enough for a
// command packet (at least 64 bytes, the report id byte included).
inline constexpr bool IsGadget(std::uint16_t vendorId, std::uint16_t outputReportByteLength) {
    return vendorId == kGadgetVendorId && outputReportByteLength >= 64;
}

}  // namespace tavrel
