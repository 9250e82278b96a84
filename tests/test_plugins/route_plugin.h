// Control interface of the Route test plugin. Besides its entry points every
// copy (RouteA.so, RouteB.so, ...) exports these functions; a test reaches
// them by dlopen()ing the same file as the core, which yields the same handle
// and so the same globals. Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include <trv/core/plugin_abi.h>

namespace route {

// What one OnEvent call saw, and what it answered.
struct Received {
  uint32_t type;
  uint32_t flags;
  uint32_t source;
  uint32_t searchId;
  uint32_t dataLen;
  uint32_t firstWord;  // detail word 0
  const void* data;
  int32_t kept;       // OnEvent's result
  int32_t innerPost;  // answer to a post made from within the call, NoPost without one
  char text[160];     // payload as text, cut short and NUL-terminated
};

inline constexpr int32_t NoPost = -1000;

// What one OnSearch call did with the steps of its request.
struct Search {
  uint32_t searchId;
  uint64_t thread;    // pthread_self() of the search thread
  uint32_t started;   // posts begun
  uint32_t answered;  // posts returned, their answers in `answers`
  int32_t answers[16];
  bool done;
};

// Answer recorded for a "wait" step that the test never let go on.
inline constexpr int32_t WaitTimedOut = -100;

// Options of RouteSetup.
inline constexpr uint32_t ServesSearches = 1;  // OnSearch runs the request's script

}  // namespace route

// Resets the copy's state; the next Load reports `caps` as it is (origin included).
using RouteSetupFn = void (*)(const trv::core::PluginInfo* caps, uint32_t options);
// Copies up to `capacity` records of OnEvent calls, oldest first; returns how many there were.
using RouteReceivedFn = size_t (*)(route::Received* out, size_t capacity);
// Copies up to `capacity` searches in the order they started; returns how many there were.
using RouteSearchesFn = size_t (*)(route::Search* out, size_t capacity);
// Posts a "decref" of `payload` from the calling thread, forgetting it if
// it was kept; returns postEvent's answer.
using RouteDecrefFn = int (*)(const void* payload);
// Gives back, from the calling thread, every payload OnEvent kept; returns how many.
using RouteDecrefKeptFn = size_t (*)();
// Waits up to `timeoutMs` for an OnEvent that holds its payload; returns it, or null.
using RouteHeldFn = const void* (*)(uint32_t timeoutMs);
// Lets one waiting OnEvent ("hold") or search step ("wait") go on.
using RouteProceedFn = void (*)();
// Lets every wait go on at once, now and until the next RouteSetup.
using RouteFinishFn = void (*)();

// OnEvent acts on the start of a payload's text:
//   "keep"     returns 1 and remembers the payload for RouteDecrefKept
//   "hold"     reports the payload to RouteHeld, waits for RouteProceed, records
//              the record as it reads then and returns 1 (not remembered: the
//              test gives it back itself)
//   "self"     posts a decref of this very payload, then returns 1
//   "answer"   posts a stored result with a payload from the dispatch thread
//   "slow"     sleeps 20 ms
//   "scribble" rewrites every field of the record it was handed
// A search request's payload is a script of space-separated steps:
//   "post:<text>"  posts a stored alarm result with that payload ("post:" posts none)
//   "wait"         waits for RouteProceed
//   "query"        posts a cancel query for the search id
