// The random first block of every envelope, read from the system's random
// device.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace trv::core {

inline constexpr size_t RandomBlockSize = 16;

// The calls CoCreateGuid makes on the device, replaceable so that tests can
// make one fail, come up short or be interrupted.
struct DeviceCalls {
  int (*open)(const char* path, int flags);
  ssize_t (*read)(int fd, void* buffer, size_t count);
  int (*close)(int fd);
};

// The calls of the operating system itself.
DeviceCalls systemDeviceCalls();

// Fills `block` with bytes read from "/dev/urandom", opened anew for this
// call; any thread. A device that cannot be opened or read ends the process
// with exit status 74 and a message on standard error.
void CoCreateGuid(std::span<uint8_t, RandomBlockSize> block);
void CoCreateGuid(std::span<uint8_t, RandomBlockSize> block, const DeviceCalls& calls);

}  // namespace trv::core
