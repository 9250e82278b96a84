#include "plain_queue.h"

#include <cstdlib>
#include <cstring>

namespace trv::bench {

int PlainQueue::post(core::EventParms& record) {
  void* copy = std::malloc(record.dataLen);
  if (copy == nullptr) return 1;
  std::memcpy(copy, record.data, record.dataLen);
  record.data = copy;
  {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }
  ready_.notify_one();
  return 0;
}

void PlainQueue::finish() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  ready_.notify_one();
  if (consumer_.joinable()) consumer_.join();
}

void PlainQueue::consume(const std::vector<BenchPlugin>& plugins) {
  for (;;) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return done_ || !records_.empty(); });
    if (records_.empty()) return;
    core::EventParms record = records_.front();
    records_.pop_front();
    lock.unlock();
    for (const BenchPlugin& plugin : plugins) plugin.onEvent(record);
    std::free(record.data);
  }
}

}  // namespace trv::bench
