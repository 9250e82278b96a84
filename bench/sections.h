// The sections of the benchmark; each runs its variants and prints a table.
#pragma once

#include "harness.h"

namespace trv::bench {

// Records per second from 1 and 2 producers through the core and through a
// plain lock-free queue, with 0 B, 1 KiB and 64 KiB payloads, the producers
// held to a window of records in flight.
void reportThroughput(const Options& options);

// The same with producers that never wait: delivered rate, queue length and
// resident size reached.
void reportOverload(const Options& options);

// Minor faults, speed and resident size of the core path at 64 KiB payloads
// under several glibc malloc settings.
void reportMallocSettings(const Options& options);

// Post-to-OnEvent latency at one record every 50 us: the core against a
// mutex, deque and condition variable queue.
void reportLatency(const Options& options);

// The cost of a core log call below its threshold and of a written line.
void reportLogCost(const Options& options);

// CPU time per event at a camera-class device's rates: the core with and
// without the dispatcher's spin against a mutex, deque and condition variable queue.
void reportDeviceLoad(const Options& options);

// Instructions per routed event under callgrind, 0 B and 1 KiB payloads.
void reportInstructions(const Options& options);

}  // namespace trv::bench
