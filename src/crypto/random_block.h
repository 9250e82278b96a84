// The random first block of every envelope, read from the system's random
// device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "system/system_calls.h"

namespace trv::core {

inline constexpr size_t RandomBlockSize = 16;

// Fills `block` with bytes read from "/dev/urandom", opened anew for this
// call; any thread. A device that cannot be opened or read ends the process
// with exit status 74 and a message on standard error. The device is opened,
// read and closed through `calls`, by default those in force for the process.
void CoCreateGuid(std::span<uint8_t, RandomBlockSize> block);
void CoCreateGuid(std::span<uint8_t, RandomBlockSize> block, const SystemCalls& calls);

}  // namespace trv::core
