#include "log_line.h"

#include <cstdio>
#include <ctime>

namespace trv::logpi {

namespace {

std::string_view trimLineEnd(std::string_view text) {
  while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::string formatLine(std::chrono::system_clock::time_point time, uint8_t origin, int32_t level,
                       std::string_view text) {
  const auto millis = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const auto seconds = static_cast<std::time_t>(millis / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[24];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[80];
  std::snprintf(prefix, sizeof prefix, "%s.%03d id=%02x level=%d ", stamp,
                static_cast<int>(millis % 1000), origin, level);
  std::string line = prefix;
  line += trimLineEnd(text);
  line += '\n';
  return line;
}

std::optional<std::string> lineForRecord(const core::EventParms& event,
                                         std::chrono::system_clock::time_point time) {
  using namespace trv::core;
  if (baseType(event.type) != TypeLog) return std::nullopt;
  if ((event.flags & FlagLive) == 0 || (event.flags & FlagText) == 0) return std::nullopt;
  if (event.data == nullptr) return std::nullopt;
  const std::string_view text = trimLineEnd({static_cast<const char*>(event.data), event.dataLen});
  if (text.empty()) return std::nullopt;
  // As on the core's standard output: a modifier-marked line counts as level 0.
  const int32_t level = event.type == TypeLog ? logLevelOf(event) : 0;
  return formatLine(time, pluginIdOf(event.source), level, text);
}

}  // namespace trv::logpi
