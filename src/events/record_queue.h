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

  // Removes and returns the oldest record; the queue must not be empty.
  EventParms pop();

  // Moves up to `max` of the oldest records to `out`; returns how many.
  size_t popInto(EventParms* out, size_t max);

 private:
  void grow();

  std::vector<EventParms> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace trv::core
