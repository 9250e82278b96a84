// Lines on their way to the file: any thread adds, the writer thread takes.
// Bounded in bytes, so a slow disk never holds up the thread that logs; a
// line that does not fit is counted, and the count is handed to the writer
// in place of the lines, ahead of the next line that fits.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace trv::logpi {

class LineBuffer {
 public:
  struct Entry {
    std::string line;
    uint64_t dropped = 0;  // non-zero: that many lines were lost here
  };
  struct Batch {
    std::vector<Entry> entries;
    bool last = false;  // the buffer is closed and now empty
  };

  // Main thread, before the writer starts: accept lines, up to `capacity` bytes.
  void open(size_t capacity);

  // Any thread: queues `line`, or counts it as dropped when there is no room.
  // Ignored while the buffer is not open.
  void push(std::string line);

  // Writer thread: waits for entries or the close, then takes everything.
  Batch take();

  // Main thread: no more lines; the next take() is the last.
  void close();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Entry> entries_;
  size_t used_ = 0;
  size_t capacity_ = 0;
  uint64_t dropped_ = 0;
  bool open_ = false;
};

}  // namespace trv::logpi
