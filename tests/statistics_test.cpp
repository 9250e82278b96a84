#include "statistics.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "number_locale.h"

namespace trv::core {
namespace {

bool groupingLocale() { return numberLocale().name() != "C"; }

// The test command runs this program twice: with the system's locales and
// with them hidden, when the core must fall back to ungrouped numbers. Each
// run says which locale it expects, so a machine without en_US.UTF-8 cannot
// pass the first run on the fallback.
TEST(NumberLocale, IsTheOneThisRunExpects) {
  const char* expected = std::getenv("TRV_EXPECT_NUMBER_LOCALE");
  if (expected == nullptr) GTEST_SKIP() << "TRV_EXPECT_NUMBER_LOCALE is not set";
  EXPECT_EQ(numberLocale().name(), expected);
}

TEST(HumanSize, SmallValuesAreGroupedBytes) {
  EXPECT_EQ(humanSize(0), "0");
  EXPECT_EQ(humanSize(102399), groupingLocale() ? "102,399" : "102399");
  EXPECT_EQ(humanSize(-5), "-5");
}

TEST(HumanSize, LargerValuesAreRoundedUpBinaryMultiples) {
  EXPECT_EQ(humanSize(102400), "100KiB");
  EXPECT_EQ(humanSize(1048576), "1MiB");
  EXPECT_EQ(humanSize(1536000), "1.47MiB");
  EXPECT_EQ(humanSize(-204800), "-200KiB");
  EXPECT_EQ(humanSize(int64_t{3} << 40), "3TiB");
  EXPECT_EQ(humanSize(INT64_MIN), "-8EiB");
}

TEST(StatisticsReport, FirstReportIsDueAtOnceThenEveryMinute) {
  const auto start = StatisticsReport::Clock::now();
  StatisticsReport report(start);
  EXPECT_TRUE(report.due(start));
  EXPECT_FALSE(report.due(start + std::chrono::seconds(59)));
  EXPECT_TRUE(report.due(start + std::chrono::seconds(60)));
  EXPECT_FALSE(report.due(start + std::chrono::seconds(61)));
}

std::string nameOf(uint8_t id) {
  return id == 0 ? "Core" : "p" + std::to_string(id);
}

TEST(StatisticsReport, ThreeLinesWithTopHoldersByCountThenId) {
  RefBlocks blocks;
  const char bytes[100] = {};
  void* payload = blocks.create(bytes, 100);
  for (int i = 0; i < 7; ++i) blocks.addRef(payload, 0x05);
  for (int i = 0; i < 7; ++i) blocks.addRef(payload, 0x03);
  for (int i = 0; i < 9; ++i) blocks.addRef(payload, 0x09);
  ReportFigures figures;
  figures.dispatch = {3, 1234, 59, 20000};
  figures.videoThrottled = 4;
  figures.ipcRequests = 2;
  figures.ipcPackets = 1;
  figures.ipcBytes = 120;
  figures.searchRequests = 1;
  figures.resultsPosted = 2;
  figures.resultBytes = 2048;
  figures.memoryInUse = 3 * 1048576;
  figures.memoryBaseline = 1048576;

  StatisticsReport report(StatisticsReport::Clock::now());
  const std::string comma = groupingLocale() ? "," : "";
  EXPECT_EQ(report.format(figures, blocks, nameOf),
            "InQ:3 events:1" + comma + "234 idle:59s throttled[v:4 a:0]\n"
            "ltm:20" + comma + "000us ipc[r:2 p:1 d:120] srch[r:1 c:0 p:2 d:2" + comma +
                "048] cDev:0\n"
            "memory[inuse:3MiB +2MiB] refblks:1(108) top: p9 9, p3 7, p5 7");
  for (uint8_t id : {uint8_t{0x05}, uint8_t{0x03}, uint8_t{0x09}}) {
    while (blocks.holders(id) != 0) blocks.release(payload, id);
  }
  blocks.discard(payload);
}

TEST(StatisticsReport, TopListKeepsFiveAndShrinkingMemoryShowsNegativeDelta) {
  RefBlocks blocks;
  const char byte = 0;
  void* payload = blocks.create(&byte, 1);
  for (uint8_t id = 1; id <= 7; ++id) {
    for (uint8_t n = 0; n < id; ++n) blocks.addRef(payload, id);
  }
  ReportFigures figures;
  figures.memoryInUse = 1048576;
  figures.memoryBaseline = 1048576 + 204800;
  StatisticsReport report(StatisticsReport::Clock::now());
  const std::string text = report.format(figures, blocks, nameOf);
  EXPECT_NE(text.find("memory[inuse:1MiB -200KiB] refblks:1(9) top: p7 7, p6 6, p5 5, p4 4, p3 3"),
            std::string::npos)
      << text;
  // Unchanged memory prints no delta; an empty top list leaves "top: ".
  RefBlocks none;
  figures.memoryBaseline = figures.memoryInUse;
  EXPECT_NE(report.format(figures, none, nameOf).find("memory[inuse:1MiB] refblks:0(0) top: "),
            std::string::npos);
  for (uint8_t id = 1; id <= 7; ++id) {
    while (blocks.holders(id) != 0) blocks.release(payload, id);
  }
  blocks.discard(payload);
}

}  // namespace
}  // namespace trv::core
