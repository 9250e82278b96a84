// Payload blocks the dispatcher has finished with, kept a short while for the
// posting threads' next copies. A block one thread allocates and another
// frees takes the allocator's arena lock from both sides for every event, and
// a drained backlog gives pages back that the next burst faults in again;
// handed over in bulk, a block costs the dispatcher one lock per batch.
// What is kept stays small and goes back to the allocator once unused.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace trv::core {

class SpareBlocks {
 public:
  // Bytes kept at most, well within what the allocator itself may keep free.
  static constexpr size_t Limit = 2 << 20;
  // Larger blocks are rare and each would take a good part of the limit.
  static constexpr uint32_t LargestKept = 256 << 10;

  SpareBlocks() = default;
  ~SpareBlocks();
  SpareBlocks(const SpareBlocks&) = delete;
  SpareBlocks& operator=(const SpareBlocks&) = delete;

  // Any thread: a malloc'd block of exactly `size` bytes, kept since it was
  // last freed, or nullptr.
  void* take(uint32_t size);

  // Dispatcher: `block`, of `size` bytes, is free; it waits for the next
  // hand-over (and goes back to the allocator if it cannot be kept).
  void collect(void* block, uint32_t size) {
    if (collected_ == pending_.size()) handOver();
    pending_[collected_++] = {block, size};
  }

  // Dispatcher: makes what it collected available to take.
  void handOver();

  // Any thread, a few times a second: frees every block kept when none was
  // taken since the last call, or when memory is short.
  void release(bool memoryShort);

 private:
  struct Freed {
    void* block;
    uint32_t size;
  };
  // Blocks of one size, linked through their first bytes.
  struct Shelf {
    uint32_t size = 0;
    void* top = nullptr;
  };

  Shelf* shelfFor(uint32_t size);

  // Dispatcher only.
  std::array<Freed, 64> pending_{};
  size_t collected_ = 0;

  std::mutex mutex_;
  std::array<Shelf, 8> shelves_{};  // guarded by mutex_
  size_t bytes_ = 0;                // guarded by mutex_
  bool takenSinceRelease_ = false;  // guarded by mutex_
  // Read without the lock, so that a copy finds an empty store cheaply.
  std::atomic<size_t> kept_{0};
};

}  // namespace trv::core
