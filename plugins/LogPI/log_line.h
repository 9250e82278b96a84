// What a log record becomes in the file: one line with the local time to the
// millisecond, the origin's plugin id, the level and the text.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <trv/core/sdk.h>

namespace trv::logpi {

inline constexpr uint8_t LogPluginId = 8;

// "2026-02-03 14:05:09.042 id=00 level=25 text\n"; trailing CR, LF and NUL
// of `text` are left out.
std::string formatLine(std::chrono::system_clock::time_point time, uint8_t origin, int32_t level,
                       std::string_view text);

// The line for a live text "log" record, or nothing: other records, and lines
// with no text, have no place in the file.
std::optional<std::string> lineForRecord(const core::EventParms& event,
                                         std::chrono::system_clock::time_point time);

}  // namespace trv::logpi
