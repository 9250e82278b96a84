// The plain queue the core is measured against at device rates: a mutex, a
// std::deque and a condition variable, with one consumer thread that calls
// the three plugins' OnEvent and frees the payload copy.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_plugin_handle.h"
#include "trv/core/event_parms.h"

namespace trv::bench {

class PlainQueue {
 public:
  // `plugins` must outlive the queue.
  explicit PlainQueue(const std::vector<BenchPlugin>& plugins)
      : consumer_([this, &plugins] { consume(plugins); }) {}
  ~PlainQueue() { finish(); }
  PlainQueue(const PlainQueue&) = delete;
  PlainQueue& operator=(const PlainQueue&) = delete;

  // Any thread: queues `record` with a private copy of its payload; 0, or 1
  // when the copy cannot be made.
  int post(core::EventParms& record);

  // Returns once the consumer has delivered everything queued.
  void finish();

 private:
  void consume(const std::vector<BenchPlugin>& plugins);

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<core::EventParms> records_;
  bool done_ = false;
  std::thread consumer_;  // last: starts once the members it uses exist
};

}  // namespace trv::bench
