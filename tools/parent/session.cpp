#include "session.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <system_error>

#include "demo.h"
#include "packet.h"

namespace trv::parent {

namespace {

using Clock = std::chrono::steady_clock;

void say(const std::string& line) { std::printf("%s\n", line.c_str()); }

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

// recv() returns 0 both for an empty message and at the end of the stream.
bool peerClosed(int fd) {
  pollfd probe{fd, POLLRDHUP, 0};
  return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

class Session {
 public:
  Session(const Options& options, CoreProcess& core, SignalPipe& signals)
      : options_(options), core_(core), signals_(signals) {}

  int run();

 private:
  void send(Packet packet);
  void flushOutbox();
  void receiveAll();
  void socketClosed();
  void handleSignals();
  void stop(const std::string& reason);
  void runDueCommands(Clock::time_point now);
  void follow(Demo::Step step);
  int pollTimeout(Clock::time_point now) const;
  void waitForInput(Clock::time_point now);
  int finish(int status);

  const Options& options_;
  CoreProcess& core_;
  SignalPipe& signals_;
  std::deque<Packet> outbox_;
  std::vector<uint8_t> received_ = std::vector<uint8_t>(core::LargestPacket);
  size_t nextCommand_ = 0;
  Clock::time_point commandsDue_ = Clock::now();
  std::optional<Clock::time_point> stopAt_;
  bool stopSent_ = false;
  std::optional<Demo> demo_;
};

int Session::run() {
  if (options_.duration) stopAt_ = Clock::now() + *options_.duration;
  if (options_.demo) demo_.emplace();
  send(identificationPacket(TRV_PARENT_VERSION, options_.background));
  for (;;) {
    if (const auto status = core_.exitStatus()) return finish(*status);
    const auto now = Clock::now();
    if (stopAt_ && now >= *stopAt_) stop("--duration has elapsed");
    runDueCommands(now);
    if (demo_) follow(demo_->tick(now));
    waitForInput(now);
  }
}

void Session::waitForInput(Clock::time_point now) {
  const short socketEvents = static_cast<short>(POLLIN | (outbox_.empty() ? 0 : POLLOUT));
  // poll() skips the socket once it is closed (-1).
  pollfd fds[2] = {{signals_.fd(), POLLIN, 0}, {core_.socket(), socketEvents, 0}};
  if (poll(fds, 2, pollTimeout(now)) < 0) {
    if (errno == EINTR) return;
    throw std::system_error(errno, std::generic_category(), "poll");
  }
  if (fds[0].revents != 0) handleSignals();
  if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) receiveAll();
  if ((fds[1].revents & POLLOUT) != 0) flushOutbox();
}

int Session::pollTimeout(Clock::time_point now) const {
  std::optional<Clock::time_point> due = stopAt_;
  if (!stopSent_ && nextCommand_ < options_.commands.size() && (!due || commandsDue_ < *due)) {
    due = commandsDue_;
  }
  if (const auto demoDue = demo_ ? demo_->due() : std::nullopt; demoDue && !stopSent_) {
    if (!due || *demoDue < *due) due = demoDue;
  }
  if (!due) return -1;
  if (*due <= now) return 0;
  // Rounded up, so the loop does not wake a moment early and spin.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*due - now).count());
}

void Session::runDueCommands(Clock::time_point now) {
  while (!stopSent_ && nextCommand_ < options_.commands.size() && now >= commandsDue_) {
    const Command& command = options_.commands[nextCommand_++];
    switch (command.action) {
      case Command::Action::Send:
        send(pluginPacket(command.plugin, command.kind, command.text));
        break;
      case Command::Action::Sleep:
        commandsDue_ = now + std::chrono::milliseconds(command.millis);
        break;
      case Command::Action::Stop:
        stop("the script says stop");
        break;
    }
  }
}

void Session::handleSignals() {
  for (const int signal : signals_.take()) {
    // SIGCHLD only wakes the loop, which then collects the core's status.
    if (signal != SIGINT && signal != SIGTERM) continue;
    if (!stopSent_) {
      stop(std::string(signalName(signal)) + " received");
      continue;
    }
    say(std::string("parent: ") + signalName(signal) + " received again: passing SIGTERM to the core");
    kill(core_.pid(), SIGTERM);
  }
}

void Session::stop(const std::string& reason) {
  stopSent_ = true;
  stopAt_.reset();
  say("parent: " + reason + ", stopping the core");
  send(stopPacket());
}

void Session::send(Packet packet) {
  if (core_.socket() < 0) {
    say("parent: the core's socket is closed, not sent: " + describePacket(packet));
    return;
  }
  say("parent -> " + describePacket(packet));
  outbox_.push_back(std::move(packet));
  flushOutbox();
}

void Session::flushOutbox() {
  while (!outbox_.empty()) {
    const Packet& packet = outbox_.front();
    // Never blocks: a core that does not read must not stall signal handling.
    if (::send(core_.socket(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
      outbox_.pop_front();
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    say(std::string("parent: cannot send to the core: ") + std::strerror(errno));
    socketClosed();
    return;
  }
}

void Session::receiveAll() {
  while (core_.socket() >= 0) {
    const ssize_t n = recv(core_.socket(), received_.data(), received_.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 || (n == 0 && peerClosed(core_.socket()))) {
      socketClosed();
      return;
    }
    const std::span<const uint8_t> message(received_.data(), static_cast<size_t>(n));
    say("parent <- " + describePacket(message));
    if (demo_) follow(demo_->received(message, Clock::now()));
  }
}

void Session::follow(Demo::Step step) {
  for (const std::string& line : step.lines) say(line);
  if (stopSent_) return;
  for (Packet& packet : step.packets) send(std::move(packet));
}

void Session::socketClosed() {
  if (!outbox_.empty()) say("parent: " + std::to_string(outbox_.size()) + " packet(s) not sent");
  outbox_.clear();
  core_.closeSocket();
}

int Session::finish(int status) {
  receiveAll();
  if (core_.endingSignal() != 0) {
    say("parent: trovis-core was ended by signal " + std::to_string(core_.endingSignal()) + " (" +
        strsignal(core_.endingSignal()) + "), status " + std::to_string(status));
    return status;
  }
  say("parent: trovis-core exited with status " + std::to_string(status));
  return status;
}

}  // namespace

int runSession(const Options& options, CoreProcess& core, SignalPipe& signals) {
  return Session(options, core, signals).run();
}

}  // namespace trv::parent
