// Device load: what a camera-class device carries, posted on the clock by
// capture threads that sleep between records, through the core with and
// without the dispatcher's spin and through the plain mutex, deque and
// condition variable queue; the cost is the CPU time of the whole process
// per event delivered.
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bench_plugin_handle.h"
#include "core/allocator_tuning.h"
#include "core_rig.h"
#include "log/core_log.h"
#include "pacing.h"
#include "plain_queue.h"
#include "report.h"
#include "sections.h"

namespace trv::bench {

namespace {

using core::EventParms;

constexpr int Streams = 8;
constexpr int FramesPerSecond = 30;  // a key frame opens each second
constexpr int AudioBlocksPerSecond = 50;
constexpr int AlarmsPerSecond = 20;
constexpr int EventsPerSecond = Streams * (FramesPerSecond + AudioBlocksPerSecond) + AlarmsPerSecond;
constexpr uint32_t FrameBytes = 64 * 1024;
constexpr uint32_t AudioBytes = 1024;
constexpr uint32_t AlarmBytes = 256;
constexpr auto LeastWindow = std::chrono::seconds(5);

using Post = std::function<int(EventParms&)>;

// Live video or audio of camera channel `stream`: each channel has a source
// word, and so a gate entry, of its own.
EventParms mediaRecord(uint32_t type, int stream, std::vector<uint8_t>& payload) {
  EventParms record = core::makeEvent(type, core::FlagLive, ProducerSource | static_cast<uint32_t>(stream + 1));
  record.data = payload.data();
  record.dataLen = static_cast<uint32_t>(payload.size());
  return record;
}

// The device's capture: a thread for each video stream, each audio stream
// and the alarms, posting through `post` for the given time, each sleeping
// until its next record is due.
class DeviceLoad {
 public:
  DeviceLoad(Clock::duration duration, Post post) : post_(std::move(post)) {
    for (int stream = 0; stream < Streams; ++stream) {
      start(duration, FramesPerSecond, [this, stream](uint64_t n) {
        EventParms frame = mediaRecord(core::TypeVideo, stream, frame_);
        // The key frames let each stream through the gate.
        if (n % FramesPerSecond == 0) frame.detail[core::detail_offset::frameKind] = core::KeyFrame;
        return frame;
      });
      start(duration, AudioBlocksPerSecond,
            [this, stream](uint64_t) { return mediaRecord(core::TypeAudio, stream, audio_); });
    }
    start(duration, AlarmsPerSecond, [this](uint64_t) { return alarmRecord(alarm_); });
  }

  // Waits for the capture threads; then why the run is wrong, or empty.
  std::string finish(const std::vector<BenchPlugin>& plugins, const std::function<uint32_t()>& drain) {
    for (auto& thread : threads_) thread.join();
    return deliveryFault(posted_.load(), refused_.load(), plugins, drain());
  }

 private:
  void start(Clock::duration duration, int perSecond, std::function<EventParms(uint64_t)> next) {
    threads_.emplace_back([this, duration, perSecond, next = std::move(next)] {
      postPaced(duration, std::chrono::nanoseconds(std::chrono::seconds(1)) / perSecond, Wait::Sleep,
                [&](uint64_t n) {
                  EventParms record = next(n);
                  if (post_(record) != 0) refused_.fetch_add(1, std::memory_order_relaxed);
                  posted_.fetch_add(1, std::memory_order_relaxed);
                });
    });
  }

  Post post_;
  std::vector<uint8_t> frame_ = std::vector<uint8_t>(FrameBytes, 0x5a);
  std::vector<uint8_t> audio_ = std::vector<uint8_t>(AudioBytes, 0x5a);
  std::vector<uint8_t> alarm_ = std::vector<uint8_t>(AlarmBytes, 0x5a);
  std::atomic<uint64_t> posted_{0};
  std::atomic<uint64_t> refused_{0};
  std::vector<std::jthread> threads_;  // last: joined before the rest goes
};

// Runs the device's load through `post` over the warm-up and the window;
// `drain` delivers what is queued and answers the payload blocks left.
Measurement measureDevice(const Options& options, const std::vector<BenchPlugin>& plugins, Post post,
                          const std::function<uint32_t()>& drain) {
  DeviceLoad load(options.warmUp + options.window, std::move(post));
  const Measurement result = measureWindow(options, [&] { return plugins.back().delivered(); });
  if (std::string fault = load.finish(plugins, drain); !fault.empty()) return failed(fault);
  return result;
}

Measurement coreDevice(const Options& options, bool spin) {
  core::tuneAllocatorForPayloads();
  test::CoreRig rig({.plugins = benchPluginPaths(), .coreLogThreshold = core::LogCritical, .dispatcherSpin = spin});
  const std::vector<BenchPlugin> plugins = openBenchPlugins();
  return measureDevice(options, plugins, [](EventParms& record) { return core::postEvent(&record); }, [&] {
    rig.stop();
    return rig.core().payloadBlocksHeld();
  });
}

Measurement plainDevice(const Options& options) {
  core::tuneAllocatorForPayloads();
  const std::vector<BenchPlugin> plugins = openBenchPlugins();
  PlainQueue queue(plugins);
  return measureDevice(options, plugins, [&](EventParms& record) { return queue.post(record); }, [&] {
    queue.finish();
    return 0u;
  });
}

double cpuMicrosPerEvent(const Measurement& run) { return run.cpuNanosPerEvent() / 1000; }

}  // namespace

void reportDeviceLoad(const Options& options) {
  Options device = options;
  device.window = std::max<Clock::duration>(options.window, LeastWindow);
  fmt::print(
      "5. Device load: {} streams of {} fps live video at {} KiB with a key frame each second, {} x {}\n"
      "   live audio blocks/s of {} KiB, {} live alarms/s ({} events/s), posted on the clock by\n"
      "   threads that sleep until each record is due, for {:.0f} s. CPU = user and system time of all\n"
      "   threads of the process per event delivered.\n\n",
      Streams, FramesPerSecond, FrameBytes / 1024, Streams, AudioBlocksPerSecond, AudioBytes / 1024,
      AlarmsPerSecond, EventsPerSecond, std::chrono::duration<double>(device.window).count());
  const std::vector<Variant> variants = {
      {"core, adaptive spin", [=] { return coreDevice(device, true); }},
      {"core, spin off", [=] { return coreDevice(device, false); }},
      {"mutex+deque", [=] { return plainDevice(device); }},
  };
  const auto results = runInterleaved(variants, device);
  fmt::print("    {:<20} {:<28} {}\n", "variant", "events/s median [min..max]", "CPU us/event median [min..max]");
  for (size_t v = 0; v < variants.size(); ++v) {
    fmt::print("    {:<20} {:<28} {}\n", variants[v].name,
               spreadText(figures(results[v], [](const auto& run) { return run.perSecond(); })),
               spreadText(figures(results[v], cpuMicrosPerEvent)));
  }
  const auto adaptive = ratios(results[0], results[2], cpuMicrosPerEvent);
  fmt::print("    core (adaptive)/deque CPU per event, per repetition: {}{}\n", ratioText(adaptive),
             targetText(4, "<=", 1.0, adaptive));
  fmt::print("    core (spin off)/deque CPU per event, per repetition: {}\n",
             ratioText(ratios(results[1], results[2], cpuMicrosPerEvent)));
  printFailures(variants, results);
  fmt::print("\n");
}

}  // namespace trv::bench
