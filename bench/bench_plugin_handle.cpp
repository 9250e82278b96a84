#include "bench_plugin_handle.h"

#include <stdexcept>

namespace trv::bench {

namespace {

std::filesystem::path executableDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

template <typename Fn>
Fn entryPoint(const core::SharedObject& object, const char* name,
              const std::filesystem::path& path) {
  void* address = object.symbol(name);
  if (address == nullptr) {
    throw std::runtime_error(path.string() + " exports no " + name);
  }
  return reinterpret_cast<Fn>(address);
}

}  // namespace

std::vector<std::filesystem::path> benchPluginPaths() {
  const auto dir = executableDir();
  return {dir / "BenchA.so", dir / "BenchB.so", dir / "BenchC.so"};
}

BenchPlugin::BenchPlugin(const std::filesystem::path& path) {
  if (std::string failure = object_.open(path); !failure.empty()) {
    throw std::runtime_error("cannot open " + path.string() + ": " + failure);
  }
  onEvent_ = entryPoint<core::OnEventFn>(object_, "OnEvent", path);
  delivered_ = entryPoint<DeliveredFn>(object_, "BenchDelivered", path);
  observe_ = entryPoint<ObserveFn>(object_, "BenchObserve", path);
}

std::vector<BenchPlugin> openBenchPlugins() {
  std::vector<BenchPlugin> plugins;
  for (const auto& path : benchPluginPaths()) plugins.emplace_back(path);
  return plugins;
}

}  // namespace trv::bench
