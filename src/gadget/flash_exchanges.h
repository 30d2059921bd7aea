#pragma once

#include <memory>
#include <optional>
#include <span>

#include "commands/command_packet.h"
#include "commands/script_download.h"
#include "gadget/gadget_exchange.h"

namespace tavrel {

// The exchanges that store scripts and data: each a PacketSequence of CMD_FLASH packets, the next
// one sent once the gadget has answered the one before; they end silently at the first packet left
// unanswered, what was written staying written. Sent() and Answered() tell how far they got.

// The script download: the write blocks the plan gives, from flash address 32 on.
std::unique_ptr<PacketSequence> MakeScriptDownload(GadgetLink& link, std::optional<GadgetId> target,
                                                   const ScriptDownload& plan);
// Reads flash 0 to 127 in four 32-byte blocks; the answers place their bytes by their own address.
std::unique_ptr<PacketSequence> MakeDataFlashRead(GadgetLink& link, std::optional<GadgetId> target);
// Writes `bytes` (128 of them, as they are when it starts) to flash 0 to 127 in four blocks.
std::unique_ptr<PacketSequence> MakeDataFlashWrite(GadgetLink& link, std::optional<GadgetId> target,
                                                   std::span<const std::uint8_t> bytes);

// Passes the serial test block through the gadget (CMD_SERIAL, checksum 0x82); does not wait.
void SendSerialTest(PacketSink& sink);

}  // namespace tavrel
