#include "commands/flash_block.h"

#include <algorithm>

namespace tavrel {

FlashBlock BuildFlashBlock(FlashOperation operation, std::uint16_t address,
                           std::span<const std::uint8_t, kFlashChunkSize> bytes) {
    FlashBlock block{};
    block[0] = static_cast<std::uint8_t>(operation);
    block[1] = static_cast<std::uint8_t>(kFlashChunkSize);
    block[2] = static_cast<std::uint8_t>(address >> 8);
    block[3] = static_cast<std::uint8_t>(address & 0xFF);
    std::copy(bytes.begin(), bytes.end(), block.begin() + 4);
    return block;
}

FlashBlock BuildFlashReadBlock(std::uint16_t address) {
    static constexpr std::array<std::uint8_t, kFlashChunkSize> kUnfilled{};
    return BuildFlashBlock(FlashOperation::Read, address, kUnfilled);
}

}  // namespace tavrel
