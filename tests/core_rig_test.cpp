// The core hosted in the test process, where its clocks and memory readings
// can be set: the supervision's decisions and the dispatcher's timing, seen
// in its plain log lines and in what queueEvent answers.
#include "core_rig.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/counter_clock.h"
#include "trv/core/event_parms.h"

namespace trv::test {
namespace {

using namespace core;
using ::testing::ElementsAre;

constexpr int64_t Second = 1000000000;
constexpr uint64_t MiB = 1048576;
constexpr uint32_t Poster = 0x00420000;

// A core in this process whose clocks and readings are the fields below,
// its plain log lines kept in a temporary file.
class RiggedCore {
 public:
  // Without dispatching, only the ticks and posts of the test write lines.
  explicit RiggedCore(std::vector<std::filesystem::path> plugins = {}, bool dispatching = true)
      : log_(std::tmpfile(), std::fclose),
        rig_({.plugins = std::move(plugins),
              .sources = {[this] { return steady.fetch_add(step) + step; }, [this] { return wall.load(); },
                          [this] { return resident.load(); }, [this] { return ram; },
                          [] { return uint64_t{8 * MiB}; }, {}},
              .coreLogThreshold = 0, .logOutput = log_.get(), .dispatching = dispatching}) {}

  DvrCore& core() { return rig_.core(); }
  void tick() { core().onSupervisionTick(); }
  void startDispatcher() { rig_.startDispatcher(); }
  void stop() { rig_.stop(); }

  // The texts of the core's messages so far, without time and prefix; a
  // message of several lines is one text.
  std::vector<std::string> lines() {
    std::fflush(log_.get());
    std::rewind(log_.get());
    std::vector<std::string> texts;
    for (char buffer[4096]; std::fgets(buffer, sizeof buffer, log_.get()) != nullptr;) {
      const std::string_view line = buffer;
      const std::string_view text = line.substr(0, line.size() - 1);
      if (const auto at = text.find(" core "); at != text.npos) {
        texts.emplace_back(text.substr(at + 6));
      } else if (!texts.empty()) {
        texts.back().append("\n").append(text);
      }
    }
    return texts;
  }

  // What queueEvent answers a live key frame: 0 while media pass, PostThrottled while not.
  int32_t postKeyFrame() {
    EventParms frame = makeEvent(TypeVideo, FlagLive, Poster);
    frame.detail[detail_offset::frameKind] = KeyFrame;
    return core().queueEvent(frame);
  }

  // The steady clock, and what is added to it at each reading.
  std::atomic<int64_t> steady{0}, step{0};
  std::atomic<int64_t> wall{1700000000 * Second};
  std::atomic<uint32_t> resident{0};
  std::optional<uint64_t> ram = 1024 * MiB;

