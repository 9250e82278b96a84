// The line writer: one coloured, time-stamped line per passing text log record
// on standard output, and level-100 lines in the system log.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace trv::core {

class LogWriter {
 public:
  // Nanoseconds since 1970; injectable so that tests can fix the time.
  using WallClock = int64_t (*)();

  explicit LogWriter(std::FILE* output = stdout, WallClock clock = systemWallClock);

  // Writes one line for origin `id` at `level`; any thread. Throws
  // std::system_error "cannot write to file" when the output takes less than
  // the whole line.
  void writeLogLine(uint32_t id, uint32_t level, std::string_view text);

  // Names the prefix of lines from plugin `id`; main thread, while loading.
  void setPluginName(uint32_t id, std::string name);

  // The recorded name of plugin `id`, or "unknown".
  std::string pluginName(uint32_t id) const;

  // Stops all writing to the output for the rest of the process.
  void setBackground() { background_.store(true, std::memory_order_relaxed); }
  bool background() const { return background_.load(std::memory_order_relaxed); }

  void setColour(bool colour) { colourLog_ = colour; }

  // Redirects the lines, for tests and tools; the stream is not owned.
  void setOutput(std::FILE* output) {
    std::lock_guard lock(logMutex_);
    output_ = output;
  }

  static int64_t systemWallClock();

 private:
  mutable std::mutex logMutex_;
  std::unordered_map<uint32_t, std::string> pluginNames_{{0, "core"}};
  bool colourLog_ = true;
  std::atomic<bool> background_{false};
  std::FILE* output_;
  WallClock clock_;
};

}  // namespace trv::core
