// The cost of the core's logging: a call below its threshold, a line written
// by the line writer, and a line logged through the core, which writes it and
// also queues it for the plugins. Lines go to /dev/null.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "bench_plugin_handle.h"
#include "core_rig.h"
#include "log/core_log.h"
#include "log/log_writer.h"
#include "report.h"
#include "sections.h"

namespace trv::bench {

namespace {

// Calls between two looks at the clock: enough that reading it costs nothing.
constexpr uint64_t Batch = 4096;

// This child's standard output, where the core writes its lines, goes to
// /dev/null for good: the results travel through a pipe.
void silenceStdout() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) throw std::runtime_error("cannot open /dev/null");
}

Measurement droppedLogCall(const Options& options) {
  silenceStdout();
  test::CoreRig rig({});
  if (core::coreLogEnabled(core::LogDebug)) return failed("debug lines pass the default threshold");
  return timeCalls(options, Batch, [](uint64_t n) { core::logDebug("dropped line {}", n); });
}

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

Measurement writtenLine(const Options& options) {
  const std::unique_ptr<std::FILE, CloseFile> devNull(std::fopen("/dev/null", "w"));
  if (!devNull) throw std::runtime_error("cannot open /dev/null");
  core::LogWriter writer(devNull.get());
  constexpr std::string_view text = "benchmark line of a typical length: 12,345 events in queue";
  return timeCalls(options, Batch, [&](uint64_t) { writer.writeLogLine(0, core::LogInfo, text); });
}

Measurement loggedThroughCore(const Options& options) {
  silenceStdout();
  test::CoreRig rig({});
  Measurement result =
      timeCalls(options, Batch, [](uint64_t n) { core::logInfo("benchmark line of a typical length: {:L} events in queue", n); });
  rig.stop();
  if (const uint32_t blocks = rig.core().payloadBlocksHeld(); blocks != 0) {
    return failed(fmt::format("{} line blocks left after the queue drained", blocks));
  }
  return result;
}

}  // namespace

void reportLogCost(const Options& options) {
  fmt::print("4. Core log calls, flat out on one thread.\n\n");
  fmt::print("    {:<58} {}\n", "call", "ns per call median [min..max]");
  const std::vector<Variant> variants = {
      {"logDebug below its threshold (dropped)", [=] { return droppedLogCall(options); }},
      {"LogWriter::writeLogLine to /dev/null", [=] { return writtenLine(options); }},
      {"logInfo through the core: written to /dev/null, queued", [=] { return loggedThroughCore(options); }},
  };
  const auto results = runInterleaved(variants, options);
  for (size_t v = 0; v < variants.size(); ++v) {
    fmt::print("    {:<58} {}\n", variants[v].name,
               spreadText(figures(results[v], [](const auto& run) { return run.nanosPerEvent(); }),
                          [](double value) { return fixedText(value, value < 10 ? 2 : 0); }));
  }
  const auto dropped = figures(results[0], [](const auto& run) { return run.nanosPerEvent(); });
  fmt::print("    dropped log call: median {:.2f} ns{}\n", spreadOf(dropped).median,
             targetText(6, "<=", 2, dropped, " ns"));
  printFailures(variants, results);
  fmt::print("\n");
}

}  // namespace trv::bench
