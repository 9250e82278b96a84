// Any payload of a "config" event from another origin, as the dispatcher
// looks at it: when it passes the byte windows of a delta it is parsed and
// applied. Every change of a threshold is reported, every threshold stays
// within -1..100, the slot of plugin id 1 is never addressed, and a payload
// that does not parse changes nothing. (libFuzzer itself reports a target
// that writes into its input.)
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "core_settings.h"

namespace {

using trv::core::LogLevels;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Every stored value there is, spread over the slots, so that deltas can set
// a slot to the value it holds.
void spreadThresholds(LogLevels& levels) {
  for (unsigned id = 0; id < 256; ++id) {
    levels.set(static_cast<uint8_t>(id), static_cast<int32_t>(id % 102) - 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  if (!trv::core::isLogLevelDelta(payload)) return 0;
  LogLevels levels;
  spreadThresholds(levels);
  std::array<int32_t, 256> before{};
  for (unsigned id = 0; id < 256; ++id) before[id] = levels.stored(static_cast<uint8_t>(id));

  bool reported = false;
  bool parsed = true;
  try {
    reported = trv::core::applyLogLevelDelta(payload, levels);
  } catch (const std::exception&) {
    parsed = false;
  }
  bool changed = false;
  for (unsigned id = 0; id < 256; ++id) {
    const int32_t stored = levels.stored(static_cast<uint8_t>(id));
    if (stored < -1 || stored > 100) fail("threshold outside -1..100");
    changed |= stored != before[id];
  }
  if (!parsed && changed) fail("a payload that does not parse changed a threshold");
  // A slot set twice by one document may end where it began, and a value out
  // of range is reported though it stores what the slot held, so a reported
  // change need not show; a change that is not reported is a fault.
  if (changed && !reported) fail("a threshold changed without being reported");
  if (levels.stored(1) != before[1]) fail("plugin id 1 was addressed");
  return 0;
}
