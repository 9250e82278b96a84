// Every payload's life after it enters the core: the reference-counted copy a
// queued record carries, the references plugins keep past OnEvent, their
// "decref"s, and the wake-up of a search thread whose last result is freed.
// Any thread creates and gives back; the dispatcher delivers and releases.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <unordered_map>

#include "events/record_queue.h"
#include "events/search_handler.h"
#include "events/spare_blocks.h"
#include "plugin/plugin.h"
#include "trv/core/event_parms.h"

namespace trv::core {

// One malloc per payload holds a size word, a count word and the bytes; the
// payload address identifies the block everywhere.
class Payloads {
 public:
  static constexpr uint32_t HeaderSize = 8;

  // A new block holding the core's reference, until it is handed to the
  // queue; dropped on the way (a refused record), it is freed. Blocks are
  // counted where they are: the queue counts those its records carry, this
  // class those only plugins keep, so no posting thread writes a counter the
  // dispatcher writes too.
  class Copy {
   public:
    Copy(Payloads& owner, void* payload) : owner_(owner), payload_(payload) {}
    ~Copy() {
      if (payload_ != nullptr) owner_.discard(payload_);
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    void* get() const { return payload_; }
    // The queued record now holds the reference.
    void handOver() { payload_ = nullptr; }

   private:
    Payloads& owner_;
    void* payload_;
  };

  // `searches` is told of every freed block: it may be a search thread's
  // outstanding result.
  explicit Payloads(SearchHandler& searches) : searches_(searches) {}
  Payloads(const Payloads&) = delete;
  Payloads& operator=(const Payloads&) = delete;

  // Any thread: a copy of `length` bytes; empty when there is nothing to copy
  // or the allocation fails.
  Copy copy(const void* payload, uint32_t length);

  // Dispatch thread: hands the record to `plugin` (a copy of it: a plugin may
  // rewrite what it is handed) and takes the plugin's own reference when it
  // keeps the payload.
  void deliver(Plugin& plugin, const EventParms& record) {
    EventParms handed = record;
    if (record.data == nullptr) {
      plugin.Deliver(handed);
    } else {
      deliverPayload(plugin, handed);
    }
  }

  // Dispatch thread: the record is delivered; the core lets go of its payload.
  void delivered(void* payload);

  // Dispatch thread, before it waits for more: the blocks it let go of may
  // take the posting threads' next copies.
  void handOverFreed() { spares_.handOver(); }

  // Any thread, every supervision tick: blocks kept for copies go back to
  // the allocator when unused since the last call, or when memory is short.
  void releaseSpares(bool memoryShort) { spares_.release(memoryShort); }

  // Any thread, for a "decref" of `payload` from plugin `id`: gives back one
  // kept reference. 0 when the plugin held one, else the plugin's running
  // total of decrefs ignored, this one included.
  uint32_t giveBack(void* payload, uint8_t id);

  // For a core that ends: frees the blocks plugins still keep; no plugin may
  // touch one any more.
  void dropKeptReferences();

  // Every block alive, its bytes and the references held per plugin id,
  // given what the records the core holds carry (one reference each, id 0's).
  struct Held {
    uint32_t blocks;
    uint64_t bytes;
    std::array<uint32_t, 256> holders;
  };
  Held held(const PayloadTally& coreHeld) const;

 private:
  void deliverPayload(Plugin& plugin, EventParms& handed);
  void addRef(void* payload, uint8_t id);
  // A plugin's reference.
  void release(void* payload, uint8_t id);
  void discard(void* payload);
  // The dispatcher's discard: the block is kept for a later copy if it can be.
  void recycle(void* payload);

  // The delivery in progress changes to a kept reference; false when the
  // plugin gave the payload back while the call ran.
  bool keepDelivered();
  // The delivery in progress ends without a kept reference.
  void forgetDelivery();

  // A payload address and a plugin id in one word, so that the delivery in
  // progress is read whole; user-space addresses leave the top byte free.
  static uint64_t ticket(const void* payload, uint8_t id) {
    return (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(payload)) << 8) | id;
  }

  SearchHandler& searches_;
  SpareBlocks spares_;
  // Blocks the core has let go of and plugins still keep: written only when
  // a payload is kept, on a line of their own.
  alignas(64) std::atomic<uint32_t> keptBlocks_{0};
  std::atomic<uint64_t> keptBytes_{0};
  // Plugins' references; the queued records hold the core's.
  std::array<std::atomic<uint32_t>, 256> holders_{};

  // The delivery in progress, and whether a giveBack may have matched it:
  // together they let a delivery whose payload is not kept skip the lock.
  std::atomic<uint64_t> delivering_{0};
  std::atomic<bool> earlyReturn_{false};
  std::mutex keptMutex_;
  // Node storage is pooled and reused: keeping a reference allocates nothing
  // once the pool has grown.
  std::pmr::unsynchronized_pool_resource pool_;
  std::pmr::unordered_map<uint64_t, uint32_t> kept_{&pool_};  // ticket -> references
  uint64_t returnedEarly_ = 0;  // ticket given back during its delivery
  std::array<std::atomic<uint32_t>, 256> ignoredDecrefs_{};
};

}  // namespace trv::core
