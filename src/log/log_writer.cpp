#include "log/log_writer.h"

#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <iterator>
#include <system_error>

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace trv::core {

namespace {

constexpr std::string_view bandColours[] = {
    "\x1b[38;5;248m",             // 0..24 grey
    "\x1b[32m",                   // 25..49 green
    "\x1b[38;5;227m",             // 50..74 yellow
    "\x1b[38;5;196m",             // 75..99 red
    "\x1b[38;5;37m\x1b[38;5;1m",  // 100 and above
};
constexpr std::string_view prefixColour = "\x1b[36m";
constexpr std::string_view resetColour = "\x1b[0m";

std::string_view trimLineEnd(std::string_view text) {
  while (!text.empty()) {
    const char last = text.back();
    if (last != '\0' && last != '\r' && last != '\n') break;
    text.remove_suffix(1);
  }
  return text;
}

// Per-thread buffers, reused from line to line.
std::string& threadLineBuffer() {
  thread_local std::string buffer;
  buffer.clear();
  return buffer;
}

std::string& threadPrefixBuffer() {
  thread_local std::string buffer;
  buffer.clear();
  return buffer;
}

}  // namespace

LogWriter::LogWriter(std::FILE* output, WallClock clock) : output_(output), clock_(clock) {}

int64_t LogWriter::systemWallClock() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void LogWriter::writeLogLine(uint32_t id, uint32_t level, std::string_view text) {
  text = trimLineEnd(text);
  if (text.empty()) return;
  if (level > 99) {
    syslog(LOG_CRIT, "%.*s", static_cast<int>(text.size()), text.data());
    level = 100;
  }
  if (background()) return;

  const int64_t millis = clock_() / 1000000;
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);

  std::string& line = threadLineBuffer();
  std::string& prefix = threadPrefixBuffer();
  std::unique_lock lock(logMutex_);
  const auto name = pluginNames_.find(id);
  if (name != pluginNames_.end()) {
    prefix = name->second;
  } else {
    fmt::format_to(std::back_inserter(prefix), "PI{:02x}", id);
  }
  const std::string_view band = colourLog_ ? bandColours[level / 25] : std::string_view{};
  const std::string_view prefixStart = colourLog_ ? prefixColour : std::string_view{};
  const std::string_view reset = colourLog_ ? resetColour : std::string_view{};
  fmt::format_to(std::back_inserter(line), "{}{:%T}.{:03}{} {}{} {}\n", band, local, millis % 1000,
                 prefixStart, prefix, reset, text);
  if (std::fwrite(line.data(), 1, line.size(), output_) != line.size()) {
    const int error = errno;
    lock.unlock();
    throw std::system_error(error, std::generic_category(), "cannot write to file");
  }
}

void LogWriter::setPluginName(uint32_t id, std::string name) {
  std::lock_guard lock(logMutex_);
  pluginNames_[id] = std::move(name);
}

std::string LogWriter::pluginName(uint32_t id) const {
  std::lock_guard lock(logMutex_);
  const auto name = pluginNames_.find(id);
  return name != pluginNames_.end() ? name->second : "unknown";
}

}  // namespace trv::core
