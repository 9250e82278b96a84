// The packets on the socket between the parent and the core: a
// ParentPacketHeader, then the payload.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "trv/core/parent_packet.h"

namespace trv::parent {

using Packet = std::vector<uint8_t>;

// A packet with the given header words and payload; the length is filled in.
Packet encodePacket(uint32_t address, uint32_t kind, uint32_t passThrough, std::string_view payload);

// The first packet to the core: who the parent is, and whether the core is to
// keep quiet on its standard output.
Packet identificationPacket(std::string_view version, bool background);

Packet stopPacket();

// A packet for plugin number `plugin`.
Packet pluginPacket(uint8_t plugin, uint32_t kind, std::string_view payload);

// One line about a message: its header words and a preview of at most 32
// payload bytes, text in quotes or else hex. Messages shorter than a header,
// or whose length word disagrees with their size, say so.
std::string describePacket(std::span<const uint8_t> message);

}  // namespace trv::parent
