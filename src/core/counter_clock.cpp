#include "core/counter_clock.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace trv::core {

namespace {
// Long enough for the scale to be right to a few parts in a million.
constexpr int64_t CalibrationSpan = 20000000;  // 20 ms
// The kernel corrects its clock gradually; anchoring this often keeps the
// two within microseconds.
constexpr int64_t AnchorEvery = 1000000000;  // 1 s
// A scale that changes more than this between anchors means the counter is
// not steady after all: the steady clock is read directly from then on.
constexpr double ScaleTolerance = 0.01;
// Nanoseconds per tick of any counter worth reading: from 1,000 ticks a
// nanosecond to one tick every 100 ns.
constexpr double MinScale = 0.001;
constexpr double MaxScale = 100;
}  // namespace

int64_t CounterClock::now() {
  if (!trusted_) return monotonic(steadyNanos_());
  const uint64_t ticks = ticks_();
  const uint64_t since = ticks - anchorTicks_;
  if (nanosPerTick_ > 0 && since < ticksPerAnchor_) {
    return monotonic(anchorNanos_ + static_cast<int64_t>(static_cast<double>(since) * nanosPerTick_ + 0.5));
  }
  return anchor(ticks);
}

int64_t CounterClock::anchor(uint64_t ticks) {
  const int64_t nanos = steadyNanos_();
  if (anchored_) {
    const int64_t span = nanos - anchorNanos_;
    // Until the span is long enough, the first anchor stays.
    if (span < CalibrationSpan) return monotonic(nanos);
    const double scale = static_cast<double>(span) / static_cast<double>(ticks - anchorTicks_);
    // A counter that stood still, went back or runs at no plausible rate is
    // no clock, nor is one whose rate changed since the last anchor.
    const bool plausible = scale > MinScale && scale < MaxScale;
    if (!plausible || (nanosPerTick_ > 0 && std::abs(scale / nanosPerTick_ - 1) > ScaleTolerance)) {
      trusted_ = false;
      return monotonic(nanos);
    }
    nanosPerTick_ = scale;
    ticksPerAnchor_ = static_cast<uint64_t>(AnchorEvery / scale);
  }
  anchorTicks_ = ticks;
  anchorNanos_ = nanos;
  anchored_ = true;
  return monotonic(nanos);
}

int64_t CounterClock::monotonic(int64_t nanos) {
  last_ = std::max(last_, nanos);
  return last_;
}

std::function<uint64_t()> CounterClock::systemTicks() {
#if defined(__x86_64__)
  std::string source;
  std::ifstream("/sys/devices/system/clocksource/clocksource0/current_clocksource") >> source;
  if (source == "tsc") return [] { return static_cast<uint64_t>(__rdtsc()); };
#endif
  return {};
}

}  // namespace trv::core
