// The once-a-minute statistics report and the human-readable size format.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>


namespace trv::core {

// A byte count as text: grouped digits below 100 KiB, else a rounded-up
// binary multiple such as "1.47MiB".
std::string humanSize(int64_t bytes);

// Figures kept by the dispatcher between two reports.
struct DispatchCounters {
  uint32_t inQueue = 0;  // records still waiting behind the one taken, when last reported
  uint32_t events = 0;
  uint32_t idleSeconds = 0;
  uint64_t liveLogMicros = 0;
};

// Everything one report prints.
struct ReportFigures {
  DispatchCounters dispatch;
  uint32_t videoThrottled = 0;
  uint32_t audioThrottled = 0;
  uint32_t ipcRequests = 0;
  uint32_t ipcPackets = 0;
  uint64_t ipcBytes = 0;
  uint32_t searchRequests = 0;
  uint32_t searchCancellations = 0;
  uint32_t resultsPosted = 0;
  uint64_t resultBytes = 0;
  uint32_t memoryInUse = 0;
  uint32_t memoryBaseline = 0;  // memory in use at the previous report
  uint32_t payloadBlocks = 0;
  uint64_t payloadBytes = 0;
  std::array<uint32_t, 256> holders{};  // payload references held, per plugin id
};

// Dispatch thread only. Keeps its buffers from report to report.
class StatisticsReport {
 public:
  using Clock = std::chrono::steady_clock;
  using NameOf = std::function<std::string(uint8_t id)>;

  // The first report is due at once.
  explicit StatisticsReport(Clock::time_point start)
      : lastReport_(start - std::chrono::seconds(60)) {}

  // True, and restarts the interval, when 60 s have passed since the last report.
  bool due(Clock::time_point now);

  // The three lines of the report.
  const std::string& format(const ReportFigures& figures, const NameOf& nameOf);

 private:
  void collectTopHolders(const std::array<uint32_t, 256>& holders);

  Clock::time_point lastReport_;
  std::vector<std::pair<uint8_t, uint32_t>> top_;
  std::string topText_;
  std::string text_;
};

}  // namespace trv::core
