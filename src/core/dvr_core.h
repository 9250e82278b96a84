// The one core object: it wires the components (the event queue, payloads,
// plugin host, I/O loop and supervision), keeps the core's own settings and
// runs the core's life from Init to the end of Run.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/core_version.h"
#include "core/io_loop.h"
#include "core/plugin_host.h"
#include "core/supervision.h"
#include "events/event_counters.h"
#include "events/event_queue.h"
#include "events/payloads.h"
#include "events/search_handler.h"
#include "events/statistics.h"
#include "events/stream_gate.h"
#include "log/log_levels.h"
#include "log/log_writer.h"
#include "trv/core/event_parms.h"

namespace trv::core {

class DvrCore {
 public:
  // Takes the canonical path of the executable; plugins are found beside it.
  // `sources` are the clocks and memory readings (injected by tests).
  explicit DvrCore(std::string executablePath,
                   SupervisionSources sources = SupervisionSources::system());
  // Reports event references still held, then releases everything.
  ~DvrCore();
  DvrCore(const DvrCore&) = delete;
  DvrCore& operator=(const DvrCore&) = delete;

  // Start-up on the main thread, once: identity, privileges, the parent's
  // descriptor (-1 for none) and the log plugin. False after a logged failure.
  bool Init(int32_t pipeFd);

  // The life of the core after Init, on the main thread; returns after stop.
  void Run();

  // Runs the dispatch loop on the calling thread until a stop is requested
  // and the queue is empty; Run calls it on the main thread.
  void dispatchLoop();

  // Asks the core to stop; any thread, any number of times.
  void requestStop();
  bool stopping() const { return queue_.stopping(); }

  // The single door for events; any thread, also from inside a plugin's
  // OnEvent. Returns a PostResult, or the answer to a query or crypto
  // request. The caller keeps its record and payload: a queued event
  // carries its own copy.
  int32_t queueEvent(EventParms& event);

  // Posts one of the core's own log lines; an empty text posts nothing.
  int32_t log(int32_t level, std::string_view text);

  // The plugin host, main thread: find, create and order the plugins beside
  // the executable; open them and add the log plugin; close them in close
  // order, leaving id 8 open; unload them.
  void loadPlugins();
  void openPlugins();
  void closePlugins();
  void unloadPlugins();
  // After the dispatch loop: closes and unloads the plugins, then waits a
  // while for search threads still inside one.
  void endPlugins();
  // Run stopped waiting for a search still inside its plugin.
  bool searchesGivenUp() const { return searchesGivenUp_; }

  // Where log lines go (standard output, coloured, unless changed), and the
  // threshold of origin `id`'s lines; for a core hosted by a test or benchmark.
  void setLogOutput(std::FILE* output, bool colour);
  void setLogThreshold(uint8_t id, int32_t level) { logLevels.set(id, level); }
  // Before the dispatch loop starts: whether the dispatcher may spin for
  // records before it sleeps; benchmarks compare the two.
  void allowDispatcherSpin(bool allowed) { queue_.allowSpin(allowed); }
  // Payload blocks still alive: 0 once every holder has let go of its payload.
  // Read while the dispatcher is idle or has ended.
  uint32_t payloadBlocksHeld() { return payloadsHeld().blocks; }

  // Supervision, I/O thread: memory and clock checks once a second.
  void onSupervisionTick() {
    supervision_.tick();
    payloads_.releaseSpares(supervision_.throttling());
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Event entry.
  int32_t entryLog(EventParms& event);
  int32_t entryCommon(EventParms& event);
  int32_t enqueue(const EventParms& event);
  void decref(const EventParms& event);
  void reportIgnoredDecref(const EventParms& event, uint32_t total);

  // Dispatch.
  Clock::time_point steadyNow();
  // Hands a record to the plugins that want it, the first call timed from
  // `start`; returns when the last call ended.
  Clock::time_point deliverToPlugins(const EventParms& record, Clock::time_point start,
                                     DispatchCounters& dispatch);
  // Reports when due, with `batch` the taken records still to deliver, the
  // one in hand first; true when it did.
  bool statisticsCheck(StatisticsReport& report, DispatchCounters& dispatch,
                       Clock::time_point now, const RecordQueue& batch);
  void reportHeldReferences();
  // Once the dispatcher has no batch in hand.
  Payloads::Held payloadsHeld() { return payloads_.held(queue_.backlog().payloads); }

  // Configuration, main thread: reads product.xml and core.xml before the
  // plugins exist; publishes the configuration document as a "config" event
  // and saves it as core.xml; applies the log-level delta of a record the
  // dispatcher is about to deliver, republishing when a threshold changed.
  void loadConfig();
  void publishConfig();
  void applyConfigDelta(const EventParms& record);
  // Publishes the memory status document as an "alarm" event.
  void publishMemoryStatus();

  // Declared before the plugin host, so that a plugin that posts while it is
  // being destroyed still finds the state its record goes through.
  std::string exePath;
  std::string deviceId;
  LogLevels logLevels;
  LogWriter logWriter;  // also holds the plugin names, the colour switch and the background flag
  SearchHandler searchHandler;
  Payloads payloads_{searchHandler};
  EventCounters counters_;
  EventQueue queue_;
  StreamGate streamGate_;
  Supervision supervision_;
  // Before the host: the channel hands packets to its plugins only while the
  // loop runs, and a plugin that posts while it is destroyed finds the loop.
  IoLoop io_;
  std::string productFamily{"Trovis"};
  std::string productVersion{CoreVersion};
  PluginHost host_{logWriter};
  bool searchesGivenUp_ = false;   // main thread
  uint32_t memoryBaseline_ = 0;    // memory in use at the last statistics report; dispatcher
};

// The process's core; set by main before Init and never reset.
extern DvrCore* g_core;

// The callback handed to every plugin: posts a record to g_core. Returns 1
// when queueEvent raises (for example a log line standard output refuses).
int postEvent(EventParms* event);

}  // namespace trv::core
