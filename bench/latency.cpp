// Latency at light load: one record every 50 us with a 1 KiB payload, from the
// moment it is posted to the first plugin's OnEvent, through the core and
// through a mutex, std::deque and condition variable queue with one consumer.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bench_plugin_handle.h"
#include "core_rig.h"
#include "log/core_log.h"
#include "report.h"
#include "sections.h"

namespace trv::bench {

namespace {

using core::EventParms;

constexpr auto Interval = std::chrono::microseconds(50);
constexpr uint32_t PayloadBytes = 1024;
constexpr uint32_t ProducerSource = core::originOfPlugin(0x20);
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

// Posts a freshly stamped copy of `record` through `post` every interval for
// `duration`, waiting for each slot by spinning; slots missed while the thread
// was descheduled are skipped rather than made up in a burst. Returns the
// number of records posted.
template <typename Post>
uint64_t postPaced(Clock::duration duration, const EventParms& record, Post&& post) {
  const auto end = Clock::now() + duration;
  uint64_t posted = 0;
  for (auto next = Clock::now(); next < end; next += Interval) {
    while (Clock::now() < next) {
    }
    EventParms copy = record;
    const int64_t sent = nowNanos();
    std::memcpy(copy.detail + StampOffset, &sent, sizeof sent);
    if (post(copy) != 0) throw std::runtime_error("a record was refused");
    ++posted;
    if (const auto now = Clock::now(); now > next + Interval) next = now;
  }
  return posted;
}

// Runs the warm-up and the window through `post`, then `drain`, and reduces
// the window's latencies to percentiles.
template <typename Post, typename Drain>
Measurement measureLatency(const Options& options, LatencyLog& log, Post&& post, Drain&& drain) {
  std::vector<uint8_t> payload(PayloadBytes, 0x5a);
  EventParms record = core::makeEvent(core::TypeAlarm, core::FlagLive, ProducerSource);
  record.data = payload.data();
  record.dataLen = PayloadBytes;

  const uint64_t warmRecords = postPaced(options.warmUp, record, post);
  const Window window;
  const uint64_t windowRecords = postPaced(options.window, record, post);
  Measurement result;
  window.finish(result, windowRecords);
  drain();

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

// A mutex, a std::deque and a condition variable, with one consumer thread
// that calls the three plugins' OnEvent and frees the payload copy.
class PlainQueue {
 public:
  explicit PlainQueue(const std::vector<BenchPlugin>& plugins)
      : consumer_([this, &plugins] { consume(plugins); }) {}
  ~PlainQueue() { finish(); }
  PlainQueue(const PlainQueue&) = delete;
  PlainQueue& operator=(const PlainQueue&) = delete;

  // Queues `record` with a private copy of its payload.
  int post(EventParms& record) {
    void* copy = std::malloc(record.dataLen);
    if (copy == nullptr) return 1;
    std::memcpy(copy, record.data, record.dataLen);
    record.data = copy;
    {
      std::lock_guard lock(mutex_);
      records_.push_back(record);
    }
    ready_.notify_one();
    return 0;
  }

  // Returns once the consumer has delivered everything queued.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ready_.notify_one();
    if (consumer_.joinable()) consumer_.join();
  }

 private:
  void consume(const std::vector<BenchPlugin>& plugins) {
    for (;;) {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return done_ || !records_.empty(); });
      if (records_.empty()) return;
      EventParms record = records_.front();
      records_.pop_front();
      lock.unlock();
      for (const BenchPlugin& plugin : plugins) plugin.onEvent(record);
      std::free(record.data);
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<EventParms> records_;
  bool done_ = false;
  std::thread consumer_;  // last: starts once the members it uses exist
};

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
  fmt::print("    core/deque p50 per repetition: {}\n",
             ratioText(ratios(results[0], results[1], [](const auto& run) { return run.p50Micros; })));
  fmt::print("    core/deque p99 per repetition: {}\n",
             ratioText(ratios(results[0], results[1], [](const auto& run) { return run.p99Micros; })));
  printFailures(variants, results);
  fmt::print("\n");
}

}  // namespace trv::bench
