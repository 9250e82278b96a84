// Control interface of the Tap test plugin (Tap.so, plugin id 0x7a). It asks
// for live video and audio and keeps a copy of every record delivered to it
// (configuration events included, which every plugin gets); a test reads them
// through TapTaken after dlopen()ing the same file as the core, which yields
// the same handle and so the same globals.
#pragma once

#include <cstddef>
#include <cstdint>

#include <trv/core/event_parms.h>

namespace tap {

struct Tapped {
  trv::core::EventParms record;  // as delivered; `data` is stale afterwards
  char label[32];                // the payload up to its first line feed, NUL-terminated
  int64_t receivedMs;            // system clock at delivery, milliseconds since 1970
};

}  // namespace tap

// Copies up to `capacity` records, oldest first; returns how many there are.
using TapTakenFn = size_t (*)(tap::Tapped* out, size_t capacity);
// Forgets every record taken so far.
using TapClearFn = void (*)();
