// Throughput of the event path: producers post live alarm records and the
// window counts what the last of three plugins received. The same records,
// with the same single payload copy, also go through a lock-free queue to a
// consumer that calls the same three OnEvent functions, as the yardstick.
// Producers either wait while a window of records is in flight, which gives
// the rate the path sustains, or never wait, which shows how the queue grows.
#include <malloc.h>

#include <concurrentqueue/blockingconcurrentqueue.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bench_plugin_handle.h"
#include "core/allocator_tuning.h"
#include "core_rig.h"
#include "log/core_log.h"
#include "report.h"
#include "sections.h"

namespace trv::bench {

namespace {

using core::EventParms;

// Producers publish their progress and check the consumer once per batch.
constexpr uint64_t Batch = 64;

constexpr uint32_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

// Flat out, the bytes that records in flight may take before the producers
// wait anyway, so that a run cannot exhaust the machine; a run that reaches
// it is marked, since the queue would have grown on.
constexpr uint64_t InFlightBudget = 1024 * MiB;

// Held back, the records in flight: this many bytes of records and payloads,
// but from 1024 to 4096 records. That is enough for a consumer never to run
// dry while a producer sleeps between two looks.
constexpr uint64_t BoundedBytes = 64 * MiB;
constexpr uint64_t BoundedMin = 1024;
constexpr uint64_t BoundedMax = 4096;

// How the producers of a run are held back.
enum class Pace {
  Bounded,  // wait while the consumer is a window of records behind
  FlatOut,  // never wait, up to the safety budget
};

// One configuration of a throughput table.
struct Flow {
  int producers;
  uint32_t payload;
  Pace pace;
};

// Process-wide glibc malloc tunables, applied before anything is set up;
// a negative value leaves the default.
struct MallocSettings {
  const char* name;
  int trimThreshold = -1;
  int mmapThreshold = -1;
  int topPad = -1;
  int arenaMax = -1;
};

const MallocSettings DefaultMalloc{.name = "default"};

void apply(const MallocSettings& settings) {
  const auto set = [](int parameter, int value, const char* what) {
    if (value < 0) return;
    if (mallopt(parameter, value) != 1) throw std::runtime_error(fmt::format("mallopt({}) refused", what));
  };
  set(M_TRIM_THRESHOLD, settings.trimThreshold, "M_TRIM_THRESHOLD");
  set(M_MMAP_THRESHOLD, settings.mmapThreshold, "M_MMAP_THRESHOLD");
  set(M_TOP_PAD, settings.topPad, "M_TOP_PAD");
  set(M_ARENA_MAX, settings.arenaMax, "M_ARENA_MAX");
}

// What the producers of one run share.
struct FlowState {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> posted{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> peakInFlight{0};
  std::atomic<bool> ceilingHit{false};
  uint64_t ceiling = 0;
};

// Posts copies of `record` through `post` until told to stop. Once per batch
// it notes how far ahead of the consumer the producers are (from
// `delivered`), and it waits while that is past the ceiling.
template <typename Post, typename Delivered>
void produce(FlowState& state, const EventParms& record, Post&& post, Delivered&& delivered) {
  const auto inFlight = [&] {
    const uint64_t done = delivered();
    const uint64_t posted = state.posted.load(std::memory_order_relaxed);
    return posted > done ? posted - done : 0;
  };
  while (!state.stop.load(std::memory_order_relaxed)) {
    for (uint64_t i = 0; i < Batch; ++i) {
      EventParms copy = record;
      if (post(copy) != 0) state.refused.fetch_add(1, std::memory_order_relaxed);
    }
    state.posted.fetch_add(Batch, std::memory_order_relaxed);
    uint64_t ahead = inFlight();
    uint64_t peak = state.peakInFlight.load(std::memory_order_relaxed);
    while (ahead > peak && !state.peakInFlight.compare_exchange_weak(peak, ahead)) {
    }
    while (ahead >= state.ceiling && !state.stop.load(std::memory_order_relaxed)) {
      state.ceilingHit.store(true, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      ahead = inFlight();
    }
  }
}

// Producer threads, told to stop and joined at the latest when this is destroyed.
class ProducerThreads {
 public:
  explicit ProducerThreads(FlowState& state) : state_(state) {}
  ~ProducerThreads() { stopAndJoin(); }
  ProducerThreads(const ProducerThreads&) = delete;
  ProducerThreads& operator=(const ProducerThreads&) = delete;

  template <typename Body>
  void start(int count, const Body& body) {
    for (int i = 0; i < count; ++i) threads_.emplace_back(body);
  }

  void stopAndJoin() {
    state_.stop.store(true, std::memory_order_relaxed);
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  FlowState& state_;
  std::vector<std::thread> threads_;
};

uint64_t ceilingFor(const Flow& flow) {
  const uint64_t recordBytes = flow.payload + sizeof(EventParms);
  if (flow.pace == Pace::FlatOut) return std::max<uint64_t>(BoundedMax, InFlightBudget / recordBytes);
  return std::clamp<uint64_t>(BoundedBytes / recordBytes, BoundedMin, BoundedMax);
}

// Notes how far the producers got ahead, or fails the run when a record went
// astray; `blocksLeft` are the payload blocks still alive after the drain.
Measurement checkedFlow(Measurement result, const FlowState& state, const std::vector<BenchPlugin>& plugins,
                        uint32_t blocksLeft) {
  if (std::string fault = deliveryFault(state.posted.load(), state.refused.load(), plugins, blocksLeft);
      !fault.empty()) {
    return failed(fault);
  }
  result.peakInFlight = state.peakInFlight.load();
  result.ceilingHit = state.ceilingHit.load();
  return result;
}

// The count of records the plugin called last has received.
std::function<uint64_t()> lastDelivered(const std::vector<BenchPlugin>& plugins) {
  return [&plugins] { return plugins.back().delivered(); };
}

// Producers -> postEvent -> queue -> dispatcher -> BenchA, BenchB, BenchC.
Measurement coreThroughput(const Flow& flow, const Options& options, const MallocSettings& settings) {
  apply(settings);
  std::vector<uint8_t> payload(flow.payload, 0x5a);
  const EventParms record = alarmRecord(payload);
  test::CoreRig rig({.plugins = benchPluginPaths(), .coreLogThreshold = core::LogCritical});
  const std::vector<BenchPlugin> plugins = openBenchPlugins();
  FlowState state;
  state.ceiling = ceilingFor(flow);

  ProducerThreads producers(state);
  producers.start(flow.producers, [&] {
    produce(state, record, [](EventParms& item) { return core::postEvent(&item); },
            lastDelivered(plugins));
  });
  const Measurement result = measureWindow(options, lastDelivered(plugins));
  producers.stopAndJoin();
  rig.stop();
  return checkedFlow(result, state, plugins, rig.core().payloadBlocksHeld());
}

// A record with a null payload and no type ends one producer's stream.
bool isEndMark(const EventParms& record) { return record.type == core::TypeUnspecified; }

// Producers -> malloc+memcpy -> BlockingConcurrentQueue -> consumer -> the
// three OnEvent functions -> free.
Measurement moodycamelThroughput(const Flow& flow, const Options& options) {
  std::vector<uint8_t> payload(flow.payload, 0x5a);
  const EventParms record = alarmRecord(payload);
  const std::vector<BenchPlugin> plugins = openBenchPlugins();
  moodycamel::BlockingConcurrentQueue<EventParms> queue;
  FlowState state;
  state.ceiling = ceilingFor(flow);

  // Per-producer order is kept, so a producer's end mark follows all its records.
  std::jthread consumer([&] {
    moodycamel::ConsumerToken token(queue);
    EventParms item{};
    for (int ended = 0; ended < flow.producers;) {
      queue.wait_dequeue(token, item);
      if (isEndMark(item)) {
        ++ended;
        continue;
      }
      for (const BenchPlugin& plugin : plugins) plugin.onEvent(item);
      std::free(item.data);
    }
  });

  ProducerThreads producers(state);
  producers.start(flow.producers, [&] {
    moodycamel::ProducerToken token(queue);
    const auto post = [&](EventParms& item) {
      if (item.dataLen != 0) {
        void* copy = std::malloc(item.dataLen);
        if (copy == nullptr) return 1;
        std::memcpy(copy, item.data, item.dataLen);
        item.data = copy;
      }
      return queue.enqueue(token, item) ? 0 : 1;
    };
    produce(state, record, post, lastDelivered(plugins));
    queue.enqueue(token, EventParms{});
  });
  const Measurement result = measureWindow(options, lastDelivered(plugins));
  producers.stopAndJoin();
  consumer.join();
  return checkedFlow(result, state, plugins, 0);
}

std::string kibText(double kib) { return siText(kib / 1024) + "MiB"; }

std::string faultsText(double value) { return fixedText(value, 3); }

void printFlowHeader() {
  fmt::print("    {:<11} {:<28} {:<22} {:<22} {:<28} {}\n", "variant", "events/s median [min..max]",
             "CPU ns/event", "peak in flight", "peak RSS", "minor faults/event");
}

void printFlowRow(const std::string& name, const std::vector<Measurement>& runs, bool markBudget) {
  const bool budgetHit = std::any_of(runs.begin(), runs.end(), [](const auto& run) { return run.ceilingHit; });
  fmt::print("    {:<11} {:<28} {:<22} {:<22} {:<28} {}{}\n", name,
             spreadText(figures(runs, [](const auto& run) { return run.perSecond(); })),
             spreadText(figures(runs, [](const auto& run) { return run.cpuNanosPerEvent(); })),
             spreadText(figures(runs, [](const auto& run) { return double(run.peakInFlight); })),
             spreadText(figures(runs, [](const auto& run) { return double(run.peakRssKiB); }), kibText),
             spreadText(figures(runs, [](const auto& run) { return run.faultsPerEvent(); }), faultsText),
             markBudget && budgetHit ? "  (safety budget reached)" : "");
}

// Peak resident bytes per record in flight: what a backlog costs.
double residentPerRecord(const Measurement& run) {
  return static_cast<double>(run.peakRssKiB) * KiB / static_cast<double>(run.peakInFlight);
}

// Held back, targets 1 (rate) and 2 (faults and resident size); flat out, target 3.
void printTargets(const Flow& flow, const std::vector<Measurement>& core,
                  const std::vector<Measurement>& yardstick) {
  const bool overload = flow.pace == Pace::FlatOut;
  const auto rate = ratios(core, yardstick, [](const auto& run) { return run.perSecond(); });
  fmt::print("    core/moodycamel events/s per repetition: {}{}\n", ratioText(rate),
             targetText(overload ? 3 : 1, ">=", overload ? 0.8 : 1.0, rate));
  if (overload) {
    const auto perRecord = ratios(core, yardstick, residentPerRecord);
    fmt::print("    resident bytes per record in flight: core {}, moodycamel {}\n",
               spreadText(figures(core, residentPerRecord)), spreadText(figures(yardstick, residentPerRecord)));
    fmt::print("    core/moodycamel resident bytes per record in flight, per repetition: {}{}\n",
               ratioText(perRecord), targetText(3, "<=", 1.2, perRecord));
    return;
  }
  const auto faults = figures(core, [](const auto& run) { return run.faultsPerEvent(); });
  fmt::print("    core minor faults per event: {}{}\n", spreadText(faults, faultsText),
             targetText(2, "<", 0.05, faults));
  const auto rss = ratios(core, yardstick, [](const auto& run) { return double(run.peakRssKiB); });
  fmt::print("    core/moodycamel peak RSS per repetition: {}{}\n", ratioText(rss), targetText(2, "<=", 1.0, rss));
}

// Runs the core and the yardstick for each flow and prints one block per flow.
void compareFlows(const std::vector<Flow>& flows, const Options& options) {
  printFlowHeader();
  for (const Flow& flow : flows) {
    fmt::print("  {} producer{}, {} B payload\n", flow.producers, flow.producers == 1 ? "" : "s",
               flow.payload);
    // Both run with the allocator settings trovis-core makes at start-up.
    const std::vector<Variant> variants = {
        {"core",
         [=] {
           core::tuneAllocatorForPayloads();
           return coreThroughput(flow, options, DefaultMalloc);
         }},
        {"moodycamel",
         [=] {
           core::tuneAllocatorForPayloads();
           return moodycamelThroughput(flow, options);
         }},
    };
    const auto results = runInterleaved(variants, options);
    const bool flatOut = flow.pace == Pace::FlatOut;
    printFlowRow(variants[0].name, results[0], flatOut);
    printFlowRow(variants[1].name, results[1], flatOut);
    printTargets(flow, results[0], results[1]);
    // The same comparison by CPU time, which a busy machine disturbs less.
    const auto byCpu = ratios(results[1], results[0], [](const auto& run) { return run.cpuNanosPerEvent(); });
    fmt::print("    moodycamel/core CPU ns per event, per repetition: {}\n", ratioText(byCpu));
    printFailures(variants, results);
  }
  fmt::print("\n");
}

}  // namespace

void reportThroughput(const Options& options) {
  fmt::print(
      "1. Throughput: live alarm records (type 4) to 3 plugins whose OnEvent returns 0; events/s =\n"
      "   records the last plugin received per second. Producers wait while {} records are in\n"
      "   flight ({} at 64 KiB), so this is the rate the path sustains without a backlog.\n\n",
      BoundedMax, BoundedMin);
  std::vector<Flow> flows;
  for (int producers : {1, 2}) {
    for (uint32_t payload : {0u, KiB, 64 * KiB}) flows.push_back({producers, payload, Pace::Bounded});
  }
  compareFlows(flows, options);
}

void reportOverload(const Options& options) {
  fmt::print(
      "1b. Overload: the same records from producers that never wait (the core's queue has no\n"
      "   limit); they stop only at a safety budget of {} GiB of records and payloads in flight.\n"
      "   At 64 KiB the dispatcher keeps up: see the 64 KiB rows above and section 2.\n\n",
      InFlightBudget / (1024 * MiB));
  // At 64 KiB the dispatcher keeps up, so flat out is the table above again.
  compareFlows({{1, 0, Pace::FlatOut}, {1, KiB, Pace::FlatOut}}, options);
}

void reportMallocSettings(const Options& options) {
  constexpr int MiBytes = 1 << 20;
  const MallocSettings settings[] = {
      DefaultMalloc,
      {.name = "trim 16 MiB", .trimThreshold = 16 * MiBytes},
      {.name = "mmap 256 KiB, trim 8 MiB (shipped)", .trimThreshold = 8 * MiBytes, .mmapThreshold = 256 * KiB},
      {.name = "mmap 256 KiB, trim 16 MiB", .trimThreshold = 16 * MiBytes, .mmapThreshold = 256 * KiB},
      {.name = "top pad 4 MiB", .topPad = 4 * MiBytes},
      {.name = "arena max 1, trim 16 MiB", .trimThreshold = 16 * MiBytes, .arenaMax = 1},
  };
  const Flow flow{1, 64 * KiB, Pace::FlatOut};
  // The heap takes about a second to reach its working size under the larger
  // thresholds; faults before that are growth, not the trimming compared here.
  Options settled = options;
  settled.warmUp = std::max<Clock::duration>(options.warmUp, std::chrono::seconds(1));
  fmt::print(
      "2. glibc malloc settings (set at start-up) on the core path: 1 producer flat out, 64 KiB\n"
      "   payload, which the dispatcher keeps up with; blocks are allocated by the producer and\n"
      "   freed by the dispatcher. Measured after {:.1f} s, once the heap has settled.\n\n",
      std::chrono::duration<double>(settled.warmUp).count());
  fmt::print("    {:<35} {:<28} {:<22} {:<22} {:<28} {}\n", "settings", "events/s median [min..max]",
             "CPU ns/event", "minor faults/event", "peak RSS", "events/s vs default per repetition");
  std::vector<Variant> variants;
  for (const MallocSettings& setting : settings) {
    variants.push_back({setting.name, [=] { return coreThroughput(flow, settled, setting); }});
  }
  const auto results = runInterleaved(variants, settled);
  for (size_t v = 0; v < variants.size(); ++v) {
    const auto& runs = results[v];
    fmt::print("    {:<35} {:<28} {:<22} {:<22} {:<28} {}\n", variants[v].name,
               spreadText(figures(runs, [](const auto& run) { return run.perSecond(); })),
               spreadText(figures(runs, [](const auto& run) { return run.cpuNanosPerEvent(); })),
               spreadText(figures(runs, [](const auto& run) { return run.faultsPerEvent(); }), faultsText),
               spreadText(figures(runs, [](const auto& run) { return double(run.peakRssKiB); }), kibText),
               v == 0 ? "" : ratioText(ratios(runs, results[0], [](const auto& run) { return run.perSecond(); })));
  }
  printFailures(variants, results);
  fmt::print("\n");
}

}  // namespace trv::bench
