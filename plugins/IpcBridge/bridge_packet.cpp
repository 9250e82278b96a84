#include "bridge_packet.h"

#include <algorithm>

#include <trv/core/sdk.h>

namespace trv::ipcbridge {

using namespace trv::core;

std::optional<std::string_view> commandText(const void* packet, uint32_t length) {
  if (packet == nullptr || length < PacketHeaderSize) return std::nullopt;
  return std::string_view(static_cast<const char*>(packet) + PacketHeaderSize,
                          length - PacketHeaderSize);
}

std::string replyPacket(uint8_t pluginId, std::string_view text) {
  const size_t payload = std::min<size_t>(text.size(), LargestPacket - PacketHeaderSize);
  const ParentPacketHeader header{static_cast<uint32_t>(PacketHeaderSize + payload),
                                  packetAddress(pluginId), ReplyKind, 0};
  std::string packet(reinterpret_cast<const char*>(&header), sizeof header);
  packet.append(text.substr(0, payload));
  return packet;
}

}  // namespace trv::ipcbridge
