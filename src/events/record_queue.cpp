#include "record_queue.h"

#include <algorithm>

namespace trv::core {

void RecordQueue::push(const EventParms& record) {
  if (count_ == ring_.size()) grow();
  ring_[(head_ + count_) % ring_.size()] = record;
  ++count_;
}

EventParms RecordQueue::pop() {
  const EventParms record = ring_[head_];
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return record;
}

size_t RecordQueue::popInto(EventParms* out, size_t max) {
  const size_t taken = std::min(max, count_);
  for (size_t i = 0; i < taken; ++i) out[i] = ring_[(head_ + i) % ring_.size()];
  head_ = (head_ + taken) % ring_.size();
  count_ -= taken;
  return taken;
}

void RecordQueue::grow() {
  std::vector<EventParms> larger(std::max<size_t>(64, ring_.size() * 2));
  for (size_t i = 0; i < count_; ++i) larger[i] = ring_[(head_ + i) % ring_.size()];
  ring_ = std::move(larger);
  head_ = 0;
}

}  // namespace trv::core
