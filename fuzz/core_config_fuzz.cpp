// Any core.xml text, as the core reads it at start-up: a text that is not well-formed changes no
// setting; any other leaves the GOP length as it was or within 765..2500 and every threshold
// within -1..100, with the slot of plugin id 1 never addressed.
#include <string>

#include "config/core_settings.h"
#include "fuzz_check.h"

using namespace trv::core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemorySettings memory{true, 1};  // out of range, so that an untouched value shows
  LogLevels levels;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool parsed = trv::fuzz::unlessThrown([&] { applyCoreDocument(text, memory, levels); return true; }, false);
  const bool gopInRange = memory.maxGopLen >= 765 && memory.maxGopLen <= 2500;
  trv::fuzz::check((parsed || memory.throttlingEnabled) && (memory.maxGopLen == 1 || (parsed && gopInRange)),
                   "memory settings", parsed, memory.maxGopLen);
  for (unsigned id = 0; id < 256; ++id) {
    const int32_t stored = levels.stored(static_cast<uint8_t>(id));
    trv::fuzz::check(stored == -1 || (parsed && id != 1 && stored >= 0 && stored <= 100),
                     "threshold out of range, from a text that does not parse, or of plugin id 1", id, stored);
  }
  return 0;
}
