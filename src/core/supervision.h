// The supervision of memory and clock: owns the readings (injectable, so
// that tests run the state machine without waiting or allocating), the
// memory settings and the throttling state. The I/O thread ticks it; any
// thread may ask whether live media is throttled.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "config/core_settings.h"
#include "core/counter_clock.h"

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
  // The CPU's time-stamp counter where the kernel keeps steady time by it;
  // empty: the dispatcher reads the steady clock itself.
  std::function<uint64_t()> counterTicks;

  // The real clocks, /proc/self/statm, sysinfo and getrlimit.
  static SupervisionSources system();
};

class Supervision {
 public:
  // `publishStatus` publishes the memory status document when throttling
  // starts or ends.
  Supervision(SupervisionSources sources, std::function<void()> publishStatus)
      : sources_(std::move(sources)),
        publishStatus_(std::move(publishStatus)),
        dispatchClock_(sources_.counterTicks, sources_.steadyNanos) {}

  // Main thread, before the I/O thread starts: as core.xml sets them.
  MemorySettings& settings() { return settings_; }
  const MemorySettings& settings() const { return settings_; }

  // I/O thread, every quarter second: memory and clock checks once a second.
  void tick();

  bool throttling() const { return throttlingActive.load(std::memory_order_acquire); }
  uint32_t memoryInUse() const { return memoryInUse_.load(std::memory_order_relaxed); }
  int64_t steadyNanos() const { return sources_.steadyNanos(); }
  // Dispatcher only: the steady clock as it times plugin calls.
  int64_t dispatchNanos() { return dispatchClock_.now(); }

 private:
  void setMemoryLow(bool low);

  SupervisionSources sources_;
  std::function<void()> publishStatus_;
  CounterClock dispatchClock_;
  MemorySettings settings_;
  std::atomic<bool> throttlingActive{false};  // written by the I/O thread only
  std::atomic<uint32_t> memoryInUse_{0};      // latest resident-size reading
  // What the I/O thread keeps between ticks; set up on the first tick.
  bool started_ = false;
  uint64_t throttleThreshold_ = 0;
  uint64_t stackLimit_ = 0;
  int64_t lastCheck_ = 0;  // steady nanoseconds of the last memory and clock check
  int64_t lastWall_ = 0;   // wall-clock nanoseconds at that check
  int64_t throttledSince = std::numeric_limits<int64_t>::max();
};

}  // namespace trv::core
