// The references plugins keep past OnEvent, so that a "decref" is honoured
// only for a payload its sender really holds: a stray or repeated decref must
// not release a reference somebody else still holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <unordered_map>

namespace trv::core {

class KeptReferences {
 public:
  // Dispatch thread: `payload` is about to be handed to plugin `id`.
  void beginDelivery(const void* payload, uint8_t id);

  // Dispatch thread: the plugin returned, saying whether it keeps the
  // payload (the caller has then already taken the plugin's reference).
  // True when that reference is to be released now, or for a payload not
  // kept: the plugin did not keep it, or gave it back while the call ran.
  bool endDelivery(bool kept);

  enum class GiveBack {
    Release,   // release one reference of the plugin now
    Deferred,  // given back during the call that hands it over: endDelivery settles it
    NotHeld,   // the plugin holds no kept reference to this payload
  };

  // Any thread, for a "decref" of `payload` from plugin `id`.
  GiveBack giveBack(const void* payload, uint8_t id);

 private:
  // A payload address and a plugin id in one word, so that the delivery in
  // progress is read whole; user-space addresses leave the top byte free.
  static uint64_t ticket(const void* payload, uint8_t id) {
    return (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(payload)) << 8) | id;
  }

  // The delivery in progress, and whether a giveBack may have matched it:
  // together they let a delivery whose reference is not kept skip the lock.
  std::atomic<uint64_t> delivering_{0};
  std::atomic<bool> earlyReturn_{false};
  std::mutex mutex_;
  // Node storage is pooled and reused: keeping a reference allocates nothing
  // once the pool has grown.
  std::pmr::unsynchronized_pool_resource pool_;
  std::pmr::unordered_map<uint64_t, uint32_t> kept_{&pool_};
  uint64_t returnedEarly_ = 0;  // ticket given back during its delivery
};

}  // namespace trv::core
