// DvrCore::queueEvent: answers synchronous records at once and queues the
// rest with a private copy of their payload.
#include "core_log.h"
#include "crypto_service.h"
#include "dvr_core.h"

namespace trv::core {

namespace {

bool isPowerOfTen(uint32_t number) {
  while (number != 0 && number % 10 == 0) number /= 10;
  return number == 1;
}

bool isSearchResult(const EventParms& event) {
  return !isExternalOrigin(event.source) && event.searchId != 0;
}

}  // namespace

int32_t DvrCore::queueEvent(EventParms& event) {
  switch (baseType(event.type)) {
    case TypeLog:
      return entryLog(event);
    case TypeDecref:
      decref(event);
      return 0;
    case TypeCancel:
      if ((event.flags & FlagQuery) != 0) return searchHandler.isCancelled(event.searchId) ? 1 : 0;
      searchHandler.cancel(event.searchId);
      return 0;
    case TypeIpc:
      return postIpcPacket(event);
    case TypeCrypto:
      return answerCryptoRequest(event, deviceId);
    default:
      return entryCommon(event);
  }
}

int32_t DvrCore::entryLog(EventParms& event) {
  const uint8_t origin = pluginIdOf(event.source);
  if ((event.flags & FlagQuery) != 0) return logLevelFor(origin);
  if ((event.flags & FlagLive) == 0) return entryCommon(event);

  const int32_t dropped = stopping() ? 1 : 0;
  if (event.dataLen == 0) return dropped;
  // A modifier-marked line counts as level 0.
  const int32_t level = event.type == TypeLog ? logLevelOf(event) : 0;
  if (logLevelFor(origin) > level) return dropped;
  if ((event.flags & FlagText) != 0) {
    writeLogLine(origin, static_cast<uint32_t>(level),
                 {static_cast<const char*>(event.data), event.dataLen});
  }
  // Nothing is queued any more: the log plugin takes the line directly.
  if (stopping() && logPlugin) logPlugin->DeliverFromAnyThread(event);
  return entryCommon(event);
}

int32_t DvrCore::entryCommon(EventParms& event) {
  if (stopping()) return 1;
  if (SearchHandler::isRequest(event)) {
    // Other threads post searches while the host may change the list.
    searchHandler.searchRequest(event, pluginSnapshot());
    return 0;
  }
  const GateResult gate =
      streamGate.check(event, throttlingActive.load(std::memory_order_acquire), maxGopLen);
  if (gate == GateThrottled) {
    EventCounters::count(event.type == TypeVideo ? counters.videoThrottled : counters.audioThrottled);
  }
  if (gate != GatePass) return gate;
  return enqueue(event);
}

int32_t DvrCore::enqueue(const EventParms& event) {
  void* copy = event.dataLen != 0 && event.data != nullptr
                   ? refBlocks.create(event.data, event.dataLen)
                   : nullptr;
  PendingBlock block(refBlocks, copy);
  EventParms record = event;
  record.data = copy;
  if (copy == nullptr) record.dataLen = 0;
  if (isSearchResult(record) && !searchHandler.admitResult(record)) return 1;

  {
    std::lock_guard lock(queueMutex);
    // Tested under the lock the dispatch loop decides to end under: a record
    // queued after its last look would never be delivered nor freed.
    if (stopping()) return 1;
    refBlocks.addRef(block.handOver(), 0);
    eventQueue.push(record);
    recordsQueued.store(true, std::memory_order_relaxed);
  }
  queueCondition.notify_one();
  return 0;
}

void DvrCore::decref(const EventParms& event) {
  if (event.data == nullptr) return;
  const uint8_t id = pluginIdOf(event.source);
  switch (keptReferences.giveBack(event.data, id)) {
    case KeptReferences::GiveBack::Release:
      releaseRef(event.data, id);
      return;
    case KeptReferences::GiveBack::Deferred:
      return;
    case KeptReferences::GiveBack::NotHeld:
      reportIgnoredDecref(event);
      return;
  }
}

// A plugin's first ignored decref is reported in full, then its running total
// at 10, 100, 1000 and so on: one that gives back in a loop must not flood the log.
void DvrCore::reportIgnoredDecref(const EventParms& event) {
  const uint8_t id = pluginIdOf(event.source);
  const uint32_t total = ignoredDecrefs.count(id);
  if (!isPowerOfTen(total) || !coreLogEnabled(LogWarning)) return;
  if (total == 1) {
    logWarning("decref ignored: {:02x}:{} holds no kept reference to payload {}", id,
               originName(event.source), event.data);
    return;
  }
  logWarning("decref ignored {:L} times: {:02x}:{}", total, id, originName(event.source));
}

void DvrCore::releaseRef(void* payload, uint8_t id) {
  if (!refBlocks.release(payload, id)) return;
  // Wake the search thread waiting for this result before the address can
  // be handed out again.
  searchHandler.onBlockFreed(payload);
  refBlocks.discard(payload);
}

}  // namespace trv::core
