#include "events/record_queue.h"

#include <algorithm>
#include <utility>

namespace trv::core {

void RecordQueue::push(const EventParms& record) {
  if (count_ == ring_.size()) grow();
  ring_[(head_ + count_) & (ring_.size() - 1)] = record;
  ++count_;
}

void RecordQueue::dropFront() {
  head_ = (head_ + 1) & (ring_.size() - 1);
  --count_;
}

EventParms RecordQueue::pop() {
  const EventParms record = front();
  dropFront();
  return record;
}

void RecordQueue::swap(RecordQueue& other) noexcept {
  ring_.swap(other.ring_);
  std::swap(head_, other.head_);
  std::swap(count_, other.count_);
}

void RecordQueue::grow() {
  std::vector<EventParms> larger(std::max<size_t>(64, ring_.size() * 2));
  for (size_t i = 0; i < count_; ++i) larger[i] = ring_[(head_ + i) & (ring_.size() - 1)];
  ring_ = std::move(larger);
  head_ = 0;
}

}  // namespace trv::core
