#include "supervision.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dvr_core.h"

namespace trv::core {
namespace {

constexpr int64_t Second = 1000000000;
constexpr uint64_t MiB = 1048576;

// Readings the test sets before each tick.
struct Readings {
  int64_t steady = 0;
  int64_t wall = 1700000000 * Second;
  uint32_t resident = 0;
  std::optional<uint64_t> ram = 1024 * MiB;
};

// A core whose supervision reads `readings` and whose log lines land in a
// temporary file.
class SupervisedCore {
 public:
  explicit SupervisedCore(Readings& readings) : log_(std::tmpfile()) {
    g_core = &core;
    core.logWriter.setOutput(log_);
    core.logWriter.setColour(false);
    core.supervisionSources = {
        [&readings] { return readings.steady; },
        [&readings] { return readings.wall; },
        [&readings] { return readings.resident; },
        [&readings] { return readings.ram; },
        [] { return uint64_t{8 * MiB}; },
    };
  }
  ~SupervisedCore() {
    // Drain the queue so every published document is released.
    core.requestStop();
    core.dispatchLoop();
    g_core = nullptr;
    std::fclose(log_);
  }

  void tick() { core.onSupervisionTick({}); }

  // The texts of the lines written so far, without their time and prefix.
  std::vector<std::string> lines() {
    std::fflush(log_);
    std::rewind(log_);
    std::vector<std::string> texts;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, log_) != nullptr) {
      std::string line = buffer;
      const std::string marker = " core ";
      const auto at = line.find(marker);
      texts.push_back(line.substr(at + marker.size(), line.size() - at - marker.size() - 1));
    }
    return texts;
  }

  // The payloads of the memory status documents queued so far.
  std::vector<std::string> memoryDocuments() {
    std::vector<std::string> documents;
    std::lock_guard lock(core.queueMutex);
    RecordQueue kept;
    while (!core.eventQueue.empty()) {
      const EventParms record = core.eventQueue.pop();
      if (record.type == TypeAlarm) {
        documents.emplace_back(static_cast<const char*>(record.data), record.dataLen);
      }
      kept.push(record);
    }
    while (!kept.empty()) core.eventQueue.push(kept.pop());
    return documents;
  }

  DvrCore core{"/opt/trovis/bin/trovis-core"};

 private:
  std::FILE* log_;
};

TEST(Supervision, ThresholdIsEightyPercentOfLargeMemories) {
  EXPECT_EQ(throttleThresholdFor(512 * MiB), 429496720u);
  EXPECT_EQ(throttleThresholdFor(511 * MiB), 199229440u);
  EXPECT_EQ(throttleThresholdFor(std::nullopt), 199229440u);
  EXPECT_EQ(throttleThresholdFor(uint64_t{4096} * MiB), 3435973820u);
}

TEST(Supervision, FirstTickReportsTheLimitsAndChecksNothingYet) {
  Readings readings;
  readings.ram = 512 * MiB;
  readings.resident = 500 * MiB;
  SupervisedCore supervised(readings);
  supervised.tick();
  EXPECT_EQ(supervised.lines(),
            std::vector<std::string>{"memory limits, throttling:409.6MiB stack:8MiB"});
  EXPECT_FALSE(supervised.core.throttlingActive);
  EXPECT_EQ(supervised.core.memoryInUse, 0u);

  readings.ram = 511 * MiB;
  Readings small = readings;
  SupervisedCore second(small);
  second.tick();
  EXPECT_EQ(second.lines(),
            std::vector<std::string>{"memory limits, throttling:190MiB stack:8MiB"});
}

TEST(Supervision, ThrottlingStartsAtOnceAndEndsSixtySecondsAfterTheLastHighReading) {
  Readings readings;  // threshold 819.2 MiB
  SupervisedCore supervised(readings);
  DvrCore& core = supervised.core;
  supervised.tick();

  // Checks run only on ticks more than a second after the previous check.
  readings.steady = Second - 1;
  readings.resident = 900 * MiB;
  supervised.tick();
  EXPECT_FALSE(core.throttlingActive);

  readings.steady = Second;
  supervised.tick();
  EXPECT_TRUE(core.throttlingActive);
  EXPECT_EQ(core.memoryInUse, 900 * MiB);

  readings.steady = 2 * Second + 1;
  readings.resident = 100 * MiB;
  supervised.tick();
  EXPECT_FALSE(core.throttlingActive);

  for (int64_t at = 4; at <= 58; at += 2) {
    readings.steady = at * Second + 1;
    supervised.tick();
  }
  readings.steady = 61 * Second - 1;  // checked, but just under 60 s after the high reading
  supervised.tick();
  readings.steady = 62 * Second;
  supervised.tick();

  EXPECT_EQ(supervised.lines(), (std::vector<std::string>{
                                    "memory limits, throttling:819.2MiB stack:8MiB",
                                    "available system memory is low, throttling audio/video",
                                    "available system memory ok, not throttling audio/video",
                                }));
  EXPECT_EQ(supervised.memoryDocuments(),
            (std::vector<std::string>{
                "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"1\" "
                "mseTime=\"1000\"/></qDVR>",
                "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"62\" "
                "mseTime=\"62000\"/></qDVR>",
            }));
}

TEST(Supervision, HighAgainWithinTheHoldKeepsThrottledWithoutNewReports) {
  Readings readings;
  SupervisedCore supervised(readings);
  supervised.tick();
  readings.resident = 900 * MiB;
  readings.steady = 2 * Second;
  supervised.tick();
  readings.resident = 10 * MiB;
  readings.steady = 40 * Second;
  supervised.tick();
  readings.resident = 900 * MiB;
  readings.steady = 50 * Second;
  supervised.tick();
  readings.resident = 10 * MiB;
  readings.steady = 100 * Second;  // 50 s after the latest high reading
  supervised.tick();
  EXPECT_FALSE(supervised.core.throttlingActive);
  EXPECT_EQ(supervised.lines().size(), 2u);
  readings.steady = 110 * Second + 1;
  supervised.tick();
  EXPECT_EQ(supervised.lines().back(), "available system memory ok, not throttling audio/video");
}

TEST(Supervision, DisabledThrottlingNeverThrottles) {
  Readings readings;
  SupervisedCore supervised(readings);
  supervised.core.throttlingEnabled = false;
  supervised.tick();
  readings.resident = 4000 * MiB;
  readings.steady = 2 * Second;
  supervised.tick();
  EXPECT_FALSE(supervised.core.throttlingActive);
  EXPECT_EQ(supervised.lines().size(), 1u);
  EXPECT_TRUE(supervised.memoryDocuments().empty());
}

TEST(Supervision, WallClockJumpsReportTheWholeInterval) {
  Readings readings;
  SupervisedCore supervised(readings);
  supervised.tick();
  readings.steady += Second + 1;
  readings.wall += 3601 * Second;
  supervised.tick();
  readings.steady += Second + 1;
  readings.wall -= 4 * Second;
  supervised.tick();
  // Within a second of the steady clock: not a jump.
  readings.steady += 2 * Second;
  readings.wall += 2 * Second + 900000000;
  supervised.tick();
  const auto lines = supervised.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "system time changed by 3601.00seconds");
  EXPECT_EQ(lines[2], "system time changed by -4.00seconds");
}

TEST(Supervision, LimitsAreReportedAgainAfterADayWithoutTicks) {
  Readings readings;
  SupervisedCore supervised(readings);
  supervised.tick();
  readings.steady = 86400 * Second;
  readings.wall += 86400 * Second;
  supervised.tick();
  const auto lines = supervised.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], lines[1]);
}

}  // namespace
}  // namespace trv::core
