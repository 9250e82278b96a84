// The plugin of the event-path tests: it records what reaches it, keeps or
// gives back payloads, and answers searches by a script, so that a test can
// watch records travel through a real core. Built as several copies that
// differ only in ROUTE_ID; see route_plugin.h for the controls.
#include <trv/core/sdk.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "route_plugin.h"

#ifndef ROUTE_ID
#error "ROUTE_ID names the copy"
#endif

using namespace trv::core;

namespace {

// A wait the test forgot to end must not hang the test run.
constexpr auto WaitLimit = std::chrono::seconds(30);
// Enough for every test; later records are not recorded, so that a stress
// run does not grow without bound.
constexpr size_t ReceivedLimit = 200000;

struct State {
  PluginInfo caps{};
  uint32_t options = 0;
  std::vector<route::Received> received;
  std::vector<route::Search> searches;
  std::vector<const void*> kept;
  const void* held = nullptr;
  uint32_t permits = 0;
  bool finished = false;
};

PostEventFn post = nullptr;  // set by Load, before any other thread calls in
std::mutex mutex;
std::condition_variable changed;
State state;

std::string_view textOf(const EventParms& event) {
  if (event.data == nullptr) return {};
  return {static_cast<const char*>(event.data), event.dataLen};
}

uint32_t ownOrigin() {
  std::lock_guard lock(mutex);
  return state.caps.origin;
}

// Takes one permit of RouteProceed; false when none came in time.
bool awaitPermit() {
  std::unique_lock lock(mutex);
  const bool granted =
      changed.wait_for(lock, WaitLimit, [] { return state.finished || state.permits > 0; });
  if (granted && !state.finished) --state.permits;
  return granted;
}

int postDecref(const void* payload) {
  EventParms decref = makeEvent(TypeDecref, 0, ownOrigin());
  decref.data = const_cast<void*>(payload);
  return post(&decref);
}

int postResult(uint32_t searchId, std::string_view text) {
  EventParms result = makeEvent(TypeAlarm, FlagStored | FlagText, ownOrigin());
  result.searchId = searchId;
  std::string payload(text);
  if (!payload.empty()) {
    result.data = payload.data();
    result.dataLen = static_cast<uint32_t>(payload.size());
  }
  return post(&result);
}

int postCancelQuery(uint32_t searchId) {
  EventParms query = makeEvent(TypeCancel, FlagQuery, ownOrigin());
  query.searchId = searchId;
  return post(&query);
}

route::Received recordOf(const EventParms& event) {
  route::Received seen{};
  seen.type = event.type;
  seen.flags = event.flags;
  seen.source = event.source;
  seen.searchId = event.searchId;
  seen.dataLen = event.dataLen;
  seen.firstWord = detailWord(event, detail_offset::firstWord);
  seen.data = event.data;
  seen.innerPost = route::NoPost;
  const std::string_view text = textOf(event);
  const size_t length = std::min(text.size(), sizeof seen.text - 1);
  // A record without payload has a null `data`, which memcpy may not be given.
  text.copy(seen.text, length);
  seen.text[length] = '\0';
  return seen;
}

// Returns OnEvent's answer; may post on the calling (dispatch) thread.
int32_t act(EventParms& event, route::Received& seen) {
  const std::string_view text = textOf(event);
  if (text.starts_with("keep")) {
    std::lock_guard lock(mutex);
    state.kept.push_back(event.data);
    return 1;
  }
  if (text.starts_with("hold")) {
    {
      std::lock_guard lock(mutex);
      state.held = event.data;
    }
    changed.notify_all();
    awaitPermit();
    // Read again: the payload must still be there, whatever was posted meanwhile.
    seen = recordOf(event);
    std::lock_guard lock(mutex);
    state.held = nullptr;
    return 1;
  }
  if (text.starts_with("self")) {
    seen.innerPost = postDecref(event.data);
    return 1;
  }
  if (text.starts_with("answer")) {
    seen.innerPost = postResult((ownOrigin() & 0x00FF0000u) | 0x99u, "answer-result");
    return 0;
  }
  if (text.starts_with("slow")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 0;
  }
  if (text.starts_with("scribble")) {
    std::memset(&event, 0xA5, sizeof event);
    return 0;
  }
  return 0;
}

size_t openSearch(uint32_t searchId) {
  route::Search search{};
  search.searchId = searchId;
  search.thread = static_cast<uint64_t>(pthread_self());
  std::lock_guard lock(mutex);
  state.searches.push_back(search);
  return state.searches.size() - 1;
}

// Changes the record of search `index`, unless a setup has dropped it since.
template <typename Change>
void updateSearch(size_t index, Change change) {
  {
    std::lock_guard lock(mutex);
    if (index < state.searches.size()) change(state.searches[index]);
  }
  changed.notify_all();
}

void noteAnswer(size_t index, int32_t answer) {
  updateSearch(index, [answer](route::Search& search) {
    if (search.answered < std::size(search.answers)) search.answers[search.answered] = answer;
    ++search.answered;
  });
}

// Runs one step of a search script; a posting step records its answer, and
// so does a wait that timed out.
void runStep(size_t index, uint32_t searchId, std::string_view step) {
  if (step == "wait") {
    if (awaitPermit()) return;
    updateSearch(index, [](route::Search& search) { ++search.started; });
    noteAnswer(index, route::WaitTimedOut);
    return;
  }
  if (!step.starts_with("post:") && step != "query") return;
  updateSearch(index, [](route::Search& search) { ++search.started; });
  const int32_t answer =
      step == "query" ? postCancelQuery(searchId) : postResult(searchId, step.substr(5));
  noteAnswer(index, answer);
}

template <typename Item>
size_t copyOut(const std::vector<Item>& items, Item* out, size_t capacity) {
  std::copy_n(items.begin(), std::min(capacity, items.size()), out);
  return items.size();
}

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  std::lock_guard lock(mutex);
  post = args->postEvent;
  const uint32_t size = info->size;
  const uint32_t version = info->version;
  *info = state.caps;
  info->size = size;
  info->version = version;
  return 0;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) { return 0; }
TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) { return 0; }
TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) { return 0; }

TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  route::Received seen = recordOf(*event);
  seen.kept = act(*event, seen);
  {
    std::lock_guard lock(mutex);
    if (state.received.size() < ReceivedLimit) state.received.push_back(seen);
  }
  changed.notify_all();
  return seen.kept;
}

TRV_PLUGIN_EXPORT int OnSearch(EventParms* request) {
  {
    std::lock_guard lock(mutex);
    if ((state.options & route::ServesSearches) == 0) return 0;
  }
  const size_t index = openSearch(request->searchId);
  std::string_view script = textOf(*request);
  while (!script.empty()) {
    const size_t end = std::min(script.find(' '), script.size());
    runStep(index, request->searchId, script.substr(0, end));
    script.remove_prefix(std::min(end + 1, script.size()));
  }
  updateSearch(index, [](route::Search& search) { search.done = true; });
  return 0;
}

TRV_PLUGIN_EXPORT void RouteSetup(const PluginInfo* caps, uint32_t options) {
  {
    std::lock_guard lock(mutex);
    state = State{};
    state.caps = *caps;
    state.options = options;
  }
  changed.notify_all();
}

TRV_PLUGIN_EXPORT size_t RouteReceived(route::Received* out, size_t capacity) {
  std::lock_guard lock(mutex);
  return copyOut(state.received, out, capacity);
}

TRV_PLUGIN_EXPORT size_t RouteSearches(route::Search* out, size_t capacity) {
  std::lock_guard lock(mutex);
  return copyOut(state.searches, out, capacity);
}

TRV_PLUGIN_EXPORT int RouteDecref(const void* payload) {
  {
    std::lock_guard lock(mutex);
    const auto found = std::find(state.kept.begin(), state.kept.end(), payload);
    if (found != state.kept.end()) state.kept.erase(found);
  }
  return postDecref(payload);
}

TRV_PLUGIN_EXPORT size_t RouteDecrefKept() {
  std::vector<const void*> kept;
  {
    std::lock_guard lock(mutex);
    kept.swap(state.kept);
  }
  // Posted outside the lock: OnEvent takes it on the dispatch thread.
  for (const void* payload : kept) postDecref(payload);
  return kept.size();
}

TRV_PLUGIN_EXPORT const void* RouteHeld(uint32_t timeoutMs) {
  std::unique_lock lock(mutex);
  changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                   [] { return state.held != nullptr; });
  return state.held;
}

TRV_PLUGIN_EXPORT void RouteProceed() {
  {
    std::lock_guard lock(mutex);
    ++state.permits;
  }
  changed.notify_all();
}

TRV_PLUGIN_EXPORT void RouteFinish() {
  {
    std::lock_guard lock(mutex);
    state.finished = true;
  }
  changed.notify_all();
}
