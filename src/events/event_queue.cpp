#include "events/event_queue.h"

#include <chrono>

namespace trv::core {

namespace {

// Longer than a producer needs to copy even a large payload, far shorter
// than the gap between two video frames.
constexpr auto DispatchSpin = std::chrono::microseconds(10);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

bool EventQueue::push(const EventParms& record) {
  bool first;
  {
    std::lock_guard lock(queueMutex);
    // Tested under the lock the dispatcher decides to end under: a record
    // queued after its last look would never be delivered nor freed.
    if (stopping()) return false;
    first = eventQueue.empty();
    eventQueue.push(record);
    recordsQueued_.store(true, std::memory_order_relaxed);
  }
  // The dispatcher sleeps only on an empty queue: the record that ended
  // that has woken it already.
  if (first) queueCondition.notify_one();
  return true;
}

EventQueue::Taken EventQueue::take(RecordQueue& batch) {
  // At the few hundred records a second of a camera the spin would only burn
  // a core the device needs: it runs while records keep coming.
  if (spinPays_) spinForRecords();
  std::unique_lock lock(queueMutex);
  spinPays_ = spinAllowed_ && !eventQueue.empty();
  if (eventQueue.empty()) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!stopping() && eventQueue.empty()) {
      if (queueCondition.wait_until(lock, deadline) == std::cv_status::timeout) break;
    }
  }
  if (eventQueue.empty()) return stopping() ? Taken::Stopped : Taken::Idle;
  eventQueue.swap(batch);
  recordsQueued_.store(false, std::memory_order_relaxed);
  return Taken::Records;
}

EventQueue::Backlog EventQueue::backlog() {
  std::lock_guard lock(queueMutex);
  return {eventQueue.size(), eventQueue.payloads()};
}

void EventQueue::requestStop() {
  // A sequentially consistent read-modify-write: a full barrier on both sides.
  stopRequested.exchange(true, std::memory_order_seq_cst);
  // Through the mutex: a dispatcher between its stop test and its wait would
  // sleep through a bare notification.
  { std::lock_guard lock(queueMutex); }
  queueCondition.notify_one();
}

// A record that follows within a few microseconds is taken without the
// futex sleep and wake-up that would cost both threads far more.
void EventQueue::spinForRecords() const {
  const auto until = std::chrono::steady_clock::now() + DispatchSpin;
  for (unsigned i = 1;; ++i) {
    if (recordsQueued_.load(std::memory_order_relaxed) || stopping()) return;
    cpuRelax();
    // The clock costs more than a pause: look at it now and then.
    if (i % 16 == 0 && std::chrono::steady_clock::now() >= until) return;
  }
}

}  // namespace trv::core
