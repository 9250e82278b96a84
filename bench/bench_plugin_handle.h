// The benchmark's plugins, as the benchmark itself opens them beside the core.
#pragma once

#include <cstdint>
#include <filesystem>
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

}  // namespace trv::bench
