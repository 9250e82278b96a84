// Log lines of an example plugin: live text "log" records posted to the core,
// which writes those that reach the plugin's threshold and passes them on to
// the log plugin.
#pragma once

#include <cstdint>
#include <string_view>

#include <trv/core/sdk.h>

namespace trv::examples {

// Level of the lines that say what a plugin does; shown with the default threshold.
inline constexpr int32_t NoticeLevel = 25;

// Any thread. The core copies the text before it returns.
inline int postLogLine(core::PostEventFn post, uint32_t origin, int32_t level,
                       std::string_view text) {
  core::EventParms line = core::makeEvent(core::TypeLog, core::FlagLive | core::FlagText, origin);
  line.data = const_cast<char*>(text.data());
  line.dataLen = static_cast<uint32_t>(text.size());
  core::setLogLevel(line, level);
  return post(&line);
}

}  // namespace trv::examples
