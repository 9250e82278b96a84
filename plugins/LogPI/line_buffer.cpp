#include "line_buffer.h"

#include <utility>

namespace trv::logpi {

namespace {

// Room held back for the line that reports dropped lines.
constexpr size_t NoticeBytes = 64;

}  // namespace

void LineBuffer::open(size_t capacity) {
  std::lock_guard lock(mutex_);
  entries_.clear();
  used_ = 0;
  capacity_ = capacity;
  dropped_ = 0;
  open_ = true;
}

void LineBuffer::push(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    const size_t needed = line.size() + (dropped_ != 0 ? NoticeBytes : 0);
    if (needed > capacity_ - used_) {
      ++dropped_;
      return;
    }
    if (dropped_ != 0) entries_.push_back({{}, std::exchange(dropped_, 0)});
    used_ += needed;
    entries_.push_back({std::move(line), 0});
  }
  ready_.notify_one();
}

LineBuffer::Batch LineBuffer::take() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [this] { return !entries_.empty() || !open_; });
  Batch batch{std::exchange(entries_, {}), !open_};
  used_ = 0;
  if (batch.last && dropped_ != 0) batch.entries.push_back({{}, std::exchange(dropped_, 0)});
  return batch;
}

void LineBuffer::close() {
  {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  ready_.notify_one();
}

}  // namespace trv::logpi
