// An event that outlives the call that produced it: a full copy of the record
// with a private copy of its payload, shared by the threads that use it.
#pragma once

#include <cstdlib>
#include <memory>

#include "trv/core/event_parms.h"

namespace trv::core {

class AsyncEvent {
 public:
  // Copies the record and its payload; without payload (or when the copy
  // cannot be allocated) `data` is null and `dataLen` 0.
  explicit AsyncEvent(const EventParms& source);

  EventParms& event() { return event_; }

 private:
  struct Free {
    void operator()(void* block) const { std::free(block); }
  };

  std::unique_ptr<void, Free> payload_;
  EventParms event_;
};

}  // namespace trv::core
