// The live-media gate: drops live video and audio while memory is short, and
// live video until a key frame has been seen or after a GOP grows too long.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "trv/core/event_parms.h"

namespace trv::core {

// Results of the gate, answered to the poster as they are.
enum GateResult : int32_t {
  GatePass = PostQueued,
  GateNoKeyFrame = PostNoKeyFrame,
  GateGopTooLong = PostGopTooLong,
  GateThrottled = PostThrottled,
};

class StreamGate {
 public:
  // Any thread. Only live records of type exactly video or audio are gated.
  GateResult check(const EventParms& event, bool throttling, uint16_t maxGopLen);

 private:
  // Frames since the last key frame of a source, 0 before the first one.
  // Entries never move or disappear, so a reference outlives the lock.
  std::atomic<int16_t>& entryFor(uint32_t source);

  std::mutex mutex_;
  std::unordered_map<uint32_t, std::atomic<int16_t>> frames_;
};

}  // namespace trv::core
