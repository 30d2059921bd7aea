#pragma once

#include "commands/command_codes.h"
#include "commands/command_packet.h"

namespace tavrel {

// The single-packet commands: none waits for an answer, which shows only as the reply's log line.
inline void SendReboot(PacketSink& sink) {
    sink.SendPacket(BuildCommandPacket(CMD_REBOOT));
}
inline void SendStart(PacketSink& sink) {
    sink.SendPacket(BuildCommandPacket(CMD_START));
}
inline void SendStop(PacketSink& sink) {
    sink.SendPacket(BuildCommandPacket(CMD_STOP));
}
inline void SendIsp(PacketSink& sink) {
    sink.SendPacket(BuildCommandPacket(CMD_ISP));
}
inline void SendReadId(PacketSink& sink) {
    sink.SendPacket(BuildCommandPacket(CMD_READ_ID));
}

}  // namespace tavrel
