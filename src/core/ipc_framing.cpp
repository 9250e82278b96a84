#include "core/ipc_framing.h"

#include <cstring>

namespace trv::core {

ParentPacketHeader packetHeaderAt(const uint8_t* bytes) {
  ParentPacketHeader header;
  std::memcpy(&header, bytes, sizeof header);
  return header;
}

uint32_t consumeIpcPackets(uint8_t* buffer, uint32_t fill, IpcPacketHandler& handler) {
  uint32_t start = 0;
  while (fill - start >= PacketHeaderSize) {
    const uint8_t* packet = buffer + start;
    const ParentPacketHeader header = packetHeaderAt(packet);
    if (header.length > LargestPacket || header.length < PacketHeaderSize) {
      handler.badLength();
      return 0;
    }
    if (header.length > fill - start) break;
    switch (header.kind) {
      case KindIdentify:
        handler.parentIdentified(
            splitIdentification({packet + PacketHeaderSize, header.length - PacketHeaderSize}));
        break;
      case KindStop:
        handler.stopOrdered();
        break;
      default:
        handler.pluginPacket(packetPluginNumber(header.address), packet, header.length);
        break;
    }
    start += header.length;
  }
  // Only the remainder of a partial packet moves.
  std::memmove(buffer, buffer + start, fill - start);
  return fill - start;
}

std::vector<std::string> splitIdentification(std::span<const uint8_t> payload) {
  std::vector<std::string> strings;
  size_t position = 0;
  while (position < payload.size()) {
    const auto* begin = reinterpret_cast<const char*>(payload.data() + position);
    const void* nul = std::memchr(begin, 0, payload.size() - position);
    const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - begin)
                                         : payload.size() - position;
    strings.emplace_back(begin, length);
    position += length + 1;
  }
  return strings;
}

}  // namespace trv::core
