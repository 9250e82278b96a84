#include "log_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "log_levels.h"

namespace trv::core {
namespace {

using namespace std::string_view_literals;

// 2024-03-05 14:07:09 UTC, in nanoseconds.
constexpr int64_t March5 = 1709647629LL * 1000000000LL;

std::atomic<int64_t> now{March5 + 42000000};

int64_t fixedClock() { return now.load(); }

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

// Everything `write` makes a fresh writer put into a temporary file.
std::string writtenBy(const std::function<void(LogWriter&)>& write) {
  setenv("TZ", "UTC", 1);
  tzset();
  const File file(std::tmpfile());
  if (!file) throw std::system_error(errno, std::generic_category(), "tmpfile");
  LogWriter writer(file.get(), fixedClock);
  write(writer);
  std::fflush(file.get());
  std::rewind(file.get());
  std::string text;
  for (int c = std::fgetc(file.get()); c != EOF; c = std::fgetc(file.get())) {
    text += static_cast<char>(c);
  }
  return text;
}

std::string lineOf(uint32_t id, uint32_t level, std::string_view text) {
  return writtenBy([&](LogWriter& writer) { writer.writeLogLine(id, level, text); });
}

TEST(LogWriterLine, EachBandOfLevelsHasItsColour) {
  const std::string tail = "14:07:09.042\x1b[36m core\x1b[0m started\n";
  const std::pair<uint32_t, std::string> bands[] = {
      {0, "\x1b[38;5;248m"},   {24, "\x1b[38;5;248m"},
      {25, "\x1b[32m"},        {49, "\x1b[32m"},
      {50, "\x1b[38;5;227m"},  {74, "\x1b[38;5;227m"},
      {75, "\x1b[38;5;196m"},  {99, "\x1b[38;5;196m"},
      {100, "\x1b[38;5;37m\x1b[38;5;1m"},
      // Levels above 100 are written as 100.
      {130, "\x1b[38;5;37m\x1b[38;5;1m"},
  };
  for (const auto& [level, colour] : bands) {
    EXPECT_EQ(lineOf(0, level, "started"), colour + tail) << "level " << level;
  }
}

TEST(LogWriterLine, TimeIsTheClocksWithZeroPaddedMilliseconds) {
  now = March5 + 5000000;
  EXPECT_EQ(lineOf(0, 30, "a"), "\x1b[32m14:07:09.005\x1b[36m core\x1b[0m a\n");
  now = March5 + 999999999;
  EXPECT_EQ(lineOf(0, 30, "b"), "\x1b[32m14:07:09.999\x1b[36m core\x1b[0m b\n");
  now = 0;
  EXPECT_EQ(lineOf(0, 30, "c"), "\x1b[32m00:00:00.000\x1b[36m core\x1b[0m c\n");
  now = March5 + 42000000;
}

TEST(LogWriterLine, TrailingLineEndsAndNulsAreTrimmedAndEmptyLinesDropped) {
  EXPECT_EQ(lineOf(0, 30, "ready\r\n\0\0"sv), "\x1b[32m14:07:09.042\x1b[36m core\x1b[0m ready\n");
  // Only the end is trimmed.
  EXPECT_EQ(lineOf(0, 30, "one\ntwo\n"), "\x1b[32m14:07:09.042\x1b[36m core\x1b[0m one\ntwo\n");
  EXPECT_EQ(lineOf(0, 30, "\n"), "");
  EXPECT_EQ(lineOf(0, 30, "\r\n\0"sv), "");
  EXPECT_EQ(lineOf(0, 100, ""), "");
}

TEST(LogWriterLine, PrefixIsTheCoreThePluginNameOrThePluginId) {
  EXPECT_EQ(lineOf(0x21, 30, "x"), "\x1b[32m14:07:09.042\x1b[36m PI21\x1b[0m x\n");
  EXPECT_EQ(lineOf(0x05, 30, "x"), "\x1b[32m14:07:09.042\x1b[36m PI05\x1b[0m x\n");
  EXPECT_EQ(writtenBy([](LogWriter& writer) {
              writer.setPluginName(0x21, "Recorder");
              writer.writeLogLine(0x21, 30, "x");
              writer.writeLogLine(0x22, 30, "y");
            }),
            "\x1b[32m14:07:09.042\x1b[36m Recorder\x1b[0m x\n"
            "\x1b[32m14:07:09.042\x1b[36m PI22\x1b[0m y\n");
}

TEST(LogWriterLine, PluginNamesAreRecorded) {
  LogWriter writer(nullptr, fixedClock);
  EXPECT_EQ(writer.pluginName(0), "core");
  EXPECT_EQ(writer.pluginName(0x21), "unknown");
  writer.setPluginName(0x21, "Recorder");
  EXPECT_EQ(writer.pluginName(0x21), "Recorder");
}

TEST(LogWriterLine, WithoutColourTheLineCarriesNoEscapes) {
  EXPECT_EQ(writtenBy([](LogWriter& writer) {
              writer.setColour(false);
              writer.writeLogLine(0, 100, "plain");
              writer.writeLogLine(0x21, 10, "quiet");
            }),
            "14:07:09.042 core plain\n"
            "14:07:09.042 PI21 quiet\n");
}

TEST(LogWriterLine, InTheBackgroundNothingIsWritten) {
  EXPECT_EQ(writtenBy([](LogWriter& writer) {
              writer.setBackground();
              writer.writeLogLine(0, 30, "hidden");
              writer.writeLogLine(0, 100, "critical");
            }),
            "");
}

TEST(LogWriterLine, ShortWriteThrows) {
  const File full(std::fopen("/dev/full", "w"));
  ASSERT_TRUE(full) << "no /dev/full";
  // Unbuffered, so that the write itself fails instead of a later flush.
  std::setvbuf(full.get(), nullptr, _IONBF, 0);
  LogWriter writer(full.get(), fixedClock);
  try {
    writer.writeLogLine(0, 30, "lost");
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_THAT(error.what(), testing::HasSubstr("cannot write to file"));
    EXPECT_EQ(error.code(), std::errc::no_space_on_device);
  }
}

TEST(LogLevels, UnsetOriginsUseTheDefaultThreshold) {
  const LogLevels levels;
  EXPECT_EQ(levels.stored(0), -1);
  EXPECT_EQ(levels.thresholdFor(0), 25);
  EXPECT_EQ(levels.thresholdFor(0xFF), 25);
}

TEST(LogLevels, SetValuesAreClampedToMinusOneToHundred) {
  LogLevels levels;
  struct Clamp {
    int32_t set, stored, threshold;
  };
  const Clamp clamps[] = {
      {-5, -1, 25}, {-1, -1, 25}, {0, 0, 0},       {60, 60, 60},
      {99, 99, 99}, {100, 100, 100}, {101, 100, 100}, {250, 100, 100},
  };
  for (const Clamp& clamp : clamps) {
    levels.set(7, clamp.set);
    EXPECT_EQ(levels.stored(7), clamp.stored) << "set " << clamp.set;
    EXPECT_EQ(levels.thresholdFor(7), clamp.threshold) << "set " << clamp.set;
  }
}

TEST(LogLevels, EachOriginHasItsOwnThreshold) {
  LogLevels levels;
  levels.set(0x21, 60);
  levels.set(0, 0);
  EXPECT_EQ(levels.thresholdFor(0x21), 60);
  EXPECT_EQ(levels.thresholdFor(0x22), 25);
  EXPECT_EQ(levels.thresholdFor(0), 0);
}

}  // namespace
}  // namespace trv::core
