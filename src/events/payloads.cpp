#include "events/payloads.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace trv::core {

static_assert(std::atomic<uint64_t>::is_always_lock_free);

namespace {

uint8_t* blockOf(void* payload) { return static_cast<uint8_t*>(payload) - Payloads::HeaderSize; }

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

Payloads::Copy Payloads::copy(const void* payload, uint32_t length) {
  // The size word is 32 bits wide: a payload it cannot describe is treated
  // like one that cannot be allocated.
  if (payload == nullptr || length == 0 || length > UINT32_MAX - HeaderSize) return {*this, nullptr};
  const uint32_t size = length + HeaderSize;
  void* const spare = spares_.take(size);
  auto* block = static_cast<uint8_t*>(spare != nullptr ? spare : std::malloc(size));
  if (block == nullptr) return {*this, nullptr};
  std::memcpy(block, &size, sizeof size);
  new (block + 4) std::atomic<uint32_t>(1);
  std::memcpy(block + HeaderSize, payload, length);
  return {*this, block + HeaderSize};
}

void Payloads::deliverPayload(Plugin& plugin, EventParms& handed) {
  void* const payload = handed.data;
  const uint8_t id = plugin.id();
  // Whoever gives the payload back during the call learnt of it from the
  // call: this store comes before, and forgetDelivery's exchange is the fence.
  delivering_.store(ticket(payload, id), std::memory_order_release);
  if (!plugin.Deliver(handed)) {
    forgetDelivery();
    return;
  }
  // The core's own reference covered the call; the plugin's is taken before
  // anyone can give it back.
  addRef(payload, id);
  if (!keepDelivered()) release(payload, id);
}

void Payloads::forgetDelivery() {
  const uint64_t current = delivering_.exchange(0, std::memory_order_seq_cst);
  // Pairs with giveBack, which raises earlyReturn_ before it reads
  // delivering_: one of the two sees the other's write.
  if (!earlyReturn_.load(std::memory_order_seq_cst)) return;
  std::lock_guard lock(keptMutex_);
  if (returnedEarly_ == current) {
    returnedEarly_ = 0;
    earlyReturn_.store(false, std::memory_order_seq_cst);
  }
}

bool Payloads::keepDelivered() {
  // A kept reference changes from delivered to kept under the lock: a
  // giveBack from another thread must find it as one or the other.
  std::lock_guard lock(keptMutex_);
  const uint64_t current = delivering_.exchange(0, std::memory_order_seq_cst);
  if (returnedEarly_ == current) {
    returnedEarly_ = 0;
    earlyReturn_.store(false, std::memory_order_seq_cst);
    return false;
  }
  ++kept_[current];
  return true;
}

uint32_t Payloads::giveBack(void* payload, uint8_t id) {
  const uint64_t wanted = ticket(payload, id);
  std::unique_lock lock(keptMutex_);
  if (const auto found = kept_.find(wanted); found != kept_.end()) {
    if (--found->second == 0) kept_.erase(found);
    lock.unlock();
    release(payload, id);
    return 0;
  }
  // Given back during the call that hands it over: keepDelivered settles it.
  if (returnedEarly_ == 0) {
    earlyReturn_.store(true, std::memory_order_seq_cst);
    if (delivering_.load(std::memory_order_seq_cst) == wanted) {
      returnedEarly_ = wanted;
      return 0;
    }
    earlyReturn_.store(false, std::memory_order_seq_cst);
  }
  return ignoredDecrefs_[id].fetch_add(1, std::memory_order_relaxed) + 1;
}

void Payloads::dropKeptReferences() {
  std::vector<std::pair<uint64_t, uint32_t>> held;
  {
    std::lock_guard lock(keptMutex_);
    held.assign(kept_.begin(), kept_.end());
    kept_.clear();
  }
  for (const auto& [keptTicket, references] : held) {
    void* const payload = reinterpret_cast<void*>(static_cast<uintptr_t>(keptTicket >> 8));
    for (uint32_t i = 0; i < references; ++i) release(payload, static_cast<uint8_t>(keptTicket));
  }
}

void Payloads::delivered(void* payload) {
  // Only the dispatcher adds references: a count of one is the core's alone,
  // and the block goes without a write to the shared count.
  std::atomic<uint32_t>& count = countOf(payload);
  if (count.load(std::memory_order_acquire) == 1) return recycle(payload);
  // Read while the core still holds it: once the count drops, the plugin
  // giving its reference back may free the block.
  const uint32_t size = sizeOf(payload);
  if (count.fetch_sub(1, std::memory_order_acq_rel) == 1) return recycle(payload);
  keptBlocks_.fetch_add(1, std::memory_order_relaxed);
  keptBytes_.fetch_add(size, std::memory_order_relaxed);
}

Payloads::Held Payloads::held(const PayloadTally& coreHeld) const {
  Held held{coreHeld.blocks + keptBlocks_.load(std::memory_order_relaxed),
            coreHeld.bytes + uint64_t{HeaderSize} * coreHeld.blocks + keptBytes_.load(std::memory_order_relaxed),
            {}};
  for (unsigned id = 0; id < 256; ++id) held.holders[id] = holders_[id].load(std::memory_order_relaxed);
  // A plugin may have the core's origin: its references count with the core's.
  held.holders[0] += coreHeld.blocks;
  return held;
}

void Payloads::addRef(void* payload, uint8_t id) {
  countOf(payload).fetch_add(1, std::memory_order_relaxed);
  holders_[id].fetch_add(1, std::memory_order_relaxed);
}

void Payloads::release(void* payload, uint8_t id) {
  holders_[id].fetch_sub(1, std::memory_order_relaxed);
  // Release ordering on the way down, acquire by the last holder, so that
  // every holder's reads of the payload happen before it is freed.
  if (countOf(payload).fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The last reference a plugin held: the core had let go before.
  keptBlocks_.fetch_sub(1, std::memory_order_relaxed);
  keptBytes_.fetch_sub(sizeOf(payload), std::memory_order_relaxed);
  discard(payload);
}

void Payloads::discard(void* payload) {
  // Wake the search thread waiting for this result before the address can
  // be handed out again.
  searches_.onBlockFreed(payload);
  std::free(blockOf(payload));
}

void Payloads::recycle(void* payload) {
  searches_.onBlockFreed(payload);
  spares_.collect(blockOf(payload), sizeOf(payload));
}

}  // namespace trv::core
