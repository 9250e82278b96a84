// Per-origin log thresholds: one slot per plugin id, slot 0 for the core.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace trv::core {

inline constexpr int32_t DefaultLogLevel = 25;

// Read by every posting thread without a lock; written by configuration.
class LogLevels {
 public:
  LogLevels() {
    for (auto& slot : slots_) slot.store(-1, std::memory_order_relaxed);
  }

  // The stored value of a slot: -1 stands for the default.
  int32_t stored(uint8_t id) const { return slots_[id].load(std::memory_order_relaxed); }

  // The threshold a line of this origin must reach to pass.
  int32_t thresholdFor(uint8_t id) const {
    const int32_t value = stored(id);
    return value < 0 ? DefaultLogLevel : value;
  }

  // A configured threshold as it is stored: below -1 is -1, above 99 is 100.
  static int32_t clamped(int32_t value) {
    if (value < -1) return -1;
    if (value > 99) return 100;
    return value;
  }

  // Stores a configured threshold, clamped to -1..100.
  void set(uint8_t id, int32_t value) { slots_[id].store(clamped(value), std::memory_order_relaxed); }

 private:
  std::array<std::atomic<int32_t>, 256> slots_;
};

}  // namespace trv::core
