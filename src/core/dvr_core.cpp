#include "dvr_core.h"

#include <csignal>
#include <thread>

#include <boost/asio/signal_set.hpp>

#include "core_log.h"

namespace trv::core {

DvrCore* g_core = nullptr;

namespace {
void postCoreLine(int32_t level, std::string_view text) {
  if (g_core != nullptr) g_core->log(level, text);
}
}  // namespace

int postEvent(EventParms* event) {
  if (event->data == nullptr) event->dataLen = 0;
  // No exception may cross into a plugin: a line that cannot be written to
  // standard output, or a lock that cannot be taken, refuses the record.
  try {
    return g_core->queueEvent(*event);
  } catch (const std::exception&) {
    return 1;
  }
}

DvrCore::DvrCore(std::string executablePath) : exePath(std::move(executablePath)) {
  setCoreLogTarget({&logLevels, postCoreLine});
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
  searchHandler.stop();
  queueCondition.notify_one();
}

void DvrCore::Run() {
  boost::asio::signal_set signals(ioContext);
  signals.add(SIGINT);
  signals.add(SIGTERM);
  signals.add(SIGQUIT);
  // Not renewed: later signals are absorbed by the set while it exists.
  signals.async_wait([this](const boost::system::error_code&, int) { requestStop(); });

  std::jthread ioThread([this] { ioContext.run(); });
  startIpcReceive();
  dispatchLoop();

  ioContext.stop();
  ioThread.request_stop();
  ioThread.join();
}

void DvrCore::startIpcReceive() {
  ipcSocket.async_receive(
      boost::asio::buffer(ipcRxBuffer.data() + ipcRxFill, ipcRxBuffer.size() - ipcRxFill), 0,
      ipcRxOutFlags,
      [this](const boost::system::error_code& ec, std::size_t n) { onIpcReceive(ec, n); });
}

void DvrCore::onIpcReceive(const boost::system::error_code& ec, std::size_t n) {
  if (ec || n == 0) {
    logCritical("trovisd ipc pipe disconnected");
    if (ipcSocket.is_open()) ipcSocket.close();
    requestStop();
    return;
  }
  startIpcReceive();
}

}  // namespace trv::core
