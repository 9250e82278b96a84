// DvrCore::queueEvent: answers synchronous records at once and queues the
// rest with a private copy of their payload.
#include "core/dvr_core.h"
#include "crypto/crypto_service.h"
#include "log/core_log.h"

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
      return PostQueued;
    case TypeCancel:
      if ((event.flags & FlagQuery) != 0) return searchHandler.isCancelled(event.searchId) ? 1 : 0;
      searchHandler.cancel(event.searchId);
      return PostQueued;
    case TypeIpc:
      return io_.postToParent(event);
    case TypeCrypto:
      return answerCryptoRequest(event, deviceId);
    default:
      return entryCommon(event);
  }
}

int32_t DvrCore::entryLog(EventParms& event) {
  const uint8_t origin = pluginIdOf(event.source);
  if ((event.flags & FlagQuery) != 0) return logLevels.thresholdFor(origin);
  if ((event.flags & FlagLive) == 0) return entryCommon(event);

  const int32_t dropped = stopping() ? PostRefused : PostQueued;
  if (event.dataLen == 0) return dropped;
  // A modifier-marked line counts as level 0.
  const int32_t level = event.type == TypeLog ? logLevelOf(event) : 0;
  if (logLevels.thresholdFor(origin) > level) return dropped;
  if ((event.flags & FlagText) != 0) {
    logWriter.writeLogLine(origin, static_cast<uint32_t>(level),
                           {static_cast<const char*>(event.data), event.dataLen});
  }
  // Nothing is queued any more: the log plugin takes the line directly.
  if (stopping()) host_.deliverToLogPlugin(event);
  return entryCommon(event);
}

int32_t DvrCore::entryCommon(EventParms& event) {
  if (stopping()) return PostRefused;
  if (SearchHandler::isRequest(event)) {
    // Other threads post searches while the host may change the list.
    searchHandler.searchRequest(event, host_.snapshot());
    return PostQueued;
  }
  const GateResult gate =
      streamGate_.check(event, supervision_.throttling(), supervision_.settings().maxGopLen);
  if (gate == GateThrottled) {
    EventCounters::count(event.type == TypeVideo ? counters_.videoThrottled : counters_.audioThrottled);
  }
  if (gate != GatePass) return gate;
  return enqueue(event);
}

int32_t DvrCore::enqueue(const EventParms& event) {
  Payloads::Copy payload = payloads_.copy(event.data, event.dataLen);
  EventParms record = event;
  record.data = payload.get();
  if (record.data == nullptr) record.dataLen = 0;
  if (isSearchResult(record) && !searchHandler.admitResult(record)) return PostRefused;
  if (!queue_.push(record)) return PostRefused;
  payload.handOver();
  return PostQueued;
}

void DvrCore::decref(const EventParms& event) {
  if (event.data == nullptr) return;
  const uint32_t ignored = payloads_.giveBack(event.data, pluginIdOf(event.source));
  if (ignored != 0) reportIgnoredDecref(event, ignored);
}

// A plugin's first ignored decref is reported in full, then its running total
// at 10, 100, 1000 and so on: one that gives back in a loop must not flood the log.
void DvrCore::reportIgnoredDecref(const EventParms& event, uint32_t total) {
  const uint8_t id = pluginIdOf(event.source);
  if (!isPowerOfTen(total) || !coreLogEnabled(LogWarning)) return;
  if (total == 1) {
    logWarning("decref ignored: {:02x}:{} holds no kept reference to payload {}", id,
               host_.originName(event.source), event.data);
    return;
  }
  logWarning("decref ignored {:L} times: {:02x}:{}", total, id, host_.originName(event.source));
}

}  // namespace trv::core
