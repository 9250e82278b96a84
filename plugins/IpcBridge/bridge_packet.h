// The bridge's packets on the channel to the parent: the core's
// ParentPacketHeader, then a text payload without terminator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trv::ipcbridge {

// The kind word of every packet the bridge sends.
inline constexpr uint32_t ReplyKind = 1;

// The payload of a packet from the parent, as the core handed it over; nothing
// for a packet too short to hold a header. Valid as long as the packet is.
std::optional<std::string_view> commandText(const void* packet, uint32_t length);

// A packet for the parent from plugin number `pluginId` (addressed as the
// parent addresses the plugin), carrying `text` cut to what fits one packet.
std::string replyPacket(uint8_t pluginId, std::string_view text);

}  // namespace trv::ipcbridge
