// Readings that drive the supervision of memory and clock, injectable so
// that tests run the state machine without waiting or allocating.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace trv::core {

// Resident set size of the process in bytes; 0 when it cannot be read.
uint32_t residentBytes();

// The memory level above which live media is throttled: 80 % of RAM rounded
// down to a multiple of 20 from 512 MiB of RAM up, 190 MiB below that or
// when the total is unknown.
uint64_t throttleThresholdFor(std::optional<uint64_t> totalRam);

struct SupervisionSources {
  std::function<int64_t()> steadyNanos;   // monotonic clock
  std::function<int64_t()> wallNanos;     // system clock, since 1970
  std::function<uint32_t()> residentBytes;
  std::function<std::optional<uint64_t>()> totalRam;
  std::function<uint64_t()> stackLimit;   // soft limit of the stack size

  // The real clocks, /proc/self/statm, sysinfo and getrlimit.
  static SupervisionSources system();
};

// What the supervision keeps between ticks; set up on the first tick.
struct SupervisionState {
  bool started = false;
  uint64_t throttleThreshold = 0;
  uint64_t stackLimit = 0;
  int64_t lastCheck = 0;  // steady nanoseconds of the last memory and clock check
  int64_t lastWall = 0;   // wall-clock nanoseconds at that check
};

}  // namespace trv::core
