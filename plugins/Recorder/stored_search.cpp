#include "stored_search.h"

namespace trv::recorder {

using namespace trv::core;

namespace {

bool cancelled(const EventParms& request, const SearchContext& context) {
  EventParms query = makeEvent(TypeCancel, FlagQuery, context.origin);
  query.searchId = request.searchId;
  return context.post(&query) == 1;
}

// The stored form of a kept live event, as a result of `request`; the core
// copies the payload, so the kept one stays the recorder's.
EventParms resultOf(const EventParms& live, const EventParms& request, uint32_t origin) {
  EventParms result = live;
  result.type = baseType(live.type);
  result.flags = (live.flags & ~FlagLive) | FlagStored;
  result.source = origin;
  result.searchId = request.searchId;
  return result;
}

}  // namespace

void answerSearch(const EventParms& request, const SearchContext& context) {
  const uint32_t type = baseType(request.type);
  if (type != TypeVideo && type != TypeAlarm) return;
  // Taken now: what is recorded while the search runs belongs to the next one.
  auto found = context.store.ofType(type);
  for (auto& event : found) {
    if (context.closing.load() || cancelled(request, context)) return;
    EventParms result = resultOf(event->record(), request, context.origin);
    // Blocks while the previous result is still held somewhere.
    if (context.post(&result) != 0) return;
    // Served: an event the store has let go of meanwhile is given back now.
    event.reset();
  }
  EventParms end = makeEvent(type, FlagStored, context.origin);
  end.searchId = request.searchId;
  context.post(&end);
}

}  // namespace trv::recorder
