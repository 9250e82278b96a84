#include "event_store.h"

#include <utility>

namespace trv::recorder {

void EventStore::setCapacity(size_t capacity) {
  std::deque<Shared> leaving;
  {
    std::lock_guard lock(mutex_);
    capacity_ = capacity;
    while (events_.size() > capacity_) {
      leaving.push_back(std::move(events_.front()));
      events_.pop_front();
    }
  }
}

void EventStore::add(Shared event) {
  Shared leaving;
  {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    if (events_.size() <= capacity_) return;
    leaving = std::move(events_.front());
    events_.pop_front();
  }
}

std::vector<EventStore::Shared> EventStore::ofType(uint32_t type) const {
  std::vector<Shared> found;
  std::lock_guard lock(mutex_);
  for (const Shared& event : events_) {
    if (core::baseType(event->record().type) == type) found.push_back(event);
  }
  return found;
}

void EventStore::clear() {
  std::deque<Shared> leaving;
  {
    std::lock_guard lock(mutex_);
    leaving.swap(events_);
  }
}

}  // namespace trv::recorder
