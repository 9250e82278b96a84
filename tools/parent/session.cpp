#include "session.h"

#include <poll.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include <boost/asio/steady_timer.hpp>

#include "demo.h"
#include "packet.h"

namespace trv::parent {

namespace {

using boost::system::error_code;

void say(const std::string& line) { std::printf("%s\n", line.c_str()); }

std::string signalName(int signal) { return std::string("SIG") + sigabbrev_np(signal); }

// One run: the send queue, the timers and the demo, all used on the loop's thread.
class Session {
 public:
  Session(const Options& options, boost::asio::io_context& io, boost::asio::signal_set& signals,
          CoreProcess& core)
      : options_(options), io_(io), signals_(signals), core_(core), socket_(core.socket()) {}

  int run() {
    if (options_.demo) demo_.emplace();
    if (options_.duration) {
      durationTimer_.expires_after(*options_.duration);
      durationTimer_.async_wait([this](const error_code& ec) {
        if (!ec) stop("--duration has elapsed");
      });
    }
    waitForSignal();
    receive();
    send(identificationPacket(TRV_PARENT_VERSION, options_.background));
    runCommands();
    io_.run();
    return status_.value();
  }

 private:
  void waitForSignal() {
    signals_.async_wait([this](const error_code& ec, int signal) {
      if (ec) return;
      onSignal(signal);
      waitForSignal();
    });
  }

  void onSignal(int signal) {
    if (signal == SIGCHLD) {
      if (const auto status = core_.exitStatus()) finish(*status);
      return;
    }
    if (!stopSent_) {
      stop(signalName(signal) + " received");
      return;
    }
    say("parent: " + signalName(signal) + " received again: passing SIGTERM to the core");
    kill(core_.pid(), SIGTERM);
  }

  void receive() {
    socket_.async_receive(boost::asio::buffer(received_), receivedFlags_,
                          [this](const error_code& ec, size_t n) {
                            if (ec == boost::asio::error::operation_aborted) return;
                            if (take(ec, n)) receive();
                          });
  }

  // One received message, or the end of the socket; false once it is closed.
  bool take(const error_code& ec, size_t n) {
    if (ec || (n == 0 && peerClosed())) {
      socketClosed();
      return false;
    }
    const std::span<const uint8_t> message(received_.data(), n);
    showPacket("parent <- ", message);
    if (demo_) follow(demo_->received(message));
    return true;
  }

  // A receive gives 0 bytes both for an empty message and at the end of the stream.
  bool peerClosed() {
    pollfd probe{socket_.native_handle(), POLLRDHUP, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }

  // What the core sent before it ended and the loop has not received yet.
  void drain() {
    if (!socket_.is_open()) return;
    error_code ec;
    socket_.non_blocking(true, ec);
    for (;;) {
      const size_t n = socket_.receive(boost::asio::buffer(received_), 0, receivedFlags_, ec);
      if (ec == boost::asio::error::would_block || !take(ec, n)) return;
    }
  }

  void send(Packet packet) {
    if (!socket_.is_open()) {
      say("parent: the core's socket is closed, not sent: " + describePacket(packet));
      return;
    }
    showPacket("parent -> ", packet);
    outbox_.push_back(std::move(packet));
    if (outbox_.size() == 1) sendNext();
  }

  void sendNext() {
    if (outbox_.empty()) return;
    const auto sent = [this](const error_code& ec, size_t) {
      if (ec == boost::asio::error::operation_aborted) return;
      if (ec) {
        say("parent: cannot send to the core: " + ec.message());
        socketClosed();
        return;
      }
      outbox_.pop_front();
      sendNext();
    };
    socket_.async_send(boost::asio::buffer(outbox_.front()), 0, sent);
  }

  void socketClosed() {
    // Closed first: the send in flight is abandoned before its packet goes.
    error_code ignored;
    socket_.close(ignored);
    if (!outbox_.empty()) say("parent: " + std::to_string(outbox_.size()) + " packet(s) not sent");
    outbox_.clear();
  }

  void runCommands() {
    while (!stopSent_ && nextCommand_ < options_.commands.size()) {
      const Command& command = options_.commands[nextCommand_++];
      switch (command.action) {
        case Command::Action::Send:
          send(pluginPacket(command.plugin, command.kind, command.text));
          break;
        case Command::Action::Sleep:
          commandTimer_.expires_after(std::chrono::milliseconds(command.millis));
          commandTimer_.async_wait([this](const error_code& ec) {
            if (!ec) runCommands();
          });
          return;
        case Command::Action::Stop:
          stop("the script says stop");
          return;
      }
    }
  }

  void stop(const std::string& reason) {
    stopSent_ = true;
    for (auto* timer : {&durationTimer_, &commandTimer_, &demoTimer_}) timer->cancel();
    say("parent: " + reason + ", stopping the core");
    send(stopPacket());
    if (demo_) say(Demo::stopping());
  }

  void follow(Demo::Step step) {
    for (const std::string& line : step.lines) say(line);
    if (stopSent_) return;
    for (Packet& packet : step.packets) send(std::move(packet));
    if (!step.record) return;
    demoTimer_.expires_after(Demo::RecordingTime);
    demoTimer_.async_wait([this](const error_code& ec) {
      if (!ec) follow(demo_->ask());
    });
  }

  // The demo tells its story instead, unless asked for the packets as well.
  void showPacket(const char* direction, std::span<const uint8_t> packet) const {
    if (!demo_ || options_.verbose) say(direction + describePacket(packet));
  }

  void finish(int status) {
    drain();
    if (demo_) say(Demo::ended(status));
    status_ = status;
    io_.stop();
    if (core_.endingSignal() != 0) {
      say("parent: trovis-core was ended by signal " + std::to_string(core_.endingSignal()) + " (" +
          strsignal(core_.endingSignal()) + "), status " + std::to_string(status));
      return;
    }
    say("parent: trovis-core exited with status " + std::to_string(status));
  }

  const Options& options_;
  boost::asio::io_context& io_;
  boost::asio::signal_set& signals_;
  CoreProcess& core_;
  CoreProcess::Socket& socket_;
  boost::asio::steady_timer durationTimer_{io_}, commandTimer_{io_}, demoTimer_{io_};
  std::deque<Packet> outbox_;  // the front one is being sent
  std::vector<uint8_t> received_ = std::vector<uint8_t>(core::LargestPacket);
  boost::asio::socket_base::message_flags receivedFlags_ = 0;
  size_t nextCommand_ = 0;
  bool stopSent_ = false;
  std::optional<Demo> demo_;
  std::optional<int> status_;
};

}  // namespace

int runSession(const Options& options, boost::asio::io_context& io,
               boost::asio::signal_set& signals, CoreProcess& core) {
  return Session(options, io, signals, core).run();
}

}  // namespace trv::parent
