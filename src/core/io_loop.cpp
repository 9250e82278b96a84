#include "core/io_loop.h"

#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/ipc_channel.h"

namespace trv::core {

namespace {
constexpr auto TickInterval = std::chrono::milliseconds(250);
}  // namespace

struct IoLoop::Loop {
  Loop(PluginHost& host, LogWriter& logWriter, EventCounters& counters,
       std::function<void()> onStop, std::function<void()> onTick)
      : requestStop(std::move(onStop)),
        tick(std::move(onTick)),
        channel(ioContext, host, logWriter, counters, requestStop) {}

  void waitForTick() {
    supervisionTimer.async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      tick();
      const auto now = boost::asio::steady_timer::clock_type::now();
      const auto latest = boost::asio::steady_timer::time_point::max();
      supervisionTimer.expires_at(latest - now > TickInterval ? now + TickInterval : latest);
      waitForTick();
    });
  }

  std::function<void()> requestStop;
  std::function<void()> tick;
  boost::asio::io_context ioContext;
  boost::asio::signal_set signals{ioContext};
  // The expiry is the epoch until the first tick, which so runs at once.
  boost::asio::steady_timer supervisionTimer{ioContext, boost::asio::steady_timer::time_point{}};
  IpcChannel channel;
  // Keeps the loop running until stop(), even when a stop leaves it no work.
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
  std::jthread thread;
};

IoLoop::IoLoop(PluginHost& host, LogWriter& logWriter, EventCounters& counters,
               std::function<void()> requestStop, std::function<void()> tick)
    : loop_(std::make_unique<Loop>(host, logWriter, counters, std::move(requestStop),
                                   std::move(tick))) {}

IoLoop::~IoLoop() { stop(); }

bool IoLoop::openChannel(int fd) { return loop_->channel.open(fd); }

void IoLoop::catchStopSignals() {
  loop_->signals.add(SIGINT);
  loop_->signals.add(SIGTERM);
  loop_->signals.add(SIGQUIT);
  // Not renewed: later signals are absorbed by the set while it exists.
  loop_->signals.async_wait([this](const boost::system::error_code& ec, int) {
    if (ec == boost::asio::error::operation_aborted) return;
    loop_->requestStop();
  });
}

void IoLoop::start() {
  Loop& loop = *loop_;
  loop.work.emplace(loop.ioContext.get_executor());
  loop.thread = std::jthread([&loop] { loop.ioContext.run(); });
  // Armed on the I/O thread, the only one to touch the timer and the socket.
  boost::asio::post(loop.ioContext, [&loop] {
    loop.waitForTick();
    loop.channel.startReceive();
  });
}

int32_t IoLoop::postToParent(const EventParms& event) { return loop_->channel.post(event); }

ParentIdentity IoLoop::parent() { return loop_->channel.parent(); }

void IoLoop::cancelTicks() {
  // The timer belongs to the I/O thread; from elsewhere the cancellation is
  // handed to it.
  Loop& loop = *loop_;
  boost::asio::dispatch(loop.ioContext, [&loop] { loop.supervisionTimer.cancel(); });
}

void IoLoop::stop() {
  Loop& loop = *loop_;
  loop.channel.refusePackets();
  // Handlers not yet run are abandoned.
  loop.ioContext.stop();
  if (loop.thread.joinable()) loop.thread.join();
  loop.work.reset();
}

}  // namespace trv::core
