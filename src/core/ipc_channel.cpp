// DvrCore's channel to the parent daemon: packets in, delivered to the
// addressed plugin on the I/O thread; "ipc" event payloads out, in order.
#include <algorithm>
#include <cstring>

#include <boost/asio/post.hpp>

#include "core_log.h"
#include "dvr_core.h"
#include "ipc_framing.h"

namespace trv::core {

namespace {
constexpr std::string_view BackgroundMarker = "Background:true";
}  // namespace

// The framing's verdicts, applied to the core.
class DvrCore::IpcReceiver final : public IpcPacketHandler {
 public:
  explicit IpcReceiver(DvrCore& core) : core_(core) {}

  void parentIdentified(const std::vector<std::string>& strings) override {
    if (strings.size() >= 3 && strings[2] == BackgroundMarker) core_.logWriter.setBackground();
    std::lock_guard lock(core_.parentMutex);
    if (strings.size() >= 2) core_.parentVersion = strings[1];
    if (strings.size() >= 1) core_.parentFilename = strings[0];
  }

  void stopOrdered() override { core_.requestStop(); }

  void pluginPacket(uint8_t pluginNumber, const uint8_t* packet, uint32_t length) override {
    const auto plugin = core_.pluginForPacket(pluginNumber);
    if (!plugin) return;
    plugin->IpcResult(length, packet);
    EventCounters::count(core_.counters.ipcPackets);
    core_.counters.ipcBytes.fetch_add(length, std::memory_order_relaxed);
  }

  void badLength() override { logWarning("bad ipc packet length"); }

 private:
  DvrCore& core_;
};

void DvrCore::startIpcReceive() {
  ipcSocket.async_receive(
      boost::asio::buffer(ipcRxBuffer.data() + ipcRxFill, ipcRxBuffer.size() - ipcRxFill),
      ipcRxOutFlags,
      [this](const boost::system::error_code& ec, std::size_t n) { onIpcReceive(ec, n); });
}

void DvrCore::onIpcReceive(const boost::system::error_code& ec, std::size_t n) {
  if (ec || n == 0) {
    logCritical("trovisd ipc pipe disconnected");
    refuseIpcPackets();
    // An error closing it ends the process: the descriptor state is unknown.
    if (ipcSocket.is_open()) ipcSocket.close();
    requestStop();
    return;
  }
  IpcReceiver receiver(*this);
  ipcRxFill = consumeIpcPackets(ipcRxBuffer.data(), ipcRxFill + static_cast<uint32_t>(n), receiver);
  startIpcReceive();
}

int32_t DvrCore::postIpcPacket(const EventParms& event) {
  IpcPacket packet{std::make_unique<uint8_t[]>(event.dataLen), event.dataLen};
  if (event.dataLen != 0) std::memcpy(packet.bytes.get(), event.data, event.dataLen);
  {
    std::lock_guard lock(ipcPostMutex);
    if (!ipcAccepting) return 1;
    // Runs later on the I/O thread, never inside the caller.
    boost::asio::post(ioContext, [this, packet = std::move(packet)]() mutable {
      pushIpcPacket(std::move(packet));
    });
  }
  EventCounters::count(counters.ipcRequests);
  return 0;
}

void DvrCore::refuseIpcPackets() {
  std::lock_guard lock(ipcPostMutex);
  ipcAccepting = false;
}

void DvrCore::stopIo() {
  refuseIpcPackets();
  // Handlers not yet run are abandoned.
  ioContext.stop();
}

void DvrCore::pushIpcPacket(IpcPacket packet) {
  ipcSendQueue.push_back(std::move(packet));
  if (ipcSendQueue.size() == 1) sendNextIpcPacket();
}

void DvrCore::sendNextIpcPacket() {
  if (ipcSendQueue.empty() || !ipcSocket.is_open()) return;
  const IpcPacket& front = ipcSendQueue.front();
  // One message per send of at most 64 KiB; a longer packet leaves as several.
  const uint32_t chunk = std::min(front.length - ipcSendOffset, LargestPacket);
  ipcSocket.async_send(
      boost::asio::buffer(front.bytes.get() + ipcSendOffset, chunk), 0,
      [this](const boost::system::error_code& ec, std::size_t n) { onIpcSent(ec, n); });
}

void DvrCore::onIpcSent(const boost::system::error_code& ec, std::size_t n) {
  ipcSendOffset += static_cast<uint32_t>(n);
  // A failed write drops its packet; the next one is still attempted.
  if (!ec && ipcSendOffset < ipcSendQueue.front().length) {
    sendNextIpcPacket();
    return;
  }
  ipcSendOffset = 0;
  ipcSendQueue.pop_front();
  sendNextIpcPacket();
}

}  // namespace trv::core
