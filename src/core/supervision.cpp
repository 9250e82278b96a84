// The supervision tick: memory throttling with its hysteresis and the report
// of wall-clock jumps.
#include "core/supervision.h"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

#include "events/statistics.h"
#include "log/core_log.h"

namespace trv::core {

namespace {

constexpr uint64_t DefaultThrottleThreshold = 199229440;  // 190 MiB
constexpr uint64_t LargeRam = 536870912;                  // 512 MiB
constexpr int64_t Millisecond = 1000000;
constexpr int64_t Second = 1000000000;
constexpr int64_t Day = 86400 * Second;
constexpr int64_t ThrottleHold = 60 * Second;
constexpr int64_t NotThrottled = std::numeric_limits<int64_t>::max();

template <typename Clock>
int64_t nanosOf() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

uint32_t residentBytes() {
  static const long pageSize = sysconf(_SC_PAGESIZE);
  const std::unique_ptr<std::FILE, FileCloser> statm(std::fopen("/proc/self/statm", "r"));
  if (!statm) return 0;
  unsigned long size = 0;
  unsigned long resident = 0;
  if (std::fscanf(statm.get(), "%lu %lu", &size, &resident) != 2) return 0;
  return static_cast<uint32_t>(resident * static_cast<unsigned long>(pageSize));
}

uint64_t throttleThresholdFor(std::optional<uint64_t> totalRam) {
  if (!totalRam || *totalRam < LargeRam) return DefaultThrottleThreshold;
  return *totalRam / 25 * 20;
}

SupervisionSources SupervisionSources::system() {
  return {
      nanosOf<std::chrono::steady_clock>,
      nanosOf<std::chrono::system_clock>,
      trv::core::residentBytes,
      []() -> std::optional<uint64_t> {
        struct sysinfo info {};
        if (sysinfo(&info) != 0) return std::nullopt;
        return uint64_t{info.totalram} * info.mem_unit;
      },
      []() -> uint64_t {
        rlimit limit{};
        getrlimit(RLIMIT_STACK, &limit);
        return limit.rlim_cur;
      },
      CounterClock::systemTicks(),
  };
}

void Supervision::tick() {
  if (!started_) {
    started_ = true;
    throttleThreshold_ = throttleThresholdFor(sources_.totalRam());
    stackLimit_ = sources_.stackLimit();
    lastCheck_ = sources_.steadyNanos();
    lastWall_ = sources_.wallNanos();
  }
  const int64_t steady = sources_.steadyNanos();
  const int64_t wall = sources_.wallNanos();
  const int64_t sinceCheck = steady - lastCheck_;
  if ((sinceCheck >= -(Millisecond - 1) && sinceCheck < Millisecond) || sinceCheck >= Day) {
    logInfo("memory limits, throttling:{} stack:{}", humanSize(static_cast<int64_t>(throttleThreshold_)),
            humanSize(static_cast<int64_t>(stackLimit_)));
  }
  if (sinceCheck >= Second) {
    const int64_t wallMs = (wall - lastWall_) / Millisecond;
    const int64_t steadyMs = sinceCheck / Millisecond;
    if (steadyMs + 999 < std::llabs(wallMs)) {
      // The whole wall-clock interval, not the difference between the clocks.
      logWarning("system time changed by {:.2f}seconds", static_cast<double>(wallMs) / 1000.0);
    }
    lastWall_ = wall;
    const uint32_t used = sources_.residentBytes();
    memoryInUse_.store(used, std::memory_order_relaxed);
    setMemoryLow(used > throttleThreshold_);
    lastCheck_ = steady;
  }
}

void Supervision::setMemoryLow(bool low) {
  if (!settings_.throttlingEnabled) return;
  const int64_t now = sources_.steadyNanos();
  throttlingActive.store(low, std::memory_order_release);
  if (low) {
    if (throttledSince == NotThrottled) {
      logWarning("available system memory is low, throttling audio/video");
      publishStatus_();
    }
    throttledSince = now;
    return;
  }
  // Also true while not throttled, whose mark is the largest time there is.
  if (now - ThrottleHold < throttledSince) return;
  logWarning("available system memory ok, not throttling audio/video");
  publishStatus_();
  throttledSince = NotThrottled;
}

}  // namespace trv::core
