#include "gadget/flash_exchanges.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands/command_codes.h"
#include "commands/flash_block.h"
#include "common/gbk_text.h"

namespace tavrel {

namespace {

constexpr std::size_t kDataFlashBlocks = kDataFlashSize / kFlashChunkSize;
constexpr std::size_t kBlockBytes = 4;  // where a block's bytes begin, after operation, length, address

std::uint16_t AddressOf(const FlashBlock& block) {
    return static_cast<std::uint16_t>(block[2] << 8 | block[3]);
}

std::string AddressText(std::size_t address) {
    return FormatText("0x%04zX", address);
}

std::vector<FlashBlock> DataFlashReadBlocks() {
    std::vector<FlashBlock> blocks;
    for (std::size_t j = 0; j < kDataFlashBlocks; ++j) {
        blocks.push_back(BuildFlashReadBlock(static_cast<std::uint16_t>(j * kFlashChunkSize)));
    }
    return blocks;
}

// The bytes of the answer to a read of the block at `address`, or why there are none.
std::optional<std::string> ReadAnswerProblem(const ReplyEffects& reply, std::uint16_t address) {
    if (!reply.flashData) return "flash read at " + AddressText(address) + " refused";
    const FlashReplyData& data = *reply.flashData;
    if (data.address != address || data.bytes.size() != kFlashChunkSize) {
        return FormatText("flash answer of %zu bytes at ", data.bytes.size()) + AddressText(data.address) +
               " to the read at " + AddressText(address);
    }
    return std::nullopt;
}

// CMD_FLASH packets for `blocks`, then (with `readBack`) a read of each block, in that order.
std::unique_ptr<PacketSequence> FlashSequence(GadgetLink& link, std::optional<GadgetId> target,
                                              const std::vector<FlashBlock>& blocks,
                                              const std::vector<FlashBlock>& readBack) {
    std::vector<CommandPacket> packets;
    packets.reserve(blocks.size() + readBack.size());
    for (const FlashBlock& block : blocks)
        packets.push_back(BuildCommandPacket(CMD_FLASH, block));
    for (const FlashBlock& block : readBack)
        packets.push_back(BuildCommandPacket(CMD_FLASH, BuildFlashReadBlock(AddressOf(block))));
    return std::make_unique<PacketSequence>(link, std::move(target), std::move(packets));
}

// Why the read-back of `written` is not what was written; none when it is.
std::optional<std::string> VerifyProblem(const FlashBlock& written, const ReplyEffects& reply) {
    const std::uint16_t address = AddressOf(written);
    if (std::optional<std::string> problem = ReadAnswerProblem(reply, address)) return problem;
    const std::vector<std::uint8_t>& read = reply.flashData->bytes;
    for (std::size_t i = 0; i < kFlashChunkSize; ++i) {
        if (read[i] != written[kBlockBytes + i]) {
            return "verification mismatch at " + AddressText(address + i) +
                   FormatText(" (wrote %02X, read %02X)", written[kBlockBytes + i], read[i]);
        }
    }
    return std::nullopt;
}

std::unique_ptr<PacketSequence> FlashWrite(GadgetLink& link, std::optional<GadgetId> target,
                                           const std::vector<FlashBlock>& blocks, bool verify) {
    if (!verify) return FlashSequence(link, std::move(target), blocks, {});
    auto sequence = FlashSequence(link, std::move(target), blocks, blocks);
    sequence->SetAnswerCheck(
        [blocks](std::size_t index, const ReplyEffects& reply) -> std::optional<std::string> {
            if (index < blocks.size()) return std::nullopt;  // a write's answer
            return VerifyProblem(blocks[index - blocks.size()], reply);
        });
    return sequence;
}

// Reads every block first; then writes (and reads back) only those the gadget does not hold.
std::unique_ptr<PacketSequence> FlashWriteIfChanged(GadgetLink& link, std::optional<GadgetId> target,
                                                    const std::vector<FlashBlock>& blocks,
                                                    FlashWriteMode mode) {
    std::vector<CommandPacket> reads;
    for (const FlashBlock& block : blocks)
        reads.push_back(BuildCommandPacket(CMD_FLASH, BuildFlashReadBlock(AddressOf(block))));
    auto sequence = std::make_unique<PacketSequence>(link, std::move(target), std::move(reads));
    sequence->KeepOpen();
    if (mode.wrote != nullptr) *mode.wrote = false;
    struct Plan {
        std::vector<FlashBlock> differing;
    };
    auto plan = std::make_shared<Plan>();
    PacketSequence* raw = sequence.get();
    sequence->SetAnswerCheck([blocks, mode, plan, raw](
                                 std::size_t index, const ReplyEffects& reply) -> std::optional<std::string> {
        if (index < blocks.size()) {
            const FlashBlock& wanted = blocks[index];
            if (std::optional<std::string> problem = ReadAnswerProblem(reply, AddressOf(wanted)))
                return problem;
            const std::vector<std::uint8_t>& held = reply.flashData->bytes;
            if (!std::equal(held.begin(), held.end(), wanted.begin() + kBlockBytes))
                plan->differing.push_back(wanted);
            if (index + 1 == blocks.size()) {
                // Every block read: the writes, and their read-backs, are all that is left.
                for (const FlashBlock& block : plan->differing)
                    raw->Append(BuildCommandPacket(CMD_FLASH, block));
                if (mode.verify) {
                    for (const FlashBlock& block : plan->differing)
                        raw->Append(BuildCommandPacket(CMD_FLASH, BuildFlashReadBlock(AddressOf(block))));
                }
                if (mode.wrote != nullptr) *mode.wrote = !plan->differing.empty();
                raw->Close();
            }
            return std::nullopt;
        }
        const std::size_t written = index - blocks.size();
        if (written < plan->differing.size()) return std::nullopt;  // a write's answer
        return VerifyProblem(plan->differing[written - plan->differing.size()], reply);
    });
    return sequence;
}

std::unique_ptr<PacketSequence> FlashWrite(GadgetLink& link, std::optional<GadgetId> target,
                                           const std::vector<FlashBlock>& blocks, FlashWriteMode mode) {
    if (mode.ifChanged) return FlashWriteIfChanged(link, std::move(target), blocks, mode);
    if (mode.wrote != nullptr) *mode.wrote = true;
    return FlashWrite(link, std::move(target), blocks, mode.verify);
}

}  // namespace

std::unique_ptr<PacketSequence> MakeScriptDownload(GadgetLink& link, std::optional<GadgetId> target,
                                                   const ScriptDownload& plan, FlashWriteMode mode) {
    return FlashWrite(link, std::move(target), plan.blocks, mode);
}

std::unique_ptr<PacketSequence> MakeDataFlashRead(GadgetLink& link, std::optional<GadgetId> target,
                                                  DataFlashImage* into) {
    const std::vector<FlashBlock> blocks = DataFlashReadBlocks();
    auto sequence = FlashSequence(link, std::move(target), blocks, {});
    if (into != nullptr) {
        if (into->Size() != kDataFlashSize)
            throw std::invalid_argument("the data flash page holds 128 bytes");
        sequence->SetAnswerCheck(
            [blocks, into](std::size_t index, const ReplyEffects& reply) -> std::optional<std::string> {
                const std::uint16_t address = AddressOf(blocks[index]);
                if (std::optional<std::string> problem = ReadAnswerProblem(reply, address)) return problem;
                into->Write(address, reply.flashData->bytes);
                return std::nullopt;
            });
    }
    return sequence;
}

std::unique_ptr<PacketSequence> MakeDataFlashWrite(GadgetLink& link, std::optional<GadgetId> target,
                                                   std::span<const std::uint8_t> bytes, FlashWriteMode mode) {
    if (bytes.size() != kDataFlashSize) throw std::invalid_argument("the data flash page holds 128 bytes");
    std::vector<FlashBlock> blocks;
    for (std::size_t j = 0; j < kDataFlashBlocks; ++j) {
        blocks.push_back(BuildFlashBlock(FlashOperation::Write,
                                         static_cast<std::uint16_t>(j * kFlashChunkSize),
                                         bytes.subspan(j * kFlashChunkSize).first<kFlashChunkSize>()));
    }
    return FlashWrite(link, std::move(target), blocks, mode);
}

void SendSerialTest(PacketSink& sink) {
    sink.SendPacket(BuildCommandPacket(CMD_SERIAL, kSerialTestBlock));
}

}  // namespace tavrel
