// Latency at light load: one record every 50 us with a 1 KiB payload, from the
// moment it is posted to the first plugin's OnEvent, through the core and
// through a mutex, std::deque and condition variable queue with one consumer.
#include <algorithm>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "bench_plugin_handle.h"
#include "core_rig.h"
#include "log/core_log.h"
#include "pacing.h"
#include "plain_queue.h"
#include "report.h"
#include "sections.h"

namespace trv::bench {

namespace {

using core::EventParms;

constexpr auto Interval = std::chrono::microseconds(50);
constexpr uint32_t PayloadBytes = 1024;
// The send time travels in the record's detail bytes, which alarms leave free.
constexpr size_t StampOffset = 16;

int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Latencies seen by the observer in the first plugin; written only by the
// delivering thread, read after it has been joined.
struct LatencyLog {
  std::vector<int64_t> nanos;  // sized up front: recording allocates nothing
  size_t count = 0;

  static void observe(void* context, const EventParms* event) {
    auto& log = *static_cast<LatencyLog*>(context);
    int64_t sent;
    std::memcpy(&sent, event->detail + StampOffset, sizeof sent);
    if (log.count < log.nanos.size()) log.nanos[log.count++] = nowNanos() - sent;
  }
};

// Runs the warm-up and the window through `post`, then `drain`, and reduces
// the window's latencies to percentiles.
template <typename Post, typename Drain>
Measurement measureLatency(const Options& options, LatencyLog& log, Post&& post, Drain&& drain) {
  std::vector<uint8_t> payload(PayloadBytes, 0x5a);
  const EventParms record = alarmRecord(payload);

  // A freshly stamped copy of the record each time, waited for by spinning.
  const auto postStamped = [&](uint64_t) {
    EventParms copy = record;
    const int64_t sent = nowNanos();
    std::memcpy(copy.detail + StampOffset, &sent, sizeof sent);
    post(copy);
  };
  const uint64_t warmRecords = postPaced(options.warmUp, Interval, Wait::Spin, postStamped);
  const Window window;
  const uint64_t windowRecords = postPaced(options.window, Interval, Wait::Spin, postStamped);
  Measurement result;
  window.finish(result, windowRecords);
  drain();

  // A refused record is one the observer never saw.
  if (log.count != warmRecords + windowRecords) {
    return failed(fmt::format("{} of {} records observed", log.count, warmRecords + windowRecords));
  }
  // Records are delivered in order: the window's are the last ones.
  const auto first = log.nanos.begin() + static_cast<ptrdiff_t>(warmRecords);
  const auto last = log.nanos.begin() + static_cast<ptrdiff_t>(log.count);
  const auto micros = [](int64_t nanos) { return static_cast<double>(nanos) / 1000; };
  const auto percentile = [&](double fraction) {
    const auto at = first + static_cast<ptrdiff_t>(fraction * static_cast<double>(last - first - 1));
    std::nth_element(first, at, last);
    return micros(*at);
  };
  result.p50Micros = percentile(0.5);
  result.p90Micros = percentile(0.9);
  result.p99Micros = percentile(0.99);
  result.maxMicros = micros(*std::max_element(first, last));
  return result;
}

size_t expectedRecords(const Options& options) {
  return static_cast<size_t>((options.warmUp + options.window) / Interval) + 1;
}

// Producer -> postEvent -> queue -> dispatcher -> BenchA (observed), BenchB, BenchC.
Measurement coreLatency(const Options& options) {
  LatencyLog log{std::vector<int64_t>(expectedRecords(options))};
  test::CoreRig rig({.plugins = benchPluginPaths(), .coreLogThreshold = core::LogCritical});
  const std::vector<BenchPlugin> plugins = openBenchPlugins();
  plugins.front().observe(&LatencyLog::observe, &log);
  return measureLatency(
      options, log, [](EventParms& record) { return core::postEvent(&record); },
      [&] { rig.stop(); });
}

Measurement dequeLatency(const Options& options) {
  LatencyLog log{std::vector<int64_t>(expectedRecords(options))};
  const std::vector<BenchPlugin> plugins = openBenchPlugins();
  plugins.front().observe(&LatencyLog::observe, &log);
  PlainQueue queue(plugins);
  return measureLatency(
      options, log, [&](EventParms& record) { return queue.post(record); }, [&] { queue.finish(); });
}

std::string microsText(double value) { return fixedText(value, value < 10 ? 1 : 0); }

}  // namespace

void reportLatency(const Options& options) {
  fmt::print(
      "3. Latency at light load: one live alarm every 50 us, 1 KiB payload, from the post to the\n"
      "   first plugin's OnEvent (steady clock), in microseconds.\n\n");
  fmt::print("    {:<12} {:<22} {:<22} {:<22} {}\n", "variant", "p50 median [min..max]",
             "p90 median [min..max]", "p99 median [min..max]", "max median [min..max]");
  const std::vector<Variant> variants = {
      {"core", [=] { return coreLatency(options); }},
      {"mutex+deque", [=] { return dequeLatency(options); }},
  };
  const auto results = runInterleaved(variants, options);
  for (size_t v = 0; v < variants.size(); ++v) {
    const auto& runs = results[v];
    fmt::print("    {:<12} {:<22} {:<22} {:<22} {}\n", variants[v].name,
               spreadText(figures(runs, [](const auto& run) { return run.p50Micros; }), microsText),
               spreadText(figures(runs, [](const auto& run) { return run.p90Micros; }), microsText),
               spreadText(figures(runs, [](const auto& run) { return run.p99Micros; }), microsText),
               spreadText(figures(runs, [](const auto& run) { return run.maxMicros; }), microsText));
  }
  const auto p50 = ratios(results[0], results[1], [](const auto& run) { return run.p50Micros; });
  fmt::print("    core/deque p50 per repetition: {}{}\n", ratioText(p50), targetText(6, "<=", 1.0, p50));
  fmt::print("    core/deque p99 per repetition: {}\n",
             ratioText(ratios(results[0], results[1], [](const auto& run) { return run.p99Micros; })));
  printFailures(variants, results);
  fmt::print("\n");
}

}  // namespace trv::bench
