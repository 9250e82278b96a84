// The core's own logging calls: a threshold test, then formatting into a
// per-thread buffer, then the line is posted like any other log record.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "log/log_levels.h"
#include "log/number_locale.h"

namespace trv::core {

// Levels of the core's own lines.
enum CoreLogLevel : int32_t {
  LogDebug = 0,
  LogInfo = 25,
  LogWarning = 50,
  LogError = 75,
  LogCritical = 100,
};

// Where the core's lines go: the thresholds to test and the function that
// posts a formatted line. Installed once by the core before any thread starts.
struct CoreLogTarget {
  const LogLevels* levels = nullptr;
  void (*post)(int32_t level, std::string_view text) = nullptr;
};

void setCoreLogTarget(CoreLogTarget target);

namespace detail {
extern CoreLogTarget coreLogTarget;
// Emptied, reusable buffer of the calling thread.
std::string& threadLogBuffer();
}  // namespace detail

// True when a core line of this level would pass its threshold.
inline bool coreLogEnabled(int32_t level) {
  const CoreLogTarget& target = detail::coreLogTarget;
  return target.post != nullptr && target.levels->thresholdFor(0) <= level;
}

template <typename... Args>
void logAt(int32_t level, fmt::format_string<Args...> format, Args&&... args) {
  if (!coreLogEnabled(level)) return;
  std::string& buffer = detail::threadLogBuffer();
  fmt::format_to(std::back_inserter(buffer), numberLocale(), format, std::forward<Args>(args)...);
  detail::coreLogTarget.post(level, buffer);
}

template <typename... Args>
void logDebug(fmt::format_string<Args...> format, Args&&... args) {
  logAt(LogDebug, format, std::forward<Args>(args)...);
}
template <typename... Args>
void logInfo(fmt::format_string<Args...> format, Args&&... args) {
  logAt(LogInfo, format, std::forward<Args>(args)...);
}
template <typename... Args>
void logWarning(fmt::format_string<Args...> format, Args&&... args) {
  logAt(LogWarning, format, std::forward<Args>(args)...);
}
template <typename... Args>
void logError(fmt::format_string<Args...> format, Args&&... args) {
  logAt(LogError, format, std::forward<Args>(args)...);
}
template <typename... Args>
void logCritical(fmt::format_string<Args...> format, Args&&... args) {
  logAt(LogCritical, format, std::forward<Args>(args)...);
}

}  // namespace trv::core
