// The channel to the parent daemon: owns the socket, the receive buffer, the
// send queue and the parent's identity. Packets in are handed to the
// addressed plugin on the I/O thread; "ipc" event payloads out are posted by
// any thread and leave in order.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>

#include "core/io_loop.h"
#include "core/ipc_framing.h"
#include "core/plugin_host.h"
#include "events/event_counters.h"
#include "log/log_writer.h"
#include "trv/core/event_parms.h"

namespace trv::core {

class IpcChannel {
 public:
  // Packets go to the plugins of `host`, are counted in `counters`; a
  // background parent quiets `logWriter`; `requestStop` is called when the
  // parent orders a stop or the channel breaks.
  IpcChannel(boost::asio::io_context& io, PluginHost& host, LogWriter& logWriter,
             EventCounters& counters, std::function<void()> requestStop);

  // Main thread, at start-up: takes over descriptor `fd`; false when it is
  // no usable socket.
  bool open(int fd);

  // I/O thread: waits for the next packets.
  void startReceive();

  // Any thread: queues an "ipc" event's payload for the parent. PostRefused
  // when there is no open channel or the I/O loop has stopped.
  int32_t post(const EventParms& event);

  // Any thread: from now on "ipc" events are refused.
  void refusePackets();

  // Any thread.
  ParentIdentity parent();

 private:
  // An outgoing packet, owned by the send queue until written.
  struct Packet {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t length = 0;
  };
  class Receiver;

  void onReceive(const boost::system::error_code& ec, std::size_t n);
  void push(Packet packet);
  void sendNext();
  void onSent(const boost::system::error_code& ec, std::size_t n);

  boost::asio::io_context& io_;
  PluginHost& host_;
  LogWriter& logWriter_;
  EventCounters& counters_;
  std::function<void()> requestStop_;
  boost::asio::generic::seq_packet_protocol::socket ipcSocket;
  // Posting threads test it and hand their packet to the loop under the
  // mutex, so that none reaches a loop that has stopped.
  std::mutex postMutex_;
  bool accepting_ = false;
  std::deque<Packet> ipcSendQueue;  // I/O thread
  uint32_t sendOffset_ = 0;       // bytes of the front packet already sent; I/O thread
  std::array<uint8_t, LargestPacket> ipcRxBuffer{};  // I/O thread
  uint32_t ipcRxFill_ = 0;                           // I/O thread
  boost::asio::socket_base::message_flags rxOutFlags_ = 0;
  // Written by the I/O thread from the parent's identification, under the mutex.
  std::mutex parentMutex_;
  std::string parentFilename;
  std::string parentVersion;
};

}  // namespace trv::core
