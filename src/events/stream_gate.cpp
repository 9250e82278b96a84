#include "events/stream_gate.h"

#include "trv/core/event_views.h"

namespace trv::core {

std::atomic<int16_t>& StreamGate::entryFor(uint32_t source) {
  std::lock_guard lock(mutex_);
  return frames_.try_emplace(source, int16_t{0}).first->second;
}

GateResult StreamGate::check(const EventParms& event, bool throttling, uint16_t maxGopLen) {
  if ((event.flags & FlagLive) == 0 || (event.type != TypeVideo && event.type != TypeAudio)) {
    return GatePass;
  }
  std::atomic<int16_t>& frames = entryFor(event.source);
  if (throttling) {
    frames.store(0, std::memory_order_relaxed);
    return GateThrottled;
  }
  if (!isView<VideoEvt>(event)) return GatePass;
  if ((event.detail[detail_offset::frameKind] & 3) == KeyFrame) {
    frames.store(1, std::memory_order_relaxed);
    return GatePass;
  }
  const int16_t seen = frames.load(std::memory_order_relaxed);
  if (seen == 0) return GateNoKeyFrame;
  // Counting stops past the limit: a 16-bit count must not wrap round and
  // let a key-frame-less stream through again.
  if (seen > maxGopLen) return GateGopTooLong;
  const auto count = static_cast<int16_t>(frames.fetch_add(1, std::memory_order_relaxed) + 1);
  return count > maxGopLen ? GateGopTooLong : GatePass;
}

}  // namespace trv::core
