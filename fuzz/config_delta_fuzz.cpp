// Any payload of a "config" event, as the dispatcher looks at it: one that passes the byte windows
// of a delta is applied. Every threshold stays within -1..100, every change is reported, the slot
// of plugin id 1 is never addressed, and a payload that does not parse changes nothing. (libFuzzer
// itself reports a target that writes into its input.)
#include "config/core_settings.h"
#include "fuzz_check.h"

using namespace trv::core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  if (!isLogLevelDelta(payload)) return 0;
  // Every stored value there is, spread over the slots, so that a delta can set a slot to what it holds.
  const auto spread = [](unsigned id) { return static_cast<int32_t>(id % 102) - 1; };
  LogLevels levels;
  for (unsigned id = 0; id < 256; ++id) levels.set(static_cast<uint8_t>(id), spread(id));
  const bool reported = trv::fuzz::unlessThrown([&] { return applyLogLevelDelta(payload, levels); }, false);
  // A value out of range is reported though the slot keeps what it held: a report need not show.
  for (unsigned id = 0; id < 256; ++id) {
    const int32_t stored = levels.stored(static_cast<uint8_t>(id));
    trv::fuzz::check(stored >= -1 && stored <= 100 && (stored == spread(id) || (reported && id != 1)),
                     "threshold out of range, changed without a report or of plugin id 1", id, stored);
  }
  return 0;
}
