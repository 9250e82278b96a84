// Any core.xml text, as the core reads it at start-up: a text that is not
// well-formed changes no setting; any other leaves the GOP length at its old
// value or within 765..2500 and every threshold within -1..100, with the slot
// of plugin id 1 never addressed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "core_settings.h"

namespace {

using trv::core::LogLevels;
using trv::core::MaxGopLenLimit;
using trv::core::MemorySettings;
using trv::core::MinGopLen;

// Outside the range, so that an untouched value shows.
constexpr uint16_t StartGopLen = 1;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

bool levelsUntouched(const LogLevels& levels) {
  for (unsigned id = 0; id < 256; ++id) {
    if (levels.stored(static_cast<uint8_t>(id)) != -1) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemorySettings memory{true, StartGopLen};
  LogLevels levels;
  try {
    trv::core::applyCoreDocument(std::string(reinterpret_cast<const char*>(data), size), memory,
                                 levels);
  } catch (const std::exception&) {
    if (!memory.throttlingEnabled || memory.maxGopLen != StartGopLen || !levelsUntouched(levels))
      fail("a text that does not parse changed a setting");
    return 0;
  }
  if (memory.maxGopLen != StartGopLen &&
      (memory.maxGopLen < MinGopLen || memory.maxGopLen > MaxGopLenLimit))
    fail("MaxGopLen outside 765..2500");
  for (unsigned id = 0; id < 256; ++id) {
    const int32_t stored = levels.stored(static_cast<uint8_t>(id));
    if (stored < -1 || stored > 100) fail("threshold outside -1..100");
  }
  if (levels.stored(1) != -1) fail("plugin id 1 was addressed");
  return 0;
}
