#include "dvr_core.h"

#include <csignal>
#include <thread>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "core_log.h"
#include "sha256.h"

namespace trv::core {

DvrCore* g_core = nullptr;

namespace {

// Long enough for a search to return once its plugin is closed, short enough
// for a stop that still ends promptly when one does not.
constexpr auto SearchWaitLimit = std::chrono::milliseconds(500);

void postCoreLine(int32_t level, std::string_view text) {
  if (g_core != nullptr) g_core->log(level, text);
}
}  // namespace

int postEvent(EventParms* event) {
  if (event == nullptr) return 1;
  if (event->data == nullptr) event->dataLen = 0;
  // No exception may cross into a plugin: a line that cannot be written to
  // standard output, or a lock that cannot be taken, refuses the record.
  try {
    return g_core->queueEvent(*event);
  } catch (const std::exception&) {
    return 1;
  }
}

DvrCore::DvrCore(std::string executablePath, SupervisionSources sources)
    : exePath(std::move(executablePath)), supervisionSources(std::move(sources)) {
  setCoreLogTarget({&logLevels, postCoreLine});
}

void DvrCore::setLogOutput(std::FILE* output, bool colour) {
  logWriter.setOutput(output);
  logWriter.setColour(colour);
}

DvrCore::~DvrCore() {
  ipcSendQueue.clear();
  reportHeldReferences();
  setCoreLogTarget({});
}

int32_t DvrCore::log(int32_t level, std::string_view text) {
  if (text.empty()) return 0;
  EventParms record = makeEvent(TypeLog, FlagLive | FlagText, CoreSource);
  record.dataLen = static_cast<uint32_t>(text.size());
  record.data = const_cast<char*>(text.data());
  setLogLevel(record, level);
  return queueEvent(record);
}

void DvrCore::requestStop() {
  // A sequentially consistent read-modify-write: a full barrier on both sides.
  stopRequested.exchange(true, std::memory_order_seq_cst);
  // Through the mutex: a dispatcher between its stop test and its wait would
  // sleep through a bare notification.
  { std::lock_guard lock(queueMutex); }
  queueCondition.notify_one();
  searchHandler.stop();
  // The timer belongs to the I/O thread; from elsewhere the cancellation
  // is handed to it.
  boost::asio::dispatch(ioContext, [this] { supervisionTimer.cancel(); });
}

void DvrCore::Run() {
  boost::asio::signal_set signals(ioContext);
  signals.add(SIGINT);
  signals.add(SIGTERM);
  signals.add(SIGQUIT);
  // Not renewed: later signals are absorbed by the set while it exists.
  signals.async_wait([this](const boost::system::error_code&, int) { requestStop(); });

  // Before any plugin exists: its thresholds apply from its first line on.
  loadConfig();
  if (deviceId.find(sha256Hex("")) != std::string::npos) logWarning("Startup status: code D");
  if (throttlingEnabled) publishMemoryStatus();

  // The guard keeps the I/O loop running until it is stopped below, even when
  // a stop leaves it no work.
  const auto work = boost::asio::make_work_guard(ioContext);
  std::jthread ioThread([this] { ioContext.run(); });
  // Armed on the I/O thread, the only one to touch the timer and the socket.
  boost::asio::post(ioContext, [this] {
    // The timer's expiry is still the epoch: the first tick runs at once.
    supervisionTimer.async_wait([this](const boost::system::error_code& ec) {
      onSupervisionTick(ec);
    });
    startIpcReceive();
  });
  loadPlugins();
  openPlugins();
  publishConfig();

  dispatchLoop();

  endPlugins();
  stopIo();
  ioThread.request_stop();
  ioThread.join();
}

void DvrCore::endPlugins() {
  closePlugins();
  unloadPlugins();
  for (const auto& plugin : searchHandler.awaitThreadsFor(SearchWaitLimit)) {
    logWarning("Stopped waiting for the search of {:02x}:{}", plugin->id(), plugin->displayName());
    searchesGivenUp = true;
  }
}

}  // namespace trv::core
