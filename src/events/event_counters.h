// Interval counters of the statistics report that threads other than the
// dispatcher raise; relaxed atomics, reset by the report.
#pragma once

#include <atomic>
#include <cstdint>

namespace trv::core {

struct EventCounters {
  std::atomic<uint32_t> videoThrottled{0};
  std::atomic<uint32_t> audioThrottled{0};
  std::atomic<uint32_t> ipcRequests{0};   // ipc events sent to the parent
  std::atomic<uint32_t> ipcPackets{0};    // packets from the parent handed to plugins
  std::atomic<uint64_t> ipcBytes{0};

  static void count(std::atomic<uint32_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
};

}  // namespace trv::core
