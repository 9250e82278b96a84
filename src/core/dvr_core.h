// The one core object: it owns the I/O context and its thread, the channel to
// the parent daemon, the event queue, the plugins and the supervision state.
// Its members are the shared state of the subsystems and so are public; each
// says which thread may touch it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "event_counters.h"
#include "kept_references.h"
#include "log_levels.h"
#include "log_writer.h"
#include "plugin.h"
#include "record_queue.h"
#include "ref_block.h"
#include "search_handler.h"
#include "statistics.h"
#include "stream_gate.h"
#include "supervision.h"
#include "trv/core/event_parms.h"

namespace trv::core {

inline constexpr std::string_view CoreVersion = "26.2.3.0";

// An outgoing packet for the parent, owned by the send queue until written.
struct IpcPacket {
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t length = 0;
};

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

  bool stopping() const { return stopRequested.load(std::memory_order_seq_cst); }

  // The single door for events; any thread, also from inside a plugin's
  // OnEvent. Returns 0 accepted, 1 refused, 3..5 live media dropped, or the
  // answer to a query or crypto request. The caller keeps its record and
  // payload: a queued event carries its own copy.
  int32_t queueEvent(EventParms& event);

  // Posts one of the core's own log lines; an empty text posts nothing.
  int32_t log(int32_t level, std::string_view text);

  // Threshold a log line of plugin `id` must reach.
  int32_t logLevelFor(uint8_t id) const { return logLevels.thresholdFor(id); }

  void writeLogLine(uint32_t id, uint32_t level, std::string_view text) {
    logWriter.writeLogLine(id, level, text);
  }

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

  // Where log lines go (standard output, coloured, unless changed), and the
  // threshold of origin `id`'s lines; for a core hosted by a test or benchmark.
  void setLogOutput(std::FILE* output, bool colour);
  void setLogThreshold(uint8_t id, int32_t level) { logLevels.set(id, level); }
  // Payload blocks still alive: 0 once every holder has let go of its payload.
  uint32_t payloadBlocksHeld() const { return refBlocks.blockCount(); }

  // Supervision, I/O thread: memory and clock checks once a second.
  void onSupervisionTick(const boost::system::error_code& ec);
  void setMemoryLow(bool low);

  // Publishes the memory status document as an "alarm" event.
  void publishMemoryStatus();

  // Configuration, main thread: reads product.xml and core.xml before the
  // plugins exist; publishes the configuration document as a "config" event
  // and saves it as core.xml; applies the log-level delta of a record the
  // dispatcher is about to deliver, republishing when a threshold changed
  // (then true).
  void loadConfig();
  void publishConfig();
  bool applyConfigDelta(const EventParms& record);

  // Sends an "ipc" event's payload to the parent; any thread. 1 when there
  // is no open channel.
  int32_t postIpcPacket(const EventParms& event);

