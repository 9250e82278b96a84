// The queue between every posting thread and the dispatcher: owns queueMutex,
// queueCondition, the ring and the stop that closes it. Any thread pushes and
// may request the stop; the dispatcher takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "events/record_queue.h"
#include "trv/core/event_parms.h"

namespace trv::core {

class EventQueue {
 public:
  // Any thread: appends `record`; false, and nothing queued, once a stop is
  // requested.
  bool push(const EventParms& record);

  enum class Taken { Records, Idle, Stopped };

  // Dispatcher: waits up to a second for records, then moves everything
  // queued into the empty `batch` at once, so a producer never waits on the
  // lock for longer than a few pointer moves. Idle: nothing came in that
  // second; Stopped: a stop was requested and nothing is left.
  Taken take(RecordQueue& batch);

  // Any thread: the records waiting and the payloads they carry.
  struct Backlog {
    size_t records;
    PayloadTally payloads;
  };
  Backlog backlog();

  // Any thread, any number of times: pushes are refused from now on, and the
  // dispatcher ends once it has taken what is queued.
  void requestStop();
  bool stopping() const { return stopRequested.load(std::memory_order_seq_cst); }

  // Before the dispatcher starts: whether it may spin for records before it
  // sleeps (on by default where a second core runs the producers).
  void allowSpin(bool allowed) { spinAllowed_ = allowed && std::thread::hardware_concurrency() > 1; }

  // Producers wait while the lock is held (the core saves core.xml under it).
  std::unique_lock<std::mutex> hold() { return std::unique_lock(queueMutex); }

 private:
  void spinForRecords() const;

  // Read by every producer on its way in: kept off the line the lock
  // bounces between the threads.
  alignas(64) std::atomic<bool> stopRequested{false};
  alignas(64) std::mutex queueMutex;
  std::condition_variable queueCondition;
  RecordQueue eventQueue;  // guarded by queueMutex
  // Set while the ring holds records; written under queueMutex, read without
  // it by the dispatcher's spin.
  std::atomic<bool> recordsQueued_{false};
  // Spinning before sleeping pays only where the producer runs meanwhile.
  bool spinAllowed_ = std::thread::hardware_concurrency() > 1;
  // Dispatcher only: the last take found records without sleeping, so they
  // are arriving faster than a sleep and a wake-up take.
  bool spinPays_ = false;
};

}  // namespace trv::core
