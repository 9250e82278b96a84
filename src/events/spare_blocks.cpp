#include "events/spare_blocks.h"

#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>

namespace trv::core {

namespace {

void* nextOf(void* block) {
  void* next;
  std::memcpy(&next, block, sizeof next);
  return next;
}

void freeChain(void* block) {
  while (block != nullptr) {
    void* const next = nextOf(block);
    std::free(block);
    block = next;
  }
}

}  // namespace

SpareBlocks::~SpareBlocks() {
  for (size_t i = 0; i < collected_; ++i) std::free(pending_[i].block);
  for (const Shelf& shelf : shelves_) freeChain(shelf.top);
}

void* SpareBlocks::take(uint32_t size) {
  // A posting thread never waits for a spare: malloc is as good.
  if (kept_.load(std::memory_order_relaxed) == 0 || !mutex_.try_lock()) return nullptr;
  std::lock_guard lock(mutex_, std::adopt_lock);
  for (Shelf& shelf : shelves_) {
    if (shelf.size != size || shelf.top == nullptr) continue;
    void* const block = shelf.top;
    shelf.top = nextOf(block);
    bytes_ -= size;
    kept_.store(bytes_, std::memory_order_relaxed);
    takenSinceRelease_ = true;
    return block;
  }
  return nullptr;
}

SpareBlocks::Shelf* SpareBlocks::shelfFor(uint32_t size) {
  Shelf* empty = nullptr;
  for (Shelf& shelf : shelves_) {
    if (shelf.size == size) return &shelf;
    if (shelf.top == nullptr && empty == nullptr) empty = &shelf;
  }
  if (empty != nullptr) empty->size = size;
  return empty;
}

void SpareBlocks::handOver() {
  // The dispatcher hands over before every wait, most often with nothing.
  if (collected_ == 0) return;
  std::array<void*, std::tuple_size_v<decltype(pending_)>> surplus;
  size_t dropped = 0;
  {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < collected_; ++i) {
      const Freed freed = pending_[i];
      Shelf* const shelf =
          freed.size <= LargestKept && bytes_ + freed.size <= Limit ? shelfFor(freed.size) : nullptr;
      if (shelf == nullptr) {
        surplus[dropped++] = freed.block;
        continue;
      }
      std::memcpy(freed.block, &shelf->top, sizeof shelf->top);
      shelf->top = freed.block;
      bytes_ += freed.size;
    }
    kept_.store(bytes_, std::memory_order_relaxed);
  }
  collected_ = 0;
  for (size_t i = 0; i < dropped; ++i) std::free(surplus[i]);
}

void SpareBlocks::release(bool memoryShort) {
  std::array<void*, std::tuple_size_v<decltype(shelves_)>> chains{};
  {
    std::lock_guard lock(mutex_);
    if (std::exchange(takenSinceRelease_, false) && !memoryShort) return;
    for (size_t i = 0; i < shelves_.size(); ++i) chains[i] = std::exchange(shelves_[i], Shelf{}).top;
    bytes_ = 0;
    kept_.store(0, std::memory_order_relaxed);
  }
  for (void* chain : chains) freeChain(chain);
}

}  // namespace trv::core
