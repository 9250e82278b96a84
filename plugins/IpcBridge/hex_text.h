// Binary buffers as text for the parent: two lower-case hexadecimal digits a byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trv::ipcbridge {

std::string toHex(std::span<const uint8_t> bytes);

// The bytes `text` spells, in either case; nothing when it holds anything
// else or an odd number of digits.
std::optional<std::vector<uint8_t>> fromHex(std::string_view text);

}  // namespace trv::ipcbridge
