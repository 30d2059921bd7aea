#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tavrel {

// Bytes that one CMD_FLASH request reads or writes.
inline constexpr std::size_t kFlashChunkSize = 32;
// The data flash the data flash page shows and the reply decoder fills: addresses 0 to 127.
inline constexpr std::size_t kDataFlashSize = 128;

enum class FlashOperation : std::uint8_t { Read = 0, Write = 1 };

// The 36 data bytes of a CMD_FLASH request: operation, 32, address high byte first, 32 bytes.
using FlashBlock = std::array<std::uint8_t, 4 + kFlashChunkSize>;

// A write block carries `bytes` (32 of them); a read block leaves the byte area zero.
FlashBlock BuildFlashBlock(FlashOperation operation, std::uint16_t address,
                           std::span<const std::uint8_t, kFlashChunkSize> bytes);
FlashBlock BuildFlashReadBlock(std::uint16_t address);

// The 32-byte block the serial send button passes through the gadget: 0x08, "1234", a line
// feed, then zeros.
using SerialTestBlock = std::array<std::uint8_t, 32>;
inline constexpr SerialTestBlock kSerialTestBlock = {0x08, '1', '2', '3', '4', 0x0A};

}  // namespace tavrel
