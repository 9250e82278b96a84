// The dispatch loop: takes the queued records in batches and hands each to
// the plugins that want it.
#include <chrono>

#include "core/dvr_core.h"
#include "events/delivery_rule.h"
#include "log/core_log.h"

namespace trv::core {

namespace {
constexpr int64_t SlowDeliveryNs = 5000000;
}  // namespace

void DvrCore::dispatchLoop() {
  DispatchCounters dispatch;
  StatisticsReport report(steadyNow());
  RecordQueue taken;  // emptied and handed back with every take
  for (;;) {
    payloads_.handOverFreed();
    switch (queue_.take(taken)) {
      case EventQueue::Taken::Stopped:
        return;
      case EventQueue::Taken::Idle:
        ++dispatch.idleSeconds;
        statisticsCheck(report, dispatch, steadyNow(), taken);
        continue;
      case EventQueue::Taken::Records:
        break;
    }
    // Each plugin call is timed from the end of the one before, with one
    // clock reading per call, unless the core did work of its own between.
    auto start = steadyNow();
    while (!taken.empty()) {
      const EventParms& record = taken.front();
      ++dispatch.events;
      const bool reported = statisticsCheck(report, dispatch, start, taken);
      // Configuration deltas are applied here, before the plugins see the record.
      const bool configRecord = record.type == TypeConfig;
      if (configRecord) applyConfigDelta(record);
      if (reported || configRecord) start = steadyNow();
      start = deliverToPlugins(record, start, dispatch);
      if (record.data != nullptr) {
        payloads_.delivered(record.data);
        start = steadyNow();
      }
      taken.dropFront();
    }
  }
}

DvrCore::Clock::time_point DvrCore::steadyNow() {
  return Clock::time_point(std::chrono::nanoseconds(supervision_.dispatchNanos()));
}

DvrCore::Clock::time_point DvrCore::deliverToPlugins(const EventParms& record,
                                                     Clock::time_point start,
                                                     DispatchCounters& dispatch) {
  const uint32_t type = record.type;
  const bool liveLog = type == TypeLog && (record.flags & FlagLive) != 0;
  for (const auto& plugin : host_.loaded()) {
    if (!wantsEvent(plugin->info(), record)) continue;
    payloads_.deliver(*plugin, record);
    const auto end = steadyNow();
    const int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    start = end;
    if (liveLog) {
      dispatch.liveLogMicros += static_cast<uint64_t>(elapsed / 1000);
    } else if (type != TypeLog && elapsed > SlowDeliveryNs) {
      logDebug("{} took {}ms for {} event from {} [{:L}]", plugin->displayName(),
               elapsed / 1000000, typeName(type), host_.originName(record.source), record.dataLen);
      start = steadyNow();
    }
  }
  return start;
}

bool DvrCore::statisticsCheck(StatisticsReport& report, DispatchCounters& dispatch,
                              Clock::time_point now, const RecordQueue& batch) {
  if (!report.due(now)) return false;
  const EventQueue::Backlog backlog = queue_.backlog();
  const size_t batchLeft = batch.empty() ? 0 : batch.size() - 1;
  dispatch.inQueue = static_cast<uint32_t>(batchLeft + backlog.records);
  const auto take = [](auto& counter) { return counter.exchange(0, std::memory_order_relaxed); };
  ReportFigures figures;
  figures.dispatch = dispatch;
  figures.videoThrottled = take(counters_.videoThrottled);
  figures.audioThrottled = take(counters_.audioThrottled);
  figures.ipcRequests = take(counters_.ipcRequests);
  figures.ipcPackets = take(counters_.ipcPackets);
  figures.ipcBytes = take(counters_.ipcBytes);
  figures.searchRequests = take(searchHandler.counters.requests);
  figures.searchCancellations = take(searchHandler.counters.cancellations);
  figures.resultsPosted = take(searchHandler.counters.resultsPosted);
  figures.resultBytes = take(searchHandler.counters.resultBytes);
  figures.memoryInUse = supervision_.memoryInUse();
  figures.memoryBaseline = memoryBaseline_;
  PayloadTally coreHeld = backlog.payloads;
  coreHeld += batch.payloads();
  const Payloads::Held held = payloads_.held(coreHeld);
  figures.payloadBlocks = held.blocks;
  figures.payloadBytes = held.bytes;
  figures.holders = held.holders;
  dispatch = DispatchCounters{dispatch.inQueue, 0, 0, 0};
  memoryBaseline_ = figures.memoryInUse;
  if (logLevels.thresholdFor(0) > LogInfo) return true;
  const auto nameOf = [this](uint8_t id) { return host_.originName(originOfPlugin(id)); };
  log(LogInfo, report.format(figures, nameOf));
  return true;
}

void DvrCore::reportHeldReferences() {
  const Payloads::Held held = payloadsHeld();
  if (held.blocks != 0) logDebug("refblks: {:L}({:L})", held.blocks, held.bytes);
  for (unsigned id = 0; id < 256; ++id) {
    if (held.holders[id] == 0) continue;
    logDebug("Plugin {:02x}:{} unloaded holding {:L} event reference(s).", id,
             logWriter.pluginName(id), held.holders[id]);
  }
}

}  // namespace trv::core
