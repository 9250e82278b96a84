#include "events/statistics.h"

#include <cmath>
#include <iterator>

#include <fmt/format.h>

#include "log/number_locale.h"

namespace trv::core {

namespace {

constexpr size_t TopHolders = 5;

std::string memoryText(uint32_t inUse, uint32_t baseline) {
  const int64_t change = int64_t{inUse} - int64_t{baseline};
  std::string text = humanSize(inUse);
  if (change > 0) text += " +" + humanSize(change);
  if (change < 0) text += " " + humanSize(change);
  return text;
}

}  // namespace

std::string humanSize(int64_t bytes) {
  const uint64_t magnitude = bytes < 0 ? 0 - static_cast<uint64_t>(bytes) : static_cast<uint64_t>(bytes);
  if (magnitude < 102400) return fmt::format(numberLocale(), "{:L}", bytes);
  auto scaled = static_cast<double>(magnitude);
  size_t unit = 0;
  while (scaled >= 1024) {
    scaled *= 0.0009765625;
    ++unit;
  }
  scaled = std::ceil(scaled * 100) / 100;
  return fmt::format("{}{}{}{}", bytes < 0 ? "-" : "", scaled, "_KMGTPE"[unit], "iB");
}

bool StatisticsReport::due(Clock::time_point now) {
  if (now - lastReport_ < std::chrono::seconds(60)) return false;
  lastReport_ = now;
  return true;
}

void StatisticsReport::collectTopHolders(const std::array<uint32_t, 256>& holders) {
  top_.clear();
  for (unsigned id = 0; id < 256; ++id) {
    const uint32_t count = holders[id];
    if (count == 0) continue;
    auto slot = top_.begin();
    while (slot != top_.end() && slot->second >= count) ++slot;
    top_.insert(slot, {static_cast<uint8_t>(id), count});
    if (top_.size() > TopHolders) top_.pop_back();
  }
}

const std::string& StatisticsReport::format(const ReportFigures& f, const NameOf& nameOf) {
  collectTopHolders(f.holders);
  topText_.clear();
  for (const auto& [id, count] : top_) {
    fmt::format_to(std::back_inserter(topText_), numberLocale(), "{}{} {:L}",
                   topText_.empty() ? "" : ", ", nameOf(id), count);
  }
  const std::locale& locale = numberLocale();
  text_.clear();
  auto out = std::back_inserter(text_);
  fmt::format_to(out, locale, "InQ:{:L} events:{:L} idle:{}s throttled[v:{:L} a:{:L}]\n",
                 f.dispatch.inQueue, f.dispatch.events, f.dispatch.idleSeconds, f.videoThrottled,
                 f.audioThrottled);
  fmt::format_to(out, locale,
                 "ltm:{:L}us ipc[r:{:L} p:{:L} d:{}] srch[r:{:L} c:{:L} p:{:L} d:{}] cDev:0\n",
                 f.dispatch.liveLogMicros, f.ipcRequests, f.ipcPackets,
                 humanSize(static_cast<int64_t>(f.ipcBytes)), f.searchRequests,
                 f.searchCancellations, f.resultsPosted,
                 humanSize(static_cast<int64_t>(f.resultBytes)));
  fmt::format_to(out, locale, "memory[inuse:{}] refblks:{:L}({}) top: {}",
                 memoryText(f.memoryInUse, f.memoryBaseline), f.payloadBlocks,
                 humanSize(static_cast<int64_t>(f.payloadBytes)), topText_);
  return text_;
}

}  // namespace trv::core
