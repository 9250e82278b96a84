// route_records: posts COUNT live alarm records of PAYLOAD bytes from one
// thread into a hosted core whose dispatcher never spins, stops the core and
// checks that each of the three benchmark plugins received every record and
// that no payload block is left. event_path_bench runs it under callgrind.
// Usage: route_records COUNT PAYLOAD
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_plugin_handle.h"
#include "core_rig.h"
#include "log/core_log.h"

int main(int argc, char** argv) {
  using namespace trv;
  if (argc != 3) {
    std::fprintf(stderr, "usage: route_records COUNT PAYLOAD\n");
    return 2;
  }
  const uint64_t count = std::strtoull(argv[1], nullptr, 10);
  std::vector<uint8_t> payload(std::strtoul(argv[2], nullptr, 10), 0x5a);
  const core::EventParms record = bench::alarmRecord(payload);

  test::CoreRig rig({.plugins = bench::benchPluginPaths(), .coreLogThreshold = core::LogCritical,
                     .dispatcherSpin = false});
  const std::vector<bench::BenchPlugin> plugins = bench::openBenchPlugins();
  uint64_t refused = 0;
  for (uint64_t i = 0; i < count; ++i) {
    core::EventParms copy = record;
    if (core::postEvent(&copy) != 0) ++refused;
  }
  rig.stop();
  const std::string fault = bench::deliveryFault(count, refused, plugins, rig.core().payloadBlocksHeld());
  if (fault.empty()) return 0;
  std::fprintf(stderr, "route_records: %s\n", fault.c_str());
  return 1;
}
