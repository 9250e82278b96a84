// The event queue's storage: a FIFO of whole records in fixed-size chunks
// linked in order. It grows a chunk at a time and never moves what it holds,
// so a backlog costs little more than its records; a drained chunk is freed,
// except the last, which takes the next records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trv/core/event_parms.h"

namespace trv::core {

// The payloads a queue's records carry.
struct PayloadTally {
  uint32_t blocks = 0;
  uint64_t bytes = 0;  // of the payloads themselves

  PayloadTally& operator+=(const PayloadTally& other) {
    blocks += other.blocks;
    bytes += other.bytes;
    return *this;
  }
};

// Not synchronised: the owner guards it with the queue mutex.
class RecordQueue {
 public:
  RecordQueue() = default;
  ~RecordQueue();
  RecordQueue(const RecordQueue&) = delete;
  RecordQueue& operator=(const RecordQueue&) = delete;

  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  const PayloadTally& payloads() const { return payloads_; }

  // Throws std::bad_alloc when a new chunk cannot be had; nothing is queued then.
  void push(const EventParms& record);

  // The oldest record; the queue must not be empty.
  const EventParms& front() const { return head_->records[headIndex_]; }
  void dropFront();

  // Exchanges contents and storage: the consumer takes everything queued in
  // constant time and hands back its own drained chunk for reuse.
  void swap(RecordQueue& other) noexcept;

 private:
  // 23 KiB of records on the target: a backlog grows by small steps, and an
  // idle queue keeps little.
  static constexpr uint32_t ChunkRecords = 128;
  struct Chunk {
    Chunk* next = nullptr;
    EventParms records[ChunkRecords];  // left uninitialised until written
  };

  Chunk* head_ = nullptr;  // oldest records; null until the first push
  Chunk* tail_ = nullptr;  // where the next record goes
  uint32_t headIndex_ = 0;
  uint32_t tailIndex_ = 0;
  size_t count_ = 0;
  PayloadTally payloads_;
};

}  // namespace trv::core
