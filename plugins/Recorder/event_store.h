// The recorder's memory: the last N events it kept, oldest first. OnEvent adds
// on the dispatch thread while search threads read, so every access is
// locked; events leave the store outside the lock, since giving a payload
// back calls into the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "kept_event.h"

namespace trv::recorder {

class EventStore {
 public:
  using Shared = std::shared_ptr<const KeptEvent>;

  // Open, main thread: how many events to keep; events beyond it go at once.
  void setCapacity(size_t capacity);

  // Dispatch thread: keeps `event`; the oldest event goes when the store is full.
  void add(Shared event);

  // Search thread: the events whose type is `type` (without the modifier
  // bit), oldest first. They stay alive while the caller holds them, even
  // if the store lets them go meanwhile.
  std::vector<Shared> ofType(uint32_t type) const;

  // Close, main thread: lets every event go.
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<Shared> events_;
  size_t capacity_ = 0;
};

}  // namespace trv::recorder
