// The benchmark's plugins, as the benchmark itself opens them beside the core.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_plugin.h"
#include "plugin/shared_object.h"
#include "trv/core/event_parms.h"
#include "trv/core/plugin_abi.h"

namespace trv::bench {

// BenchA.so, BenchB.so and BenchC.so, which the build puts beside the benchmark.
std::vector<std::filesystem::path> benchPluginPaths();

// One benchmark plugin opened by the benchmark itself: a second reference to
// the object the core loaded from the same path, so it shares its counter;
// or the only one, when a plain queue calls OnEvent directly. Throws
// std::runtime_error when the object or one of its entry points is missing.
class BenchPlugin {
 public:
  explicit BenchPlugin(const std::filesystem::path& path);

  int onEvent(core::EventParms& event) const { return onEvent_(&event); }
  uint64_t delivered() const { return delivered_(); }
  void observe(Observer observer, void* context) const { observe_(observer, context); }

 private:
  core::SharedObject object_;
  core::OnEventFn onEvent_ = nullptr;
  DeliveredFn delivered_ = nullptr;
  ObserveFn observe_ = nullptr;
};

// The three plugins, each opened by the benchmark.
std::vector<BenchPlugin> openBenchPlugins();

// Records come from a plugin id none of the receivers has: every receiver wants them.
inline constexpr uint32_t ProducerSource = core::originOfPlugin(0x20);

// A live alarm from ProducerSource carrying `payload` (none when it is empty).
core::EventParms alarmRecord(std::vector<uint8_t>& payload);

// Why a run is wrong, or empty when each plugin received every one of the
// `posted` records, none was refused and no payload block is left.
std::string deliveryFault(uint64_t posted, uint64_t refused, const std::vector<BenchPlugin>& plugins,
                          uint32_t blocksLeft);

}  // namespace trv::bench
