// How the recorder answers a search, on the search thread the core runs for
// it: the stored events of the requested type as results, oldest first, then
// an end marker.
//
// The core lets a search thread have one result with a payload in flight:
// posting the next one blocks until every plugin that received the last one
// has let it go. So results are posted with no lock held, and the search
// ends early when the core refuses a result (the search was cancelled, or the
// core is stopping), when the cancel query says the requester cancelled it,
// or when the plugin is being closed.
#pragma once

#include <atomic>
#include <cstdint>

#include <trv/core/sdk.h>

#include "event_store.h"

namespace trv::recorder {

struct SearchContext {
  core::PostEventFn post;
  uint32_t origin;
  const EventStore& store;
  const std::atomic<bool>& closing;
};

// Answers `request` when its type is one the recorder keeps; any other
// request is left to other plugins. The end marker is a stored record of the
// request's type and search id without payload; it is not posted when the
// search ended early.
void answerSearch(const core::EventParms& request, const SearchContext& context);

}  // namespace trv::recorder
