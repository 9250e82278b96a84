// The extra entry points of the benchmark's plugin, which the benchmark looks
// up with dlsym in the same shared object the core has loaded.
#pragma once

#include <cstdint>

#include "trv/core/event_parms.h"

namespace trv::bench {

// Called from OnEvent, on the delivering thread, with the record handed over.
using Observer = void (*)(void* context, const core::EventParms* event);

// BenchDelivered(): records OnEvent has seen since the object was loaded.
using DeliveredFn = uint64_t (*)();
// BenchObserve(observer, context): installs an observer, or removes it with
// null. Only while no delivery runs.
using ObserveFn = void (*)(Observer observer, void* context);

}  // namespace trv::bench
