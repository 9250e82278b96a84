#include "packet.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "core/ipc_framing.h"

namespace trv::parent {

namespace {

constexpr size_t PreviewBytes = 32;

// Plugins often end their text with a NUL or a line break; those still read as text.
bool looksLikeText(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) {
    return (byte >= 0x20 && byte < 0x7f) || byte == '\0' || byte == '\n' || byte == '\r' || byte == '\t';
  });
}

std::string quoted(std::span<const uint8_t> bytes) {
  std::string text = "\"";
  for (const uint8_t byte : bytes) {
    switch (byte) {
      case '\0': text += "\\0"; break;
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      case '\t': text += "\\t"; break;
      case '"': text += "\\\""; break;
      case '\\': text += "\\\\"; break;
      default: text += static_cast<char>(byte);
    }
  }
  return text + "\"";
}

std::string hex(std::span<const uint8_t> bytes) {
  return fmt::format("{:02x}", fmt::join(bytes, " "));
}

std::string preview(std::span<const uint8_t> payload) {
  if (payload.empty()) return "(no payload)";
  const auto shown = payload.first(std::min(payload.size(), PreviewBytes));
  std::string text = looksLikeText(shown) ? quoted(shown) : hex(shown);
  if (shown.size() < payload.size()) text += fmt::format(" ... ({} bytes)", payload.size());
  return text;
}

}  // namespace

Packet encodePacket(uint32_t address, uint32_t kind, uint32_t passThrough, std::string_view payload) {
  const uint32_t length = static_cast<uint32_t>(core::PacketHeaderSize + payload.size());
  const core::ParentPacketHeader header{length, address, kind, passThrough};
  Packet packet(length);
  std::memcpy(packet.data(), &header, sizeof header);
  std::copy(payload.begin(), payload.end(), packet.begin() + sizeof header);
  return packet;
}

Packet identificationPacket(std::string_view version, bool background) {
  std::string payload = "trovis-parent";
  payload += '\0';
  payload += version;
  payload += '\0';
  if (background) {
    payload += "Background:true";
    payload += '\0';
  }
  return encodePacket(0, core::KindIdentify, 0, payload);
}

Packet stopPacket() { return encodePacket(0, core::KindStop, 0, {}); }

Packet pluginPacket(uint8_t plugin, uint32_t kind, std::string_view payload) {
  return encodePacket(core::packetAddress(plugin), kind, 0, payload);
}

std::string describePacket(std::span<const uint8_t> message) {
  if (message.size() < core::PacketHeaderSize) {
    return fmt::format("short message of {} bytes: {}", message.size(), hex(message));
  }
  const core::ParentPacketHeader header = core::packetHeaderAt(message.data());
  std::string line = fmt::format("len={} addr={:#010x} kind={} pass={} {}", header.length,
                                 header.address, header.kind, header.passThrough,
                                 preview(message.subspan(core::PacketHeaderSize)));
  if (header.length != message.size()) {
    line += fmt::format(" (message of {} bytes)", message.size());
  }
  return line;
}

}  // namespace trv::parent
