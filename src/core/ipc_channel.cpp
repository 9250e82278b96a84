#include "core/ipc_channel.h"

#include <algorithm>
#include <cstring>

#include <boost/asio/post.hpp>

#include "log/core_log.h"

namespace trv::core {

namespace {
constexpr std::string_view BackgroundMarker = "Background:true";
}  // namespace

// The framing's verdicts, applied to the channel.
class IpcChannel::Receiver final : public IpcPacketHandler {
 public:
  explicit Receiver(IpcChannel& channel) : channel_(channel) {}

  void parentIdentified(const std::vector<std::string>& strings) override {
    if (strings.size() >= 3 && strings[2] == BackgroundMarker) channel_.logWriter_.setBackground();
    std::lock_guard lock(channel_.parentMutex_);
    if (strings.size() >= 2) channel_.parentVersion = strings[1];
    if (strings.size() >= 1) channel_.parentFilename = strings[0];
  }

  void stopOrdered() override { channel_.requestStop_(); }

  void pluginPacket(uint8_t pluginNumber, const uint8_t* packet, uint32_t length) override {
    const auto plugin = channel_.host_.pluginForPacket(pluginNumber);
    if (!plugin) return;
    plugin->IpcResult(length, packet);
    EventCounters::count(channel_.counters_.ipcPackets);
    channel_.counters_.ipcBytes.fetch_add(length, std::memory_order_relaxed);
  }

  void badLength() override { logWarning("bad ipc packet length"); }

 private:
  IpcChannel& channel_;
};

IpcChannel::IpcChannel(boost::asio::io_context& io, PluginHost& host, LogWriter& logWriter,
                       EventCounters& counters, std::function<void()> requestStop)
    : io_(io),
      host_(host),
      logWriter_(logWriter),
      counters_(counters),
      requestStop_(std::move(requestStop)),
      ipcSocket(io) {}

bool IpcChannel::open(int fd) {
  boost::system::error_code ec;
  ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), fd, ec);
  if (ec) return false;
  std::lock_guard lock(postMutex_);
  accepting_ = true;
  return true;
}

void IpcChannel::startReceive() {
  ipcSocket.async_receive(
      boost::asio::buffer(ipcRxBuffer.data() + ipcRxFill_, ipcRxBuffer.size() - ipcRxFill_), rxOutFlags_,
      [this](const boost::system::error_code& ec, std::size_t n) { onReceive(ec, n); });
}

void IpcChannel::onReceive(const boost::system::error_code& ec, std::size_t n) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec || n == 0) {
    logCritical("trovisd ipc pipe disconnected");
    refusePackets();
    // An error closing it ends the process: the descriptor state is unknown.
    if (ipcSocket.is_open()) ipcSocket.close();
    requestStop_();
    return;
  }
  Receiver receiver(*this);
  ipcRxFill_ = consumeIpcPackets(ipcRxBuffer.data(), ipcRxFill_ + static_cast<uint32_t>(n), receiver);
  startReceive();
}

int32_t IpcChannel::post(const EventParms& event) {
  Packet packet{std::make_unique<uint8_t[]>(event.dataLen), event.dataLen};
  if (event.dataLen != 0) std::memcpy(packet.bytes.get(), event.data, event.dataLen);
  {
    std::lock_guard lock(postMutex_);
    if (!accepting_) return PostRefused;
    // Runs later on the I/O thread, never inside the caller.
    boost::asio::post(io_, [this, packet = std::move(packet)]() mutable { push(std::move(packet)); });
  }
  EventCounters::count(counters_.ipcRequests);
  return PostQueued;
}

void IpcChannel::refusePackets() {
  std::lock_guard lock(postMutex_);
  accepting_ = false;
}

ParentIdentity IpcChannel::parent() {
  std::lock_guard lock(parentMutex_);
  return {parentFilename, parentVersion};
}

void IpcChannel::push(Packet packet) {
  ipcSendQueue.push_back(std::move(packet));
  if (ipcSendQueue.size() == 1) sendNext();
}

void IpcChannel::sendNext() {
  if (ipcSendQueue.empty() || !ipcSocket.is_open()) return;
  const Packet& front = ipcSendQueue.front();
  // One message per send of at most 64 KiB; a longer packet leaves as several.
  const uint32_t chunk = std::min(front.length - sendOffset_, LargestPacket);
  ipcSocket.async_send(boost::asio::buffer(front.bytes.get() + sendOffset_, chunk), 0,
                     [this](const boost::system::error_code& ec, std::size_t n) { onSent(ec, n); });
}

void IpcChannel::onSent(const boost::system::error_code& ec, std::size_t n) {
  if (ec == boost::asio::error::operation_aborted) return;
  sendOffset_ += static_cast<uint32_t>(n);
  // A failed write drops its packet; the next one is still attempted.
  if (!ec && sendOffset_ < ipcSendQueue.front().length) {
    sendNext();
    return;
  }
  sendOffset_ = 0;
  ipcSendQueue.pop_front();
  sendNext();
}

}  // namespace trv::core
