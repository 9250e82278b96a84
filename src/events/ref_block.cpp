#include "ref_block.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace trv::core {

namespace {

uint8_t* blockOf(void* payload) { return static_cast<uint8_t*>(payload) - RefBlocks::HeaderSize; }

uint32_t sizeOf(void* payload) {
  uint32_t size;
  std::memcpy(&size, blockOf(payload), sizeof size);
  return size;
}

// The count word sits 4 bytes before the payload, naturally aligned since
// malloc aligns the block to at least 8.
std::atomic<uint32_t>& countOf(void* payload) {
  static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);
  return *reinterpret_cast<std::atomic<uint32_t>*>(blockOf(payload) + 4);
}

}  // namespace

void* RefBlocks::create(const void* payload, uint32_t length) {
  // The size word is 32 bits wide: a payload it cannot describe is treated
  // like one that cannot be allocated.
  if (length > UINT32_MAX - HeaderSize) return nullptr;
  const uint32_t size = length + HeaderSize;
  auto* block = static_cast<uint8_t*>(std::malloc(size));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  new (block + 4) std::atomic<uint32_t>(0);
  std::memcpy(block + HeaderSize, payload, length);
  blockCount_.fetch_add(1, std::memory_order_relaxed);
  blockBytes_.fetch_add(size, std::memory_order_relaxed);
  return block + HeaderSize;
}

void RefBlocks::discard(void* payload) {
  blockCount_.fetch_sub(1, std::memory_order_relaxed);
  blockBytes_.fetch_sub(sizeOf(payload), std::memory_order_relaxed);
  std::free(blockOf(payload));
}

void RefBlocks::addRef(void* payload, uint8_t id) {
  if (payload == nullptr) return;
  countOf(payload).fetch_add(1, std::memory_order_relaxed);
  holders_[id].fetch_add(1, std::memory_order_relaxed);
}

bool RefBlocks::release(void* payload, uint8_t id) {
  if (payload == nullptr) return false;
  holders_[id].fetch_sub(1, std::memory_order_relaxed);
  // Release ordering on the way down, acquire by the last holder, so that
  // every holder's reads of the payload happen before it is freed.
  return countOf(payload).fetch_sub(1, std::memory_order_acq_rel) == 1;
}

}  // namespace trv::core
