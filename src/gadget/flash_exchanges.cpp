#include "gadget/flash_exchanges.h"

#include <stdexcept>
#include <vector>

#include "commands/command_codes.h"
#include "commands/flash_block.h"

namespace tavrel {

namespace {

std::vector<CommandPacket> FlashPackets(const std::vector<FlashBlock>& blocks) {
    std::vector<CommandPacket> packets;
    packets.reserve(blocks.size());
    for (const FlashBlock& block : blocks)
        packets.push_back(BuildCommandPacket(CMD_FLASH, block));
    return packets;
}

constexpr std::size_t kDataFlashBlocks = kDataFlashSize / kFlashChunkSize;

}  // namespace

std::unique_ptr<PacketSequence> MakeScriptDownload(GadgetLink& link, std::optional<GadgetId> target,
                                                   const ScriptDownload& plan) {
    return std::make_unique<PacketSequence>(link, std::move(target), FlashPackets(plan.blocks));
}

std::unique_ptr<PacketSequence> MakeDataFlashRead(GadgetLink& link, std::optional<GadgetId> target) {
    std::vector<FlashBlock> blocks;
    for (std::size_t j = 0; j < kDataFlashBlocks; ++j) {
        blocks.push_back(BuildFlashReadBlock(static_cast<std::uint16_t>(j * kFlashChunkSize)));
    }
    return std::make_unique<PacketSequence>(link, std::move(target), FlashPackets(blocks));
}

std::unique_ptr<PacketSequence> MakeDataFlashWrite(GadgetLink& link, std::optional<GadgetId> target,
                                                   std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kDataFlashSize) throw std::invalid_argument("the data flash page holds 128 bytes");
    std::vector<FlashBlock> blocks;
    for (std::size_t j = 0; j < kDataFlashBlocks; ++j) {
        blocks.push_back(BuildFlashBlock(FlashOperation::Write,
                                         static_cast<std::uint16_t>(j * kFlashChunkSize),
                                         bytes.subspan(j * kFlashChunkSize).first<kFlashChunkSize>()));
    }
    return std::make_unique<PacketSequence>(link, std::move(target), FlashPackets(blocks));
}

void SendSerialTest(PacketSink& sink) {
    sink.SendPacket(BuildCommandPacket(CMD_SERIAL, kSerialTestBlock));
}

}  // namespace tavrel
