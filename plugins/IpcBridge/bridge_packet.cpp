#include "bridge_packet.h"

#include <algorithm>
#include <cstring>

namespace trv::ipcbridge {

namespace {

void appendWord(std::string& packet, uint32_t word) {
  char bytes[sizeof word];
  std::memcpy(bytes, &word, sizeof word);
  packet.append(bytes, sizeof word);
}

}  // namespace

std::optional<std::string_view> commandText(const void* packet, uint32_t length) {
  if (packet == nullptr || length < HeaderBytes) return std::nullopt;
  return std::string_view(static_cast<const char*>(packet) + HeaderBytes, length - HeaderBytes);
}

std::string replyPacket(uint8_t pluginId, std::string_view text) {
  const size_t payload = std::min<size_t>(text.size(), MaxPacketBytes - HeaderBytes);
  std::string packet;
  packet.reserve(HeaderBytes + payload);
  appendWord(packet, static_cast<uint32_t>(HeaderBytes + payload));
  appendWord(packet, uint32_t{pluginId} << 20);
  appendWord(packet, ReplyKind);
  appendWord(packet, 0);
  packet.append(text.substr(0, payload));
  return packet;
}

}  // namespace trv::ipcbridge
