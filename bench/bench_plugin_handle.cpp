#include "bench_plugin_handle.h"

#include <stdexcept>

#include <fmt/format.h>

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

core::EventParms alarmRecord(std::vector<uint8_t>& payload) {
  core::EventParms record = core::makeEvent(core::TypeAlarm, core::FlagLive, ProducerSource);
  record.data = payload.empty() ? nullptr : payload.data();
  record.dataLen = static_cast<uint32_t>(payload.size());
  return record;
}

std::string deliveryFault(uint64_t posted, uint64_t refused, const std::vector<BenchPlugin>& plugins,
                          uint32_t blocksLeft) {
  if (refused != 0) return fmt::format("{} of {} records refused", refused, posted);
  for (size_t i = 0; i < plugins.size(); ++i) {
    if (plugins[i].delivered() != posted) {
      return fmt::format("plugin {} got {} of {} records", i, plugins[i].delivered(), posted);
    }
  }
  if (blocksLeft != 0) return fmt::format("{} payload blocks left after the queue drained", blocksLeft);
  return {};
}

}  // namespace trv::bench
