// The plugin the benchmark routes records to: it wants live video, audio and
// alarms, counts every record OnEvent sees and returns 0, so no payload is kept. Built three
// times with distinct plugin ids (BENCH_ID).
#include <trv/core/sdk.h>

#include <atomic>

#include "bench_plugin.h"

using namespace trv::core;

namespace {

std::atomic<uint64_t> delivered{0};
// Set only while no delivery runs: relaxed loads suffice on the delivering side.
std::atomic<trv::bench::Observer> observer{nullptr};
std::atomic<void*> observerContext{nullptr};

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs*, PluginInfo* info) {
  info->origin = originOfPlugin(BENCH_ID);
  info->videoCaps = WantsLive;
  info->audioCaps = WantsLive;
  info->alarmCaps = WantsLive;
  return 0;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) { return 0; }
TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) { return 0; }
TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) { return 0; }

TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  if (const auto observe = observer.load(std::memory_order_relaxed)) {
    observe(observerContext.load(std::memory_order_relaxed), event);
  }
  // Release: a thread that reads the count also sees the observer's work.
  delivered.fetch_add(1, std::memory_order_release);
  return 0;
}

TRV_PLUGIN_EXPORT uint64_t BenchDelivered() { return delivered.load(std::memory_order_acquire); }

TRV_PLUGIN_EXPORT void BenchObserve(trv::bench::Observer fn, void* context) {
  observerContext.store(context, std::memory_order_relaxed);
  observer.store(fn, std::memory_order_relaxed);
}
