// The test side of the Route plugin: opens a copy once per process and hands
// out its controls, and builds the self-descriptions the copies report.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "route_plugin.h"

namespace route {

// The controls a Route copy exports besides its entry points.
struct Controls {
  RouteSetupFn setup;
  RouteReceivedFn received;
  RouteSearchesFn searches;
  RouteDecrefFn decref;
  RouteDecrefKeptFn decrefKept;
  RouteHeldFn held;
  RouteProceedFn proceed;
  RouteFinishFn finish;
};

inline std::filesystem::path pathOf(char copy) {
  return std::filesystem::path(TRV_TEST_BINARY_DIR) / "test_plugins" /
         (std::string("Route") + copy + ".so");
}

template <typename Fn>
Fn controlOf(void* handle, const char* name) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) throw std::runtime_error(std::string("Route plugin lacks ") + name);
  return reinterpret_cast<Fn>(symbol);
}

// The file is opened once and never closed: the core's own dlopen of the same
// path then shares these globals, and they outlive every core of the run.
inline const Controls& controls(char copy) {
  static std::mutex mutex;
  static std::map<char, Controls> opened;
  std::lock_guard lock(mutex);
  if (const auto found = opened.find(copy); found != opened.end()) return found->second;
  void* handle = dlopen(pathOf(copy).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(dlerror());
  const Controls loaded{
      controlOf<RouteSetupFn>(handle, "RouteSetup"),
      controlOf<RouteReceivedFn>(handle, "RouteReceived"),
      controlOf<RouteSearchesFn>(handle, "RouteSearches"),
      controlOf<RouteDecrefFn>(handle, "RouteDecref"),
      controlOf<RouteDecrefKeptFn>(handle, "RouteDecrefKept"),
      controlOf<RouteHeldFn>(handle, "RouteHeld"),
      controlOf<RouteProceedFn>(handle, "RouteProceed"),
      controlOf<RouteFinishFn>(handle, "RouteFinish"),
  };
  return opened.emplace(copy, loaded).first->second;
}

// A self-description with every per-type caps word set to `every`.
inline trv::core::PluginInfo capsOf(uint32_t origin, uint32_t every) {
  using trv::core::PluginInfo;
  PluginInfo info{};
  info.origin = origin;
  for (uint32_t PluginInfo::*caps : {&PluginInfo::videoCaps, &PluginInfo::audioCaps,
                                     &PluginInfo::alarmCaps, &PluginInfo::ptzCaps,
                                     &PluginInfo::serialCaps, &PluginInfo::logCaps,
                                     &PluginInfo::posCaps, &PluginInfo::analyticCaps}) {
    info.*caps = every;
  }
  return info;
}

inline trv::core::PluginInfo wantsAll(uint32_t origin) {
  return capsOf(origin, trv::core::WantsLive);
}
inline trv::core::PluginInfo wantsNothing(uint32_t origin) { return capsOf(origin, 0); }

inline std::vector<Received> receivedBy(char copy) {
  std::vector<Received> records(controls(copy).received(nullptr, 0));
  const size_t copied = controls(copy).received(records.data(), records.size());
  records.resize(std::min(records.size(), copied));
  return records;
}

inline std::vector<Search> searchesOf(char copy) {
  std::vector<Search> searches(controls(copy).searches(nullptr, 0));
  const size_t copied = controls(copy).searches(searches.data(), searches.size());
  searches.resize(std::min(searches.size(), copied));
  return searches;
}

}  // namespace route
