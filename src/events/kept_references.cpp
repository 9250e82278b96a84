#include "kept_references.h"

namespace trv::core {

static_assert(std::atomic<uint64_t>::is_always_lock_free);

void KeptReferences::beginDelivery(const void* payload, uint8_t id) {
  delivering_.store(ticket(payload, id), std::memory_order_seq_cst);
}

bool KeptReferences::endDelivery(bool kept) {
  if (!kept) {
    const uint64_t current = delivering_.exchange(0, std::memory_order_seq_cst);
    // Pairs with giveBack, which raises earlyReturn_ before it reads
    // delivering_: one of the two sees the other's write.
    if (!earlyReturn_.load(std::memory_order_seq_cst)) return true;
    std::lock_guard lock(mutex_);
    if (returnedEarly_ == current) {
      returnedEarly_ = 0;
      earlyReturn_.store(false, std::memory_order_seq_cst);
    }
    return true;
  }
  // A kept reference changes from delivered to kept under the lock: a
  // giveBack from another thread must find it as one or the other.
  std::lock_guard lock(mutex_);
  const uint64_t current = delivering_.exchange(0, std::memory_order_seq_cst);
  if (returnedEarly_ == current) {
    returnedEarly_ = 0;
    earlyReturn_.store(false, std::memory_order_seq_cst);
    return true;
  }
  ++kept_[current];
  return false;
}

KeptReferences::GiveBack KeptReferences::giveBack(const void* payload, uint8_t id) {
  const uint64_t wanted = ticket(payload, id);
  std::lock_guard lock(mutex_);
  const auto found = kept_.find(wanted);
  if (found != kept_.end()) {
    if (--found->second == 0) kept_.erase(found);
    return GiveBack::Release;
  }
  if (returnedEarly_ != 0) return GiveBack::NotHeld;
  earlyReturn_.store(true, std::memory_order_seq_cst);
  if (delivering_.load(std::memory_order_seq_cst) == wanted) {
    returnedEarly_ = wanted;
    return GiveBack::Deferred;
  }
  earlyReturn_.store(false, std::memory_order_seq_cst);
  return GiveBack::NotHeld;
}

}  // namespace trv::core
