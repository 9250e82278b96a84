#include "log/log_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <system_error>

#include "log/log_levels.h"

namespace trv::core {
namespace {

using namespace std::string_view_literals;
using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// 2024-03-05 14:07:09.042 UTC, in nanoseconds.
constexpr int64_t March5 = 1709647629LL * 1000000000LL + 42000000;
int64_t wallClock = March5;
int64_t fixedClock() { return wallClock; }

const std::string Green = "\x1b[32m", At = "14:07:09.042", Cyan = "\x1b[36m ", Reset = "\x1b[0m ";

// Everything `write` makes a fresh writer put out.
std::string writtenBy(const std::function<void(LogWriter&)>& write) {
  setenv("TZ", "UTC", 1), tzset();
  std::string text(4096, '\0');
  const File stream(fmemopen(text.data(), text.size(), "w"), std::fclose);
  LogWriter writer(stream.get(), fixedClock);
  write(writer);
  return text.substr(0, std::fflush(stream.get()) == 0 ? static_cast<size_t>(std::ftell(stream.get())) : 0);
}

std::string lineOf(uint32_t level, std::string_view text, int64_t clock = March5) {
  wallClock = clock;
  return writtenBy([&](LogWriter& writer) { writer.writeLogLine(0, level, text); });
}

TEST(LogWriter, LinesAreColouredByBandTimedAndTrimmed) {
  const std::string grey = "\x1b[38;5;248m", yellow = "\x1b[38;5;227m", red = "\x1b[38;5;196m",
                    critical = "\x1b[38;5;37m\x1b[38;5;1m", core = Cyan + "core" + Reset;
  // Levels above 100 are coloured as 100.
  for (const auto& [level, colour] : {std::pair{0u, grey}, {24u, grey}, {25u, Green}, {49u, Green}, {50u, yellow},
                                      {74u, yellow}, {75u, red}, {99u, red}, {100u, critical}, {130u, critical}})
    EXPECT_EQ(lineOf(level, "up"), colour + At + core + "up\n") << level;
  for (const auto& [clock, time] : {std::pair<int64_t, std::string>{March5 - 37000000, "14:07:09.005"},
                                    {March5 + 957999999, "14:07:09.999"}, {0, "00:00:00.000"}})
    EXPECT_EQ(lineOf(30, "up", clock), Green + time + core + "up\n");
  // Only the end of a text is trimmed; a text with nothing else writes nothing.
  for (const auto& [text, line] : {std::pair{"ready\r\n\0\0"sv, "ready\n"sv}, {""sv, ""sv},
                                   {"one\ntwo\n"sv, "one\ntwo\n"sv}, {"\n"sv, ""sv}, {"\r\n\0"sv, ""sv}})
    EXPECT_EQ(lineOf(30, text), line.empty() ? "" : Green + At + core + std::string(line));
}

TEST(LogWriter, PrefixIsTheNameOrThePluginIdColourAndBackgroundSwitchOffAndShortWritesThrow) {
  EXPECT_EQ(writtenBy([](LogWriter& writer) {
              writer.writeLogLine(0x05, 30, "x");
              writer.setPluginName(0x21, "recorder");
              writer.writeLogLine(0x21, 30, "y");
              writer.writeLogLine(0x22, 30, "z");
              writer.setColour(false);
              writer.writeLogLine(0, 100, "plain");
              writer.writeLogLine(0x21, 10, "quiet");
              writer.setBackground();
              writer.writeLogLine(0x21, 100, "critical");
              EXPECT_EQ(std::string(writer.pluginName(0x21)) + "|" + writer.pluginName(0x22), "recorder|unknown");
            }),
            Green + At + Cyan + "PI05" + Reset + "x\n" + Green + At + Cyan + "recorder" + Reset + "y\n" +
                Green + At + Cyan + "PI22" + Reset + "z\n" + At + " core plain\n" + At + " recorder quiet\n");

  const File full(std::fopen("/dev/full", "w"), std::fclose);
  ASSERT_TRUE(full) << "no /dev/full";
  // Unbuffered, so that the write itself fails instead of a later flush.
  std::setvbuf(full.get(), nullptr, _IONBF, 0);
  try {
    LogWriter(full.get(), fixedClock).writeLogLine(0, 30, "lost");
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_TRUE(std::string_view(error.what()).starts_with("cannot write to file")) << error.what();
    EXPECT_EQ(error.code(), std::errc::no_space_on_device);
  }
}

TEST(LogLevels, UnsetOriginsUseTheDefaultAndSetValuesAreClamped) {
  const struct { int32_t set, stored, threshold; } clamps[] = {
      {-5, -1, 25}, {-1, -1, 25}, {0, 0, 0}, {99, 99, 99}, {100, 100, 100}, {101, 100, 100}, {250, 100, 100}};
  for (LogLevels levels; const auto& c : clamps) {
    levels.set(7, c.set);
    EXPECT_EQ(std::pair(levels.stored(7), levels.thresholdFor(7)), std::pair(c.stored, c.threshold)) << c.set;
    // Other origins keep the default.
    EXPECT_EQ(std::pair(levels.stored(8), levels.thresholdFor(8)), std::pair(-1, 25));
  }
}

}  // namespace
}  // namespace trv::core