 private:
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_{nullptr, std::fclose};
  CoreRig rig_;
};

TEST(Supervision, ThresholdIsEightyPercentOfLargeMemories) {
  EXPECT_THAT((std::vector{throttleThresholdFor(512 * MiB), throttleThresholdFor(511 * MiB),
                            throttleThresholdFor(std::nullopt), throttleThresholdFor(uint64_t{4096} * MiB)}),
              ElementsAre(429496720u, 199229440u, 199229440u, 3435973820u));
}

TEST(Supervision, ThrottlingStartsAtOnceAndEndsSixtySecondsAfterTheLastHighReading) {
  RiggedCore rigged({}, false);
  struct Tick {
    int64_t steady;
    uint32_t residentMiB;
    int32_t keyFrameAnswer;
    size_t linesSoFar;
  };
  // The first tick only reports the limits; checks run only on ticks a second
  // or more after the previous check; media flow again with the first low
  // reading, while the report waits for the hold after the last high one.
  for (const Tick& tick : {Tick{0, 900, PostQueued, 1}, {Second - 1, 900, PostQueued, 1},
                           {Second, 900, PostThrottled, 2}, {40 * Second, 10, PostQueued, 2},
                           {50 * Second, 900, PostThrottled, 2}, {110 * Second - 1, 10, PostQueued, 2},
                           {111 * Second, 10, PostQueued, 3}}) {
    rigged.steady = tick.steady;
    rigged.resident = tick.residentMiB * MiB;
    rigged.tick();
    EXPECT_EQ(rigged.postKeyFrame(), tick.keyFrameAnswer) << tick.steady;
    EXPECT_EQ(rigged.lines().size(), tick.linesSoFar) << tick.steady;
  }
  EXPECT_THAT(rigged.lines(), ElementsAre("memory limits, throttling:819.2MiB stack:8MiB",
                                          "available system memory is low, throttling audio/video",
                                          "available system memory ok, not throttling audio/video"));
}

TEST(Supervision, WallClockJumpsAreReportedAndADayWithoutTicksStartsOver) {
  RiggedCore rigged({}, false);
  rigged.ram = 511 * MiB;
  // Steps of the two clocks; the third is within a second of the steady clock: not a jump.
  for (const auto& [steady, wall] : {std::pair<int64_t, int64_t>{0, 0}, {Second + 1, 3601 * Second},
                                    {Second + 1, -4 * Second}, {2 * Second, 3 * Second - 1},
                                    {86400 * Second, 86400 * Second}}) {
    rigged.steady += steady;
    rigged.wall += wall;
    rigged.tick();
  }
  EXPECT_THAT(rigged.lines(), ElementsAre("memory limits, throttling:190MiB stack:8MiB",
                                          "system time changed by 3601.00seconds",
                                          "system time changed by -4.00seconds",
                                          "memory limits, throttling:190MiB stack:8MiB"));
}

// Posts a live alarm of `text` as a plugin would.
void postAlarm(std::string text) {
  EventParms record = makeEvent(TypeAlarm, FlagLive | FlagText, Poster);
  record.data = text.data();
  record.dataLen = static_cast<uint32_t>(text.size());
  ASSERT_EQ(postEvent(&record), 0);
}

TEST(Dispatch, FirstReportCountsTheRestOfTheBatchAsQueuedWithTheirPayloads) {
  RiggedCore rigged({}, false);
  for (const char* text : {"first", "second", "third"}) postAlarm(text);
  EXPECT_EQ(rigged.core().payloadBlocksHeld(), 3u);
  rigged.startDispatcher();
  rigged.stop();
  EXPECT_EQ(rigged.core().payloadBlocksHeld(), 0u);
  // All three blocks are the core's still: 16 bytes of text and an 8-byte header each.
  EXPECT_THAT(rigged.lines(), ::testing::Contains(::testing::AllOf(
                                  ::testing::StartsWith("InQ:2 events:1 idle:"),
                                  ::testing::EndsWith("refblks:3(40) top: Core 3"))));
}

TEST(Dispatch, APluginCallLongerThanFiveMillisecondsIsReported) {
  for (const int64_t millis : {5, 6}) {
    RiggedCore rigged({TRV_TEST_BINARY_DIR "/test_plugins/template/AlarmLogger.so"});
    rigged.step = millis * 1000000;  // how long every plugin call seems to take
    postAlarm("slow");
    rigged.stop();
    std::vector<std::string> reports;
    for (const auto& line : rigged.lines()) {
      if (line.find(" took ") != std::string::npos) reports.push_back(line);
    }
    const std::vector<std::string> expected = {"AlarmLogger took 6ms for alarm event from unknown [4]"};
    EXPECT_EQ(reports, millis == 6 ? expected : std::vector<std::string>{}) << millis << " ms";
  }
}

TEST(DispatchClock, FollowsTheCounterScaledToTheSteadyClockAndFallsBackWhenItJumps) {
  uint64_t ticks = 1000;
  int64_t steady = 5 * Second;
  int steadyReads = 0;
  CounterClock clock([&] { return ticks; }, [&] { return ++steadyReads, steady; });
  // Moves the counter and the steady clock on, then reads the clock.
  const auto after = [&](uint64_t tickStep, int64_t nanoStep) {
    ticks += tickStep;
    steady += nanoStep;
    return clock.now();
  };
  constexpr int64_t Ms = 1000000;
  // Each row: the steps, what the clock reads, and the steady readings so far.
  const struct {
    uint64_t ticks;
    int64_t nanos;
    int64_t reading;
    int steadyReads;
  } steps[] = {
      {0, 0, 5 * Second, 1},
      // Until 20 ms have passed every reading is the steady clock's.
      {57 * Ms, 19 * Ms, 5 * Second + 19 * Ms, 2},
      {3 * Ms, Ms, 5 * Second + 20 * Ms, 3},
      // Then the counter, at 3 ticks a nanosecond, for a second.
      {12 * Ms, 4 * Ms, 5 * Second + 24 * Ms, 3},
      {2985 * Ms, 995 * Ms, 6 * Second + 19 * Ms, 3},
      {3 * Ms, Ms, 6 * Second + 20 * Ms, 4},
      // A steady clock behind the counter: readings never go back.
      {3000 * Ms - 3, 998 * Ms, 7 * Second + 20 * Ms - 1, 4},
      {3, 1, 7 * Second + 20 * Ms - 1, 5},
      // A counter whose rate changes is not trusted again.
      {30000 * Ms, Second, 8 * Second + 18 * Ms + 1, 6},
      {3 * Ms, Ms, 8 * Second + 19 * Ms + 1, 7},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(after(steps[i].ticks, steps[i].nanos), steps[i].reading) << "step " << i;
    EXPECT_EQ(steadyReads, steps[i].steadyReads) << "step " << i;
  }
  // Without a counter, or with one that went back while it was measured, it is the steady clock.
  CounterClock plain({}, [&] { return steady; });
  EXPECT_EQ(plain.now(), steady);
  uint64_t backTicks = 1000;
  CounterClock back([&] { return backTicks; }, [&] { return steady; });
  for (const auto& [tickTo, step] : {std::pair<uint64_t, int64_t>{1000, 0}, {500, 30 * Ms}, {3 * Ms, Ms}}) {
    backTicks = tickTo;
    steady += step;
    EXPECT_EQ(back.now(), steady);
  }
}

}  // namespace
}  // namespace trv::test
