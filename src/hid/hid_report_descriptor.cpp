#include "hid/hid_report_descriptor.h"

#include <array>
#include <limits>
#include <map>
#include <vector>

namespace tavrel {

namespace {

// Item types and the tags this parser acts on (HID 1.11, 6.2.2).
constexpr unsigned kTypeMain = 0;
constexpr unsigned kTypeGlobal = 1;

constexpr unsigned kMainInput = 0x8;
constexpr unsigned kMainOutput = 0x9;
constexpr unsigned kMainFeature = 0xB;

constexpr unsigned kGlobalReportSize = 0x7;
constexpr unsigned kGlobalReportId = 0x8;
constexpr unsigned kGlobalReportCount = 0x9;
constexpr unsigned kGlobalPush = 0xA;
constexpr unsigned kGlobalPop = 0xB;

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// Real descriptors nest Push a few levels at most (the Linux kernel allows 4); the limit only
// keeps a hostile descriptor from growing the stack without end.
constexpr std::size_t kMaxPushDepth = 64;

enum Kind { kInput, kOutput, kFeature, kKindCount };

// The part of the global state that decides report lengths.
struct GlobalState {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return a > max - b ? max : a + b;
}

// Item data is little-endian, 0, 1, 2 or 4 bytes.
std::uint32_t UnsignedData(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        value |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    }
    return value;
}

std::size_t ByteLengthWithId(std::uint64_t bits) {
    if (bits == 0) {
        return 0;
    }
    return static_cast<std::size_t>(1 + bits / 8 + (bits % 8 != 0 ? 1 : 0));
}

}  // namespace

HidReportDescriptorInfo ParseHidReportDescriptor(std::span<const std::uint8_t> descriptor) {
    HidReportDescriptorInfo info;
    GlobalState global;
    std::vector<GlobalState> pushed;
    // Bits per report id, per kind. Reports of one id may be spread over several places.
    std::map<std::uint32_t, std::array<std::uint64_t, kKindCount>> bitsPerId;

    std::size_t at = 0;
    while (at < descriptor.size()) {
        const std::uint8_t prefix = descriptor[at];
        if (prefix == kLongItemPrefix) {
            // Long items carry no data this parser needs: prefix, data size, tag, data.
            if (descriptor.size() - at < 3) {
                break;
            }
            const std::size_t dataSize = descriptor[at + 1];
            if (descriptor.size() - at - 3 < dataSize) {
                break;
            }
            at += 3 + dataSize;
            continue;
        }

        const std::size_t sizeCode = prefix & 0x3u;
        const std::size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
        if (descriptor.size() - at - 1 < dataSize) {
            break;
        }
        const std::uint32_t value = UnsignedData(descriptor.subspan(at + 1, dataSize));
        const unsigned type = (prefix >> 2) & 0x3u;
        const unsigned tag = prefix >> 4;
        at += 1 + dataSize;

        if (type == kTypeMain) {
            Kind kind = kKindCount;
            switch (tag) {
                case kMainInput: kind = kInput; break;
                case kMainOutput: kind = kOutput; break;
                case kMainFeature: kind = kFeature; break;
                default: break;
            }
            if (kind != kKindCount) {
                const std::uint64_t bits = std::uint64_t{global.reportSize} * global.reportCount;
                std::uint64_t& sum = bitsPerId[global.reportId][kind];
                sum = SaturatingAdd(sum, bits);
            }
        } else if (type == kTypeGlobal) {
            bool malformed = false;
            switch (tag) {
                case kGlobalReportSize: global.reportSize = value; break;
                case kGlobalReportCount: global.reportCount = value; break;
                case kGlobalReportId:
                    global.reportId = value;
                    info.usesReportIds = true;
                    break;
                case kGlobalPush:
                    if (pushed.size() == kMaxPushDepth) {
                        malformed = true;
                    } else {
                        pushed.push_back(global);
                    }
                    break;
                case kGlobalPop:
                    if (pushed.empty()) {
                        malformed = true;
                    } else {
                        global = pushed.back();
                        pushed.pop_back();
                    }
                    break;
                default: break;
            }
            if (malformed) {
                break;
            }
        }
        // Local items (usages, designators, strings, delimiters) do not change report lengths.
    }

    std::array<std::size_t, kKindCount> longest{};
    for (const auto& [id, bits] : bitsPerId) {
        for (std::size_t kind = 0; kind < kKindCount; ++kind) {
            const std::size_t length = ByteLengthWithId(bits[kind]);
            if (length > longest[kind]) {
                longest[kind] = length;
            }
        }
    }
    info.inputReportByteLength = longest[kInput];
    info.outputReportByteLength = longest[kOutput];
    info.featureReportByteLength = longest[kFeature];
    return info;
}

}  // namespace tavrel
