// Searches for stored material: one detached thread per plugin that serves a
// request, flow control that keeps at most one result with a payload in
// flight per search thread, and cancellation.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "plugin/plugin.h"
#include "trv/core/event_parms.h"

namespace trv::core {

// Interval counters of the statistics report; written by any thread.
struct SearchCounters {
  std::atomic<uint32_t> requests{0};
  std::atomic<uint32_t> cancellations{0};
  std::atomic<uint32_t> resultsPosted{0};
  std::atomic<uint64_t> resultBytes{0};
};

class SearchHandler {
 public:
  using Plugins = std::vector<std::shared_ptr<Plugin>>;

  // Flow-control state of one running search thread.
  struct StoredProvider {
    std::mutex mutex;
    std::condition_variable released;
    const void* outstanding = nullptr;  // payload of the last result still alive
  };

  // A search request: an external origin and a non-zero search id.
  static bool isRequest(const EventParms& event) {
    return isExternalOrigin(event.source) && event.searchId != 0;
  }

  // Any thread. True when `request` is a search request: then it is
  // consumed, and the plugins of `plugins` that serve searches each run it on
  // a thread of their own.
  bool searchRequest(const EventParms& request, const Plugins& plugins);

  // Any thread, for a result record whose payload copy is `result.data`.
  // True lets it be queued; false refuses it (a cancelled search, or a
  // caller that is not a search thread). Blocks while the calling search
  // thread's previous result with a payload is still alive.
  bool admitResult(const EventParms& result);

  void cancel(uint32_t searchId);
  bool isCancelled(uint32_t searchId);

  // Called after the block of `payload` was freed: wakes the search thread
  // that waits for it.
  void onBlockFreed(const void* payload);

  // The core stops: results are refused from now on, and search threads
  // waiting for their previous result give up waiting, so that they can
  // return from the plugin before it is unloaded.
  void stop();

  // Waits until every search thread has let go of its plugin and request
  // and left the handler.
  void awaitThreads();

  // Waits at most `limit` for the same; returns the plugins still searching
  // then. Their threads are given up on: they keep their plugin loaded for
  // the rest of the process and touch the handler's bookkeeping only, which
  // they share.
  Plugins awaitThreadsFor(std::chrono::milliseconds limit);

  SearchHandler() = default;
  SearchHandler(const SearchHandler&) = delete;
  SearchHandler& operator=(const SearchHandler&) = delete;
  // Gives up on the search threads still running.
  ~SearchHandler() { awaitThreadsFor(std::chrono::milliseconds(0)); }

  SearchCounters counters;

 private:
  // What the search threads share with the handler, so that a thread given
  // up on may still leave it after the handler is gone.
  struct Registry {
    std::mutex searchMutex;
    std::unordered_map<std::thread::id, std::shared_ptr<StoredProvider>> threads;
    std::unordered_set<uint32_t> cancelled;
    // Providers with a result outstanding: lets a freed block skip the
    // search mutex while no search waits.
    std::atomic<uint32_t> outstandingResults{0};
    std::atomic<bool> stopped{false};
    // The plugin of every search thread still inside its search, threads
    // past it that are still letting go of their plugin, and whether the
    // handler has stopped waiting for the former; under searchMutex.
    Plugins searching;
    uint32_t releasing = 0;
    bool givenUp = false;
    std::condition_variable threadsEnded;

    // No search thread is left; under searchMutex.
    bool idle() const { return searching.empty() && releasing == 0; }
    void runSearch(class AsyncEvent& request, Plugin& plugin);
    // The thread's last step: lets go of its plugin unless it was given up on.
    void threadEnded(const Plugin& plugin);
    std::shared_ptr<StoredProvider> providerOfThisThread();
  };

  std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();
};

}  // namespace trv::core
