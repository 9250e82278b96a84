// The benchmark's plugins and a running core that routes records to them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench_plugin.h"
#include "dvr_core.h"
#include "shared_object.h"
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

// A DvrCore with the given plugins loaded and opened, reachable through
// postEvent, and its dispatch loop running on a thread of its own. One at a
// time per process; construct and destroy on one thread.
class CoreRig {
 public:
  // `coreLogThreshold` applies before the dispatcher starts, so that its
  // first statistics report already obeys it. Throws std::runtime_error when
  // a plugin does not load or open.
  CoreRig(const std::vector<std::filesystem::path>& pluginPaths, int32_t coreLogThreshold);
  ~CoreRig();
  CoreRig(const CoreRig&) = delete;
  CoreRig& operator=(const CoreRig&) = delete;

  core::DvrCore& core() { return core_; }

  // Stops the core and returns once the dispatcher has delivered every
  // record already queued; later records are refused.
  void stop();

 private:
  core::DvrCore core_;
  std::thread dispatcher_;
};

}  // namespace trv::bench
