// The I/O thread and what runs on it: owns the io_context, the thread, the
// stop signals, the supervision timer and the channel to the parent, all
// behind this header, so that only the I/O side's files include Asio. The
// main thread opens, starts and stops it; any thread may cancel the ticks or
// post to the parent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/plugin_host.h"
#include "events/event_counters.h"
#include "log/log_writer.h"
#include "trv/core/event_parms.h"

namespace trv::core {

// Who the parent said it is; empty until it identified itself.
struct ParentIdentity {
  std::string filename;
  std::string version;
};

class IoLoop {
 public:
  // Parent packets go to the plugins of `host` and are counted in
  // `counters`; a background parent quiets `logWriter`. `requestStop`
  // answers a stop signal, a stop order or a broken channel; `tick` is the
  // supervision's, every quarter second from start() on.
  IoLoop(PluginHost& host, LogWriter& logWriter, EventCounters& counters,
         std::function<void()> requestStop, std::function<void()> tick);
  // Stops the loop and joins the thread if stop() was not called.
  ~IoLoop();
  IoLoop(const IoLoop&) = delete;
  IoLoop& operator=(const IoLoop&) = delete;

  // Main thread, at start-up: the channel takes over descriptor `fd`; false
  // when it is no usable socket.
  bool openChannel(int fd);

  // Main thread: SIGINT, SIGTERM and SIGQUIT request a stop from now on.
  void catchStopSignals();

  // Main thread: starts the thread, which ticks at once and starts receiving.
  void start();

  // Any thread: queues an "ipc" event's payload for the parent; PostRefused
  // when there is no open channel or the loop has stopped.
  int32_t postToParent(const EventParms& event);

  // Any thread.
  ParentIdentity parent();

  // Any thread: no more supervision ticks.
  void cancelTicks();

  // Main thread: refuses "ipc" events, abandons the handlers not yet run and
  // joins the thread.
  void stop();

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
};

}  // namespace trv::core
