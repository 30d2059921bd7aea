// The HID report descriptor parser over any bytes a device (or a hostile one) could give as its
// report_descriptor.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "hid/hid_report_descriptor.h"

namespace {

using tavrel::fuzz::Check;

// What the items declare, walked on its own: for each kind the number of its main items, and the
// largest Report Size and Report Count any global item gives. No report can be longer than all
// of a kind's items at the largest size and count together.
struct Declared {
    std::uint64_t items[3] = {0, 0, 0};  // Input, Output, Feature
    std::uint64_t largestSize = 0;
    std::uint64_t largestCount = 0;
    bool reportId = false;
};

Declared Declare(std::span<const std::uint8_t> bytes) {
    Declared declared;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint8_t prefix = bytes[at];
        if (prefix == 0xFE) {
            if (bytes.size() - at < 3 || bytes.size() - at - 3 < bytes[at + 1]) break;
            at += 3 + bytes[at + 1];
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (bytes.size() - at - 1 < size) break;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value |= std::uint64_t{bytes[at + 1 + i]} << (8 * i);
        const unsigned type = (prefix >> 2) & 3;
        const unsigned tag = prefix >> 4;
        at += 1 + size;
        if (type == 0 && tag == 0x8) ++declared.items[0];
        if (type == 0 && tag == 0x9) ++declared.items[1];
        if (type == 0 && tag == 0xB) ++declared.items[2];
        if (type == 1 && tag == 0x7) declared.largestSize = std::max(declared.largestSize, value);
        if (type == 1 && tag == 0x9) declared.largestCount = std::max(declared.largestCount, value);
        if (type == 1 && tag == 0x8) declared.reportId = true;
    }
    return declared;
}

// The longest a report of a kind can be: one id byte and every item at the largest size and count
// (an upper bound only: an item may well come before the sizes that would make it count).
void CheckBound(std::size_t length, std::uint64_t items, const Declared& declared) {
    if (items == 0 || declared.largestSize == 0 || declared.largestCount == 0) {
        Check(length == 0);
        return;
    }
    const unsigned __int128 bits =
        static_cast<unsigned __int128>(items) * declared.largestSize * declared.largestCount;
    Check(static_cast<unsigned __int128>(length) <= 1 + (bits + 7) / 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A buffer of exactly the input's size: a read past the descriptor is an AddressSanitizer report.
    const std::vector<std::uint8_t> bytes(data, data + size);
    const tavrel::HidReportDescriptorInfo info = tavrel::ParseHidReportDescriptor(bytes);
    const Declared declared = Declare(bytes);

    CheckBound(info.inputReportByteLength, declared.items[0], declared);
    CheckBound(info.outputReportByteLength, declared.items[1], declared);
    CheckBound(info.featureReportByteLength, declared.items[2], declared);
    Check(!info.usesReportIds || declared.reportId);
    // The same bytes give the same answer.
    Check(tavrel::ParseHidReportDescriptor(bytes) == info);
    return 0;
}