  std::string deviceId;
  LogLevels logLevels;
  // The writer and the reference, search and counter state are declared
  // before the plugins, so that a plugin that posts while it is being
  // destroyed still finds them. The writer also holds the plugin names, the
  // colour switch and the background flag.
  LogWriter logWriter;
  RefBlocks refBlocks;
  KeptReferences keptReferences;
  SearchHandler searchHandler;
  EventCounters counters;
  IgnoredDecrefs ignoredDecrefs;
  std::atomic<uint32_t> memoryInUse{0};  // latest resident-size reading
  std::shared_ptr<Plugin> logPlugin;
  // Changed only by the main thread, which holds pluginsMutex meanwhile so
  // that other threads (IPC delivery, search requests) may look plugins up.
  std::vector<std::shared_ptr<Plugin>> plugins;
  std::mutex pluginsMutex;
  std::vector<std::shared_ptr<Plugin>> failedPlugins;
  boost::asio::io_context ioContext;
  boost::asio::steady_timer supervisionTimer{ioContext, boost::asio::steady_timer::time_point{}};
  boost::asio::generic::seq_packet_protocol::socket ipcSocket{ioContext};
  // Outgoing packets are taken: the socket is open and the I/O loop runs.
  // Posting threads test it and hand their packet to the loop under the
  // mutex, so that none reaches a loop that has stopped.
  std::mutex ipcPostMutex;
  bool ipcAccepting = false;
  std::deque<IpcPacket> ipcSendQueue;  // I/O thread
  std::array<uint8_t, 65536> ipcRxBuffer{};  // I/O thread
  uint32_t ipcRxFill = 0;  // I/O thread
  std::mutex queueMutex;
  std::condition_variable queueCondition;
  RecordQueue eventQueue;  // guarded by queueMutex
  // Set while eventQueue holds records; written under queueMutex, read
  // without it by the dispatcher's spin.
  std::atomic<bool> recordsQueued{false};
  StreamGate streamGate;
  std::string exePath;
  std::string productFamily{"Trovis"};
  std::string productVersion{CoreVersion};
  // Written by the I/O thread from the parent's identification, read by
  // publishConfig: both under parentMutex.
  std::mutex parentMutex;
  std::string parentFilename;
  std::string parentVersion;
  std::atomic<bool> stopRequested{false};
  // Run stopped waiting for a search still inside its plugin; main thread.
  bool searchesGivenUp = false;
  bool throttlingEnabled = true;
  std::atomic<bool> throttlingActive{false};  // written by the I/O thread only
  uint16_t maxGopLen = 1050;
  int64_t throttledSince = std::numeric_limits<int64_t>::max();
  SupervisionSources supervisionSources;
  SupervisionState supervisionState;  // I/O thread

 private:
  // Flags of the last message received; written by the I/O layer.
  boost::asio::socket_base::message_flags ipcRxOutFlags = 0;

  // Event entry.
  int32_t entryLog(EventParms& event);
  int32_t entryCommon(EventParms& event);
  int32_t enqueue(const EventParms& event);
  void decref(const EventParms& event);
  void releaseRef(void* payload, uint8_t id);

  // Dispatch.
  using Clock = std::chrono::steady_clock;
  Clock::time_point steadyNow() const;
  // Hands a record to the plugins that want it, the first call timed from
  // `start`; returns when the last call ended.
  Clock::time_point deliverToPlugins(const EventParms& record, Clock::time_point start,
                                     DispatchCounters& dispatch);
  void spinForRecords() const;
  // Reports when due, with `batchLeft` records of the taken batch still to
  // deliver; true when it did.
  bool statisticsCheck(StatisticsReport& report, DispatchCounters& dispatch,
                       Clock::time_point now, uint32_t batchLeft);
  // The display name of the plugin a record comes from; any thread.
  std::string originName(uint32_t source);
  void reportIgnoredDecref(const EventParms& event);
  void reportHeldReferences();
  // From now on "ipc" events are refused; then the I/O loop is stopped.
  void refuseIpcPackets();
  void stopIo();

  // Plugin lookups for threads other than the main one.
  std::shared_ptr<Plugin> pluginForPacket(uint8_t number);
  std::vector<std::shared_ptr<Plugin>> pluginSnapshot();

  void armSupervisionTimer();

  class IpcReceiver;
  void startIpcReceive();
  void onIpcReceive(const boost::system::error_code& ec, std::size_t n);
  void pushIpcPacket(IpcPacket packet);
  void sendNextIpcPacket();
  void onIpcSent(const boost::system::error_code& ec, std::size_t n);
  uint32_t ipcSendOffset = 0;  // bytes of the front packet already sent

  // Spinning before sleeping pays only where the producer runs meanwhile.
  const bool spinBeforeSleep_ = std::thread::hardware_concurrency() > 1;
  uint32_t memoryBaseline_ = 0;  // memory in use at the last statistics report
};

// The process's core; set by main before Init and never reset.
extern DvrCore* g_core;

// The callback handed to every plugin: posts a record to g_core. Returns 1
// when queueEvent raises (for example a log line standard output refuses).
int postEvent(EventParms* event);

}  // namespace trv::core
