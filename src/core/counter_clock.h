// The steady clock as the dispatcher reads it around every plugin call: where
// the kernel itself keeps time by the CPU's time-stamp counter, that counter,
// scaled to the steady clock and anchored on it again every second. A reading
// then costs a few nanoseconds instead of a clock_gettime call, which at
// three plugin calls per record was most of the dispatcher's time. One thread
// reads it.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace trv::core {

class CounterClock {
 public:
  // `ticks` reads the counter (empty: there is none to trust), `steadyNanos`
  // the steady clock.
  CounterClock(std::function<uint64_t()> ticks, std::function<int64_t()> steadyNanos)
      : ticks_(std::move(ticks)), steadyNanos_(std::move(steadyNanos)), trusted_(static_cast<bool>(ticks_)) {}

  // Nanoseconds on the steady clock's scale; never less than the reading before.
  int64_t now();

  // The counter, on x86-64 where the kernel's clock source is "tsc"; empty elsewhere.
  static std::function<uint64_t()> systemTicks();

 private:
  int64_t anchor(uint64_t ticks);
  int64_t monotonic(int64_t nanos);

  std::function<uint64_t()> ticks_;
  std::function<int64_t()> steadyNanos_;
  bool trusted_;
  uint64_t anchorTicks_ = 0;
  int64_t anchorNanos_ = 0;
  bool anchored_ = false;
  double nanosPerTick_ = 0;  // 0 until measured over a long enough span
  uint64_t ticksPerAnchor_ = 0;
  int64_t last_ = 0;
};

}  // namespace trv::core
