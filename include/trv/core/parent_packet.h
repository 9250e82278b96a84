// The packets on the socket between the parent daemon and the core, both
// ways: a 16-byte header of four host-order words, then the payload. A plugin
// receives whole packets in OnIpcResult and sends one as a TypeIpc record.
#pragma once

#include <cstdint>

namespace trv::core {

struct ParentPacketHeader {
  uint32_t length;       // of the whole packet, header included
  uint32_t address;      // the plugin number in bits 20..27; other bits free
  uint32_t kind;         // KindIdentify and KindStop are the core's, the rest the plugin's
  uint32_t passThrough;  // not read by the core
};
static_assert(sizeof(ParentPacketHeader) == 16);

inline constexpr uint32_t PacketHeaderSize = sizeof(ParentPacketHeader);
// The core receives at most this many bytes at once; a longer packet sent to
// the parent leaves as several messages.
inline constexpr uint32_t LargestPacket = 65536;

// Kinds the core answers itself: the parent's identification (NUL-separated
// strings) and the order to stop.
inline constexpr uint32_t KindIdentify = 7;
inline constexpr uint32_t KindStop = 8;

// The address word of a packet for plugin number `pluginNumber`, its plugin id.
inline constexpr uint32_t packetAddress(uint8_t pluginNumber) {
  return uint32_t{pluginNumber} << 20;
}

// The plugin number an address word names.
inline constexpr uint8_t packetPluginNumber(uint32_t address) {
  return static_cast<uint8_t>(address >> 20);
}

}  // namespace trv::core
