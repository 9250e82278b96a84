// Reference-counted payload blocks: one malloc holds a size word, a count word
// and the payload, and the payload address identifies the block everywhere.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace trv::core {

// Process-wide accounting of live blocks and of the references each plugin id
// (0 = the core) holds. Every counter changes atomically, without a lock.
class RefBlocks {
 public:
  static constexpr uint32_t HeaderSize = 8;

  // Allocates a block holding a copy of `length` bytes; null when the
  // allocation fails. The block starts with no reference.
  void* create(const void* payload, uint32_t length);

  // Frees a block nobody holds: its event was refused before it was queued,
  // or release() reported its last reference gone.
  void discard(void* payload);

  // Adds a reference of plugin `id`; nothing for a null address.
  void addRef(void* payload, uint8_t id);

  // Releases a reference of plugin `id`; true when it was the last one, and
  // the caller then discards the block. Nothing for a null address.
  bool release(void* payload, uint8_t id);

  uint32_t blockCount() const { return blockCount_.load(std::memory_order_acquire); }
  uint64_t blockBytes() const { return blockBytes_.load(std::memory_order_acquire); }
  uint32_t holders(uint8_t id) const { return holders_[id].load(std::memory_order_acquire); }

 private:
  // Posting threads create blocks while the dispatcher releases them: the
  // block totals and the core's holder count sit on cache lines of their own.
  alignas(64) std::atomic<uint32_t> blockCount_{0};
  std::atomic<uint64_t> blockBytes_{0};
  alignas(64) std::array<std::atomic<uint32_t>, 256> holders_{};
};

// Owns a freshly created block until its event is queued; frees it when the
// event is refused on the way.
class PendingBlock {
 public:
  PendingBlock(RefBlocks& blocks, void* payload) : blocks_(blocks), payload_(payload) {}
  ~PendingBlock() {
    if (payload_ != nullptr) blocks_.discard(payload_);
  }
  PendingBlock(const PendingBlock&) = delete;
  PendingBlock& operator=(const PendingBlock&) = delete;

  void* get() const { return payload_; }

  // Hands the block over to the queue: no longer freed here.
  void* handOver() {
    void* payload = payload_;
    payload_ = nullptr;
    return payload;
  }

 private:
  RefBlocks& blocks_;
  void* payload_;
};

}  // namespace trv::core
