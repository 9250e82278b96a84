// The event queue's storage: a FIFO of whole records in a ring that grows by
// doubling and is then reused, so queueing allocates nothing in steady state.
#pragma once

#include <cstddef>
#include <vector>

#include "trv/core/event_parms.h"

namespace trv::core {

// Not synchronised: the owner guards it with the queue mutex.
class RecordQueue {
 public:
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }

  void push(const EventParms& record);

  // The oldest record; the queue must not be empty.
  const EventParms& front() const { return ring_[head_]; }
  void dropFront();

  // Removes and returns the oldest record; the queue must not be empty.
  EventParms pop();

  // Exchanges contents and storage: the consumer takes everything queued in
  // constant time and hands back its own emptied ring for reuse.
  void swap(RecordQueue& other) noexcept;

 private:
  void grow();

  std::vector<EventParms> ring_;  // size is 0 or a power of two
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace trv::core
