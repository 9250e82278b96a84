#include "events/record_queue.h"

#include <utility>

namespace trv::core {

RecordQueue::~RecordQueue() {
  while (head_ != nullptr) delete std::exchange(head_, head_->next);
}

void RecordQueue::push(const EventParms& record) {
  if (tail_ == nullptr) {
    head_ = tail_ = new Chunk;
  } else if (tailIndex_ == ChunkRecords) {
    tail_->next = new Chunk;
    tail_ = tail_->next;
    tailIndex_ = 0;
  }
  tail_->records[tailIndex_++] = record;
  ++count_;
  if (record.data != nullptr) {
    ++payloads_.blocks;
    payloads_.bytes += record.dataLen;
  }
}

void RecordQueue::dropFront() {
  if (const EventParms& record = front(); record.data != nullptr) {
    --payloads_.blocks;
    payloads_.bytes -= record.dataLen;
  }
  --count_;
  if (count_ == 0) {
    // Everything left lies in the one chunk: start it over.
    headIndex_ = tailIndex_ = 0;
  } else if (++headIndex_ == ChunkRecords) {
    delete std::exchange(head_, head_->next);
    headIndex_ = 0;
  }
}

void RecordQueue::swap(RecordQueue& other) noexcept {
  std::swap(head_, other.head_);
  std::swap(tail_, other.tail_);
  std::swap(headIndex_, other.headIndex_);
  std::swap(tailIndex_, other.tailIndex_);
  std::swap(count_, other.count_);
  std::swap(payloads_, other.payloads_);
}

}  // namespace trv::core
