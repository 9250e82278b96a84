// The framing of the channel between the parent and the core: packets of a
// ParentPacketHeader and a payload, read by the core and the parent tool.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "trv/core/parent_packet.h"

namespace trv::core {

// The header at the start of `bytes`, which hold at least PacketHeaderSize
// bytes at any alignment.
ParentPacketHeader packetHeaderAt(const uint8_t* bytes);

// What the receive loop does with each complete packet.
class IpcPacketHandler {
 public:
  virtual void parentIdentified(const std::vector<std::string>& strings) = 0;
  virtual void stopOrdered() = 0;
  // `packet` points at the whole packet, header included; valid during the call.
  virtual void pluginPacket(uint8_t pluginNumber, const uint8_t* packet, uint32_t length) = 0;
  virtual void badLength() = 0;

 protected:
  ~IpcPacketHandler() = default;
};

// Handles the complete packets at the start of buffer[0, fill), moves a
// trailing partial packet to the front and returns the bytes left. A length
// word above 64 KiB or below the header size discards everything buffered,
// so the stream resynchronises and the loop always ends.
uint32_t consumeIpcPackets(uint8_t* buffer, uint32_t fill, IpcPacketHandler& handler);

// The NUL-separated strings of an identification payload.
std::vector<std::string> splitIdentification(std::span<const uint8_t> payload);

}  // namespace trv::core
