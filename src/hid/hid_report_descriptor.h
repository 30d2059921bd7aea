#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavrel {

// What the tool needs to know of a HID report descriptor: the byte length of the longest report of
// each kind, the leading report id byte included (also for descriptors that use no report ids, so
// the lengths match what the other platforms report), 0 for a kind without reports; and whether
// the reports are numbered.
struct HidReportDescriptorInfo {
    std::size_t inputReportByteLength = 0;
    std::size_t outputReportByteLength = 0;
    std::size_t featureReportByteLength = 0;
    bool usesReportIds = false;

    bool operator==(const HidReportDescriptorInfo&) const = default;
};

// Sums Report Size x Report Count of the Input, Output and Feature items per report id. Malformed
// input (a truncated item, Pop without Push, nesting too deep) ends the walk; what was read up to
// there is kept. Never reads outside `descriptor`.
HidReportDescriptorInfo ParseHidReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace tavrel
