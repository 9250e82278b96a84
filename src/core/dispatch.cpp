// The dispatch loop: takes records from the queue and hands each to the
// plugins that want it, keeping payload references right.
#include <chrono>

#include "core_log.h"
#include "delivery_rule.h"
#include "dvr_core.h"

namespace trv::core {

namespace {

constexpr int64_t SlowDeliveryNs = 5000000;

// Longer than a producer needs to copy even a large payload, far shorter
// than the gap between two video frames.
constexpr auto DispatchSpin = std::chrono::microseconds(10);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void DvrCore::dispatchLoop() {
  DispatchCounters dispatch;
  StatisticsReport report(steadyNow());
  // Everything queued is taken at once by swapping rings, so a producer never
  // waits on the lock for longer than a few pointer moves; the emptied ring
  // goes back for reuse.
  RecordQueue taken;
  for (;;) {
    spinForRecords();
    std::unique_lock lock(queueMutex);
    if (eventQueue.empty()) {
      const auto deadline = Clock::now() + std::chrono::seconds(1);
      while (!stopping() && eventQueue.empty()) {
        if (queueCondition.wait_until(lock, deadline) == std::cv_status::timeout) break;
      }
    }
    if (eventQueue.empty()) {
      if (stopping()) return;
      ++dispatch.idleSeconds;
      lock.unlock();
      statisticsCheck(report, dispatch, steadyNow(), 0);
      continue;
    }
    eventQueue.swap(taken);
    recordsQueued.store(false, std::memory_order_relaxed);
    lock.unlock();

    // Each plugin call is timed from the end of the one before, with one
    // clock reading per call, unless the core did work of its own between.
    auto start = steadyNow();
    while (!taken.empty()) {
      const EventParms& record = taken.front();
      ++dispatch.events;
      const bool reported =
          statisticsCheck(report, dispatch, start, static_cast<uint32_t>(taken.size() - 1));
      // Configuration deltas are applied here, before the plugins see the record.
      const bool configRecord = record.type == TypeConfig;
      if (configRecord) applyConfigDelta(record);
      if (reported || configRecord) start = steadyNow();
      start = deliverToPlugins(record, start, dispatch);
      if (record.data != nullptr) {
        releaseRef(record.data, 0);
        start = steadyNow();
      }
      taken.dropFront();
    }
  }
}

DvrCore::Clock::time_point DvrCore::steadyNow() const {
  return Clock::time_point(std::chrono::nanoseconds(supervisionSources.steadyNanos()));
}

// A record that follows within a few microseconds is taken without the
// futex sleep and wake-up that would cost both threads far more.
void DvrCore::spinForRecords() const {
  if (!spinBeforeSleep_) return;
  const auto until = Clock::now() + DispatchSpin;
  for (unsigned i = 1;; ++i) {
    if (recordsQueued.load(std::memory_order_relaxed) || stopping()) return;
    cpuRelax();
    // The clock costs more than a pause: look at it now and then.
    if (i % 16 == 0 && Clock::now() >= until) return;
  }
}

DvrCore::Clock::time_point DvrCore::deliverToPlugins(const EventParms& record,
                                                     Clock::time_point start,
                                                     DispatchCounters& dispatch) {
  // A plugin may rewrite the record it is handed: each gets its own copy, and
  // the core's own accounting keeps to the payload it queued.
  void* const payload = record.data;
  const uint32_t type = record.type;
  const bool liveLog = type == TypeLog && (record.flags & FlagLive) != 0;
  for (const auto& plugin : plugins) {
    if (!wantsEvent(plugin->info(), record)) continue;
    const uint8_t id = plugin->id();
    if (payload != nullptr) keptReferences.beginDelivery(payload, id);
    EventParms handed = record;
    const bool kept = plugin->Deliver(handed);
    // The core's own reference covers the call; a plugin that keeps the
    // payload takes one of its own, before anyone can give it back.
    if (payload != nullptr) {
      if (kept) refBlocks.addRef(payload, id);
      if (keptReferences.endDelivery(kept) && kept) releaseRef(payload, id);
    }
    const auto end = steadyNow();
    const int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    start = end;
    if (liveLog) {
      dispatch.liveLogMicros += static_cast<uint64_t>(elapsed / 1000);
    } else if (type != TypeLog && elapsed > SlowDeliveryNs) {
      logDebug("{} took {}ms for {} event from {} [{:L}]", plugin->displayName(),
               elapsed / 1000000, typeName(type), originName(record.source), record.dataLen);
      start = steadyNow();
    }
  }
  return start;
}

std::string DvrCore::originName(uint32_t source) {
  if (pluginIdOf(source) == 0) return "Core";
  std::lock_guard lock(pluginsMutex);
  for (const auto& plugin : plugins) {
    if (plugin->info().origin != CoreSource && plugin->id() == pluginIdOf(source)) {
      return plugin->displayName();
    }
  }
  return "unknown";
}

bool DvrCore::statisticsCheck(StatisticsReport& report, DispatchCounters& dispatch,
                              Clock::time_point now, uint32_t batchLeft) {
  if (!report.due(now)) return false;
  {
    std::lock_guard lock(queueMutex);
    dispatch.inQueue = batchLeft + static_cast<uint32_t>(eventQueue.size());
  }
  const auto take = [](auto& counter) { return counter.exchange(0, std::memory_order_relaxed); };
  ReportFigures figures;
  figures.dispatch = dispatch;
  figures.videoThrottled = take(counters.videoThrottled);
  figures.audioThrottled = take(counters.audioThrottled);
  figures.ipcRequests = take(counters.ipcRequests);
  figures.ipcPackets = take(counters.ipcPackets);
  figures.ipcBytes = take(counters.ipcBytes);
  figures.searchRequests = take(searchHandler.counters.requests);
  figures.searchCancellations = take(searchHandler.counters.cancellations);
  figures.resultsPosted = take(searchHandler.counters.resultsPosted);
  figures.resultBytes = take(searchHandler.counters.resultBytes);
  figures.memoryInUse = memoryInUse.load(std::memory_order_relaxed);
  figures.memoryBaseline = memoryBaseline_;
  dispatch = DispatchCounters{dispatch.inQueue, 0, 0, 0};
  memoryBaseline_ = figures.memoryInUse;
  if (logLevelFor(0) > LogInfo) return true;
  const auto nameOf = [this](uint8_t id) { return originName(originOfPlugin(id)); };
  log(LogInfo, report.format(figures, refBlocks, nameOf));
  return true;
}

void DvrCore::reportHeldReferences() {
  if (refBlocks.blockCount() != 0) {
    logDebug("refblks: {:L}({:L})", refBlocks.blockCount(), refBlocks.blockBytes());
  }
  for (unsigned id = 0; id < 256; ++id) {
    const uint32_t held = refBlocks.holders(static_cast<uint8_t>(id));
    if (held == 0) continue;
    logDebug("Plugin {:02x}:{} unloaded holding {:L} event reference(s).", id,
             logWriter.pluginName(id), held);
  }
}

}  // namespace trv::core
