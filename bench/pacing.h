// Records posted on a clock, as a capture device or a steady client posts them.
#pragma once

#include <cstdint>
#include <thread>

#include "harness.h"

namespace trv::bench {

// How a paced poster waits for its next slot.
enum class Wait {
  Spin,   // a busy loop: the slot is kept to the microsecond
  Sleep,  // sleeps until the slot, as a device's capture thread waits for its next frame
};

// Calls `post(n)`, n the count of earlier calls, once per `interval` for
// `duration`; slots missed while the thread was descheduled are skipped
// rather than made up in a burst. Returns the number of calls.
template <typename Post>
uint64_t postPaced(Clock::duration duration, Clock::duration interval, Wait wait, Post&& post) {
  const auto end = Clock::now() + duration;
  uint64_t posted = 0;
  for (auto next = Clock::now(); next < end; next += interval) {
    if (wait == Wait::Sleep) std::this_thread::sleep_until(next);
    while (Clock::now() < next) {
    }
    post(posted++);
    if (const auto now = Clock::now(); now > next + interval) next = now;
  }
  return posted;
}

}  // namespace trv::bench
