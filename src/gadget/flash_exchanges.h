#pragma once

#include <memory>
#include <optional>
#include <span>

#include "commands/command_packet.h"
#include "commands/script_download.h"
#include "gadget/data_flash.h"
#include "gadget/gadget_exchange.h"

namespace tavrel {

// The exchanges that store scripts and data: each a PacketSequence of CMD_FLASH packets, the next
// one sent once the gadget has answered the one before; they end silently at the first packet left
// unanswered, what was written staying written. Sent() and Answered() tell how far they got.
//
// With `verify` (the command line's --verify), every block written is read back after the last
// write and compared byte for byte: the first byte that differs ends the exchange as Failed,
// "verification mismatch at 0x0041 (wrote 5A, read 5B)"; so does a read answered with no bytes
// or with bytes of another address.

// With `ifChanged` (--if-changed), each block to be written is read first, and only the blocks whose
// bytes differ are written (and, with `verify`, read back); `wrote` (when given) learns whether
// any was. A gadget that already holds every block gets no write at all.
struct FlashWriteMode {
    bool verify = false;
    bool ifChanged = false;
    bool* wrote = nullptr;
};

// The script download: the write blocks the plan gives, from flash address 32 on.
std::unique_ptr<PacketSequence> MakeScriptDownload(GadgetLink& link, std::optional<GadgetId> target,
                                                   const ScriptDownload& plan, FlashWriteMode mode);
inline std::unique_ptr<PacketSequence> MakeScriptDownload(GadgetLink& link, std::optional<GadgetId> target,
                                                          const ScriptDownload& plan, bool verify = false) {
    return MakeScriptDownload(link, std::move(target), plan, FlashWriteMode{verify});
}
// Reads flash 0 to 127 in four 32-byte blocks; the answers place their bytes by their own address
// (through the window's reply handling). With `into`, each answer must carry the block asked for,
// and its bytes land in `into` (128 bytes); any other answer fails the exchange.
std::unique_ptr<PacketSequence> MakeDataFlashRead(GadgetLink& link, std::optional<GadgetId> target,
                                                  DataFlashImage* into = nullptr);
// Writes `bytes` (128 of them, as they are when it starts) to flash 0 to 127 in four blocks.
std::unique_ptr<PacketSequence> MakeDataFlashWrite(GadgetLink& link, std::optional<GadgetId> target,
                                                   std::span<const std::uint8_t> bytes, FlashWriteMode mode);
inline std::unique_ptr<PacketSequence> MakeDataFlashWrite(GadgetLink& link, std::optional<GadgetId> target,
                                                          std::span<const std::uint8_t> bytes,
                                                          bool verify = false) {
    return MakeDataFlashWrite(link, std::move(target), bytes, FlashWriteMode{verify});
}

// Passes the serial test block through the gadget (CMD_SERIAL, checksum 0x82); does not wait.
void SendSerialTest(PacketSink& sink);

}  // namespace tavrel
